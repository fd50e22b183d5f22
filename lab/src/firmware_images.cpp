#include "firmware_images.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include <protocol/kv7.h>

namespace lab {

namespace {

constexpr uint32_t kMarkerOffset = 4150;  // the type marker lies in the second 4 KB page
constexpr uint32_t kCapabOffset = 0x1100;
constexpr uint32_t kChecksumSigOffset = 0x1200;
constexpr uint32_t kSignatureArea = 0xE000;
constexpr uint32_t kBalanceByte = 0xDFFF;  // adjusted last, so the checked range sums to zero
constexpr uint32_t kCheckedFrom = 4096;

void put(std::vector<uint8_t>& image, uint32_t offset, std::string_view text) {
    std::memcpy(image.data() + offset, text.data(), text.size());
}

// Deterministic filler that looks like code rather than erased flash, different per seed.
void fill(std::vector<uint8_t>& image, const std::string& seed) {
    uint32_t x = 2166136261u;
    for (char c : seed) x = (x ^ static_cast<uint8_t>(c)) * 16777619u;
    for (auto& b : image) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
}

std::ptrdiff_t find(const uint8_t* data, size_t length, std::string_view sig) {
    if (length < sig.size()) return -1;
    for (size_t i = 0; i + sig.size() <= length; ++i)
        if (std::memcmp(data + i, sig.data(), sig.size()) == 0) return static_cast<std::ptrdiff_t>(i);
    return -1;
}

bool fits(size_t length, size_t offset, size_t count) { return offset <= length && count <= length - offset; }

void putBE16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void putBE32(uint8_t* p, uint32_t v) {
    putBE16(p, static_cast<uint16_t>(v >> 16));
    putBE16(p + 2, static_cast<uint16_t>(v));
}
void putLE16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
uint16_t getBE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t getBE32(const uint8_t* p) { return static_cast<uint32_t>(getBE16(p)) << 16 | getBE16(p + 2); }

// Tarn layout. The type markers sit at 54, 4150 or 8246 (the same place in the first three pages).
struct TarnLayout {
    uint32_t size;
    uint32_t markerOffset;
    const char* marker;
};

TarnLayout tarnLayout(uint8_t dfuType) {
    switch (dfuType) {
    case 2: return {32768, 54, "DFU_02"};
    case 3: return {65536, 54, "DFU_03"};
    case 4: return {57344, 8246, "DFU_04"};
    case 5: return {65536, 4150, "DFU_05"};
    case 7: return {32768, 54, "DFU_07"};
    case 8: return {32768, 54, "DFU_08"};
    case 9: return {49152, 54, "DFU_09"};
    case 10: return {49152, 54, "DFU_0A"};
    default: return {65536, 4150, "DFU_00"};  // 0, and 1 and 6, whose controllers take type-0 images
    }
}

constexpr uint32_t kTarnCrcOffset = 0x1000;     // clear of the marker at 4150
constexpr uint32_t kTarnBlocksOffset = 0x1100;  // where the system's builder puts its blocks
constexpr uint32_t kTarnBalanceByte = kTarnCrcOffset + 15;
constexpr uint32_t kTarnSlot = 16, kTarnWideSlot = 32;
constexpr uint32_t kTrailerLength = 8;
constexpr uint32_t kHalfFlash = 32768;
constexpr uint8_t kSerialTypeNumber = 0x81, kSerialTypeString = 0xFF;
constexpr uint8_t kSerialIndex = 5;
constexpr uint32_t kDescEntries = 6;
constexpr uint16_t kNoString = 0xFFFF;  // points past the end of every flash layout
constexpr uint16_t kShiftedAddressBase = 0x8000;
// A download may carry a longer serial than the factory's into its slot: room for the longest
// descriptor a one-byte bLength allows.
constexpr uint32_t kSerialSlot = 256;
constexpr size_t kMaxStringUnits = 126;
constexpr const char* kBlankSerial = "000000000000";  // the placeholder the system's builder uses

// UTF-8 to UTF-16 units, cut (never inside a surrogate pair) at what a descriptor holds.
std::vector<uint16_t> toUtf16(const std::string& text) {
    std::vector<uint16_t> units;
    for (size_t i = 0; i < text.size();) {
        const uint8_t c = static_cast<uint8_t>(text[i]);
        const size_t extra = c < 0x80                ? 0
                             : (c & 0xE0) == 0xC0 ? 1
                             : (c & 0xF0) == 0xE0 ? 2
                             : (c & 0xF8) == 0xF0 ? 3
                                                  : 4;  // 4: no lead byte
        uint32_t cp = extra == 0 ? c : extra == 4 ? 0 : c & (0x3F >> extra);
        bool valid = extra < 4 && i + extra < text.size();
        for (size_t k = 1; valid && k <= extra; ++k) {
            const uint8_t cc = static_cast<uint8_t>(text[i + k]);
            valid = (cc & 0xC0) == 0x80;
            cp = cp << 6 | (cc & 0x3F);
        }
        if (!valid || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
        i += valid ? extra + 1 : 1;
        const size_t need = cp >= 0x10000 ? 2 : 1;
        if (units.size() + need > kMaxStringUnits) break;
        if (cp >= 0x10000) {
            units.push_back(static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            units.push_back(static_cast<uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            units.push_back(static_cast<uint16_t>(cp));
        }
    }
    return units;
}

std::vector<uint8_t> stringDescriptor(const std::vector<uint16_t>& units) {
    std::vector<uint8_t> d(2 + 2 * units.size());
    d[0] = static_cast<uint8_t>(d.size());
    d[1] = 3;
    for (size_t i = 0; i < units.size(); ++i) putLE16(d.data() + 2 + 2 * i, units[i]);
    return d;
}

// Controllers that run their program from 0x8000 keep string addresses in that address space.
bool addressShifted(const uint8_t* data, size_t length) {
    for (std::string_view marker : {"DFU_02", "DFU_07", "DFU_08"})
        if (find(data, length, marker) >= 0) return true;
    return false;
}

// Signatures the firmware or the system search for: the filler must not spell one, or a reader
// would find that copy first.
constexpr std::string_view kTarnSignatures[] = {"CAPAB",     "CSED",  "DESC",     "SERCHKC", "CRCCODEBEGIN",
                                                "CHKSUMSIG", "DFU_0", "DFUVALID", "DM3VALID"};

// Breaks every signature that involves filler bytes by changing one of them to a non-ASCII byte,
// which no signature contains, so no new one can arise. Signatures made only of block bytes stay.
void scrubFiller(std::vector<uint8_t>& image, const std::vector<bool>& filler) {
    for (size_t p = 0; p < image.size(); ++p) {
        for (std::string_view sig : kTarnSignatures) {
            if (!fits(image.size(), p, sig.size()) || std::memcmp(&image[p], sig.data(), sig.size()) != 0) continue;
            for (size_t k = p; k < p + sig.size(); ++k) {
                if (filler[k]) {
                    image[k] ^= 0x80;
                    break;
                }
            }
        }
    }
}

}  // namespace

std::vector<uint8_t> makeScsiFamilyImage(const ScsiImageParams& p) {
    std::vector<uint8_t> image(kFirmwareSize);
    fill(image, p.signature);
    if (p.type >= 0 && p.type <= 9) put(image, kMarkerOffset, "SCSIDFU_0" + std::to_string(p.type));
    put(image, kCapabOffset, "CAPAB");
    image[kCapabOffset + 5] = 0;
    image[kCapabOffset + 6] = p.productType;
    image[kCapabOffset + 7] = p.feature;
    image[kCapabOffset + 8] = p.major;
    image[kCapabOffset + 9] = p.minor;
    put(image, kChecksumSigOffset, "CHKSUMSIG");
    std::memset(image.data() + kSignatureArea, 0, 4096);
    put(image, kSignatureArea, "SIGAREA:" + p.signature.substr(0, 64));
    put(image, kFirmwareSize - 8, "ROVA_DFU");
    image[kBalanceByte] = 0;
    uint8_t sum = 0;
    for (uint32_t i = kCheckedFrom; i < kFirmwareSize; ++i) sum = static_cast<uint8_t>(sum + image[i]);
    image[kBalanceByte] = static_cast<uint8_t>(-sum);
    return image;
}

std::vector<uint8_t> makeExternalImage(uint8_t major, uint8_t minor, const std::string& seed) {
    std::vector<uint8_t> image(kFirmwareSize);
    fill(image, seed);
    image[16] = major;
    image[17] = minor;
    put(image, kFirmwareSize - 8, "DM3VALID");
    return image;
}

ScsiImageInfo inspectScsiImage(const uint8_t* data, size_t length) {
    ScsiImageInfo info;
    if (length >= kMarkerOffset + 10 && std::memcmp(data + kMarkerOffset, "SCSIDFU_0", 9) == 0 &&
        data[kMarkerOffset + 9] >= '0' && data[kMarkerOffset + 9] <= '2')
        info.dfuType = static_cast<uint8_t>(data[kMarkerOffset + 9] - '0');
    const std::ptrdiff_t capab = find(data, length, "CAPAB");
    if (capab >= 0 && static_cast<size_t>(capab) + 10 <= length) {
        info.productType = data[capab + 6];
        info.feature = data[capab + 7];
        info.major = data[capab + 8];
        info.minor = data[capab + 9];
    }
    return info;
}

uint32_t tarnFlashSize(uint8_t dfuType) { return tarnLayout(dfuType).size; }

TarnArea tarnArea(uint8_t dfuType) {
    if (kv7::isKv7Type(dfuType)) return {kv7::layoutOf(dfuType).base, kv7::layoutOf(dfuType).size};
    return {0, tarnFlashSize(dfuType)};
}

bool tarnBootable(const uint8_t* area, size_t length, uint8_t dfuType) {
    const TarnImageInfo info = inspectTarnImage(area, length);
    if (!info.deviceDescriptor) return false;
    if (!kv7::isKv7Type(dfuType)) return info.complete;
    return length >= kv7::kHeaderBlock + kv7::kBlockSize &&
           !std::all_of(area + kv7::kHeaderBlock, area + kv7::kHeaderBlock + kv7::kBlockSize,
                        [](uint8_t b) { return b == 0xFF; });
}

std::vector<uint8_t> makeTarnImage(const TarnImageParams& p) {
    const TarnLayout layout = tarnLayout(p.dfuType);
    const uint32_t size = layout.size;
    std::vector<uint8_t> image(size);
    fill(image, p.seed);
    std::vector<bool> filler(size, true);
    // Takes `count` bytes for a block: zeroed, no longer filler.
    auto own = [&](uint32_t at, uint32_t count) {
        std::memset(image.data() + at, 0, count);
        std::fill(filler.begin() + at, filler.begin() + at + count, false);
    };
    auto putOwn = [&](uint32_t at, std::string_view text) {
        own(at, static_cast<uint32_t>(text.size()));
        put(image, at, text);
    };

    putOwn(layout.markerOffset, layout.marker);
    if (kv7::isKv7Type(p.dfuType)) {
        // A KV7 controller keeps no trailer; the block it is written last holds the header that
        // completes the image.
        putOwn(kv7::kHeaderBlock, "KV7IMAGE");
        image[kv7::kHeaderBlock + 8] = p.dfuType;
    } else {
        putOwn(size - kTrailerLength, "DFUVALID");
    }

    own(kTarnCrcOffset, kTarnSlot);
    put(image, kTarnCrcOffset, "CRCCODEBEGIN");
    putBE16(&image[kTarnCrcOffset + 13], static_cast<uint16_t>(size - kTrailerLength - kTarnCrcOffset));

    uint32_t at = kTarnBlocksOffset;
    own(at, kTarnSlot);
    put(image, at, "CAPAB");
    image[at + 6] = p.productType;
    image[at + 7] = p.feature;
    image[at + 9] = p.major;
    image[at + 10] = p.minor;
    at += kTarnSlot;

    own(at, kTarnWideSlot);
    put(image, at, "CSED");
    static const uint8_t kDeviceDescriptor[18] = {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0, 0, 0, 0, 0, 0, 1, 2, 0, 1};
    uint8_t* dd = &image[at + 5];
    std::memcpy(dd, kDeviceDescriptor, sizeof kDeviceDescriptor);
    putLE16(dd + 8, p.idVendor);
    putLE16(dd + 10, p.idProduct);
    putLE16(dd + 12, p.bcdDevice);
    dd[16] = p.serial == TarnSerial::None ? 0 : kSerialIndex;
    at += kTarnWideSlot;

    if (p.serial != TarnSerial::None) {
        own(at, kTarnWideSlot);
        put(image, at, "SERCHKC");
        if (p.serial == TarnSerial::Number) {
            image[at + 8] = kSerialTypeNumber;
            putBE32(&image[at + 10], p.serialNumber);
            putBE32(&image[at + 14], 0u - p.serialNumber);
        } else {
            image[at + 8] = kSerialTypeString;
        }
        at += kTarnWideSlot;
    }

    const uint32_t table = at;
    own(table, kTarnWideSlot);
    put(image, table, "DESC");
    at += kTarnWideSlot;
    uint16_t address[kDescEntries] = {kNoString, kNoString, kNoString, kNoString, kNoString, kNoString};
    // The same markers the readers of the table go by (addressShifted below).
    const std::string_view marker(layout.marker);
    const uint16_t shift = marker == "DFU_02" || marker == "DFU_07" || marker == "DFU_08" ? kShiftedAddressBase : 0;
    auto putString = [&](unsigned index, const std::vector<uint8_t>& descriptor, uint32_t slot) {
        own(at, slot);
        std::memcpy(&image[at], descriptor.data(), descriptor.size());
        address[index] = static_cast<uint16_t>(at + shift);
        at += slot;
    };
    putString(0, {4, 3, 0x09, 0x04}, 4);  // US English only
    const auto manufacturer = stringDescriptor(toUtf16(p.manufacturer));
    const auto product = stringDescriptor(toUtf16(p.product));
    putString(1, manufacturer, static_cast<uint32_t>(manufacturer.size()));
    putString(2, product, static_cast<uint32_t>(product.size()));
    if (p.serial != TarnSerial::None)
        putString(kSerialIndex, stringDescriptor(toUtf16(p.serial == TarnSerial::String ? p.serialText : kBlankSerial)),
                  kSerialSlot);
    image[table + 4] = kDescEntries;
    for (uint32_t i = 0; i < kDescEntries; ++i) {
        image[table + 5 + 3 * i] = static_cast<uint8_t>(i);
        putBE16(&image[table + 6 + 3 * i], address[i]);
    }

    scrubFiller(image, filler);
    uint8_t sum = 0;
    for (uint32_t i = kTarnCrcOffset; i < size - kTrailerLength; ++i) sum = static_cast<uint8_t>(sum + image[i]);
    image[kTarnBalanceByte] = static_cast<uint8_t>(image[kTarnBalanceByte] - sum);
    return image;
}

TarnImageInfo inspectTarnImage(const uint8_t* data, size_t length) {
    TarnImageInfo info;
    if (!data) return info;
    if (length >= kTrailerLength && std::memcmp(data + length - kTrailerLength, "DFUVALID", kTrailerLength) == 0) {
        info.complete = true;
        info.length = static_cast<uint32_t>(length);
    } else if (length == 2 * kHalfFlash &&
               std::memcmp(data + kHalfFlash - kTrailerLength, "DFUVALID", kTrailerLength) == 0 &&
               std::all_of(data + kHalfFlash, data + length, [](uint8_t b) { return b == 0xFF; })) {
        info.complete = true;
        info.length = kHalfFlash;
    }
    const std::ptrdiff_t csed = find(data, length, "CSED");
    if (csed >= 0 && fits(length, static_cast<size_t>(csed), 5 + 18)) {
        info.deviceDescriptor.emplace();
        std::memcpy(info.deviceDescriptor->data(), data + csed + 5, 18);
    }
    const std::ptrdiff_t capab = find(data, length, "CAPAB");
    if (capab >= 0 && fits(length, static_cast<size_t>(capab), 11)) {
        info.hasCapab = true;
        info.productType = data[capab + 6];
        info.feature = data[capab + 7];
        info.major = data[capab + 9];
        info.minor = data[capab + 10];
    }
    return info;
}

std::optional<std::vector<uint8_t>> tarnStringDescriptor(const uint8_t* data, size_t length, uint8_t index) {
    if (!data) return std::nullopt;
    // The serial string of a number serial is made by the firmware, not stored.
    const std::ptrdiff_t csed = find(data, length, "CSED");
    if (index != 0 && csed >= 0 && fits(length, static_cast<size_t>(csed), 5 + 18) && data[csed + 5 + 16] == index) {
        const std::ptrdiff_t serial = find(data, length, "SERCHKC");
        if (serial >= 0 && fits(length, static_cast<size_t>(serial), 18) && data[serial + 8] == kSerialTypeNumber) {
            const uint32_t number = getBE32(data + serial + 10);
            std::vector<uint16_t> units;
            for (int shift = 28; shift >= 0; shift -= 4)
                units.push_back(static_cast<uint16_t>("0123456789ABCDEF"[(number >> shift) & 0xF]));
            return stringDescriptor(units);
        }
    }
    const std::ptrdiff_t desc = find(data, length, "DESC");
    if (desc < 0) return std::nullopt;
    const size_t field = static_cast<size_t>(desc) + 6 + 3 * size_t{index};
    if (!fits(length, field, 2)) return std::nullopt;
    const uint16_t address = getBE16(data + field);
    const size_t offset = addressShifted(data, length) ? static_cast<uint16_t>(address - kShiftedAddressBase) : address;
    if (!fits(length, offset, 2)) return std::nullopt;
    const uint8_t bLength = data[offset];
    if (bLength < 2 || !fits(length, offset, bLength)) return std::nullopt;
    return std::vector<uint8_t>(data + offset, data + offset + bLength);
}

}  // namespace lab
