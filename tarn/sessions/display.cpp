// KPLGetDisplayInfo: the table of what a listed reader reports — manufacturer, product, USB
// identifiers, firmware version, serial number, product type and, for a Plex module, its slot.
// This build fills the reader's column; the image's column stays empty.
#include <cstdio>
#include <cstring>

#include <devaccess/sysutil.h>
#include <protocol/kv7.h>

#include "kv7.h"
#include "plugin_state.h"
#include "sessions.h"
#include "tarn_device.h"
#include "tarn_log.h"

namespace tarn {

namespace {

constexpr const char* kUnit = "kpltarn";
constexpr const char* kNotKnown = "Not Known";

enum Row { kManufacturer, kProduct, kVendorId, kProductId, kVersion, kSerial, kProductType, kSlot, kRows };
constexpr UINT kLabels[kRows] = {500, 501, 502, 503, 504, 512, 622, 619};
constexpr const char* kLogLabels[kRows] = {"Manufacturer", "Product",   "Vendor ID",    "Product ID",
                                           "Firmware Version", "Serial No", "Product Type", "Slot No"};

void put(char* cell, const char* text) { std::snprintf(cell, KPL_TEXT_SIZE, "%s", text); }

// The display name of a product type; false when the library has none.
bool typeName(uint32_t type, char* out) {
    char name[MAX_PATH] = {};
    GetDeviceTypeName(static_cast<int32_t>(type), name, sizeof name);
    if (!name[0]) return false;
    put(out, name);
    return true;
}

}  // namespace

int32_t FillDisplayInfo(const DeviceInfoEntry& entry, DisplayInfo* info) {
    const auto* r = static_cast<const TarnDeviceRecord*>(entry.device);
    std::memset(info, 0, sizeof *info);
    const int rows = r->isModule == 1 ? kRows : kSlot;
    for (int i = 0; i < rows; ++i) {
        LoadText(kLabels[i], info->rows[i].label);
        put(info->rows[i].existing, kNotKnown);
    }
    if (inUpgradeMode(*r)) {
        // Only a KV7 controller knows something of itself here: the type it was last given.
        uint8_t word[2] = {};
        if (ReadConfig(*r, kv7::kProductTypeAddress, word, sizeof word) == KPL_OK && word[1] == static_cast<uint8_t>(~word[0]))
            typeName(word[1], info->rows[kProductType].existing);
        return KPL_OK;
    }
    put(info->rows[kManufacturer].existing, r->manufacturerName);
    put(info->rows[kProduct].existing, r->productName);
    std::snprintf(info->rows[kVendorId].existing, KPL_TEXT_SIZE, "%04X", static_cast<unsigned>(r->vendorProduct >> 16));
    std::snprintf(info->rows[kProductId].existing, KPL_TEXT_SIZE, "%04X", static_cast<unsigned>(r->vendorProduct & 0xFFFF));
    std::snprintf(info->rows[kVersion].existing, KPL_TEXT_SIZE, "%02d.%02d", static_cast<int>(r->firmwareVersion >> 8),
                  static_cast<int>(r->firmwareVersion & 0xFF));
    put(info->rows[kSerial].existing, r->serialNumber);
    typeName(r->deviceType, info->rows[kProductType].existing);
    if (rows > kSlot) std::snprintf(info->rows[kSlot].existing, KPL_TEXT_SIZE, "%02d", static_cast<int>(r->slot));
    TARN_PLAIN("Existing Firmware Parameters:");
    for (int i = 0; i < rows; ++i) TARN_PLAIN("%s: %s", kLogLabels[i], info->rows[i].existing);
    return KPL_OK;
}

}  // namespace tarn
