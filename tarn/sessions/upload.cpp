// KPLUploadFirmware: the firmware of one listed reader into a file the operator chose. The reader
// is brought into upgrade mode, its firmware read and written to the file, and the reader
// returned to functional mode (one found in upgrade mode stays there). A file is only left behind
// when it holds the whole firmware.
#include <cstring>

#include <image/binfile.h>
#include <protocol/kv7.h>

#include "arrival.h"
#include "device_list.h"
#include "plugin_state.h"
#include "sessions.h"
#include "tarn_device.h"
#include "tarn_log.h"

using namespace tarn;

namespace {

constexpr const char* kUnit = "kpltarn";
constexpr uint32_t kExternalFirmwareType = 16;

// Steps 1 to 9; the first failure is the status. `created` tells whether the target file was made.
int32_t upload(DeviceInfoList* list, DeviceInfoEntry* entry, const char* target, ProgressCallback progress,
               volatile int32_t* abortFlag, image::BinFile& copy, bool* skipSwitchBack, bool* created) {
    auto* r = static_cast<TarnDeviceRecord*>(entry->device);
    if (const int32_t status = CreateKpltarnWnd(); status != KPL_OK) {
        TARN_LOG_AT(kUnit, "%s(%i) :CreateKpltarnWnd () failed.");
        return status;
    }
    Report(progress, 0, KPL_TEXT_START);
    if (const int32_t status = ExclusiveDfu(list, *r, false, abortFlag); status != KPL_OK) return status;
    if (const int32_t status = CheckAndUpdateUsbstorDevExt(r); status != KPL_OK) {
        TARN_LOG_AT(kUnit, "%s(%i) :CheckAndUpdateUsbstorDevExt Failed.");
        return status;
    }
    if (kv7::isKv7Type(r->dfuType) || r->deviceMode == kModeKv7Upgrade) {
        TARN_LOG_AT(kUnit, "%s(%i) :KV7 controllers are not read by this build.");
        return KPL_E_SYSTEM;
    }
    TARN_LOG_AT(kUnit, "%s(%i) :DeviceType = %d", static_cast<int>(r->deviceType));
    if (r->deviceType == kExternalFirmwareType && r->dfuType != 3) {
        // Its external firmware would have to be saved first, beside the target.
        TARN_LOG_AT(kUnit, "%s(%i) :External firmware is not read by this build.");
        return KPL_E_SYSTEM;
    }
    TARN_PLAIN("Switching to DFU Mode...");
    Report(progress, 35, KPL_TEXT_SWITCH_TO_DFU);
    TARN_LOG_AT(kUnit, "%s(%i) :DfuType = %d", static_cast<int>(r->dfuType));
    *skipSwitchBack = r->deviceMode == kModeUpgrade;
    if (const int32_t status = SwitchToDFU(list, entry, abortFlag); status != KPL_OK) {
        TARN_LOG_AT(kUnit, "%s(%i) :SwitchToDFU failed.");
        return status;
    }
    if (r->deviceHandle == INVALID_HANDLE_VALUE) return KPL_E_TO_UPGRADE_MODE;  // the wait was ended
    TARN_PLAIN("Uploading Firmware...");
    Report(progress, 25, KPL_TEXT_UPLOADING);
    const int32_t status = UploadToFile(entry, copy, FirmwareLength(*r), target, true);
    *created = status != KPL_E_OUTPUT_CREATE;
    if (status != KPL_OK) TARN_LOG_AT(kUnit, "%s(%i) :Upload to file failed.");
    return status;
}

}  // namespace

KPL_EXPORT int32_t KPLUploadFirmware(DeviceInfoList* list, uint8_t index, const char* targetPath,
                                     ProgressCallback progress, volatile int32_t* abortFlag) {
    if (!list || index >= KPL_MAX_DEVICES || !list->entries[index].name[0] || !list->entries[index].device) {
        TARN_LOG_AT(kUnit, "%s(%i) :Invalid device index %d", static_cast<int>(index));
        return KPL_E_SYSTEM;
    }
    DeviceInfoEntry* entry = &list->entries[index];
    auto* r = static_cast<TarnDeviceRecord*>(entry->device);
    char target[KPL_TEXT_SIZE] = {};
    std::snprintf(target, sizeof target, "%s", targetPath ? targetPath : "");
    bool skipSwitchBack = false, created = false;
    int32_t status;
    {
        image::BinFile copy(image::BinFamily::Tarn, logger());
        status = upload(list, entry, target, progress, abortFlag, copy, &skipSwitchBack, &created);
    }
    // A file that does not hold the whole firmware must not pass for a backup.
    if (status != KPL_OK && created) DeleteFileA(target);
    TARN_PLAIN("Switching to Functional Mode...");
    Report(progress, 30, KPL_TEXT_SWITCH_TO_FUNCTIONAL);
    if (!skipSwitchBack) {
        const int32_t back = SwitchToFunctional(entry, abortFlag, status != KPL_OK);
        if (status == KPL_OK) status = back;
    }
    ExclusiveDfu(list, *r, true, abortFlag);
    r->transferred = 1;
    if (status == KPL_OK) {
        TARN_PLAIN("Upload Completed Successfully");
        Report(progress, 10, KPL_TEXT_UPLOAD_DONE);
    }
    DestroyKpltarnWnd();
    return status;
}
