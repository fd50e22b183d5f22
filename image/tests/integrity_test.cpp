// The integrity rule on hand-made images: which range is checked, and every way it can fail.
#include <gtest/gtest.h>
#include <image/bytes.h>
#include <image/integrity.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "log_capture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using image::BinFamily;

void putCrc(Bytes& b, uint32_t at, uint16_t count) {
    std::memcpy(b.data() + at, "CRCCODEBEGIN", 12);
    image::writeBE16(b.data() + at + 13, count);
}

// Makes [begin, begin + count) sum to `target` by adjusting the byte at `at`.
void balance(Bytes& b, uint32_t begin, uint32_t count, uint32_t at, uint8_t target = 0) {
    b[at] = 0;
    b[at] = static_cast<uint8_t>(target - image::SumBytes(b.data(), begin, count));
}

Bytes crcImage(uint32_t length, uint32_t at, uint16_t count, uint8_t target = 0) {
    Bytes b(length, 0);
    putCrc(b, at, count);
    b[at + 20] = 0x5A;  // something to balance
    if (count > 15 && at + count <= length) balance(b, at, count, at + 15, target);
    return b;
}

Bytes chksumImage(uint32_t length, uint32_t at, uint8_t target = 0) {
    Bytes b(length, 0);
    std::memcpy(b.data() + at, "CHKSUMSIG", 9);
    b[0x2000 % length] = 0x33;
    if (length >= 0x10000) balance(b, 0x1000, 0xF000, 0xFFFF, target);
    return b;
}

const std::string kSearching = "CRCCODEBEGIN not found. Searching for CHKSUMSIG signature";

struct Case {
    const char* name;
    std::function<Bytes()> make;
    BinFamily family;
    bool valid;
    std::vector<std::string> messages;
};

TEST(CheckIntegrity, RangesAndFailures) {
    const Case cases[] = {
        {"balanced CRC range", [] { return crcImage(0x8000, 0x1100, 0x200); }, BinFamily::Tarn, true, {}},
        {"CRC range to the last byte", [] { return crcImage(0x8000, 0x7000, 0x1000); }, BinFamily::Tarn, true, {}},
        {"CRC length 0", [] { return crcImage(0x8000, 0x1100, 0); }, BinFamily::Tarn, false,
         {"Binary size is not valid."}},
        {"CRC range one byte past the end", [] { return crcImage(0x8000, 0x7000, 0x1001); }, BinFamily::Tarn, false,
         {"Binary size is not valid."}},
        {"CRC sum 1 (Tarn)", [] { return crcImage(0x8000, 0x1100, 0x200, 1); }, BinFamily::Tarn, false,
         {"CRC is not valid: 0x1"}},
        {"CRC sum 0xFE (SCSI)", [] { return crcImage(0x10000, 0x1100, 0x200, 0xFE); }, BinFamily::Scsi, false,
         {"Checksum is not valid: 0xFE"}},
        {"CRCCODEBEGIN whose length lies past the end",
         [] {
             Bytes b(0x8000, 0);
             std::memcpy(b.data() + 0x8000 - 13, "CRCCODEBEGIN", 12);
             return b;
         },
         BinFamily::Tarn, false, {kSearching, "CHKSUMSIG not found."}},
        {"balanced CHKSUMSIG range", [] { return chksumImage(0x10000, 0x1100); }, BinFamily::Scsi, true,
         {kSearching, "CHKSUMSIG found"}},
        {"CHKSUMSIG range unbalanced", [] { return chksumImage(0x10000, 0x1100, 2); }, BinFamily::Scsi, false,
         {kSearching, "CHKSUMSIG found", "Checksum is not valid: 0x2"}},
        {"CHKSUMSIG in a 32 KB image", [] { return chksumImage(0x8000, 0x1100); }, BinFamily::Tarn, false,
         {kSearching, "CHKSUMSIG found", "Binary size is not valid."}},
        {"neither signature", [] { return Bytes(0x8000, 0); }, BinFamily::Tarn, false,
         {kSearching, "CHKSUMSIG not found."}},
        {"empty image", [] { return Bytes(); }, BinFamily::Tarn, false, {kSearching, "CHKSUMSIG not found."}},
        {"both: the CRC range decides (balanced)",
         [] {
             Bytes b = chksumImage(0x10000, 0x100, 7);  // its own range sums to 7
             putCrc(b, 0x3000, 0x100);
             balance(b, 0x3000, 0x100, 0x3000 + 15);
             balance(b, 0x1000, 0xF000, 0xFFFF, 7);  // keep the CHKSUMSIG range off balance
             return b;
         },
         BinFamily::Tarn, true, {}},
        {"both: the CRC range decides (unbalanced)",
         [] {
             Bytes b = chksumImage(0x10000, 0x100);
             putCrc(b, 0x3000, 0x100);
             balance(b, 0x3000, 0x100, 0x3000 + 15, 4);
             balance(b, 0x1000, 0xF000, 0xFFFF);  // the CHKSUMSIG range alone would pass
             return b;
         },
         BinFamily::Tarn, false, {"CRC is not valid: 0x4"}},
    };
    for (const Case& c : cases) {
        imagetest::logged().clear();
        const Bytes b = c.make();
        EXPECT_EQ(image::CheckIntegrity(b.data(), static_cast<uint32_t>(b.size()), c.family, imagetest::captureLog),
                  c.valid)
            << c.name;
        std::vector<std::string> messages;
        for (const auto& line : imagetest::logged()) messages.push_back(imagetest::messageOf(line));
        EXPECT_EQ(messages, c.messages) << c.name;
    }
}

TEST(CheckIntegrity, LogsUnderTheFamilysSourceUnit) {
    const Bytes b(0x100, 0);
    imagetest::logged().clear();
    image::CheckIntegrity(b.data(), 0x100, BinFamily::Tarn, imagetest::captureLog);
    image::CheckIntegrity(b.data(), 0x100, BinFamily::Scsi, imagetest::captureLog);
    ASSERT_EQ(imagetest::logged().size(), 4u);
    EXPECT_EQ(imagetest::logged()[0].rfind("Bin(", 0), 0u);
    EXPECT_EQ(imagetest::logged()[2].rfind("Utils(", 0), 0u);
}

}  // namespace
