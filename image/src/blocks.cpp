// Bounded readers of the CAPAB, CSED and DESC blocks and of string descriptors.
#include <image/blocks.h>
#include <image/bytes.h>
#include <image/signatures.h>

namespace image {

namespace {
constexpr uint32_t kCapabTypeField = 6;
constexpr uint32_t kCapabFeatureField = 7;
constexpr uint32_t kCsedDescriptorField = 5;
constexpr uint32_t kDescFirstAddress = 6;
constexpr uint32_t kDescEntryLength = 3;
}  // namespace

std::optional<CapabBlock> ReadCapab(const uint8_t* data, uint32_t length, BinFamily family) {
    const auto p = FindSignature(data, length, "CAPAB");
    const uint32_t majorField = family == BinFamily::Tarn ? 9 : 8;
    if (!p || !fits(length, *p, majorField + 2)) return std::nullopt;
    const uint8_t* b = data + *p;
    CapabBlock c;
    c.offset = *p;
    c.productType = b[kCapabTypeField];
    c.feature = b[kCapabFeatureField];
    c.versionMajor = b[majorField];
    c.versionMinor = b[majorField + 1];
    return c;
}

int capabDeviceType(const uint8_t* data, uint32_t length) {
    const auto p = FindSignature(data, length, "CAPAB");
    if (!p || !fits(length, *p, kCapabTypeField + 1)) return -1;
    return data[*p + kCapabTypeField];
}

std::optional<CsedBlock> ReadCsed(const uint8_t* data, uint32_t length) {
    const auto p = FindSignature(data, length, "CSED");
    if (!p || !fits(length, *p, kCsedDescriptorField + kDeviceDescriptorLength)) return std::nullopt;
    CsedBlock c;
    c.offset = *p;
    c.descriptor = data + *p + kCsedDescriptorField;
    c.idVendor = readLE16(c.descriptor + 8);
    c.idProduct = readLE16(c.descriptor + 10);
    c.iSerialNumber = c.descriptor[16];
    return c;
}

const char* FindAddressShiftMarker(const uint8_t* data, uint32_t length) {
    for (const char* marker : {"DFU_02", "DFU_07", "DFU_08"}) {
        if (FindSignature(data, length, marker)) return marker;
    }
    return nullptr;
}

std::optional<uint16_t> ReadDescAddress(const uint8_t* data, uint32_t length, unsigned index) {
    const auto p = FindSignature(data, length, "DESC");
    if (!p) return std::nullopt;
    const uint64_t field = *p + uint64_t{kDescFirstAddress} + uint64_t{kDescEntryLength} * index;
    if (!fits(length, field, 2)) return std::nullopt;
    return readBE16(data + field);
}

int32_t LocateStringDescriptor(const uint8_t* data, uint32_t length, unsigned index, StringDescriptor* out) {
    const auto address = ReadDescAddress(data, length, index);
    if (!address) return KPL_E_SERIAL_MISSING;
    uint32_t offset = *address;
    if (FindAddressShiftMarker(data, length)) offset = static_cast<uint16_t>(*address - kShiftedAddressBase);
    if (!fits(length, offset, 2)) return KPL_E_IMAGE_TYPE;
    const uint8_t bLength = data[offset];
    if (bLength < 2) return KPL_E_IMAGE_TYPE;
    const uint32_t charCount = (bLength - 2u + 1u) / 2u;
    if (!fits(length, offset + 2u, uint64_t{charCount} * 2)) return KPL_E_IMAGE_TYPE;
    out->offset = offset;
    out->bLength = bLength;
    out->charCount = charCount;
    out->chars = data + offset + 2;
    return KPL_OK;
}

size_t Utf16leToText(const uint8_t* chars, uint32_t charCount, char* out, size_t outSize) {
    if (!out || outSize == 0) return 0;
    size_t n = 0;
    for (uint32_t i = 0; i < charCount; ++i) {
        uint32_t cp = readLE16(chars + 2 * i);
        if (cp == 0) break;
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < charCount) {
            const uint32_t low = readLE16(chars + 2 * (i + 1));
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (cp >= 0xD800 && cp <= 0xDFFF) cp = '?';  // a lone surrogate has no text
        char enc[4];
        size_t len;
        if (cp < 0x80) {
            enc[0] = static_cast<char>(cp);
            len = 1;
        } else if (cp < 0x800) {
            enc[0] = static_cast<char>(0xC0 | cp >> 6);
            enc[1] = static_cast<char>(0x80 | (cp & 0x3F));
            len = 2;
        } else if (cp < 0x10000) {
            enc[0] = static_cast<char>(0xE0 | cp >> 12);
            enc[1] = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            enc[2] = static_cast<char>(0x80 | (cp & 0x3F));
            len = 3;
        } else {
            enc[0] = static_cast<char>(0xF0 | cp >> 18);
            enc[1] = static_cast<char>(0x80 | (cp >> 12 & 0x3F));
            enc[2] = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            enc[3] = static_cast<char>(0x80 | (cp & 0x3F));
            len = 4;
        }
        if (n + len > outSize - 1) break;
        for (size_t k = 0; k < len; ++k) out[n++] = enc[k];
    }
    out[n] = '\0';
    return n;
}

int32_t ReadStringDescriptor(const uint8_t* data, uint32_t length, unsigned index, char* out, size_t outSize) {
    if (out && outSize) out[0] = '\0';
    StringDescriptor d;
    const int32_t status = LocateStringDescriptor(data, length, index, &d);
    if (status != KPL_OK) return status;
    Utf16leToText(d.chars, d.charCount, out, outSize);
    return KPL_OK;
}

std::optional<uint16_t> ReadExternalVersion(const uint8_t* data, uint32_t length) {
    if (!data || !fits(length, kExternalVersionOffset, 2)) return std::nullopt;
    return readBE16(data + kExternalVersionOffset);
}

}  // namespace image
