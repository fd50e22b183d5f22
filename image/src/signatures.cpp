// Signature search and the two families' type decisions.
#include <image/bytes.h>
#include <image/signatures.h>

#include <cstring>

#include "log.h"

namespace image {

std::optional<uint32_t> FindSignature(const uint8_t* data, uint32_t length, const char* signature) {
    if (!data || !signature) return std::nullopt;
    const size_t n = std::strlen(signature);
    if (n == 0 || n > length) return std::nullopt;
    const uint8_t first = static_cast<uint8_t>(signature[0]);
    const uint32_t last = length - static_cast<uint32_t>(n);
    for (uint32_t p = 0; p <= last; ++p) {
        if (data[p] == first && std::memcmp(data + p, signature, n) == 0) return p;
    }
    return std::nullopt;
}

bool SignatureAt(const uint8_t* data, uint32_t length, uint32_t offset, const char* text) {
    const size_t n = std::strlen(text);
    return data && fits(length, offset, n) && std::memcmp(data + offset, text, n) == 0;
}

bool EndsWith(const uint8_t* data, uint32_t length, const char* trailer) {
    const size_t n = std::strlen(trailer);
    return length >= n && SignatureAt(data, length, length - static_cast<uint32_t>(n), trailer);
}

int DecideTarnType(const uint8_t* data, uint32_t length) {
    const bool dfuValid = EndsWith(data, length, "DFUVALID");
    switch (length) {
    case 0x8000:
        if (SignatureAt(data, length, kMarkerPage1, "DFU_00") && dfuValid) return 0;
        if (SignatureAt(data, length, kMarkerPage0, "DFU_02") && dfuValid) return 1;
        if (SignatureAt(data, length, kMarkerPage0, "DFU_07")) return 7;
        if (SignatureAt(data, length, kMarkerPage0, "DFU_08")) return 8;
        break;
    case 0xC000:
        if (SignatureAt(data, length, kMarkerPage0, "DFU_09")) return 9;
        if (SignatureAt(data, length, kMarkerPage0, "DFU_0A")) return 10;
        break;
    case 0xE000:
        if (SignatureAt(data, length, kMarkerPage2, "DFU_04") && dfuValid) return 4;
        break;
    case 0x10000:
        if (SignatureAt(data, length, kMarkerPage1, "DFU_00") && dfuValid) return 0;
        if (EndsWith(data, length, "DM3VALID")) return kTarnTypeExternal;
        if (SignatureAt(data, length, kMarkerPage0, "DFU_03") && dfuValid) return 3;
        if (SignatureAt(data, length, kMarkerPage1, "DFU_05") && dfuValid) return 5;
        break;
    default:
        break;
    }
    return kTarnTypeUnknown;
}

int DecideScsiType(const uint8_t* data, uint32_t length, LoggerCallback logger) {
    if (!EndsWith(data, length, "ROVA_DFU")) {
        IMAGE_LOG(logger, "Utils", "%s(%i) :DFUVALID signature not found.");
        return kScsiTypeUnknown;
    }
    if (length != 0x10000) {
        IMAGE_LOG(logger, "Utils", "%s(%i) :Invalid binary size.");
        return kScsiTypeUnknown;
    }
    static const char* const kMarkers[] = {"SCSIDFU_00", "SCSIDFU_01", "SCSIDFU_02"};
    for (int type = 0; type < 3; ++type) {
        if (SignatureAt(data, length, kMarkerPage1, kMarkers[type])) return type;
    }
    return kScsiTypeUnknown;
}

}  // namespace image
