// What the host shows about one reader: its name, target, write protection and firmware version,
// with the version an image would bring beside it.
#include <protocol/reader_commands.h>
#include <image/binfile.h>
#include <image/blocks.h>

#include <cstdio>
#include <cstring>

#include "mora.h"

namespace mora {

namespace {

void copyText(char (&field)[KPL_TEXT_SIZE], const char* text) { std::snprintf(field, sizeof field, "%s", text); }

UINT writeProtectText(uint8_t writeProtect) {
    switch (writeProtect) {
    case 0: return KPL_VALUE_WRITE_PROTECT_OFF;
    case 1: return KPL_VALUE_WRITE_PROTECT_ON;
    default: return KPL_VALUE_WRITE_PROTECT_NOT_KNOWN;  // unread, or a value the firmware should not give
    }
}

// The version the reader runs, as "MM.mm" into out: KPL_OK, 611 or 616.
int32_t existingVersion(const DeviceInfoEntry& entry, ScsiDevice* device, char (&out)[KPL_TEXT_SIZE]) {
    // A reader in its boot loader has no controller to ask.
    if (NameContains(entry.name, kInquiryUpgradeMode)) {
        LoadText(KPL_VALUE_VERSION_NOT_KNOWN, out);
        MORA_LOG("%s(%i) :Existing Firmware Version: Not known");
        return KPL_OK;
    }
    if (!ScsiOpenDevice(device)) return KPL_E_DEVICE_OPEN;
    uint8_t reply[readercmd::kQueryControllerReplyLength] = {};
    const bool answered = ScsiDiagxQueryController(device, reply) != 0;
    const DWORD error = GetLastError();
    ScsiCloseDevice(device);
    if (!answered) {
        MORA_LOG("%s(%i) :Query controller failed. Error = %xh", static_cast<unsigned>(error));
        return KPL_E_CONTROLLER_QUERY;
    }
    std::snprintf(out, sizeof out, "%02d.%02d", reply[readercmd::kQueryControllerMajor],
                  reply[readercmd::kQueryControllerMinor]);
    MORA_LOG("%s(%i) :Existing Firmware Version: %s", out);
    return KPL_OK;
}

}  // namespace

}  // namespace mora

using namespace mora;

KPL_EXPORT int32_t KPLGetDisplayInfo(DeviceInfoList* list, uint8_t deviceIndex, const char* imagePath,
                                     DisplayInfo* info) {
    ScsiDeviceRecord* record = RecordAt(list, deviceIndex);
    if (!record || !info) return KPL_E_DEVICE_OPEN;
    image::BinFile file(image::BinFamily::Scsi, state().logger);
    if (imagePath && !file.Load(imagePath)) return KPL_E_IMAGE_UNREADABLE;

    DisplayInfoRow* rows = info->rows;
    LoadText(KPL_LABEL_PRODUCT, rows[0].label);
    copyText(rows[0].existing, record->name);
    LoadText(KPL_LABEL_TARGET_ID, rows[1].label);
    if (record->targetId == kUnknown)
        LoadText(KPL_VALUE_TARGET_ID_NOT_KNOWN, rows[1].existing);
    else
        std::snprintf(rows[1].existing, sizeof rows[1].existing, "%d", record->targetId);
    LoadText(KPL_LABEL_WRITE_PROTECTION, rows[2].label);
    LoadText(writeProtectText(record->writeProtect), rows[2].existing);
    LoadText(KPL_LABEL_FIRMWARE_VERSION, rows[3].label);
    rows[4].label[0] = '\0';

    if (const int32_t status = existingVersion(list->entries[deviceIndex], record->device, rows[3].existing))
        return status;
    if (imagePath) {
        const auto capab = image::ReadCapab(file.data(), file.length(), image::BinFamily::Scsi);
        if (!capab) {
            MORA_LOG("%s(%i) :CAPAB not found.");
            return KPL_E_IMAGE_TYPE;
        }
        std::snprintf(rows[3].proposed, sizeof rows[3].proposed, "%02d.%02d", capab->versionMajor, capab->versionMinor);
        MORA_LOG_AT("KPLMORA", "%s(%d) :New Firmware Version: %s", rows[3].proposed);
    }
    return KPL_OK;
}
