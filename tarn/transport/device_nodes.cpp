#include "device_nodes.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

#include <winsim/usbiodef.h>

namespace tarn {

bool NodeText(DEVINST devInst, ULONG cmProperty, char* out, size_t size) {
    if (!out || size < 2) return false;
    std::memset(out, 0, size);
    ULONG length = static_cast<ULONG>(size - 2);  // a list keeps its two terminators
    const bool ok = CM_Get_DevNode_Registry_PropertyA(devInst, cmProperty, nullptr, out, &length, 0) == CR_SUCCESS;
    out[size - 1] = out[size - 2] = '\0';
    return ok;
}

bool ElementText(HDEVINFO set, SP_DEVINFO_DATA* element, DWORD property, char* out, size_t size) {
    if (!out || size < 2) return false;
    std::memset(out, 0, size);
    const BOOL ok = SetupDiGetDeviceRegistryPropertyA(set, element, property, nullptr, reinterpret_cast<BYTE*>(out),
                                                      static_cast<DWORD>(size - 2), nullptr);
    out[size - 1] = out[size - 2] = '\0';
    return ok;
}

bool ElementDword(HDEVINFO set, SP_DEVINFO_DATA* element, DWORD property, DWORD* out) {
    DWORD value = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(set, element, property, nullptr, reinterpret_cast<BYTE*>(&value),
                                           sizeof value, nullptr))
        return false;
    *out = value;
    return true;
}

bool ContainsAny(const char* text, std::initializer_list<const char*> parts) {
    for (const char* p : parts)
        if (text && std::strstr(text, p)) return true;
    return false;
}

void Lower(char* text) {
    for (; text && *text; ++text) *text = static_cast<char>(std::tolower(static_cast<unsigned char>(*text)));
}

namespace {
constexpr DWORD kNodeInformationSize = 76;
constexpr DWORD kConnectionInformationSize = 46;
}  // namespace

bool HubPortCount(HANDLE hub, int* ports) {
    alignas(8) uint8_t node[kNodeInformationSize] = {};
    DWORD returned = 0;
    if (!DeviceIoControl(hub, IOCTL_USB_GET_NODE_INFORMATION, node, sizeof node, node, sizeof node, &returned, nullptr))
        return false;
    *ports = reinterpret_cast<USB_NODE_INFORMATION*>(node)->u.HubInformation.HubDescriptor.bNumberOfPorts;
    return true;
}

bool HubPortConnection(HANDLE hub, DWORD port, USB_NODE_CONNECTION_INFORMATION* info) {
    alignas(8) uint8_t buffer[kConnectionInformationSize] = {};
    auto* in = reinterpret_cast<USB_NODE_CONNECTION_INFORMATION*>(buffer);
    in->ConnectionIndex = port;
    DWORD returned = 0;
    if (!DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, buffer, sizeof buffer, buffer, sizeof buffer,
                         &returned, nullptr))
        return false;
    std::memcpy(info, buffer, std::min<size_t>(sizeof *info, sizeof buffer));
    return true;
}

void ClassMember::Close() {
    if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
    set = INVALID_HANDLE_VALUE;
}

bool ForEachMember(HDEVINFO set, const GUID& guid, const MemberVisit& visit) {
    SP_DEVICE_INTERFACE_DATA itf{};
    itf.cbSize = sizeof itf;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &itf); ++i) {
        alignas(8) char buffer[sizeof(DWORD) + kPathSize];
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVINFO_DATA element{};
        element.cbSize = sizeof element;
        if (!SetupDiGetDeviceInterfaceDetailA(set, &itf, detail, sizeof buffer, nullptr, &element)) continue;
        if (visit(i, detail->DevicePath, element)) return true;
    }
    return false;
}

bool ForEachMember(const GUID& guid, bool presentOnly, const MemberVisit& visit) {
    HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_DEVICEINTERFACE | (presentOnly ? DIGCF_PRESENT : 0));
    if (set == INVALID_HANDLE_VALUE) return false;
    const bool stopped = ForEachMember(set, guid, visit);
    SetupDiDestroyDeviceInfoList(set);
    return stopped;
}

bool FindMemberOfNode(const GUID& guid, DEVINST devInst, bool presentOnly, ClassMember* out) {
    out->Close();
    HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_DEVICEINTERFACE | (presentOnly ? DIGCF_PRESENT : 0));
    if (set == INVALID_HANDLE_VALUE) return false;
    const bool found = ForEachMember(set, guid, [&](DWORD, const char* path, SP_DEVINFO_DATA& element) {
        if (element.DevInst != devInst) return false;
        std::snprintf(out->path, sizeof out->path, "%s", path);
        out->devInst = element.DevInst;
        out->element = element;
        return true;
    });
    if (found) out->set = set;
    else SetupDiDestroyDeviceInfoList(set);
    return found;
}

void BusPlace(DEVINST devInst, char* out, size_t size) {
    if (!out || size == 0) return;
    out[0] = '\0';
    std::string ports;
    // Only USB devices count: the interface node of a composite device is not a place of its own,
    // so the reader is at the same place whatever driver runs it.
    for (DEVINST node = devInst; node;) {
        DEVINST parent = 0;
        if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) return;
        ClassMember device;
        if (FindMemberOfNode(GUID_DEVINTERFACE_USB_DEVICE, node, true, &device)) {
            DWORD address = 0;
            if (!ElementDword(device.set, &device.element, SPDRP_ADDRESS, &address)) return;
            ports = std::to_string(address) + (ports.empty() ? "" : "/" + ports);
        }
        ClassMember hub;
        if (FindMemberOfNode(GUID_DEVINTERFACE_USB_HUB, parent, true, &hub)) {
            if (!ports.empty()) std::snprintf(out, size, "%s#%s", hub.path, ports.c_str());
            return;
        }
        node = parent;
    }
}

}  // namespace tarn
