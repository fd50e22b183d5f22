// KPLTARN's start: the logger, the host's start and exit (FORCEFS), the options of a scan, the
// opening of every scan (media-change handles, the I/O layer), its end, the message of a status,
// and the judgement of an image on its own.
#include <cstring>
#include <vector>

#include <devaccess/scsi.h>
#include <devaccess/sysutil.h>
#include <image/binfile.h>
#include <image/integrity.h>
#include <image/signatures.h>
#include <plugin-common/command_line.h>
#include <plugin-common/read_option.h>

#include "arrival_state.h"
#include "controllers.h"
#include "device_list.h"
#include "io_layer.h"
#include "options.h"
#include "plugin_state.h"
#include "sessions.h"
#include "tarn_log.h"

using namespace tarn;

KPL_EXPORT int32_t KPLInitializeLogger(LoggerCallback logger) {
    setLogger(logger);
    return static_cast<int32_t>(reinterpret_cast<uintptr_t>(logger));
}

KPL_EXPORT int32_t KPLStartStop(int32_t starting, const char* configPath) {
    if (!configPath) return KPL_OK;
    char value[kOptionValueSize];
    if (!ReadOption(configPath, "FORCEFS", value) || !OptionIsYes(value)) return KPL_OK;
    TARN_PLAIN("FORCEFS option enabled.");
    return SwitchHighSpeedControllers(!starting);
}

KPL_EXPORT int32_t KPLCreateDeviceInfoList(DeviceInfoList* list, const char* configPath) {
    if (configPath) ReadOptions(configPath);

    // Windows must not look at the readers' media while they change mode under it.
    ScsiListOptions listOptions{};
    ScsiDevice* scsiDevices = ScsiCreateDeviceInfoList(&listOptions);
    std::vector<HANDLE> mcn;
    bool held[26] = {};
    for (ScsiDevice* d = scsiDevices; d; d = d->next) {
        SleepEx(5, TRUE);
        if (d->drive < 'A' || d->drive > 'Z' || held[d->drive - 'A']) continue;
        const char root[4] = {d->drive, ':', '\\', '\0'};
        if (GetDriveTypeA(root) != DRIVE_REMOVABLE) continue;
        HANDLE h = ScsiDisableMcn(d->drive - 'A');
        if (h == INVALID_HANDLE_VALUE) {
            TARN_LOG_AT("kpltarn", "%s(%i) :CreateFile by using drive letter failed. Error: %xh",
                        static_cast<unsigned>(GetLastError()));
            continue;
        }
        held[d->drive - 'A'] = true;
        mcn.push_back(h);
    }
    Sleep(1000);

    int32_t status = InitializeIoLayer();
    if (status != KPL_OK) {
        TARN_LOG_AT("kpltarn", "%s(%i) :InitializeIOLayer failed.");
    } else {
        status = BuildDeviceGroups(list, scsiDevices);
    }

    for (HANDLE h : mcn) CloseHandle(h);
    ScsiDestroyDeviceInfoList(scsiDevices);
    if (status != KPL_OK) return status;
    return !list || list->entries[0].name[0] == '\0' ? KPL_E_NO_DEVICE : KPL_OK;
}

KPL_EXPORT int32_t KPLDestroyDeviceInfoList(DeviceInfoList* list) {
    StopWorkerThreads();
    FreeDeviceRecords(list);
    PluginState& s = plugin();
    if (s.strings) FreeLibrary(s.strings);
    s.strings = nullptr;
    CloseHelperDriver();
    return KPL_OK;
}

KPL_EXPORT int32_t KPLGetErrorMessage(int32_t status, char* buffer) {
    if (!buffer) return 0;
    buffer[0] = '\0';
    if (plugin().strings) {
        if (status > 0 && status <= 0xFFFF) LoadText(static_cast<UINT>(status), buffer);
        return 0;
    }
    // Without the string library the system's own text of what went wrong is the best there is.
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr,
                   GetLastError(), 0, buffer, KPL_TEXT_SIZE, nullptr);
    return 0;
}

KPL_EXPORT int32_t KPLIsBinaryValid(const char* imagePath) {
    TARN_PLAIN("Validating Firmware...");
    TARN_LOG_AT("Bin", "%s(%i) :BinFile Name :%s", imagePath ? imagePath : "");
    image::BinFile file(image::BinFamily::Tarn, logger());
    if (!file.Load(imagePath)) return KPL_E_IMAGE_UNREADABLE;
    const int type = image::DecideTarnType(file.data(), file.length());
    TARN_LOG_AT("Bin", "%s(%i) :BinFile Type = %d", type);
    if (type == image::kTarnTypeUnknown) {
        TARN_LOG_AT("Bin", "%s(%i) :Unknown binary type\r\n");
        return KPL_E_IMAGE_TYPE;
    }
    if (!IgnoreChecksRequested() && !image::CheckIntegrity(file)) return KPL_E_IMAGE_INTEGRITY;
    return KPL_OK;
}
