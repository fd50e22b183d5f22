// Small reads of the system's device tree that the device list and the KRD50N recovery share:
// properties of a device node, and the members of a device interface class with their nodes.
#pragma once
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <cstdint>

#include <winsim/cfgmgr32.h>
#include <winsim/setupapi.h>
#include <winsim/usbioctl.h>
#include <winsim/windows.h>

namespace tarn {

inline constexpr size_t kPathSize = 1024;
inline constexpr size_t kPropertySize = 1024;

// A text (or the first text of a list) of a node, always terminated; false when it cannot be read.
bool NodeText(DEVINST devInst, ULONG cmProperty, char* out, size_t size);
// The same for an element of a device information set.
bool ElementText(HDEVINFO set, SP_DEVINFO_DATA* element, DWORD property, char* out, size_t size);
bool ElementDword(HDEVINFO set, SP_DEVINFO_DATA* element, DWORD property, DWORD* out);

// Whether `text` contains any of the parts.
bool ContainsAny(const char* text, std::initializer_list<const char*> parts);
// `text` in lower case, in place.
void Lower(char* text);

// Visits the members of the class in `set` in order, with each one's path and element, until
// `visit` answers true; whether it did. Members whose detail cannot be read are passed over.
using MemberVisit = std::function<bool(DWORD index, const char* path, SP_DEVINFO_DATA& element)>;
bool ForEachMember(HDEVINFO set, const GUID& guid, const MemberVisit& visit);
// The same on a set of the class's devices made for the visit (present devices only when
// `presentOnly`); false also when the set cannot be made.
bool ForEachMember(const GUID& guid, bool presentOnly, const MemberVisit& visit);

// Where a device sits on the bus, as a text that stays the same while it re-enumerates (in and out
// of upgrade mode, or after a failed write): the interface path of the hub it hangs from and the
// port numbers from there down ("<hub>#3", a Plex module "<hub>#3/1"). Empty when no hub is found.
void BusPlace(DEVINST devInst, char* out, size_t size);

// The questions asked of an open hub (the sizes a system of the readers' time answers to): its
// number of ports, and one port's connection information (ConnectionIndex from 1).
bool HubPortCount(HANDLE hub, int* ports);
bool HubPortConnection(HANDLE hub, DWORD port, USB_NODE_CONNECTION_INFORMATION* info);

// One member of an interface class: its path and its node, with the set it was read from (open
// while the member is; Close() destroys it).
struct ClassMember {
    char path[kPathSize] = {};
    DEVINST devInst = 0;
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA element{};
    void Close();
    ~ClassMember() { Close(); }
};

// The member of `guid` whose node is `devInst` (present devices only when `presentOnly`).
bool FindMemberOfNode(const GUID& guid, DEVINST devInst, bool presentOnly, ClassMember* out);

}  // namespace tarn
