// The integrity rule both plug-ins share: a range of the image whose bytes add up to 0 modulo
// 256. The range is named by a "CRCCODEBEGIN" block (preferred) or by "CHKSUMSIG"; the image has
// no stored check value of its own, its builder balances the range.
#pragma once
#include <plugin-api/kpl.h>

#include <cstdint>

#include "binfile.h"

namespace image {

enum class IntegrityKind { None, Crc, Chksum };

constexpr uint32_t kChksumRangeBegin = 0x1000;
constexpr uint32_t kChksumRangeEnd = 0x10000;  // exclusive

struct IntegrityRange {
    IntegrityKind kind = IntegrityKind::None;
    uint32_t signatureOffset = 0;  // where the naming signature lies
    uint32_t begin = 0;            // first byte of the checked range
    uint32_t count = 0;            // bytes in the range
    bool inImage = false;          // the range is not empty and lies wholly inside the image
};

// Which range the image names, without judging it. A "CRCCODEBEGIN" whose length field lies past
// the end of the image counts as missing.
IntegrityRange FindIntegrityRange(const uint8_t* data, uint32_t length);

// Low eight bits of the sum of the bytes in [begin, begin + count); the caller keeps it in bounds.
uint8_t SumBytes(const uint8_t* data, uint32_t begin, uint32_t count);

// Judges the image and logs as the family's plug-in does (source unit `Bin` for Tarn, `Utils`
// for SCSI). A range that is empty or runs past the end fails with "Binary size is not valid.".
bool CheckIntegrity(const uint8_t* data, uint32_t length, BinFamily family, LoggerCallback logger);
bool CheckIntegrity(const BinFile& file);

}  // namespace image
