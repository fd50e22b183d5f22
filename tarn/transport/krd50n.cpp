#include "krd50n.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <protocol/tarn_usb.h>
#include <winsim/usbioctl.h>
#include <winsim/usbiodef.h>

#include "device_list.h"
#include "device_nodes.h"
#include "helper_client.h"
#include "plugin_state.h"
#include "tarn_device.h"
#include "tarn_log.h"

namespace tarn {

namespace {

constexpr const char* kUnit = "KRD50N";
constexpr DWORD kKrd50nPorts = 3;
constexpr int kRecoveryWaits = 10;
constexpr DWORD kRecoveryPauseMs = 1000;

// Whether `id` names the unit's hub: "VID_04CC" and "PID_1122" or "PID_1123", upper-cased.
bool krd50nIdentifiers(const char* hardwareId) {
    char id[kPropertySize];
    std::snprintf(id, sizeof id, "%s", hardwareId);
    for (char* c = id; *c; ++c)
        if (*c >= 'a' && *c <= 'z') *c = static_cast<char>(*c - 'a' + 'A');
    const char* vid = std::strstr(id, "VID_");
    const char* pid = std::strstr(id, "PID_");
    if (!vid || !pid) return false;
    return std::strncmp(vid + 4, "04CC", 4) == 0 && (std::strncmp(pid + 4, "1122", 4) == 0 || std::strncmp(pid + 4, "1123", 4) == 0);
}

// The member of the upgrade-mode class at `devInst`, present, with its service.
bool upgradeMemberOf(DEVINST devInst, ClassMember* member) {
    return devInst && FindMemberOfNode(kUpgradeInterface, devInst, true, member);
}

}  // namespace

uint8_t Krd50nPortType(DWORD port) {
    switch (port) {
    case 1: return 18;
    case 2: return 17;
    case 3: return 11;
    default: return kNoTypeFromSystem;
    }
}

uint8_t TypeFromSystem(DEVINST devInst, HDEVINFO set, SP_DEVINFO_DATA* element) {
    DEVINST parent = 0;
    const CONFIGRET cr = CM_Get_Parent(&parent, devInst, 0);
    if (cr != CR_SUCCESS) {
        TARN_LOG_AT(kUnit, "%s(%i) Failed getting parent device instance. Error = %xh", static_cast<unsigned>(cr));
        return kNoTypeFromSystem;
    }
    if (!IsKrd50nHub(parent)) return kNoTypeFromSystem;
    DWORD port = 0;
    if (!ElementDword(set, element, SPDRP_ADDRESS, &port)) {
        TARN_LOG_AT(kUnit, "%s(%i) :SetupDiGetDeviceRegistryProperty failed. Error = %xh",
                    static_cast<unsigned>(GetLastError()));
        return kNoTypeFromSystem;
    }
    const uint8_t type = Krd50nPortType(port);
    if (type == kNoTypeFromSystem) TARN_LOG_AT(kUnit, "%s(%i) :Invalid Port Number: 0x%x", static_cast<unsigned>(port));
    return type;
}

int32_t IsKrd50nHub(DEVINST devInst) {
    ClassMember hub;
    if (!FindMemberOfNode(GUID_DEVINTERFACE_USB_HUB, devInst, true, &hub)) return 0;
    char description[kPropertySize], hardwareId[kPropertySize];
    if (!ElementText(hub.set, &hub.element, SPDRP_DEVICEDESC, description, sizeof description) ||
        !EqualNoCase(description, "Generic USB Hub"))
        return 0;
    if (!ElementText(hub.set, &hub.element, SPDRP_HARDWAREID, hardwareId, sizeof hardwareId) ||
        !krd50nIdentifiers(hardwareId))
        return 0;
    HANDLE h = CreateFileA(hub.path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        TARN_LOG_AT(kUnit, "%s(%i) :SDI_NO_VALID_DEVICE_HANDLE. Error = %xh", static_cast<unsigned>(GetLastError()));
        return 0;
    }
    int32_t answer = 1;
    int ports = 0;
    if (!HubPortCount(h, &ports)) {
        TARN_PLAIN("Unable to get node info for hub");
        answer = 0;
    } else if (ports != static_cast<int>(kKrd50nPorts)) {
        TARN_PLAIN("No. of ports not same as KRD50N. No. of ports: %d", ports);
        answer = 0;
    }
    for (DWORD port = 1; answer && port <= kKrd50nPorts; ++port) {
        USB_NODE_CONNECTION_INFORMATION info{};
        if (!HubPortConnection(h, port, &info)) {
            TARN_PLAIN("Unable to get node connection info for port %d\n", static_cast<int>(port));
            answer = 0;
        } else if (info.ConnectionStatus == NoDeviceConnected) {
            answer = 0;
        }
    }
    CloseHandle(h);
    return answer;
}

bool FindKrd50nHub(char* path, DEVINST* devInst) {
    return ForEachMember(GUID_DEVINTERFACE_USB_HUB, true, [&](DWORD, const char* found, SP_DEVINFO_DATA& element) {
        if (!IsKrd50nHub(element.DevInst)) return false;
        std::snprintf(path, kPathSize, "%s", found);
        *devInst = element.DevInst;
        return true;
    });
}

DEVINST GetChildAtPort(DEVINST hub, DWORD port) {
    DEVINST child = 0;
    CONFIGRET cr = CM_Get_Child(&child, hub, 0);
    if (cr != CR_SUCCESS) {
        TARN_LOG_AT(kUnit, "%s(%i) :SDI_NO_CHILD_DEVICE_INSTANCE. Error = %xh", static_cast<unsigned>(cr));
        return 0;
    }
    for (DWORD n = 0; n < kKrd50nPorts; ++n) {
        ClassMember member;
        if (FindMemberOfNode(GUID_DEVINTERFACE_USB_DEVICE, child, false, &member) ||
            FindMemberOfNode(kFunctionalInterface, child, false, &member) ||
            FindMemberOfNode(kUpgradeInterface, child, true, &member)) {
            DWORD address = 0;
            if (ElementDword(member.set, &member.element, SPDRP_ADDRESS, &address) && address == port) return child;
        }
        if (n + 1 == kKrd50nPorts) break;
        DEVINST next = 0;
        cr = CM_Get_Sibling(&next, child, 0);
        if (cr != CR_SUCCESS) {
            TARN_LOG_AT(kUnit, "%s(%i) :SDI_NO_CHILD_DEVICE_INSTANCE. Error = %xh", static_cast<unsigned>(cr));
            return 0;
        }
        child = next;
    }
    return 0;
}

void RecoverKrd50n(DeviceInfoList* list) {
    char hubPath[kPathSize];
    DEVINST hubNode = 0;
    if (!FindKrd50nHub(hubPath, &hubNode)) {
        TARN_PLAIN("Unable to get hub's symbolic link name.");
        return;
    }
    HANDLE hub = CreateFileA(hubPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (hub == INVALID_HANDLE_VALUE) {
        TARN_LOG_AT(kUnit, "%s(%i) :SDI_NO_VALID_DEVICE_HANDLE. Error = %xh", static_cast<unsigned>(GetLastError()));
        return;
    }
    for (DWORD port = 1; port <= kKrd50nPorts; ++port) {
        USB_NODE_CONNECTION_INFORMATION info{};
        if (!HubPortConnection(hub, port, &info)) {
            TARN_PLAIN("Unable to get node connection info for port %d\n", static_cast<int>(port));
            break;
        }
        const DEVINST child = GetChildAtPort(hubNode, port);
        if (!child) continue;
        ClassMember upgrade;
        if (!upgradeMemberOf(child, &upgrade)) {
            TARN_PLAIN("Unable to get instance info for device in port %d", static_cast<int>(port));
        } else {
            char service[kPropertySize];
            if (ElementText(upgrade.set, &upgrade.element, SPDRP_SERVICE, service, sizeof service) &&
                EqualNoCase(service, "TARNDFU")) {
                TARN_PLAIN("DFU Driver loaded for port %d", static_cast<int>(port));
                continue;
            }
        }
        DEVINST storage = 0;
        if (info.CurrentConfigurationValue == 0 || CM_Get_Child(&storage, child, 0) != CR_SUCCESS)
            RecoverFaultyDevice(list, child, port);
    }
    CloseHandle(hub);
}

void RecoverFaultyDevice(DeviceInfoList* list, DEVINST devInst, DWORD port) {
    if (LoadHelperDriver(&helperHandle(), dmhlp::kImageName, dmhlp::kServiceName) != KPL_OK) {
        TARN_LOG_AT(kUnit, "%s(%i) :Error in loading helper driver.");
        return;
    }
    if (!HookAddDevice(helperHandle(), 0))
        TARN_LOG_AT(kUnit, "%s(%i) :IOCTL_DMHLP_HOOK_ADD_DEVICE failed. Error: %xh.", static_cast<unsigned>(GetLastError()));
    DEVINST hub = 0;
    const CONFIGRET cr = CM_Get_Parent(&hub, devInst, 0);
    if (cr != CR_SUCCESS) {
        TARN_LOG_AT(kUnit, "%s(%i) Failed getting parent device instance. Error = %xh", static_cast<unsigned>(cr));
        return;
    }
    TarnDeviceRecord* record = NewDeviceRecord();
    if (!record) {
        TARN_LOG_AT(kUnit, "%s(%i) :Memory allocation failed. Error: %xh.", static_cast<unsigned>(ERROR_NOT_ENOUGH_MEMORY));
        return;
    }
    DEVINST node = devInst;
    if (!ChangeService(&node, &GUID_DEVINTERFACE_USB_DEVICE, dmhlp::kServiceName, "KRD50N DM Reader", 1) ||
        !ChangeServiceBack(&node, &GUID_DEVINTERFACE_USB_DEVICE)) {
        TARN_LOG_AT(kUnit, "%s(%i) :Error in loading helper driver.");
        FreeDeviceRecord(record);
        return;
    }
    ClassMember upgrade;
    bool found = false;
    for (int i = 0; i < kRecoveryWaits && !found; ++i) {
        Sleep(kRecoveryPauseMs);
        found = upgradeMemberOf(GetChildAtPort(hub, port), &upgrade);
    }
    if (found)
        record->deviceHandle = CreateFileA(upgrade.path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (record->deviceHandle == INVALID_HANDLE_VALUE) {
        TARN_LOG_AT(kUnit, "%s(%i) :SDI_NO_VALID_DEVICE_HANDLE");
        FreeDeviceRecord(record);
        return;
    }
    record->deviceMode = kModeUpgrade;
    record->dfuType = kUnknownDfuType;
    record->feature = 255;
    record->deviceType = Krd50nPortType(port);
    record->typeFromSystem = 1;
    const int index = FindFreeEntry(list);
    if (index >= KPL_MAX_DEVICES) {
        FreeDeviceRecord(record);
        return;
    }
    DeviceInfoEntry& entry = list->entries[index];
    std::snprintf(entry.name, sizeof entry.name, "Tarn DFU Device");
    entry.inUpgradeMode = 1;
    entry.device = record;
    TARN_PLAIN("Device (Faulty) %d\r\n", index);
    TARN_LOG_AT(kUnit, "%s(%i) :DeviceMode = %d", record->deviceMode);
    TARN_LOG_AT(kUnit, "%s(%i) :DfuType = %d\r\n", static_cast<int>(record->dfuType));
}

}  // namespace tarn
