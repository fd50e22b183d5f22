// A plug-in built only for the host's tests. Each build exports a chosen set of entry points
// (OMIT_<NAME> leaves one out) and lists the devices named by the environment variable
// ZELFIN_TEST_<TEST_PLUGIN_NAME>_DEVICES: a comma list in which "-" is an entry with an empty name.
#define KPL_DECLARE_ENTRY_POINTS
#include <plugin-api/kpl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#define STR2(x) #x
#define STR(x) STR2(x)

namespace {

LoggerCallback logger = nullptr;

std::string env(const char* what) {
    const std::string name = std::string("ZELFIN_TEST_") + STR(TEST_PLUGIN_NAME) + "_" + what;
    const char* v = std::getenv(name.c_str());
    return v ? v : "";
}

int32_t envNumber(const char* what, int32_t fallback) {
    const std::string v = env(what);
    return v.empty() ? fallback : static_cast<int32_t>(std::atoi(v.c_str()));
}

// Records every call, so that a test can check the order the host drives a plug-in in.
void note(const char* call) {
    const std::string file = env("TRACE");
    if (file.empty()) return;
    if (FILE* f = std::fopen(file.c_str(), "a")) {
        std::fprintf(f, "%s:%s\n", STR(TEST_PLUGIN_NAME), call);
        std::fclose(f);
    }
}

}  // namespace

#ifndef OMIT_INITIALIZE_LOGGER
KPL_EXPORT int32_t KPLInitializeLogger(LoggerCallback callback) {
    note("KPLInitializeLogger");
    logger = callback;
    if (logger) logger("%s(%i) :Test plug-in %s ready", "testplugin", 1, STR(TEST_PLUGIN_NAME));
    return static_cast<int32_t>(reinterpret_cast<uintptr_t>(callback));
}
#endif

#ifdef WITH_START_STOP
// With ZELFIN_TEST_<name>_START_ENTERED and _START_RELEASE naming two FIFOs, starting tells the
// test it has begun and then waits until the test releases it: the host sits in the middle of
// its start-up, wait window shown, for as long as the test needs.
static void holdStart() {
    const std::string entered = env("START_ENTERED");
    const std::string release = env("START_RELEASE");
    if (entered.empty() || release.empty()) return;
    if (FILE* f = std::fopen(entered.c_str(), "w")) {
        std::fputc('1', f);
        std::fclose(f);
    }
    if (FILE* f = std::fopen(release.c_str(), "r")) {
        while (std::fgetc(f) != EOF) {
        }
        std::fclose(f);
    }
}

KPL_EXPORT int32_t KPLStartStop(int32_t starting, const char*) {
    note(starting ? "KPLStartStop(1)" : "KPLStartStop(0)");
    if (starting) holdStart();
    return starting ? envNumber("START_RESULT", 0) : 0;
}
#endif

#ifndef OMIT_CREATE
KPL_EXPORT int32_t KPLCreateDeviceInfoList(DeviceInfoList* list, const char*) {
    note("KPLCreateDeviceInfoList");
    const int32_t forced = envNumber("CREATE_RESULT", -1);
    const std::string devices = env("DEVICES");
    size_t start = 0;
    int n = 0;
    while (n < KPL_MAX_DEVICES && list->entries[n].name[0]) ++n;
    while (!devices.empty() && start <= devices.size() && n < KPL_MAX_DEVICES) {
        size_t end = devices.find(',', start);
        if (end == std::string::npos) end = devices.size();
        const std::string name = devices.substr(start, end - start);
        DeviceInfoEntry& e = list->entries[n++];
        std::snprintf(e.name, sizeof e.name, "%s", name == "-" ? "" : name.c_str());
        start = end + 1;
    }
    if (forced >= 0) return forced;
    return list->entries[0].name[0] ? 0 : KPL_E_NO_DEVICE;
}
#endif

#ifndef OMIT_IS_BINARY_VALID
KPL_EXPORT int32_t KPLIsBinaryValid(const char*) { return KPL_E_IMAGE_TYPE; }
#endif

#ifndef OMIT_FILTER
KPL_EXPORT int32_t KPLFilterDeviceInfoSet(DeviceInfoList*, const char*, int32_t, int32_t) { return 0; }
#endif

#ifndef OMIT_DISPLAY_INFO
KPL_EXPORT int32_t KPLGetDisplayInfo(DeviceInfoList*, uint8_t, const char*, DisplayInfo*) { return 0; }
#endif

#ifndef OMIT_DOWNLOAD
KPL_EXPORT int32_t KPLDownloadFirmware(DeviceInfoList*, uint8_t, const char*, const char*, ProgressCallback,
                                       volatile int32_t*) {
    return KPL_E_FIRMWARE_WRITE;
}
#endif

#ifndef OMIT_UPLOAD
KPL_EXPORT int32_t KPLUploadFirmware(DeviceInfoList*, uint8_t, const char*, ProgressCallback, volatile int32_t*) {
    return KPL_E_FIRMWARE_READ;
}
#endif

#ifndef OMIT_ERROR_MESSAGE
KPL_EXPORT int32_t KPLGetErrorMessage(int32_t status, char* buffer) {
    std::snprintf(buffer, KPL_TEXT_SIZE, "Test plug-in %s status %d", STR(TEST_PLUGIN_NAME), status);
    return 0;
}
#endif

#ifndef OMIT_DESTROY
KPL_EXPORT int32_t KPLDestroyDeviceInfoList(DeviceInfoList*) {
    note("KPLDestroyDeviceInfoList");
    return envNumber("DESTROY_RESULT", 0);
}
#endif

#ifdef WITH_IS_OS_SUPPORTED
KPL_EXPORT int32_t KPLIsOSSupported(void) {
    note("KPLIsOSSupported");
    return WITH_IS_OS_SUPPORTED;
}
#endif

#ifdef WITH_IS_UPLOAD_SUPPORTED
KPL_EXPORT int32_t KPLIsUploadSupported(void) { return WITH_IS_UPLOAD_SUPPORTED; }
#endif
