// Table-driven configCrc. The register runs most significant bit first, as the checksum is
// defined; since the data bits enter least significant bit first, each byte is bit-reversed before
// it meets the register's top byte, and the table then advances the register by eight bits at once.
#include "config/crc.h"

#include <array>

namespace zelfin::config {

namespace {

constexpr std::array<uint32_t, 256> makeStepTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t reg = i << 24;
        for (int bit = 0; bit < 8; ++bit) reg = (reg & 0x80000000u) ? (reg << 1) ^ kConfigCrcPolynomial : reg << 1;
        table[i] = reg;
    }
    return table;
}

constexpr std::array<uint8_t, 256> makeReverseTable() {
    std::array<uint8_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = 0;
        for (int bit = 0; bit < 8; ++bit) r |= ((i >> bit) & 1u) << (7 - bit);
        table[i] = static_cast<uint8_t>(r);
    }
    return table;
}

constexpr std::array<uint32_t, 256> kStep = makeStepTable();
constexpr std::array<uint8_t, 256> kReverse = makeReverseTable();

}  // namespace

uint32_t configCrcUpdate(uint32_t crc, const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < length; ++i) crc = (crc << 8) ^ kStep[(crc >> 24) ^ kReverse[p[i]]];
    return crc;
}

}  // namespace zelfin::config
