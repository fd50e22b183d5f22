/* A minimal plug-in in plain C: two entry points, a helper that must stay private, and a report
 * of the record layout as a C compiler sees it. */
#define KPL_DECLARE_ENTRY_POINTS
#include <plugin-api/kpl.h>
#include <string.h>

static LoggerCallback g_logger;

int32_t probeHelper(void) { return 7; }

KPL_EXPORT int32_t KPLInitializeLogger(LoggerCallback logger) {
    g_logger = logger;
    return (int32_t)(uintptr_t)logger;
}

KPL_EXPORT int32_t KPLGetErrorMessage(int32_t status, char* buffer) {
    (void)status;
    strncpy(buffer, "probe", KPL_TEXT_SIZE - 1);
    buffer[KPL_TEXT_SIZE - 1] = '\0';
    if (g_logger) g_logger("%s(%i) :probe", "probe", 1);
    return KPL_OK;
}

/* Offsets as this C compiler lays the records out, in a fixed order for the test. */
KPL_EXPORT void probeLayout(size_t* out) {
    out[0] = offsetof(DeviceInfoEntry, selected);
    out[1] = offsetof(DeviceInfoEntry, device);
    out[2] = offsetof(DeviceInfoEntry, inUpgradeMode);
    out[3] = sizeof(DeviceInfoEntry);
    out[4] = sizeof(DeviceInfoList);
    out[5] = offsetof(DisplayInfoRow, proposed);
    out[6] = sizeof(DisplayInfo);
}
