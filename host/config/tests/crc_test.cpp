// configCrc against the bit-by-bit definition.
#include <config/crc.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using zelfin::config::configCrc;
using zelfin::config::configCrcUpdate;

namespace {

// The definition, one bit at a time: each byte least significant bit first into a register that
// shifts left.
uint32_t bitwiseCrc(const uint8_t* data, size_t length) {
    uint32_t reg = 0;
    for (size_t i = 0; i < length; ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            const uint32_t in = (data[i] >> bit) & 1u;
            reg = (((reg >> 31) ^ in) & 1u) ? (reg << 1) ^ 0x04C10DB7u : reg << 1;
        }
    }
    return reg;
}

TEST(ConfigCrc, KnownValues) {
    EXPECT_EQ(configCrc("abc", 3), 0x6E491BEBu);
    EXPECT_EQ(configCrc(nullptr, 0), 0u);
    const std::string zeroLed("\0\0\0\0abc", 7);
    EXPECT_EQ(configCrc(zeroLed.data(), zeroLed.size()), 0x6E491BEBu);
}

TEST(ConfigCrc, TableMatchesTheBitwiseDefinition) {
    std::mt19937 rng(20240611);
    for (size_t length : {1u, 2u, 7u, 64u, 520u, 4099u}) {
        std::vector<uint8_t> data(length);
        for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
        const uint32_t expected = bitwiseCrc(data.data(), data.size());
        EXPECT_EQ(configCrc(data.data(), data.size()), expected) << length;
        // Fed in two pieces, as files are read in chunks.
        const size_t half = length / 2;
        EXPECT_EQ(configCrcUpdate(configCrc(data.data(), half), data.data() + half, length - half), expected) << length;
    }
}

}  // namespace
