#include "power_cycle.h"

#include <cstdio>
#include <cstring>

#include <winsim/usbioctl.h>
#include <winsim/usbiodef.h>

#include "device_nodes.h"
#include "helper_client.h"
#include "plugin_state.h"
#include "tarn_log.h"

namespace tarn {

namespace {

constexpr const char* kUnit = "tarnHUB";
constexpr DWORD kPowerOffMs = 3000;
constexpr DWORD kHubIndexesSkipped = 10;  // below this a missing hub member is passed over

bool asksForPowerCycle(USB_CONNECTION_STATUS status) {
    return status == NoDeviceConnected || status == DeviceFailedEnumeration || status == DeviceGeneralFailure;
}

// One member of the hub class: its path, physical device object name and description.
struct HubMember {
    char path[kPathSize] = {};
    char pdoName[kPropertySize] = {};
    char description[kPropertySize] = {};
};

bool hubMember(DWORD index, HubMember* out) {
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_USB_HUB, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return false;
    bool found = false;
    ForEachMember(set, GUID_DEVINTERFACE_USB_HUB, [&](DWORD i, const char* path, SP_DEVINFO_DATA& element) {
        if (i != index) return false;
        std::snprintf(out->path, sizeof out->path, "%s", path);
        ElementText(set, &element, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME, out->pdoName, sizeof out->pdoName);
        ElementText(set, &element, SPDRP_DEVICEDESC, out->description, sizeof out->description);
        found = true;
        return true;
    });
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

void walkHub(const HubMember& hub, WaitContext& context) {
    HANDLE h = CreateFileA(hub.path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        TARN_LOG_AT(kUnit, "%s(%i) :Unable to create handle for hub %s", hub.path);
        return;
    }
    int ports = 0;
    if (!HubPortCount(h, &ports)) {
        TARN_LOG_AT(kUnit, "%s(%i) :Unable to get node info for hub %s", hub.path);
        CloseHandle(h);
        return;
    }
    TARN_LOG_AT(kUnit, "%s(%i) :Hub %s with %d ports opened successfully", hub.path, ports);
    for (int port = 1; port <= ports && !*context.arrived && !context.stop; ++port) {
        USB_NODE_CONNECTION_INFORMATION info{};
        if (!HubPortConnection(h, static_cast<DWORD>(port), &info)) {
            TARN_LOG_AT(kUnit, "%s(%i) :Unable to get node connection info of port %d of Hub %s\n", port, hub.path);
            continue;
        }
        if (!asksForPowerCycle(info.ConnectionStatus)) continue;
        TARN_LOG_AT(kUnit, "%s(%i) :PowerCycling Port %d of Hub %s", port, hub.path);
        PowerCyclePort(hub.pdoName, static_cast<uint16_t>(port));
    }
    CloseHandle(h);
}

}  // namespace

DWORD PowerCycleThread(WaitContext& context) {
    TARN_LOG_AT(kUnit, "%s(%i) :Enumerate Failed Devices");
    for (DWORD i = 0; !*context.arrived; ++i) {
        if (context.stop) break;
        HubMember hub;
        if (!hubMember(i, &hub)) {
            if (i >= kHubIndexesSkipped) break;
            continue;
        }
        if (EqualNoCase(hub.description, "Generic USB Hub")) walkHub(hub, context);
    }
    if (*context.arrived || context.stop) TARN_LOG_AT(kUnit, "%s(%i) :Stopping powercycling of ports.");
    TARN_LOG_AT(kUnit, "%s(%i) :Notifying powercycle thread termination");
    SetEvent(context.powerCycleDone);
    context.powerCycleRunning = 0;
    return 0;
}

int32_t PowerCyclePort(const char* hubName, uint16_t port) {
    if (!hubName || !hubName[0]) {
        TARN_LOG_AT(kUnit, "%s(%i) :HubPDO Name Invalid");
        return 0;
    }
    const HANDLE helper = helperHandle();
    if (helper == INVALID_HANDLE_VALUE) {
        // The helper driver is loaded by the transfer thread before it starts this one.
        TARN_LOG_AT(kUnit, "%s(%i) :LoadHelperDriver Failed");
        return 0;
    }
    const auto switchPort = [&](bool on, const char* failed) {
        if (SetPortPower(helper, hubName, port, on)) return true;
        if (!HubPowerUp(helper, hubName)) {
            TARN_LOG_AT(kUnit, "%s(%i) :Hub PowerUp failed");
            return false;
        }
        if (SetPortPower(helper, hubName, port, on)) return true;
        TARN_LOG_AT(kUnit, failed);
        return false;
    };
    if (!switchPort(false, "%s(%i) :Failed to Power down Port")) return 0;
    // A wait on an event no one sets: the pause, without tying up a timer of the system.
    HANDLE pause = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (pause) {
        WaitForSingleObject(pause, kPowerOffMs);
        CloseHandle(pause);
    } else {
        Sleep(kPowerOffMs);
    }
    return switchPort(true, "%s(%i) :Failed to Power Up Port") ? 1 : 0;
}

}  // namespace tarn
