// The image builder. Blocks are written in the order the readers expect to find them first, the
// checked range is balanced after everything else is in place.
#include <image/builder.h>
#include <image/bytes.h>
#include <image/integrity.h>
#include <image/serial_block.h>
#include <image/signatures.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace image {

namespace {

struct TypeLayout {
    int type;
    uint32_t size;
    uint32_t markerOffset;  // 0 = no marker
    const char* marker;
    const char* trailer;    // null = none
};

const TypeLayout kTarnTypes[] = {
    {0, 0x8000, kMarkerPage1, "DFU_00", "DFUVALID"},  {1, 0x8000, kMarkerPage0, "DFU_02", "DFUVALID"},
    {2, 0x10000, 0, nullptr, "DM3VALID"},             {3, 0x10000, kMarkerPage0, "DFU_03", "DFUVALID"},
    {4, 0xE000, kMarkerPage2, "DFU_04", "DFUVALID"},  {5, 0x10000, kMarkerPage1, "DFU_05", "DFUVALID"},
    {7, 0x8000, kMarkerPage0, "DFU_07", nullptr},     {8, 0x8000, kMarkerPage0, "DFU_08", nullptr},
    {9, 0xC000, kMarkerPage0, "DFU_09", nullptr},     {10, 0xC000, kMarkerPage0, "DFU_0A", nullptr},
    {kTarnTypeUnknown, 0x8000, 0, nullptr, nullptr},
};

const TypeLayout kScsiTypes[] = {
    {0, 0x10000, kMarkerPage1, "SCSIDFU_00", "ROVA_DFU"},
    {1, 0x10000, kMarkerPage1, "SCSIDFU_01", "ROVA_DFU"},
    {2, 0x10000, kMarkerPage1, "SCSIDFU_02", "ROVA_DFU"},
    {kScsiTypeUnknown, 0x10000, 0, nullptr, "ROVA_DFU"},
};

const TypeLayout* findType(BinFamily family, int type) {
    if (family == BinFamily::Tarn) {
        for (const TypeLayout& t : kTarnTypes)
            if (t.type == type) return &t;
    } else {
        for (const TypeLayout& t : kScsiTypes)
            if (t.type == type) return &t;
    }
    return nullptr;
}

// Room each block takes; string descriptors are laid out after them.
constexpr uint32_t kBlockSlot = 16;
constexpr uint32_t kWideBlockSlot = 32;
// A serial string is replaced in place by the reader's own (up to 255 bytes), so its slot keeps
// room for the longest descriptor whatever the image's own serial is.
constexpr uint32_t kSerialStringSlot = 256;
constexpr uint32_t kMaxStringUnits = 126;  // bLength is one byte
constexpr const char* kBlankSerial = "000000000000";

bool toUtf16(const std::string& text, std::vector<uint16_t>* units) {
    units->clear();
    for (size_t i = 0; i < text.size();) {
        const uint8_t c = static_cast<uint8_t>(text[i]);
        uint32_t cp;
        size_t extra;
        if (c < 0x80) {
            cp = c;
            extra = 0;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            extra = 2;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            extra = 3;
        } else {
            return false;
        }
        if (i + extra >= text.size()) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const uint8_t cc = static_cast<uint8_t>(text[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = cp << 6 | (cc & 0x3F);
        }
        i += extra + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            units->push_back(static_cast<uint16_t>(0xD800 + (cp >> 10)));
            units->push_back(static_cast<uint16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            units->push_back(static_cast<uint16_t>(cp));
        }
    }
    return true;
}

// Writes a string descriptor; returns its byte count.
uint32_t putString(uint8_t* at, const std::vector<uint16_t>& units) {
    const uint32_t bLength = 2 + 2 * static_cast<uint32_t>(units.size());
    at[0] = static_cast<uint8_t>(bLength);
    at[1] = 3;
    for (size_t i = 0; i < units.size(); ++i) writeLE16(at + 2 + 2 * i, units[i]);
    return bLength;
}

uint32_t even(uint32_t n) { return (n + 1) & ~1u; }

}  // namespace

uint32_t NaturalImageSize(BinFamily family, int type) {
    const TypeLayout* t = findType(family, type);
    return t ? t->size : 0;
}

bool IsKnownTypeNumber(BinFamily family, int type) { return findType(family, type) != nullptr; }

ImageSpec DefaultImageSpec(BinFamily family, int type) {
    ImageSpec s;
    s.family = family;
    s.type = type;
    if (family == BinFamily::Scsi) {
        s.serial = SerialKind::None;
        s.integrity = IntegrityKind::Chksum;
    } else if (type == kTarnTypeExternal) {
        s.productType = 16;
    }
    return s;
}

bool BuildImage(const ImageSpec& spec, std::vector<uint8_t>* out, std::string* error) {
    const TypeLayout* layout = findType(spec.family, spec.type);
    if (!layout) {
        *error = "no " + std::string(spec.family == BinFamily::Tarn ? "Tarn" : "SCSI") + " image type " +
                 std::to_string(spec.type);
        return false;
    }
    const uint32_t size = spec.size ? spec.size : layout->size;
    if (size > kMaxImageFileSize) {
        *error = "an image may hold at most " + std::to_string(kMaxImageFileSize) + " bytes";
        return false;
    }
    const bool tarn = spec.family == BinFamily::Tarn;

    std::vector<uint16_t> manufacturer, product, serialText;
    if (tarn && !spec.omitDesc) {
        const std::string serial = spec.serial == SerialKind::String ? spec.serialText : kBlankSerial;
        if (!toUtf16(spec.manufacturer, &manufacturer) || !toUtf16(spec.product, &product) ||
            !toUtf16(serial, &serialText)) {
            *error = "a text is not valid UTF-8";
            return false;
        }
        if (manufacturer.size() > kMaxStringUnits || product.size() > kMaxStringUnits ||
            serialText.size() > kMaxStringUnits) {
            *error = "a text is longer than a USB string descriptor holds (126 UTF-16 units)";
            return false;
        }
    }

    // Room the blocks need, in the order they are written.
    const bool integrityBlock = spec.integrity != IntegrityKind::None;
    const bool capab = !spec.omitCapab;
    const bool csed = tarn && !spec.omitCsed;
    const bool desc = tarn && !spec.omitDesc;
    const bool serialBlock = tarn && spec.serial != SerialKind::None && !spec.omitSerialBlock;
    uint32_t need = (integrityBlock ? kBlockSlot : 0) + (capab ? kBlockSlot : 0) + (csed ? kWideBlockSlot : 0) +
                    (desc ? kWideBlockSlot : 0) + (serialBlock ? kWideBlockSlot : 0);
    if (desc) {
        need += 4 + 2 + even(2 + 2 * static_cast<uint32_t>(manufacturer.size())) +
                even(2 + 2 * static_cast<uint32_t>(product.size())) + kSerialStringSlot;
    }
    const uint64_t tail = kTrailerLength;
    uint32_t base;
    if (need == 0 || uint64_t{kBlockAreaBegin} + need + tail <= size) {
        base = kBlockAreaBegin;
    } else if (uint64_t{kSmallBlockAreaBegin} + need + tail <= size) {
        base = kSmallBlockAreaBegin;
    } else {
        *error = "an image of " + std::to_string(size) + " bytes has no room for its " + std::to_string(need) +
                 " bytes of blocks";
        return false;
    }

    std::vector<uint8_t>& img = *out;
    img.assign(size, 0);
    uint8_t* d = img.data();
    std::vector<std::pair<const char*, uint32_t>> blocks;  // where each block must be found
    auto put = [&](uint32_t at, const char* text) {
        const size_t n = std::strlen(text);
        if (fits(size, at, n)) std::memcpy(d + at, text, n);
    };
    auto putBlock = [&](uint32_t at, const char* signature) {
        put(at, signature);
        blocks.emplace_back(signature, at);
    };

    // Fixed places first: they decide the type, and a shifted string address space.
    if (layout->marker && !spec.omitMarker) put(layout->markerOffset, layout->marker);
    if (layout->trailer && !spec.omitTrailer && size >= kTrailerLength) put(size - kTrailerLength, layout->trailer);
    if (tarn && spec.type == kTarnTypeExternal && fits(size, kExternalVersionOffset, 2)) {
        d[kExternalVersionOffset] = spec.versionMajor;
        d[kExternalVersionOffset + 1] = spec.versionMinor;
    }

    uint32_t at = base;
    uint32_t integrityAt = 0;
    if (integrityBlock) {
        integrityAt = at;
        if (spec.integrity == IntegrityKind::Chksum) {
            putBlock(at, "CHKSUMSIG");
        } else {
            putBlock(at, "CRCCODEBEGIN");
            const uint32_t count = spec.crcLength ? *spec.crcLength : std::min<uint32_t>(size - at, 0xFFFF);
            writeBE16(d + at + 13, static_cast<uint16_t>(count));
        }
        at += kBlockSlot;
    }
    if (capab) {
        putBlock(at, "CAPAB");
        d[at + 6] = spec.productType;
        d[at + 7] = spec.feature;
        const uint32_t major = tarn ? 9 : 8;
        d[at + major] = spec.versionMajor;
        d[at + major + 1] = spec.versionMinor;
        at += kBlockSlot;
    }
    if (csed) {
        putBlock(at, "CSED");
        static const uint8_t kDeviceDescriptor[kDeviceDescriptorLength] = {
            18, 1, 0x00, 0x02, 0, 0, 0, 64, 0, 0, 0, 0, 0, 0, 1, 2, 0, 1};
        uint8_t* dd = d + at + 5;
        std::memcpy(dd, kDeviceDescriptor, sizeof kDeviceDescriptor);
        writeLE16(dd + 8, spec.idVendor);
        writeLE16(dd + 10, spec.idProduct);
        dd[12] = spec.versionMinor;
        dd[13] = spec.versionMajor;
        dd[16] = spec.serial == SerialKind::None ? 0 : kSerialStringIndex;
        at += kWideBlockSlot;
    }
    if (serialBlock) {
        putBlock(at, "SERCHKC");
        if (spec.serial == SerialKind::Number) {
            d[at + kSerialTypeField] = kSerialTypeNumber;
            writeBE32(d + at + kSerialNumberField, spec.serialNumber);
            writeBE32(d + at + kSerialCheckField, 0u - spec.serialNumber);
        } else {
            d[at + kSerialTypeField] = kSerialTypeString;
        }
        at += kWideBlockSlot;
    }
    if (desc) {
        const uint32_t table = at;
        at += kWideBlockSlot;
        // Controllers that run from 0x8000 see their strings at that address.
        const uint16_t shift = FindAddressShiftMarker(d, size) ? kShiftedAddressBase : 0;
        uint32_t stringAt[6];
        stringAt[0] = at;
        static const uint8_t kLanguages[] = {4, 3, 0x09, 0x04};  // US English
        std::memcpy(d + at, kLanguages, sizeof kLanguages);
        at += sizeof kLanguages;
        stringAt[3] = stringAt[4] = at;  // unused indexes name an empty string
        at += putString(d + at, {});
        stringAt[1] = at;
        at += even(putString(d + at, manufacturer));
        stringAt[2] = at;
        at += even(putString(d + at, product));
        stringAt[5] = at;
        putString(d + at, serialText);
        at += kSerialStringSlot;

        putBlock(table, "DESC");
        d[table + 4] = 6;  // entries in the table
        for (uint32_t i = 0; i < 6; ++i) {
            d[table + 5 + 3 * i] = static_cast<uint8_t>(i);
            writeBE16(d + table + 6 + 3 * i, static_cast<uint16_t>(stringAt[i] + shift));
        }
    }

    // Identifiers and version bytes can spell a signature by chance; a reader would then find that
    // copy first and read nonsense.
    for (const auto& [signature, offset] : blocks) {
        if (FindSignature(d, size, signature) != offset) {
            *error = std::string("the values given spell \"") + signature + "\" before its block";
            return false;
        }
    }

    // Balance last, over whatever range the finished image names.
    if (integrityBlock) {
        const uint32_t balanceAt = integrityAt + (spec.integrity == IntegrityKind::Chksum ? 9 : 15);
        const IntegrityRange r = FindIntegrityRange(d, size);
        if (r.inImage && balanceAt >= r.begin && balanceAt - r.begin < r.count) {
            d[balanceAt] = 0;
            d[balanceAt] = static_cast<uint8_t>(0u - SumBytes(d, r.begin, r.count) + (spec.unbalanced ? 1 : 0));
        }
    }
    return true;
}

}  // namespace image
