#include "controllers.h"

#include <initializer_list>

#include <plugin-api/kpl.h>
#include <winsim/setupapi.h>
#include <winsim/usbiodef.h>

#include "plugin_state.h"
#include "tarn_log.h"

namespace tarn {

namespace {

constexpr int kEnumerationPauses = 60;

DWORD presentUsbDevices() {
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_USB_DEVICE, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return 0;
    SP_DEVICE_INTERFACE_DATA itf{};
    itf.cbSize = sizeof itf;
    DWORD n = 0;
    while (SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_USB_DEVICE, n, &itf)) ++n;
    SetupDiDestroyDeviceInfoList(set);
    return n;
}

// Every host controller, present or not, in member order: its service and location text.
template <typename Visit>
void forEachController(Visit visit) {
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_USB_HOST_CONTROLLER, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return;
    for (DWORD member = 0;; ++member) {
        SP_DEVINFO_DATA dev{};
        dev.cbSize = sizeof dev;
        if (!SetupDiEnumDeviceInfo(set, member, &dev)) break;
        char service[MAX_PATH] = "", location[MAX_PATH] = "";
        SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_SERVICE, nullptr, reinterpret_cast<BYTE*>(service),
                                          sizeof service - 1, nullptr);
        SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_LOCATION_INFORMATION, nullptr,
                                          reinterpret_cast<BYTE*>(location), sizeof location - 1, nullptr);
        visit(member, service, location);
    }
    SetupDiDestroyDeviceInfoList(set);
}

}  // namespace

bool SetDeviceEnabled(const GUID& interfaceClass, DWORD member, bool enable) {
    HDEVINFO set = SetupDiGetClassDevsA(&interfaceClass, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return false;
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    bool ok = SetupDiEnumDeviceInfo(set, member, &dev);
    SP_PROPCHANGE_PARAMS change{};
    change.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    change.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    change.StateChange = enable ? DICS_ENABLE : DICS_DISABLE;
    change.HwProfile = 0;
    // The global change first, then the one for the current hardware profile, which replaces it.
    for (DWORD scope : {static_cast<DWORD>(DICS_FLAG_GLOBAL), static_cast<DWORD>(DICS_FLAG_CONFIGSPECIFIC)}) {
        change.Scope = scope;
        ok = ok && SetupDiSetClassInstallParamsA(set, &dev, &change.ClassInstallHeader, sizeof change);
    }
    ok = ok && SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &dev);
    SP_DEVINSTALL_PARAMS_A params{};
    params.cbSize = sizeof params;
    ok = ok && SetupDiGetDeviceInstallParamsA(set, &dev, &params) && !(params.Flags & DI_NEEDREBOOT);
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

int32_t SwitchHighSpeedControllers(bool enable) {
    const DWORD before = presentUsbDevices();
    TARN_PLAIN("Current USB Devices %d", static_cast<int>(before));
    const DWORD drives = GetLogicalDriveStringsA(0, nullptr);
    forEachController([&](DWORD member, const char* service, const char* location) {
        if (!EqualNoCase(service, "usbehci")) {
            TARN_PLAIN("Skipping driver %s", service);
            return;
        }
        const bool ok = SetDeviceEnabled(GUID_DEVINTERFACE_USB_HOST_CONTROLLER, member, enable);
        TARN_PLAIN(ok ? "%s of controller %s succeeded." : "%s of controller %s failed.", enable ? "Enable" : "Disable",
                   location);
    });
    if (enable) return KPL_OK;

    TARN_PLAIN("Wait for enumeration after disabling EHCI");
    for (int pause = 1; pause <= kEnumerationPauses; ++pause) {
        if (presentUsbDevices() >= before && GetLogicalDriveStringsA(0, nullptr) >= drives) return KPL_OK;
        TARN_PLAIN("Get device count : Iteration %d%%", pause);
        Sleep(1000);
    }
    // The devices did not come back: give every controller a fresh start.
    forEachController([](DWORD member, const char*, const char*) {
        SetDeviceEnabled(GUID_DEVINTERFACE_USB_HOST_CONTROLLER, member, false);
        SetDeviceEnabled(GUID_DEVINTERFACE_USB_HOST_CONTROLLER, member, true);
    });
    return KPL_E_DEVICES_NOT_BACK;
}

}  // namespace tarn
