#include "dfu_package.h"

#include <cctype>
#include <initializer_list>
#include <cstdio>
#include <cstring>
#include <memory>

#include <devaccess/sysutil.h>
#include <plugin-api/kpl.h>
#include <protocol/tarn_usb.h>
#include <winsim/newdev.h>
#include <winsim/setupapi.h>
#include <winsim/usbiodef.h>

#include "plugin_state.h"
#include "tarn_log.h"

namespace tarn {

namespace {

constexpr const char* kDriverBinary = "TARNDFU.SYS";

void upper(char* text) {
    for (; *text; ++text) *text = static_cast<char>(std::toupper(static_cast<unsigned char>(*text)));
}

// Whether the collected identifier contains the table entry; both upper-cased in place.
bool contains(char* collected, char* entry) {
    upper(collected);
    upper(entry);
    return std::strstr(collected, entry) != nullptr;
}

}  // namespace


int32_t InstallDfuPackage(const char* windowsDir) {
    PluginState& s = plugin();
    if (!s.packagePath[0]) {
        TARN_LOG_AT("tarnDFU", "%s(%i) :Path of the Tarndfu.inf file is not known");
        return KPL_E_DRIVER_PACKAGE;
    }
    if (!SetupCopyOEMInfA(s.packagePath, nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr)) {
        TARN_LOG_AT("tarnDFU", "%s(%i) :SetupCopyOEMInf failed for %s. Error: %xh", s.packagePath,
                    static_cast<unsigned>(GetLastError()));
        return KPL_E_DRIVER_PACKAGE;
    }
    char destination[MAX_PATH];
    const int n = std::snprintf(destination, sizeof destination, "%s\\System32\\Drivers\\%s", windowsDir, kDriverBinary);
    if (n < 0 || static_cast<size_t>(n) >= sizeof destination) {
        TARN_LOG_AT("tarnDFU", "%s(%i) :Failed to copy SYS file %s to %s. Error: %xh", kDriverBinary, windowsDir,
                    static_cast<unsigned>(ERROR_FILENAME_EXCED_RANGE));
        return KPL_E_DRIVER_PACKAGE;
    }
    // A read-only copy left by an earlier installation is replaced all the same.
    if (GetFileAttributesA(destination) != INVALID_FILE_ATTRIBUTES) SetFileAttributesA(destination, FILE_ATTRIBUTE_NORMAL);
    if (!CopyFileA(kDriverBinary, destination, FALSE)) {
        TARN_LOG_AT("tarnDFU", "%s(%i) :Failed to copy SYS file %s to %s. Error: %xh", kDriverBinary, destination,
                    static_cast<unsigned>(GetLastError()));
        return KPL_E_DRIVER_PACKAGE;
    }
    return KPL_OK;
}

int CollectServiceHwIds(CollectedIds& list, const char* service) {
    int count = 0;
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_USB_DEVICE, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return 0;
    for (DWORD member = 0; member < kMaxCollectedIds; ++member) {
        SP_DEVICE_INTERFACE_DATA itf{};
        itf.cbSize = sizeof itf;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_USB_DEVICE, member, &itf)) break;
        SP_DEVINFO_DATA dev{};
        dev.cbSize = sizeof dev;
        alignas(8) char detailBuffer[1024];
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detailBuffer);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (!SetupDiGetDeviceInterfaceDetailA(set, &itf, detail, sizeof detailBuffer, nullptr, &dev)) break;
        char name[MAX_PATH] = "", ids[MAX_PATH] = "";
        if (!SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_SERVICE, nullptr, reinterpret_cast<BYTE*>(name),
                                               sizeof name - 1, nullptr) ||
            !SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE*>(ids),
                                               sizeof ids - 1, nullptr))
            break;
        if (!EqualNoCase(name, service)) continue;
        // The first string of the multi-string is the most specific identifier.
        TARN_LOG_AT("tarnutils", "%s(%i) :%s loaded for HwID: %s", service, ids);
        std::snprintf(list.id[count++], MAX_PATH, "%s", ids);
    }
    SetupDiDestroyDeviceInfoList(set);
    return count;
}

int HwIdTableMatches(CollectedIds& list, int count) {
    PluginState& s = plugin();
    for (int t = 0; t < s.hwIdCount; ++t)
        for (int c = 0; c < count; ++c)
            if (contains(list.id[c], s.hwIds[t])) return 1;
    return 0;
}

void UpdateDfuDriver(CollectedIds& list, int count, const std::atomic<int32_t>* stop) {
    PluginState& s = plugin();
    char windows[MAX_PATH];
    if (!GetWindowsDir(windows)) {
        TARN_LOG_AT("KV7X", "%s(%i) :Unable to get windows directory. Error: %xh", static_cast<unsigned>(GetLastError()));
        return;
    }
    char path[MAX_PATH];
    // A path cut short names another file: it is not loaded.
    auto pathOf = [&](const char* file) {
        const int n = std::snprintf(path, sizeof path, "%s\\system32\\%s", windows, file);
        return n > 0 && static_cast<size_t>(n) < sizeof path;
    };
    HMODULE newdev = pathOf("newdev.dll") ? LoadLibraryA(path) : nullptr;
    if (!newdev) {
        TARN_LOG_AT("KV7X", "%s(%i) :Unable to load NEWDEV.DLL. Error: %xh", static_cast<unsigned>(GetLastError()));
        newdev = pathOf("nnewdev.dll") ? LoadLibraryA(path) : nullptr;
        if (!newdev) {
            TARN_LOG_AT("KV7X", "%s(%i) :Unable to load NNEWDEV.DLL. Error: %xh", static_cast<unsigned>(GetLastError()));
            return;
        }
    }
    auto update = reinterpret_cast<UpdateDriverForPlugAndPlayDevicesA_t>(
        reinterpret_cast<void*>(GetProcAddress(newdev, "UpdateDriverForPlugAndPlayDevicesA")));
    if (!update) {
        TARN_LOG_AT("KV7X", "%s(%i) :Get Proc Address Error: %xh", static_cast<unsigned>(GetLastError()));
        FreeLibrary(newdev);
        return;
    }
    if (!s.packagePath[0]) {
        TARN_LOG_AT("KV7X", "%s(%i) :Path of the Tarndfu.inf file is not known");
        FreeLibrary(newdev);
        return;
    }
    for (int t = 0; t < s.hwIdCount; ++t) {
        if (arrival().dfuArrived || (stop && *stop)) {
            TARN_LOG_AT("KV7X", "%s(%i) :Stopping updating drivers.");
            break;
        }
        bool listed = false;
        for (int c = 0; c < count && !listed; ++c) listed = contains(list.id[c], s.hwIds[t]);
        if (!listed) continue;
        BOOL reboot = FALSE;
        if (update(GetActiveWindow(), s.hwIds[t], s.packagePath, INSTALLFLAG_FORCE, &reboot))
            TARN_LOG_AT("KV7X", "%s(%i) :updated driver for HWID %s", s.hwIds[t]);
        else
            TARN_LOG_AT("KV7X", "%s(%i) :Error %x in updating driver for HWID %s", static_cast<unsigned>(GetLastError()),
                        s.hwIds[t]);
        if (reboot) TARN_LOG_AT("KV7X", "%s(%i) :System has to be rebooted.");
    }
    FreeLibrary(newdev);
}

DWORD UpdateThread(WaitContext& context) {
    context.updateRunning = 1;
    if (plugin().hwIdCount > 0) {
        auto list = std::make_unique<CollectedIds>();
        const int count = CollectServiceHwIds(*list, "USBSTOR");
        if (count >= 1 && HwIdTableMatches(*list, count) && !arrival().dfuArrived && !context.stop)
            UpdateDfuDriver(*list, count, &context.stop);
    }
    TARN_LOG_AT("tarnDFU", "%s(%i) :Notifying update thread termination");
    SetEvent(context.updateDone);
    context.updateRunning = 0;
    return 0;
}

void ForceDfuDriverOnListedDevices() {
    if (plugin().hwIdCount == 0) return;
    auto list = std::make_unique<CollectedIds>();
    const std::atomic<int32_t> stop{0};
    for (const char* service : {"USBSTOR", "TARNDFU"}) {
        const int count = CollectServiceHwIds(*list, service);
        if (count >= 1 && HwIdTableMatches(*list, count)) {
            arrival().dfuArrived = 0;
            UpdateDfuDriver(*list, count, &stop);
        }
    }
}

}  // namespace tarn
