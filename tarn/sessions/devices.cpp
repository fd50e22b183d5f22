// What is done with the readers a scan listed: matching images to them, showing what one
// reports, resetting one.
#include "device_list.h"
#include "helper_client.h"
#include "matching.h"
#include "tarn_device.h"
#include "plugin_state.h"
#include "sessions.h"
#include "tarn_log.h"

namespace tarn {

namespace {

// An index the plug-in did not list, or an entry point that cannot take a reader yet.
int32_t refuseIndex(uint8_t index) {
    TARN_LOG_AT("kpltarn", "%s(%i) :Invalid device index %d", static_cast<int>(index));
    return KPL_E_SYSTEM;
}

}  // namespace

void FreeDeviceRecords(DeviceInfoList* list) {
    ForgetMerrowHandle();
    for (int i = 0; list && i < KPL_MAX_DEVICES; ++i) {
        FreeDeviceRecord(static_cast<TarnDeviceRecord*>(list->entries[i].device));
        list->entries[i].device = nullptr;
    }
}

void CloseHelperDriver() { UnloadHelperDriver(); }

}  // namespace tarn

using namespace tarn;

KPL_EXPORT int32_t KPLFilterDeviceInfoSet(DeviceInfoList* list, const char* imagePath, int32_t unattended,
                                          int32_t ignoreChecks) {
    return FilterDevices(list, imagePath, unattended, ignoreChecks);
}

KPL_EXPORT int32_t KPLMatchDevBySymLink(DeviceInfoList* list, const char* devicePathText, const char* imagePath) {
    return MatchDevicesBySymLink(list, devicePathText, imagePath);
}

KPL_EXPORT int32_t KPLMatchDFUDevByProdType(DeviceInfoList* list, const char* imagePath) {
    return MatchDfuDevicesByProductType(list, imagePath);
}

KPL_EXPORT int32_t KPLGetDisplayInfo(DeviceInfoList* list, uint8_t index, const char*, DisplayInfo* info) {
    if (!list || !info || index >= KPL_MAX_DEVICES || !list->entries[index].name[0] || !list->entries[index].device)
        return refuseIndex(index);
    return FillDisplayInfo(list->entries[index], info);
}

KPL_EXPORT int32_t KPLResetDevice(DeviceInfoEntry* entry) {
    const auto* record = entry ? static_cast<const TarnDeviceRecord*>(entry->device) : nullptr;
    if (!record) {
        TARN_LOG_AT("kpltarn", "%s(%i) :IOCTL_DMHLP_RESET_DEVICE failed. Error: %xh.",
                    static_cast<unsigned>(ERROR_INVALID_PARAMETER));
        return 0;
    }
    return ResetHelperDevice(helperHandle(), static_cast<uint32_t>(record->deviceObject));
}
