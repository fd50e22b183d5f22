// The shared integrity rule.
#include <image/bytes.h>
#include <image/integrity.h>
#include <image/signatures.h>

#include "log.h"

namespace image {

namespace {
constexpr uint32_t kCrcLengthField = 13;  // big-endian uint16 after "CRCCODEBEGIN" and one byte
}

IntegrityRange FindIntegrityRange(const uint8_t* data, uint32_t length) {
    IntegrityRange r;
    const auto crc = FindSignature(data, length, "CRCCODEBEGIN");
    if (crc && fits(length, *crc + uint64_t{kCrcLengthField}, 2)) {
        r.kind = IntegrityKind::Crc;
        r.signatureOffset = *crc;
        r.begin = *crc;
        r.count = readBE16(data + *crc + kCrcLengthField);
        r.inImage = r.count > 0 && fits(length, r.begin, r.count);
        return r;
    }
    if (const auto sum = FindSignature(data, length, "CHKSUMSIG")) {
        r.kind = IntegrityKind::Chksum;
        r.signatureOffset = *sum;
        r.begin = kChksumRangeBegin;
        r.count = kChksumRangeEnd - kChksumRangeBegin;
        r.inImage = fits(length, r.begin, r.count);
    }
    return r;
}

uint8_t SumBytes(const uint8_t* data, uint32_t begin, uint32_t count) {
    uint8_t sum = 0;
    for (uint32_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + data[begin + i]);
    return sum;
}

bool CheckIntegrity(const uint8_t* data, uint32_t length, BinFamily family, LoggerCallback logger) {
    const char* unit = family == BinFamily::Tarn ? "Bin" : "Utils";
    const IntegrityRange r = FindIntegrityRange(data, length);
    if (r.kind == IntegrityKind::None || r.kind == IntegrityKind::Chksum) {
        IMAGE_LOG(logger, unit, "%s(%i) :CRCCODEBEGIN not found. Searching for CHKSUMSIG signature");
        if (r.kind == IntegrityKind::None) {
            IMAGE_LOG(logger, unit, "%s(%i) :CHKSUMSIG not found.");
            return false;
        }
        IMAGE_LOG(logger, unit, "%s(%i) :CHKSUMSIG found");
    }
    // An empty range proves nothing, and one running past the end cannot be summed.
    if (!r.inImage) {
        IMAGE_LOG(logger, unit, "%s(%i) :Binary size is not valid.");
        return false;
    }
    const uint8_t sum = SumBytes(data, r.begin, r.count);
    if (sum != 0) {
        IMAGE_LOG(logger, unit,
                  family == BinFamily::Tarn ? "%s(%i) :CRC is not valid: 0x%X" : "%s(%i) :Checksum is not valid: 0x%X",
                  static_cast<unsigned>(sum));
        return false;
    }
    return true;
}

bool CheckIntegrity(const BinFile& file) {
    return CheckIntegrity(file.data(), file.length(), file.family(), file.logger());
}

}  // namespace image
