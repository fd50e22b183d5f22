#include "arrival.h"

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include <devaccess/scsi.h>
#include <devaccess/sysutil.h>
#include <protocol/kv7.h>
#include <protocol/tarn_usb.h>
#include <winsim/usbiodef.h>

#include "device_list.h"
#include "device_nodes.h"
#include "dfu_package.h"
#include "helper_client.h"
#include "kv7.h"
#include "plugin_state.h"
#include "power_cycle.h"
#include "tarn_log.h"
#include "usb_requests.h"

namespace tarn {

namespace {

constexpr const char* kUnit = "tarnDFU";
constexpr const char* kWindowClass = "KPLTARN_WND";
constexpr double kLongWaitSeconds = 180;
constexpr double kShortWaitSeconds = 30;
constexpr double kSecondStageSeconds = 90;
constexpr DWORD kThreadJoinMs = 5000;
// How often a wait looks at the operator's abort flag and its clock when no message comes.
constexpr DWORD kPollMs = 100;
constexpr DWORD kMaxPdoName = 100;
constexpr uint32_t kFullImage = 65536;
constexpr uint32_t kHalfImage = 32768;
constexpr DWORD kQueryRemovePauseMs = 1000;

// The classes the trap watches, in the order they are registered.
const GUID* const kWatched[3] = {&kUpgradeInterface, &GUID_DEVINTERFACE_USB_DEVICE, &kFunctionalInterface};

struct WindowState {
    HWND window = nullptr;
    bool classRegistered = false;
    bool waitExpectsDfu = false;  // what the wait in progress waits for
};
WindowState& windowState() {
    static WindowState w;
    return w;
}

HINSTANCE pluginInstance() { return GetModuleHandleA("KPLTARN.DLL"); }

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
    case WM_DESTROY: return 0;
    case WM_QUERYENDSESSION: return 0;  // not while a reader is being written
    case WM_POWERBROADCAST:
        return wParam == PBT_APMQUERYSUSPEND || wParam == PBT_APMSUSPEND ? BROADCAST_QUERY_DENY : 1;
    case WM_DEVICECHANGE: {
        const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
        if (wParam == DBT_DEVICEARRIVAL && header && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE)
            OnDeviceArrival(reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(header));
        return 1;
    }
    default: return DefWindowProcA(window, message, wParam, lParam);
    }
}

bool sameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void closeArrivedHandle() {
    ArrivalState& s = arrival();
    if (s.arrivedHandle != INVALID_HANDLE_VALUE) CloseHandle(s.arrivedHandle);
    s.arrivedHandle = INVALID_HANDLE_VALUE;
}

// An arrival after the ports were power-cycled must be the reader this download is for: a KV7
// controller whose memory keeps the product type the download set.
bool validated(const char* name) {
    ArrivalState& s = arrival();
    TARN_LOG_AT(kUnit, "%s(%i) :DFU device arrival after powercycling the ports");
    TARN_LOG_AT(kUnit, "%s(%i) :Validating the DFU Device.");
    if (s.expectedType == 0) {
        TARN_LOG_AT(kUnit, "%s(%i) :Skipped reading EEPROM.");
        return false;
    }
    TarnDeviceRecord probe{};
    std::snprintf(probe.devicePath, sizeof probe.devicePath, "%s", name);
    probe.deviceHandle = s.arrivedHandle;
    probe.dfuType = kUnknownDfuType;
    probe.feature = 255;
    probe.deviceMode = kModeKv7Upgrade;
    DetectKv7Type(&probe);
    uint8_t word[2] = {};
    if (ReadConfig(probe, kv7::kProductTypeAddress, word, sizeof word) != KPL_OK) {
        TARN_LOG_AT(kUnit, "%s(%i) :Cannot read Product Type from EEPROM.");
        return false;
    }
    if (static_cast<uint16_t>(word[0] | word[1] << 8) == s.expectedType) {
        TARN_LOG_AT(kUnit, "%s(%i) :Validation successful.");
        return true;
    }
    TARN_LOG_AT(kUnit, "%s(%i) :Product Type mismatch; Expected: %02X; Actual: %02X",
                static_cast<unsigned>(s.expectedType >> 8), static_cast<unsigned>(word[1]));
    return false;
}

void upgradeModeArrival(const char* name) {
    ArrivalState& s = arrival();
    // A wait for functional mode is not ended, nor disarmed, by a reader in upgrade mode.
    if (!windowState().waitExpectsDfu) return;
    if (s.checkIds && !(std::strstr(name, "Vid_04e6") && std::strstr(name, "Pid_04e9"))) {
        TARN_PLAIN("Ignoring DFU device %s\n", name);
        return;
    }
    TARN_PLAIN("Opening DFU device %s", name);
    if (s.dfuDeviceObject == 0 && GetDeviceObject(name) != KPL_OK) {
        TARN_LOG_AT(kUnit, "%s(%i) :Error in obtaining device object.");
        return;
    }
    closeArrivedHandle();
    s.arrivedHandle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (s.arrivedHandle == INVALID_HANDLE_VALUE) return;
    if (s.validateArrival && !validated(name)) return;
    s.dfuArrived = 1;
    s.trapArmed = 0;
}

void usbDeviceArrival(const char* name) {
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_USB_DEVICE, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVICE_INTERFACE_DATA itf{};
    itf.cbSize = sizeof itf;
    SP_DEVINFO_DATA element{};
    element.cbSize = sizeof element;
    char service[kPropertySize] = {};
    if (SetupDiOpenDeviceInterfaceA(set, name, 0, &itf)) {
        SetupDiGetDeviceInterfaceDetailA(set, &itf, nullptr, 0, nullptr, &element);
        ElementText(set, &element, SPDRP_SERVICE, service, sizeof service);
    }
    SetupDiDestroyDeviceInfoList(set);
    // A reader behind the composite-device driver shows no interface of its own when it comes
    // back: its USB device is how a wait for functional mode sees it.
    if (EqualNoCase(service, "TESSORA")) {
        arrival().functionalArrived = 1;
        return;
    }
    if (!EqualNoCase(service, "USBSTOR")) return;
    TARN_LOG_AT(kUnit, "%s(%i) :Device arrived has Usbstor loaded.");
    arrival().usbstorArrived = 1;
    arrival().functionalArrived = 1;
}

// The interface paths of the watched classes present now.
std::set<std::string> presentInterfaces() {
    std::set<std::string> paths;
    for (const GUID* guid : kWatched)
        ForEachMember(*guid, true, [&](DWORD, const char* path, SP_DEVINFO_DATA&) {
            paths.insert(std::to_string(guid == &kUpgradeInterface ? 0 : guid == kWatched[1] ? 1 : 2) + path);
            return false;
        });
    return paths;
}

// Feeds the interfaces that appeared since `before` through the arrival handler.
void takeMissedArrivals(const std::set<std::string>& before) {
    for (const std::string& key : presentInterfaces()) {
        if (before.count(key) || !arrival().trapArmed) continue;
        alignas(DEV_BROADCAST_DEVICEINTERFACE_A) char buffer[sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) + kPathSize] = {};
        auto* n = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(buffer);
        n->dbcc_size = sizeof buffer;
        n->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        n->dbcc_classguid = *kWatched[key[0] - '0'];
        std::snprintf(n->dbcc_name, kPathSize, "%s", key.c_str() + 1);
        OnDeviceArrival(n);
    }
}

double secondsSince(const LARGE_INTEGER& start, const LARGE_INTEGER& frequency) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return frequency.QuadPart ? static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart) : 0;
}

bool isKv7(const TarnDeviceRecord& r) { return kv7::isKv7Type(r.dfuType); }

// Closes a record's own handle; the helper driver's and the Plex monitor's are shared and stay
// open (the monitor's own record closing it is the end of the Merrow handle too).
void closeRecordHandle(TarnDeviceRecord* r, bool monitorItself = false) {
    if (r->deviceHandle == INVALID_HANDLE_VALUE || r->deviceHandle == helperHandle()) {
        if (r->deviceHandle != helperHandle()) r->deviceHandle = INVALID_HANDLE_VALUE;
        return;
    }
    if (r->deviceHandle == MerrowHandle()) {
        if (!monitorItself) return;
        ForgetMerrowHandle();
    }
    CloseHandle(r->deviceHandle);
    r->deviceHandle = INVALID_HANDLE_VALUE;
}

bool isWindows2000() {
    OSVERSIONINFOA v{};
    v.dwOSVersionInfoSize = sizeof v;
    return GetVersionExA(&v) && v.dwPlatformId == VER_PLATFORM_WIN32_NT && v.dwMajorVersion == 5 && v.dwMinorVersion == 0;
}

bool isXpOrLater() {
    OSVERSIONINFOA v{};
    v.dwOSVersionInfoSize = sizeof v;
    return GetVersionExA(&v) && v.dwPlatformId == VER_PLATFORM_WIN32_NT &&
           (v.dwMajorVersion > 5 || (v.dwMajorVersion == 5 && v.dwMinorVersion >= 1));
}

// A request sent once more after a failure: whether either attempt succeeded.
template <typename Send>
bool sentTwice(Send send, const char* failed, const char* retryFailed) {
    if (send()) return true;
    TARN_LOG_AT(kUnit, failed, static_cast<unsigned>(GetLastError()));
    if (send()) return true;
    TARN_LOG_AT(kUnit, retryFailed, static_cast<unsigned>(GetLastError()));
    return false;
}

BOOL dfuDetach(HANDLE h) {
    DWORD returned = 0;
    return DeviceIoControl(h, kIoctlDfuDetach, nullptr, 0, nullptr, 0, &returned, nullptr);
}

BOOL kv7PrepareForDfu(HANDLE h) {
    uint32_t nt = 0, usb = 0;
    const BOOL ok = ControlRequest(h, requests::kv7PrepareForDfu(), nullptr, 0, &nt, &usb);
    if (nt != 0) TARN_PLAIN("KV7PrepareForDfu Error... NtStatus:0x%x. UsbStatus:0x%x", nt, usb);
    return ok;
}

// The request that sends a functional-mode reader into upgrade mode, by its driver.
int32_t triggerUpgradeMode(TarnDeviceRecord* r, bool kv7Reader) {
    switch (r->deviceMode) {
    case kModeOwnDriver: {
        const bool ok = kv7Reader ? sentTwice([&] { return kv7PrepareForDfu(r->deviceHandle); },
                                              "%s(%i) :IOCTL_TARN_URB_PASSTHROUGH failed. Error: %xh",
                                              "%s(%i) :IOCTL_TARN_URB_PASSTHROUGH (retry) failed. Error: %xh")
                                  : sentTwice([&] { return dfuDetach(r->deviceHandle); },
                                              "%s(%i) :IOCTL_TARNDFU_DETACH failed. Error: %xh",
                                              "%s(%i) :IOCTL_TARNDFU_DETACH (retry) failed. Error: %xh");
        closeRecordHandle(r, true);
        return ok ? KPL_OK : KPL_E_TO_UPGRADE_MODE;
    }
    case kModeMassStorage: {
        if (kv7Reader) {
            const bool ok = sentTwice([&] { return kv7PrepareForDfu(r->deviceHandle); },
                                      "%s(%i) :IOCTL_TARN_URB_PASSTHROUGH failed. Error: %xh",
                                      "%s(%i) :IOCTL_TARN_URB_PASSTHROUGH (retry) failed. Error: %xh");
            return ok ? KPL_OK : KPL_E_TO_UPGRADE_MODE;
        }
        const uint32_t object = static_cast<uint32_t>(r->deviceObject);
        sentTwice([&] { return DetachDevice(helperHandle(), object); }, "%s(%i) :IOCTL_DMHLP_DETACH failed. Error: %xh.",
                  "%s(%i) :IOCTL_DMHLP_DETACH (retry) failed. Error: %xh.");
        if (!CyclePort(helperHandle(), object)) {
            TARN_LOG_AT(kUnit, "%s(%i) :IOCTL_DMHLP_CYCLEPORT failed. Error: %xh.", static_cast<unsigned>(GetLastError()));
            return KPL_E_TO_UPGRADE_MODE;
        }
        return KPL_OK;
    }
    default: return KPL_E_TO_UPGRADE_MODE;
    }
}

// The service switch of Windows 2000: the helper driver loaded for the reader detaches it. 1 when
// it did, 0 to go on the usual way, -1 when the reader's service could not be restored.
int serviceSwitch(TarnDeviceRecord* r, bool kv7Reader) {
    if (r->deviceMode == kModeOwnDriver) closeRecordHandle(r, true);
    if (LoadHelperDriver(&helperHandle(), dmhlp::kImageName, dmhlp::kServiceName) != KPL_OK) {
        TARN_LOG_AT(kUnit, "%s(%i) :Error in loading helper driver.");
        return 0;
    }
    if (!HookAddDevice(helperHandle(), kv7Reader ? 1 : 0)) {
        TARN_LOG_AT(kUnit, "%s(%i) :IOCTL_DMHLP_HOOK_ADD_DEVICE failed. Error: %xh.", static_cast<unsigned>(GetLastError()));
        return 0;
    }
    DEVINST node = r->devInst;
    const int32_t changed = ChangeService(&node, &GUID_DEVINTERFACE_USB_DEVICE, dmhlp::kServiceName, "Tarn DM Reader", 1);
    const int32_t back = ChangeServiceBack(&node, &GUID_DEVINTERFACE_USB_DEVICE);
    if (!back) {
        TARN_LOG_AT(kUnit, "%s(%i) :Error in reverting service");
        TARN_LOG_AT(kUnit, "%s(%i) :Error in changing service.");
        TARN_PLAIN("Reverting to old approach...");
        return -1;
    }
    if (!changed) {
        TARN_LOG_AT(kUnit, "%s(%i) :Error in changing service.");
        TARN_PLAIN("Reverting to old approach...");
        return 0;
    }
    return 1;
}

}  // namespace

// ---- the window ---------------------------------------------------------------------------------

int32_t CreateKpltarnWnd() {
    WindowState& w = windowState();
    if (w.window) return KPL_OK;
    WNDCLASSA wc{};
    wc.lpfnWndProc = windowProc;
    wc.hInstance = pluginInstance();
    wc.lpszClassName = kWindowClass;
    if (!w.classRegistered) w.classRegistered = RegisterClassA(&wc) != 0;
    if (w.classRegistered)
        w.window = CreateWindowExA(0, kWindowClass, " ", 0, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                   nullptr, nullptr, pluginInstance(), nullptr);
    if (!w.window) {
        TARN_LOG_AT(kUnit, "%s(%i) :Memory allocation failed. Error: %xh.", static_cast<unsigned>(GetLastError()));
        return KPL_E_NO_MEMORY;
    }
    return KPL_OK;
}

void DestroyKpltarnWnd() {
    WindowState& w = windowState();
    if (w.window) DestroyWindow(w.window);
    w.window = nullptr;
    if (w.classRegistered) UnregisterClassA(kWindowClass, pluginInstance());
    w.classRegistered = false;
}

HWND KpltarnWnd() { return windowState().window; }

void OnDeviceArrival(const DEV_BROADCAST_DEVICEINTERFACE_A* n) {
    ArrivalState& s = arrival();
    if (!s.trapArmed || !n || n->dbcc_size <= offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name)) return;
    // The name as far as the record holds it, terminated.
    char name[kPathSize] = {};
    const size_t room = n->dbcc_size - offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);
    std::memcpy(name, n->dbcc_name, std::min(room, sizeof name - 1));
    if (sameGuid(n->dbcc_classguid, kUpgradeInterface)) upgradeModeArrival(name);
    else if (sameGuid(n->dbcc_classguid, GUID_DEVINTERFACE_USB_DEVICE)) usbDeviceArrival(name);
    else if (sameGuid(n->dbcc_classguid, kFunctionalInterface)) s.functionalArrived = 1;
    if (!s.dfuArrived) closeArrivedHandle();
}

// ---- the wait -------------------------------------------------------------------------------------

DeviceWait::DeviceWait(bool expectDfu, bool shortWait)
    : expectDfu_(expectDfu),
      shortWait_(shortWait),
      arrived_(expectDfu ? arrival().dfuArrived : arrival().functionalArrived) {}

DeviceWait::~DeviceWait() { disarm(); }

void DeviceWait::disarm() {
    for (HDEVNOTIFY& n : notifications_) {
        if (n) UnregisterDeviceNotification(n);
        n = nullptr;
    }
    if (armed_) arrival().trapArmed = 0;
    armed_ = false;
}

int32_t DeviceWait::Arm() {
    // A worker of an earlier wait may still be at work; it must not act on this one.
    StopWorkerThreads();
    TARN_LOG_AT(kUnit, "%s(%i) :Waiting for arrival of Driver....%d", expectDfu_ ? 1 : 0);
    for (int i = 0; i < 3; ++i) {
        DEV_BROADCAST_DEVICEINTERFACE_A filter{};
        filter.dbcc_size = sizeof filter;
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = *kWatched[i];
        notifications_[i] = RegisterDeviceNotificationA(KpltarnWnd(), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
        if (!notifications_[i]) {
            TARN_LOG_AT(kUnit, "%s(%i) :RegisterDeviceNotification failed. Error: %xh.", static_cast<unsigned>(GetLastError()));
            TARN_LOG_AT(kUnit, "%s(%i) :SetDeviceChangeTrap failed");
            disarm();
            return KPL_E_NOTIFICATION;
        }
    }
    ArrivalState& s = arrival();
    s.functionalArrived = 0;
    s.dfuArrived = 0;
    s.validateArrival = 0;
    s.usbstorArrived = 0;
    closeArrivedHandle();
    windowState().waitExpectsDfu = expectDfu_;
    before_ = presentInterfaces();
    armed_ = true;
    s.trapArmed = 1;
    return KPL_OK;
}

int32_t DeviceWait::Wait(volatile int32_t* abortFlag) {
    if (!armed_) return KPL_E_NOTIFICATION;
    ArrivalState& s = arrival();
    auto context = std::make_shared<WaitContext>(&arrived_);
    LARGE_INTEGER start, frequency;
    QueryPerformanceCounter(&start);
    QueryPerformanceFrequency(&frequency);
    double limit = shortWait_ ? kShortWaitSeconds : kLongWaitSeconds;
    bool secondStage = false;
    int32_t status = KPL_OK;
    bool ended = false;
    bool lookedAgain = false;
    while (!arrived_ && !ended) {
        if (abortFlag && *abortFlag) {
            s.trapArmed = 0;
            context->stop = 1;
            TARN_LOG_AT(kUnit, "%s(%i) :User Abort...");
            status = KPL_E_USER_ABORT;
            break;
        }
        if (expectDfu_ && s.usbstorArrived && !context->updateRunning) {
            TARN_LOG_AT(kUnit, "%s(%i) :Creating a thread to force update driver.");
            s.usbstorArrived = 0;
            StartWorker(context, context->updateRunning, context->updateDone, UpdateThread);
        }
        if (secondsSince(start, frequency) > limit) {
            if (shortWait_ && secondStage) {
                context->stop = 1;
                status = KPL_E_USER_ABORT;
                break;
            }
            if (!context->powerCycleRunning) {
                TARN_LOG_AT(kUnit, "%s(%i) :Creating a thread to powercycle the ports.");
                // Only a KV7 controller can be told from another by what it keeps: its product type.
                if (!shortWait_ && s.switchingKv7) s.validateArrival = 1;
                // The helper driver is loaded here, on the transfer thread, never by a worker.
                if (helperHandle() == INVALID_HANDLE_VALUE)
                    LoadHelperDriver(&helperHandle(), dmhlp::kImageName, dmhlp::kServiceName);
                StartWorker(context, context->powerCycleRunning, context->powerCycleDone, PowerCycleThread);
            }
            if (shortWait_) {
                limit = kSecondStageSeconds;
                secondStage = true;
            }
            QueryPerformanceCounter(&start);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, kPollMs, QS_ALLINPUT);
        MSG m;
        while (!arrived_ && PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
            if (m.message == WM_QUIT) {
                // The caller's own loop must still see it.
                PostQuitMessage(static_cast<int>(m.wParam));
                context->stop = 1;
                status = KPL_E_TO_UPGRADE_MODE;
                ended = true;
                break;
            }
            if (m.message == WM_DESTROY || m.message == WM_NCDESTROY) {
                context->stop = 1;
                ended = true;
            }
            TranslateMessage(&m);
            DispatchMessageA(&m);
            if (ended) break;
        }
        // Once, after the first pass: an interface that appeared while the notifications were
        // being registered is taken as if it had been heard.
        if (!lookedAgain && !arrived_ && !ended) {
            lookedAgain = true;
            takeMissedArrivals(before_);
        }
    }
    if (arrived_) status = KPL_OK;
    if (context->powerCycleRunning) {
        TARN_LOG_AT(kUnit, "%s(%i) :Waiting for powercycle thread termination");
        WaitForSingleObject(context->powerCycleDone, kThreadJoinMs);
    }
    if (context->updateRunning) {
        TARN_LOG_AT(kUnit, "%s(%i) :Waiting for update thread termination");
        WaitForSingleObject(context->updateDone, kThreadJoinMs);
    }
    context->stop = 1;
    disarm();
    return status;
}

// ---- the switches --------------------------------------------------------------------------------

int32_t SwitchToDFU(DeviceInfoList* list, DeviceInfoEntry* entry, volatile int32_t* abortFlag) {
    auto* r = static_cast<TarnDeviceRecord*>(entry->device);
    TARN_LOG_AT(kUnit, "%s(%i) :DeviceMode = %d", r->deviceMode);
    if (inUpgradeMode(*r)) return KPL_OK;
    if (r->driveLetter == kPlexMonitorDrive) {
        NotifyQueryRemove();
        for (int i = 0; list && i < KPL_MAX_DEVICES && list->entries[i].name[0]; ++i) {
            auto* other = static_cast<TarnDeviceRecord*>(list->entries[i].device);
            if (other && other->isModule && other->deviceHandle != INVALID_HANDLE_VALUE) closeRecordHandle(other, true);
        }
    }
    if (r->isModule == 1 && MerrowHandle() != INVALID_HANDLE_VALUE) {
        uint8_t slot = r->slot;
        DWORD returned = 0;
        if (!DeviceIoControl(MerrowHandle(), kIoctlPlexModuleAddRemove, &slot, 1, nullptr, 0, &returned, nullptr))
            TARN_LOG_AT(kUnit, "%s(%i) :IOCTL_MERROW_INFORM_MODULE_ADDREMOVE failed. Error: %xh.",
                        static_cast<unsigned>(GetLastError()));
    }
    const bool kv7Reader = isKv7(*r);
    arrival().switchingKv7 = kv7Reader ? 1 : 0;
    // The loader of a dfuType-3 reader comes back under identifiers of its own; another reader's
    // download must not be held to them.
    arrival().checkIds = r->dfuType == 3 ? 1 : 0;

    // Armed before anything makes the reader leave, so that no arrival can be missed.
    DeviceWait wait(true, false);
    if (const int32_t armed = wait.Arm(); armed != KPL_OK) return armed;

    bool detached = false;
    if (isWindows2000()) {
        const int switched = serviceSwitch(r, kv7Reader);
        if (switched < 0) return KPL_E_TO_UPGRADE_MODE;
        detached = switched == 1;
    }
    if (!detached) {
        if (r->deviceMode == kModeOwnDriver && r->deviceHandle == INVALID_HANDLE_VALUE) {
            r->deviceHandle = CreateFileA(r->devicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, 0, nullptr);
            if (r->deviceHandle == INVALID_HANDLE_VALUE) {
                TARN_LOG_AT(kUnit, "%s(%i) :SDI_NO_VALID_DEVICE_HANDLE");
                return KPL_E_TO_UPGRADE_MODE;
            }
        }
        if (const int32_t triggered = triggerUpgradeMode(r, kv7Reader); triggered != KPL_OK) return triggered;
    }
    closeArrivedHandle();
    r->deviceMode = kModeSwitching;
    if (const int32_t status = wait.Wait(abortFlag); status != KPL_OK) {
        TARN_LOG_AT(kUnit, "%s(%i) :WaitForDevDriver failed. Error: %xh.", static_cast<unsigned>(status));
        return status;
    }
    ArrivalState& s = arrival();
    if (s.arrivedHandle != INVALID_HANDLE_VALUE) {
        r->deviceHandle = s.arrivedHandle;
        s.arrivedHandle = INVALID_HANDLE_VALUE;
        r->deviceMode = kv7Reader ? kModeKv7Upgrade : kModeUpgrade;
    }
    return KPL_OK;
}

int32_t RecoverDevice(DeviceInfoEntry* entry, volatile int32_t* abortFlag, bool expectDfu) {
    auto* r = static_cast<TarnDeviceRecord*>(entry->device);
    arrival().switchingKv7 = isKv7(*r) ? 1 : 0;
    DeviceWait wait(expectDfu, true);
    int32_t status = wait.Arm();
    if (status == KPL_OK) {
        if (expectDfu) {
            closeArrivedHandle();
            r->deviceMode = kModeSwitching;
        }
        status = wait.Wait(abortFlag);
    }
    if (status != KPL_OK) {
        TARN_LOG_AT(kUnit, "%s(%i) :WaitForDevDriver failed. Error: %xh.", static_cast<unsigned>(status));
        return status;
    }
    ArrivalState& s = arrival();
    if (expectDfu && s.arrivedHandle != INVALID_HANDLE_VALUE) {
        r->deviceHandle = s.arrivedHandle;
        s.arrivedHandle = INVALID_HANDLE_VALUE;
        r->deviceMode = isKv7(*r) ? kModeKv7Upgrade : kModeUpgrade;
    }
    return KPL_OK;
}

int32_t SwitchToFunctional(DeviceInfoEntry* entry, volatile int32_t* abortFlag, bool bounded) {
    auto* r = static_cast<TarnDeviceRecord*>(entry->device);
    if (!inUpgradeMode(*r)) return KPL_OK;
    DeviceWait wait(false, bounded);
    const int32_t armed = wait.Arm();
    int32_t status = KPL_OK;
    if (r->deviceMode == kModeUpgrade) {
        if (!dfuDetach(r->deviceHandle)) {
            TARN_LOG_AT(kUnit, "%s(%i) :IOCTL_TARNDFU_DETACH failed. Error: %xh.", static_cast<unsigned>(GetLastError()));
            status = KPL_E_DETACH;
        }
    } else {
        uint32_t nt = 0, usb = 0;
        const bool back = kv7::usesScsi(r->dfuType)
                              ? [&] {
                                    SCSI_PASS_THROUGH_DIRECT p{};
                                    p.Length = sizeof p;
                                    p.CdbLength = 6;
                                    p.Cdb[0] = kv7::kOpFunctionalMode;
                                    p.TimeOutValue = 10;
                                    return BulkOnlyCommand(r->deviceHandle, &p, &nt, &usb) == 1;
                                }()
                              : ControlRequest(r->deviceHandle, requests::kv7SwitchToFunctionalMode(), nullptr, 0, &nt, &usb) != 0;
        if (!back) {
            TARN_PLAIN("KV7_SWITCH_FNCMODE failed... NtStatus:0x%x. UsbStatus:0x%x", nt, usb);
            TARN_LOG_AT(kUnit, "%s(%i) :IOCTL_TARN_URB_PASSTHROUGH failed. Error: %xh.", static_cast<unsigned>(GetLastError()));
            status = KPL_E_DETACH;
        }
    }
    closeRecordHandle(r);
    r->deviceMode = kModeSwitching;
    if (status != KPL_OK) return status;
    status = armed == KPL_OK ? wait.Wait(abortFlag) : armed;
    if (status != KPL_OK)
        TARN_LOG_AT(kUnit, "%s(%i): WaitForDevDriver failed %xh. Error: %xh.", static_cast<unsigned>(status),
                    static_cast<unsigned>(GetLastError()));
    if (arrival().functionalArrived || bounded) return status;
    if (const int32_t recovered = RecoverDevice(entry, abortFlag, false); recovered != KPL_OK) {
        TARN_LOG_AT(kUnit, "%s(%i) :Recover functional device failed");
        return recovered;
    }
    return KPL_OK;
}

// ---- reading the firmware, the helper's id, the query-remove notice --------------------------------

int32_t UploadToFile(DeviceInfoEntry* entry, image::BinFile& copy, uint32_t length, const char* path, bool save) {
    auto* r = static_cast<TarnDeviceRecord*>(entry->device);
    if (length == 0) length = kFullImage;
    if (!copy.Create(path, length, save)) return KPL_E_OUTPUT_CREATE;
    HANDLE mcn = INVALID_HANDLE_VALUE;
    if (isXpOrLater() && r->driveLetter >= 'A' && r->driveLetter <= 'Z') mcn = ScsiDisableMcn(r->driveLetter - 'A');
    int32_t status = KPL_OK;
    DWORD returned = 0;
    if (!DeviceIoControl(r->deviceHandle, kIoctlDfuUploadAll, nullptr, 0, copy.data(), copy.length(), &returned, nullptr)) {
        TARN_LOG_AT(kUnit, "%s(%i) :IOCTL_TARNDFU_UPLOAD_ALL failed for bin size 64K.  Error: %xh",
                    static_cast<unsigned>(GetLastError()));
        copy.Truncate(std::min(copy.length(), kHalfImage));
        if (!DeviceIoControl(r->deviceHandle, kIoctlDfuUploadAll, nullptr, 0, copy.data(), copy.length(), &returned,
                             nullptr)) {
            TARN_LOG_AT(kUnit, "%s(%i) :IOCTL_TARNDFU_UPLOAD_ALL failed for bin size\t\t\t\t\t\t32K. Error: %xh.",
                        static_cast<unsigned>(GetLastError()));
            status = KPL_E_FIRMWARE_READ;
        }
    }
    if (status == KPL_OK && save && !copy.Write()) status = KPL_E_OUTPUT_WRITE;
    if (mcn != INVALID_HANDLE_VALUE) CloseHandle(mcn);
    return status;
}

int32_t GetDeviceObject(const char* path) {
    char pdoName[kMaxPdoName + 1] = {};
    bool found = false;
    HDEVINFO set = SetupDiGetClassDevsA(&kUpgradeInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set != INVALID_HANDLE_VALUE) {
        ForEachMember(set, kUpgradeInterface, [&](DWORD i, const char* member, SP_DEVINFO_DATA& element) {
            if (i >= 127) return true;
            if (!EqualNoCase(member, path)) return false;
            found = ElementText(set, &element, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME, pdoName, sizeof pdoName) && pdoName[0];
            return true;
        });
        SetupDiDestroyDeviceInfoList(set);
    }
    if (!found) {
        TARN_PLAIN("Error: Unable to obtain Pdo Name");
        return KPL_E_SYSTEM;
    }
    TARN_PLAIN("Pdo Name: %s", pdoName);
    if (helperHandle() == INVALID_HANDLE_VALUE) {
        TARN_LOG_AT(kUnit, "%s(%i) :Loading HelperDriver");
        if (const int32_t status = LoadHelperDriver(&helperHandle(), dmhlp::kImageName, dmhlp::kServiceName); status != KPL_OK) {
            TARN_LOG_AT(kUnit, "%s(%i) :LoadHelperDriver Failed");
            return status;
        }
    }
    dmhlp::QueryRecord q;
    PrepareQuery(&q, pdoName, 1, static_cast<uint32_t>(GetPlatformId()), dmhlp::kQueryObjectOnly);
    if (!QueryDevice(helperHandle(), &q)) return KPL_E_SYSTEM;
    arrival().dfuDeviceObject = q.deviceObject;
    return KPL_OK;
}

void NotifyQueryRemove() {
    // The record as a 32-bit system lays it out (43 bytes: size, type, reserved, handle,
    // notification handle, event GUID, name offset, three data bytes). It stays valid for as long
    // as any receiver of the posted notice may read it.
    static const struct Record {
        uint8_t bytes[43];
        Record() : bytes{} {
            const uint32_t size = sizeof bytes, type = DBT_DEVTYP_HANDLE;
            std::memcpy(bytes, &size, 4);
            std::memcpy(bytes + 4, &type, 4);
            const GUID event = {0x803A887C, 0x7421, 0x450F, {0x86, 0xF1, 0x9C, 0xC3, 0x49, 0x95, 0xA2, 0xF7}};
            std::memcpy(bytes + 20, &event, sizeof event);
            const int32_t noName = -1;
            std::memcpy(bytes + 36, &noName, 4);
        }
    } record;
    DWORD recipients = BSM_ALLCOMPONENTS;
    BroadcastSystemMessageA(BSF_NOHANG | BSF_POSTMESSAGE, &recipients, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE,
                            reinterpret_cast<LPARAM>(record.bytes));
    Sleep(kQueryRemovePauseMs);
}

}  // namespace tarn
