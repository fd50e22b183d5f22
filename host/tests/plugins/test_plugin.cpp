// A plug-in built only for the host's tests. Each build exports a chosen set of entry points
// (OMIT_<NAME> leaves one out, WITH_<NAME> adds an optional one) and behaves as the environment
// variables ZELFIN_TEST_<TEST_PLUGIN_NAME>_<WHAT> say:
//   DEVICES          the devices listed: a comma list in which "-" is an entry with an empty name
//   UPGRADE          indices of the devices that are in upgrade mode
//   ACCEPT           file-name endings (ignoring case) of the images it accepts; none without it
//   MATCH            which devices an image fits: "ending:i,j;ending:k"; without it every device
//   FILTER_RESULT    what filtering returns (0 by default)
//   DOWNLOAD_RESULT  results of the downloads in call order, the last repeated (0 by default);
//                    the order starts again whenever the variable changes
//   DOWNLOAD_ENTERED, DOWNLOAD_RELEASE  two FIFOs: each download says it began and waits
//   DOWNLOAD_UNTIL_ABORT  set: a download works until the host's abort flag is set
//   IGNORE_ABORT     when set, a download goes on although the host asked it to stop
//   UPLOAD_RESULT    what an upload returns (0 by default)
//   DISPLAY_ROWS     how many display rows a device reports (2 by default, at most 30)
//   DISPLAY_FAIL     indices of the devices whose display information fails with 611
//   DISPLAY_LONG     when set, the first row's value fills its 260 bytes without a terminator
//   DLL_INFO_1, DLL_INFO_2  the About texts of KPLGetDLLInfo (WITH_DLL_INFO); none when unset
//   TRACE            a file that gets one line per call
// A download writes the backup file it is given; an upload writes its target file.
#define KPL_DECLARE_ENTRY_POINTS
#include <plugin-api/kpl.h>

#include <cstdio>
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <chrono>
#include <thread>

#include <winsim/windows.h>

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

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (!text.empty() && start <= text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos) end = text.size();
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

bool listsIndex(const std::string& commaList, int index) {
    for (const std::string& i : split(commaList, ','))
        if (!i.empty() && std::atoi(i.c_str()) == index) return true;
    return false;
}

bool endsWith(const std::string& text, const std::string& ending) {
    if (ending.size() > text.size()) return false;
    for (size_t i = 0; i < ending.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[text.size() - ending.size() + i])) !=
            std::tolower(static_cast<unsigned char>(ending[i])))
            return false;
    return true;
}

// Says through one FIFO that the call began and waits until the test writes to the other.
void hold(const char* enteredVar, const char* releaseVar) {
    const std::string entered = env(enteredVar);
    const std::string release = env(releaseVar);
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

// Backup and upload targets are the host's (Windows) paths.
void writeText(const char* path, const std::string& text) {
    if (!path || !path[0]) return;
    HANDLE f = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(f);
}

// Works until the host sets the abort flag, looking at it as a real transfer does between its
// steps; gives up after a minute of real time so that a broken test cannot hang.
bool workUntilAborted(volatile int32_t* abortFlag) {
    for (int i = 0; i < 6000; ++i) {
        if (abortFlag && *abortFlag) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Records every call, so that a test can check the order the host drives a plug-in in.
void note(const std::string& call) {
    const std::string file = env("TRACE");
    if (file.empty()) return;
    if (FILE* f = std::fopen(file.c_str(), "a")) {
        std::fprintf(f, "%s:%s\n", STR(TEST_PLUGIN_NAME), call.c_str());
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
KPL_EXPORT int32_t KPLStartStop(int32_t starting, const char*) {
    note(starting ? "KPLStartStop(1)" : "KPLStartStop(0)");
    if (starting) hold("START_ENTERED", "START_RELEASE");
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
        DeviceInfoEntry& e = list->entries[n];
        std::snprintf(e.name, sizeof e.name, "%s", name == "-" ? "" : name.c_str());
        e.inUpgradeMode = listsIndex(env("UPGRADE"), n) ? 1 : 0;
        ++n;
        start = end + 1;
    }
    if (forced >= 0) return forced;
    return list->entries[0].name[0] ? 0 : KPL_E_NO_DEVICE;
}
#endif

#ifndef OMIT_IS_BINARY_VALID
KPL_EXPORT int32_t KPLIsBinaryValid(const char* imagePath) {
    for (const std::string& ending : split(env("ACCEPT"), ','))
        if (!ending.empty() && imagePath && endsWith(imagePath, ending)) return 0;
    return KPL_E_IMAGE_TYPE;
}
#endif

#ifndef OMIT_FILTER
// Marks the devices the image fits, as MATCH names them.
KPL_EXPORT int32_t KPLFilterDeviceInfoSet(DeviceInfoList* list, const char* imagePath, int32_t unattended,
                                          int32_t ignoreChecks) {
    note("KPLFilterDeviceInfoSet(" + std::string(imagePath ? imagePath : "") + "," + std::to_string(unattended) + "," +
         std::to_string(ignoreChecks) + ")");
    const std::string match = env("MATCH");
    for (int i = 0; i < KPL_MAX_DEVICES && list->entries[i].name[0]; ++i) {
        bool fits = match.empty();
        for (const std::string& rule : split(match, ';')) {
            const size_t colon = rule.find(':');
            if (colon != std::string::npos && imagePath && endsWith(imagePath, rule.substr(0, colon)) &&
                listsIndex(rule.substr(colon + 1), i))
                fits = true;
        }
        list->entries[i].selected = fits ? 1 : 0;
    }
    return envNumber("FILTER_RESULT", 0);
}
#endif

#ifdef WITH_MATCH_SYMLINK
// A device fits a link when its name contains the link text.
KPL_EXPORT int32_t KPLMatchDevBySymLink(DeviceInfoList* list, const char* link, const char* imagePath) {
    note("KPLMatchDevBySymLink(" + std::string(link) + "," + std::string(imagePath) + ")");
    for (int i = 0; i < KPL_MAX_DEVICES && list->entries[i].name[0]; ++i)
        list->entries[i].selected = std::strstr(list->entries[i].name, link) ? 1 : 0;
    return 0;
}
#endif

#ifdef WITH_MATCH_PRODUCT_TYPE
// Every device in upgrade mode fits.
KPL_EXPORT int32_t KPLMatchDFUDevByProdType(DeviceInfoList* list, const char* imagePath) {
    note("KPLMatchDFUDevByProdType(" + std::string(imagePath) + ")");
    for (int i = 0; i < KPL_MAX_DEVICES && list->entries[i].name[0]; ++i)
        list->entries[i].selected = list->entries[i].inUpgradeMode;
    return 0;
}
#endif

#ifdef WITH_SWITCH_TO_FUNC_MODE
KPL_EXPORT void KPLSwitchToFuncMode(void) { note("KPLSwitchToFuncMode"); }
#endif

#ifndef OMIT_DISPLAY_INFO
KPL_EXPORT int32_t KPLGetDisplayInfo(DeviceInfoList* list, uint8_t deviceIndex, const char* imagePath,
                                     DisplayInfo* info) {
    note("KPLGetDisplayInfo(" + std::to_string(deviceIndex) + "," + std::string(imagePath ? imagePath : "-") + ")");
    if (listsIndex(env("DISPLAY_FAIL"), deviceIndex)) return KPL_E_DEVICE_OPEN;
    const bool withImage = imagePath && imagePath[0];
    const int rows = std::min(envNumber("DISPLAY_ROWS", 2), KPL_DISPLAY_ROWS);
    for (int i = 0; i < rows; ++i) {
        DisplayInfoRow& r = info->rows[i];
        if (i == 0) {
            std::snprintf(r.label, KPL_TEXT_SIZE, "Product");
            std::snprintf(r.existing, KPL_TEXT_SIZE, "%s", list->entries[deviceIndex].name);
        } else if (i == 1) {
            std::snprintf(r.label, KPL_TEXT_SIZE, "Firmware version");
            std::snprintf(r.existing, KPL_TEXT_SIZE, "1.0%d", deviceIndex);
            std::snprintf(r.proposed, KPL_TEXT_SIZE, "%s", withImage ? "2.00" : "");
        } else {
            std::snprintf(r.label, KPL_TEXT_SIZE, "Item %d", i);
            std::snprintf(r.existing, KPL_TEXT_SIZE, "value %d", i);
            std::snprintf(r.proposed, KPL_TEXT_SIZE, "%s", withImage ? "new" : "");
        }
    }
    if (!env("DISPLAY_LONG").empty()) std::memset(info->rows[0].existing, 'x', KPL_TEXT_SIZE);
    if (rows < KPL_DISPLAY_ROWS) info->rows[rows].label[0] = '\0';
    return 0;
}
#endif

#ifdef WITH_DLL_INFO
KPL_EXPORT int32_t KPLGetDLLInfo(int32_t kind, char* buffer) {
    const std::string text = env(kind == 1 ? "DLL_INFO_1" : "DLL_INFO_2");
    if (text.empty()) return 0;
    std::snprintf(buffer, KPL_TEXT_SIZE, "%s", text.c_str());
    return 1;
}
#endif

#ifndef OMIT_DOWNLOAD
KPL_EXPORT int32_t KPLDownloadFirmware(DeviceInfoList* list, uint8_t deviceIndex, const char* backupPath,
                                       const char* imagePath, ProgressCallback progress, volatile int32_t* abortFlag) {
    // Results count from the first call after the variable last changed.
    static int calls = 0;
    static std::string resultsSeen;
    if (env("DOWNLOAD_RESULT") != resultsSeen) {
        resultsSeen = env("DOWNLOAD_RESULT");
        calls = 0;
    }
    note("KPLDownloadFirmware(" + std::to_string(deviceIndex) + "," + std::string(backupPath ? backupPath : "") + "," +
         std::string(imagePath ? imagePath : "") + ")");
    if (progress) progress(0, "Downloading");
    hold("DOWNLOAD_ENTERED", "DOWNLOAD_RELEASE");
    if (!env("DOWNLOAD_UNTIL_ABORT").empty() && workUntilAborted(abortFlag)) return KPL_E_USER_ABORT;
    if (abortFlag && *abortFlag && env("IGNORE_ABORT").empty()) return KPL_E_USER_ABORT;
    writeText(backupPath, std::string("old firmware of ") + list->entries[deviceIndex].name);
    if (progress) progress(50, "Writing");
    const std::vector<std::string> results = split(env("DOWNLOAD_RESULT"), ',');
    const int32_t rc = results.empty() ? 0 : std::atoi(results[std::min<size_t>(calls, results.size() - 1)].c_str());
    ++calls;
    if (rc == 0 && progress) progress(50, "Done");
    return rc;
}
#endif

#ifndef OMIT_UPLOAD
KPL_EXPORT int32_t KPLUploadFirmware(DeviceInfoList* list, uint8_t deviceIndex, const char* targetPath,
                                     ProgressCallback progress, volatile int32_t*) {
    note("KPLUploadFirmware(" + std::to_string(deviceIndex) + "," + std::string(targetPath ? targetPath : "") + ")");
    if (progress) progress(0, "Uploading");
    const int32_t rc = envNumber("UPLOAD_RESULT", 0);
    if (rc == 0) writeText(targetPath, std::string("firmware of ") + list->entries[deviceIndex].name);
    if (progress) progress(100, "Done");
    return rc;
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
