#include "loader.h"

#include <cstring>

#include "log.h"
#include "status.h"
#include "text.h"
#include "version_info.h"

namespace zelfin {

namespace {

template <class T>
void bind(HMODULE module, const char* name, T& out) {
    out = reinterpret_cast<T>(GetProcAddress(module, name));
}

// Looks up the sixteen entry points; false when a required one is missing.
bool bindEntryPoints(HMODULE module, PluginSlot& slot) {
    bind(module, "KPLIsBinaryValid", slot.isBinaryValid);
    bind(module, "KPLCreateDeviceInfoList", slot.createDeviceInfoList);
    bind(module, "KPLFilterDeviceInfoSet", slot.filterDeviceInfoSet);
    bind(module, "KPLUploadFirmware", slot.uploadFirmware);
    bind(module, "KPLDownloadFirmware", slot.downloadFirmware);
    bind(module, "KPLDestroyDeviceInfoList", slot.destroyDeviceInfoList);
    bind(module, "KPLGetErrorMessage", slot.getErrorMessage);
    bind(module, "KPLGetDisplayInfo", slot.getDisplayInfo);
    bind(module, "KPLInitializeLogger", slot.initializeLogger);
    bind(module, "KPLStartStop", slot.startStop);
    bind(module, "KPLMatchDevBySymLink", slot.matchDevBySymLink);
    bind(module, "KPLMatchDFUDevByProdType", slot.matchDfuDevByProdType);
    bind(module, "KPLIsOSSupported", slot.isOsSupported);
    bind(module, "KPLIsUploadSupported", slot.isUploadSupported);
    bind(module, "KPLGetDLLInfo", slot.getDllInfo);
    bind(module, "KPLSwitchToFuncMode", slot.switchToFuncMode);
    return slot.isBinaryValid && slot.createDeviceInfoList && slot.filterDeviceInfoSet && slot.uploadFirmware &&
           slot.downloadFirmware && slot.destroyDeviceInfoList && slot.getErrorMessage && slot.getDisplayInfo;
}

void describe(PluginSlot& slot) {
    slot.description[0] = '\0';
    char path[kTextSize];
    const DWORD n = GetModuleFileNameA(slot.module, path, sizeof path);
    if (n == 0 || n >= sizeof path) return;
    const VersionStrings v = readVersionStrings(path);
    if (!v.hasFileDescription || !v.hasFileVersion) return;
    char word[kTextSize];
    loadString(kStrVersionWord, word);
    if (!formatInto(slot.description, sizeof slot.description, "%s %s %s", v.fileDescription.c_str(), word,
                    v.fileVersion.c_str())) {
        hostLog("%s(%i) :Description of %s does not fit and is left out", "Zelfin", 101, path);
        slot.description[0] = '\0';
    }
}

}  // namespace

bool offersUpload(const PluginSlot& slot) { return !slot.isUploadSupported || slot.isUploadSupported() == 0; }

uint8_t countDevices(const DeviceInfoList& list) {
    uint8_t n = 0;
    while (n < KPL_MAX_DEVICES && list.entries[n].name[0]) ++n;
    return n;
}

int32_t bindPlugins() {
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA("KPL*.DLL", &found);
    if (find == INVALID_HANDLE_VALUE) return kNoPluginFiles;
    int bound = 0;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        PluginSlot& slot = theApp.plugins[bound];
        slot = PluginSlot{};
        HMODULE module = LoadLibraryA(found.cFileName);
        if (!module) continue;
        bool usable = bindEntryPoints(module, slot);
        // The 9x family runs only plug-ins that say they can.
        if (usable && theApp.osFamily == 0)
            usable = slot.isOsSupported && slot.isOsSupported() != KPL_OS_NOT_SUPPORTED;
        if (!usable) {
            slot = PluginSlot{};
            FreeLibrary(module);
            continue;
        }
        slot.module = module;
        describe(slot);
        ++bound;
    } while (bound < kMaxPlugins && FindNextFileA(find, &found));
    FindClose(find);
    theApp.pluginCount = bound;

    // A description is a text of the plug-in's maker: it is logged as an argument, so that a "%"
    // in a version block cannot be taken for a conversion.
    for (int i = 0; i < bound; ++i) hostLog("%s", theApp.plugins[i].description);
    for (int i = 0; i < bound; ++i)
        if (theApp.plugins[i].initializeLogger) theApp.plugins[i].initializeLogger(&hostLog);
    hostLog("Reading options from Zelfin.cfg");
    return bound ? 0 : kNoPluginBound;
}

HostStatus createDeviceLists() {
    HostStatus status;
    int failed = 0;
    for (int i = 0; i < theApp.pluginCount; ++i) {
        PluginSlot& slot = theApp.plugins[i];
        const int32_t rc = slot.createDeviceInfoList(&slot.devices, theApp.configArg());
        if (rc != 0) {
            status.code = rc;
            status.pluginIndex = static_cast<uint8_t>(i);
            theApp.currentPlugin = &slot;
            theApp.currentPluginIndex = i;
            ++failed;
        }
    }
    if (theApp.pluginCount > 0 && failed == theApp.pluginCount) {
        status.fromPlugin = 1;
        return status;
    }
    status.code = 0;
    theApp.totalDevices = 0;
    for (int i = 0; i < theApp.pluginCount; ++i) {
        PluginSlot& slot = theApp.plugins[i];
        slot.deviceCount = countDevices(slot.devices);
        theApp.totalDevices = static_cast<uint8_t>(theApp.totalDevices + slot.deviceCount);
        if (slot.deviceCount > 0 && offersUpload(slot)) theApp.uploadOffered = 1;
    }
    if (theApp.totalDevices == 0) status.code = kNoDevices;
    return status;
}

HostStatus destroyDeviceLists(bool showFailures) {
    HostStatus last;
    for (int i = 0; i < theApp.pluginCount; ++i) {
        PluginSlot& slot = theApp.plugins[i];
        const int32_t rc = slot.destroyDeviceInfoList(&slot.devices);
        last = HostStatus{};
        if (rc != 0) {
            last.code = rc;
            last.fromPlugin = 1;
            last.pluginIndex = static_cast<uint8_t>(i);
            if (showFailures) reportStatusBox(last);
        }
        std::memset(&slot.devices, 0, sizeof slot.devices);
    }
    return last;
}

void unloadPlugins() {
    for (int i = 0; i < theApp.pluginCount; ++i) {
        if (theApp.plugins[i].module) FreeLibrary(theApp.plugins[i].module);
        theApp.plugins[i].module = nullptr;
    }
}

}  // namespace zelfin
