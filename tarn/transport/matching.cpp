#include "matching.h"

#include <cstring>
#include <string_view>

#include <image/binfile.h>
#include <image/blocks.h>
#include <image/signatures.h>
#include <protocol/kv7.h>

#include "kv7.h"
#include "plugin_state.h"
#include "tarn_log.h"

namespace tarn {

namespace {

constexpr const char* kUnit = "kpltarn";
constexpr uint8_t kExternalProductType = 16;
constexpr uint32_t kWideReaderType = 26;   // a reader that also takes images of product type 10
constexpr uint8_t kWideReaderImage = 10;

bool isKv7Image(int type) { return type >= 7 && type <= 10; }

// The listed entries: up to the first empty name, at most all of them.
int listedCount(const DeviceInfoList* list) {
    int n = 0;
    while (list && n < KPL_MAX_DEVICES && list->entries[n].name[0]) ++n;
    return n;
}

}  // namespace

std::optional<int> AsicTypeOf(const TarnDeviceRecord& r) {
    switch (r.dfuType) {
    case 0: return 0;
    case 2: return 1;
    case 3: case 4: case 5: case 7: case 8: case 9: case 10: return r.dfuType;
    case kUnknownDfuType:
        if (inUpgradeMode(r)) return std::nullopt;
        return (r.firmwareVersion >> 8) >= 5 ? 1 : 0;
    default: return std::nullopt;  // 1 and 6: controllers no image is made for
    }
}

bool VidPidMatch(const uint8_t* image, uint32_t length, uint32_t vendorProduct) {
    const auto csed = image::ReadCsed(image, length);
    if (!csed) {
        TARN_LOG_AT("tarnutils", "%s(%i) :CSED not found.");
        return false;
    }
    const uint32_t ids = static_cast<uint32_t>(csed->idVendor) << 16 | csed->idProduct;
    if (ids == vendorProduct) return true;
    TARN_LOG_AT("tarnutils", "%s(%i) :VID/PID does not Match");
    TARN_LOG_AT("tarnutils", "%s(%i) :Existing FW VID/PID  %04x  %04x", static_cast<unsigned>(vendorProduct >> 16),
                static_cast<unsigned>(vendorProduct & 0xFFFF));
    TARN_LOG_AT("tarnutils", "%s(%i) :New FW VID/PID       %04x  %04x", static_cast<unsigned>(csed->idVendor),
                static_cast<unsigned>(csed->idProduct));
    return false;
}

int32_t FilterDevices(DeviceInfoList* list, const char* imagePath, int32_t unattended, int32_t ignoreChecks) {
    TARN_PLAIN("Finding match for the device...");
    TARN_LOG_AT(kUnit, "%s(%i) :Binary file name = %s", imagePath ? imagePath : "");
    image::BinFile file(image::BinFamily::Tarn, logger());
    if (!file.Load(imagePath)) return KPL_E_IMAGE_UNREADABLE;
    const uint8_t* data = file.data();
    const uint32_t length = file.length();
    int type = image::DecideTarnType(data, length);
    TARN_LOG_AT(kUnit, "%s(%i) :BinType = %d", type);
    if (type == image::kTarnTypeUnknown) {
        TARN_LOG_AT(kUnit, "%s(%i) :Unknown binary type\r\n");
        return KPL_E_IMAGE_TYPE;
    }
    // The external firmware of the product-type-16 reader is matched as a type-1 image.
    const bool external = type == image::kTarnTypeExternal;
    if (external) type = 1;
    const auto capab = image::ReadCapab(data, length, image::BinFamily::Tarn);
    const uint8_t options = plugin().options;
    const int count = listedCount(list);
    for (int i = 0; i < count; ++i) list->entries[i].selected = 0;

    for (int i = 0; i < count; ++i) {
        DeviceInfoEntry& entry = list->entries[i];
        auto* r = static_cast<TarnDeviceRecord*>(entry.device);
        if (!r || r->transferred) continue;
        const std::optional<int> asic = AsicTypeOf(*r);
        if (r->dfuType != kUnknownDfuType) TARN_LOG_AT(kUnit, "%s(%i) :AsicType = %d", asic ? *asic : -1);
        const bool needsCapab = inUpgradeMode(*r) || !external;
        if (needsCapab && !capab) {
            TARN_LOG_AT(kUnit, "%s(%i) :CAPAB not found\r\n");
            return KPL_OK;
        }
        const uint8_t productType = external ? kExternalProductType : capab->productType;
        bool selected = false;

        if (inUpgradeMode(*r)) {
            if (isKv7Image(type)) {
                selected = r->deviceMode == kModeUpgrade ||
                           (asic == type && (ignoreChecks || productType == r->deviceType ||
                                             (r->deviceType == 0 && unattended == 0)));
            } else {
                selected = r->deviceMode == kModeUpgrade;
            }
            if ((options & kOptionRecoverKrd50n) && r->typeFromSystem && r->deviceType != productType) selected = false;
            entry.selected = selected ? 1 : 0;
            continue;
        }

        if (!external) TARN_LOG_AT(kUnit, "%s(%i) :DeviceType = %d", static_cast<int>(productType));
        uint32_t compared = productType;
        bool decided = false;
        if (r->dfuType == kUnknownDfuType) {
            if (type == 0) compared = productType & 0x0F;
            else if (type != 1) decided = true;  // not selected
        }
        if (!decided) {
            selected = asic == type && (ignoreChecks || compared == r->deviceType);
            if (r->deviceType == kWideReaderType && productType == kWideReaderImage) selected = true;
            if (selected && ignoreChecks != 1 && (options & kOptionUpgradeOnly)) {
                const uint32_t newVersion = external ? image::ReadExternalVersion(data, length).value_or(0)
                                                     : capab->version();
                if (r->firmwareVersion >= newVersion) {
                    TARN_LOG_AT(kUnit, "%s(%i) :Existing FW is newer than or same as the FW to be Downloaded");
                    TARN_LOG_AT(kUnit, "%s(%i) :Existing FW Version %xh", static_cast<unsigned>(r->firmwareVersion));
                    TARN_LOG_AT(kUnit, "%s(%i) :New FW Version %xh", static_cast<unsigned>(newVersion));
                    selected = false;
                }
            }
            if (selected && ignoreChecks != 1 && !external) {
                if ((options & kOptionMatchVidPid) && !VidPidMatch(data, length, r->vendorProduct)) selected = false;
                if ((options & kOptionMatchFeature) && r->feature != capab->feature) {
                    TARN_LOG_AT(kUnit, "%s(%i) :FW Feature does not Match");
                    TARN_LOG_AT(kUnit, "%s(%i) :Existing FW Feature %xh", static_cast<unsigned>(r->feature));
                    TARN_LOG_AT(kUnit, "%s(%i) :New FW Feature %xh", static_cast<unsigned>(capab->feature));
                    selected = false;
                    // The Plex monitor carries its modules: an image of another feature is a
                    // mistake the operator must see, not a reader to pass over.
                    if (r->driveLetter == kPlexMonitorDrive) return KPL_E_FEATURE_MISMATCH;
                }
            }
        }
        entry.selected = selected ? 1 : 0;
    }
    return KPL_OK;
}

int32_t MatchDevicesBySymLink(DeviceInfoList* list, const char* text, const char* imagePath) {
    if (const int32_t status = FilterDevices(list, imagePath, 1, 0)) return status;
    const int count = listedCount(list);
    for (int i = 0; i < count; ++i) {
        DeviceInfoEntry& entry = list->entries[i];
        const auto* r = static_cast<const TarnDeviceRecord*>(entry.device);
        if (!entry.selected || !r) continue;
        const size_t n = strnlen(r->devicePath, sizeof r->devicePath);
        const std::string_view path(r->devicePath, n);
        if (!text || path.find(text) == std::string_view::npos) entry.selected = 0;
    }
    return KPL_OK;
}

int32_t MatchDfuDevicesByProductType(DeviceInfoList* list, const char* imagePath) {
    if (const int32_t status = FilterDevices(list, imagePath, 1, 0)) return status;
    image::BinFile file(image::BinFamily::Tarn, logger());
    if (!file.Load(imagePath)) return KPL_E_IMAGE_UNREADABLE;
    const auto capab = image::ReadCapab(file.data(), file.length(), image::BinFamily::Tarn);
    if (!capab) {
        TARN_LOG_AT(kUnit, "%s(%i) :CAPAB not found\r\n");
        return KPL_E_IMAGE_INTEGRITY;
    }
    const uint8_t expected[2] = {static_cast<uint8_t>(~capab->productType), capab->productType};
    int32_t lastRead = KPL_OK;
    bool any = false;
    const int count = listedCount(list);
    for (int i = 0; i < count; ++i) {
        DeviceInfoEntry& entry = list->entries[i];
        const auto* r = static_cast<const TarnDeviceRecord*>(entry.device);
        if (!entry.selected) continue;
        entry.selected = 0;
        if (!entry.inUpgradeMode || !r) continue;
        uint8_t word[2] = {};
        lastRead = ReadConfig(*r, kv7::kProductTypeAddress, word, sizeof word);
        if (lastRead == KPL_OK && std::memcmp(word, expected, sizeof word) == 0) entry.selected = 1;
        any = any || entry.selected;
    }
    // A reader that matched is what the caller asked for; a later read on another one does not
    // undo that.
    return any ? KPL_OK : lastRead;
}

}  // namespace tarn
