// The one application record of the host process and the records it is made of.
#pragma once
#include <plugin-api/kpl.h>
#include <winsim/windows.h>

#include <cstdint>

namespace zelfin {

constexpr int kMaxPlugins = 4;
constexpr int kMaxDownloads = 30;
constexpr int kNoIndex = 255;
constexpr int kTextSize = MAX_PATH;     // every path and text buffer
constexpr int kConfigPathSize = 264;    // "/CFG" takes at most 263 characters

// One bound plug-in: its sixteen entry points (null when not exported) in their fixed order,
// its module, its device list and what the host knows about it.
struct PluginSlot {
    KPLIsBinaryValid_t isBinaryValid;
    KPLCreateDeviceInfoList_t createDeviceInfoList;
    KPLFilterDeviceInfoSet_t filterDeviceInfoSet;
    KPLUploadFirmware_t uploadFirmware;
    KPLDownloadFirmware_t downloadFirmware;
    KPLDestroyDeviceInfoList_t destroyDeviceInfoList;
    KPLGetErrorMessage_t getErrorMessage;
    KPLGetDisplayInfo_t getDisplayInfo;
    KPLInitializeLogger_t initializeLogger;
    KPLStartStop_t startStop;
    KPLMatchDevBySymLink_t matchDevBySymLink;
    KPLMatchDFUDevByProdType_t matchDfuDevByProdType;
    KPLIsOSSupported_t isOsSupported;
    KPLIsUploadSupported_t isUploadSupported;
    KPLGetDLLInfo_t getDllInfo;
    KPLSwitchToFuncMode_t switchToFuncMode;
    HMODULE module;
    DeviceInfoList devices;
    char description[kTextSize];
    uint8_t deviceCount;
    int32_t startFailed;
};

// One row of the download table.
struct DownloadEntry {
    char fileName[kTextSize];
    int32_t pluginIndex;   // kNoIndex: no plug-in accepted the image
    int32_t deviceIndex;   // kNoIndex: the row has no device and is skipped
    char backupFileName[kTextSize];
};

// The status every host operation fills and the status reporter shows. A host code is also the
// number of its message in the string library.
struct HostStatus {
    int32_t code = 0;
    int32_t fromPlugin = 0;
    uint8_t pluginIndex = 0;
};

// Host status codes.
enum HostCode : int32_t {
    kNoDeviceMatched = 100,
    kOnlyUpgradeModeDevices = 101,
    kNoDevices = 102,
    kDuplicateDeviceName = 103,
    kLogNotCreatable = 104,
    kRunSucceeded = 105,
    kRunFailed = 106,
    kNoDeviceMatchedAnyImage = 107,
    kNoPluginAcceptedAnyImage = 108,
    kNoRowSelected = 109,
    kConfigCrcMismatch = 110,
    kNotANumber = 114,
    kUploadWithoutDevices = 118,
    kConfigNotOpened = 119,
    kNoPluginFiles = 120,
    kConfigMissing = 121,     // the "/CFG" file does not exist; formatted with its path
    kConfigIsFolder = 122,    // the "/CFG" path names a folder; formatted with it
    kConfigUnreadable = 123,  // the configuration file cannot be opened or read; formatted with its path
    kEntryPointMissing = 620,
    kNoSymLinkRecord = 621,
    kNoPluginBound = 623,
    kIvWithSeveralImages = 625,
    kIvWithSeveralReaders = 626,
    kNoUploadOffered = 734,
};

// Library strings the start-up uses.
enum HostString : UINT {
    kStrCaption = 14,        // caption of every message box
    kStrTitle = 15,          // title of the main and the configured-run dialog
    kStrVersionWord = 30,    // between a description and its version
    kStrWait = 43,           // text of the wait window
    kStrValueColumn = 18,    // configuration editor: the option list's value column
    kStrOptionColumn = 42,   // configuration editor: the option list's key column
    kStrDownloadFilesColumn = 50,  // configuration editor: the download list's column
};

class CfgEdtDlg;
class AboutDlg;

struct ZelfinApp {
    HANDLE logFile = INVALID_HANDLE_VALUE;
    CfgEdtDlg* configEditor = nullptr;
    int32_t noGui = 0;
    int32_t uploadOffered = 0;
    char tempDir[kTextSize] = {};
    uint8_t totalDevices = 0;
    int32_t currentDevice = 0;
    int32_t pluginCount = 0;
    PluginSlot* currentPlugin = nullptr;
    int32_t currentPluginIndex = 0;
    PluginSlot plugins[kMaxPlugins] = {};
    int32_t downloadCount = 0;
    int32_t currentDownload = 0;
    HMODULE stringLibrary = nullptr;
    AboutDlg* aboutDialog = nullptr;
    int32_t osFamily = 0;
    int32_t uiLanguage = 0x0409;
    int32_t matchBySymLink = 0;
    int32_t matchDfuByProdType = 0;
    int32_t configRead = 0;
    int32_t ignoreChecks = 0;
    int32_t configured = 0;
    int32_t disableLog = 0;
    int32_t disableHelp = 0;
    int32_t backup = 1;
    int32_t reportStatus = 0;
    int32_t downloadMode = 1;
    int32_t deviceInfoMode = 0;
    int32_t sigFileOnly = 0;
    HANDLE configFile = INVALID_HANDLE_VALUE;
    char configPath[kConfigPathSize] = {};
    DownloadEntry downloads[kMaxDownloads] = {};

    // The configuration path handed to the plug-ins: the "/CFG" path, else "Zelfin.cfg" once a
    // configuration was read, else none.
    const char* configArg() const;
};

// The process's application record.
extern ZelfinApp theApp;
// The process exit code: the result of the last run dialog.
extern int32_t exitCode;

// Library string `id` in the interface language, at most 259 bytes; empty when the library does
// not hold it.
void loadString(UINT id, char (&out)[kTextSize]);
// Library string `id` with its one "%s" filled with `argument`. A result that does not fit is
// cut, logged and reported as false, never written past `out`.
bool loadStringWith(UINT id, const char* argument, char (&out)[kTextSize]);

}  // namespace zelfin
