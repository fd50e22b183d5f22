// The readers a scan lists and what is done with them. Listing, matching, display and the
// transfers are not in this build of the plug-in: a scan lists no reader (the host reports that
// no device was found), and the entry points that take a listed reader refuse every index.
#include <image/binfile.h>
#include <image/signatures.h>

#include "helper_client.h"
#include "plugin_state.h"
#include "sessions.h"
#include "tarn_log.h"

namespace tarn {

namespace {

// No entry of this plug-in carries a record yet; any index is one the plug-in did not list.
int32_t refuseIndex(uint8_t index) {
    TARN_LOG_AT("kpltarn", "%s(%i) :Invalid device index %d", static_cast<int>(index));
    return KPL_E_SYSTEM;
}

}  // namespace

int32_t BuildDeviceGroups(DeviceInfoList*, ScsiDevice*) { return KPL_OK; }

void FreeDeviceRecords(DeviceInfoList*) {}

void CloseHelperDriver() { UnloadHelperDriver(); }

}  // namespace tarn

using namespace tarn;

KPL_EXPORT int32_t KPLFilterDeviceInfoSet(DeviceInfoList* list, const char* imagePath, int32_t, int32_t) {
    TARN_PLAIN("Finding match for the device...");
    TARN_LOG_AT("kpltarn", "%s(%i) :Binary file name = %s", imagePath ? imagePath : "");
    image::BinFile file(image::BinFamily::Tarn, logger());
    if (!file.Load(imagePath)) return KPL_E_IMAGE_UNREADABLE;
    const int type = image::DecideTarnType(file.data(), file.length());
    TARN_LOG_AT("kpltarn", "%s(%i) :BinType = %d", type);
    if (type == image::kTarnTypeUnknown) {
        TARN_LOG_AT("kpltarn", "%s(%i) :Unknown binary type\r\n");
        return KPL_E_IMAGE_TYPE;
    }
    for (int i = 0; list && i < KPL_MAX_DEVICES && list->entries[i].name[0]; ++i)
        if (list->entries[i].device) list->entries[i].selected = 0;
    return KPL_OK;
}

KPL_EXPORT int32_t KPLMatchDevBySymLink(DeviceInfoList* list, const char*, const char* imagePath) {
    return KPLFilterDeviceInfoSet(list, imagePath, 1, 0);
}

KPL_EXPORT int32_t KPLMatchDFUDevByProdType(DeviceInfoList* list, const char* imagePath) {
    return KPLFilterDeviceInfoSet(list, imagePath, 1, 0);
}

KPL_EXPORT int32_t KPLGetDisplayInfo(DeviceInfoList*, uint8_t index, const char*, DisplayInfo*) { return refuseIndex(index); }

KPL_EXPORT int32_t KPLDownloadFirmware(DeviceInfoList*, uint8_t index, const char*, const char*, ProgressCallback,
                                       volatile int32_t*) {
    return refuseIndex(index);
}

KPL_EXPORT int32_t KPLUploadFirmware(DeviceInfoList*, uint8_t index, const char*, ProgressCallback, volatile int32_t*) {
    return refuseIndex(index);
}

KPL_EXPORT int32_t KPLResetDevice(DeviceInfoEntry* entry) {
    TARN_LOG_AT("kpltarn", "%s(%i) :IOCTL_DMHLP_RESET_DEVICE failed. Error: %xh.",
                static_cast<unsigned>(entry ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER));
    return 0;
}
