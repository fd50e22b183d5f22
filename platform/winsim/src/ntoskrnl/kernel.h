// The kernel's own calls that are not part of the driver interface: what the lab's PnP manager
// and the Win32 boundary need to create driver objects, keep device objects alive while they use
// them and find devices by name. Private to winsim (the lab is built into it).
#pragma once
#include <string>

#include <winsim/wdm.h>

namespace winsim::kernel {

// A driver object named `name` ("\Driver\disk"), handed to `init` as DriverEntry would be;
// null (and no object) when init fails. Driver objects live as long as the process.
PDRIVER_OBJECT createDriver(const std::u16string& name, PDRIVER_INITIALIZE init, PUNICODE_STRING registryPath);
// Frees a driver object that no device object refers to any more (an unloaded driver's).
void destroyDriver(PDRIVER_OBJECT driver);
// How many device objects of the driver are still in memory, deleted ones that something still
// references included: while any is, code of the driver may still run (a work item's routine, a
// completion routine), so its image must stay loaded.
size_t liveDevices(PDRIVER_OBJECT driver);

// Keeps a device object's memory alive (after IoDeleteDevice too) until the matching release.
void reference(PDEVICE_OBJECT device);
void release(PDEVICE_OBJECT device);
// Whether IoDeleteDevice has been called on it.
bool isDeleted(PDEVICE_OBJECT device);
// Called with the device extension when the device object's memory goes: a driver that keeps
// C++ objects in its extension destroys them here.
void setExtensionDestructor(PDEVICE_OBJECT device, void (*destroy)(PVOID extension));

// The device a user-mode name ("DMHLPDRV" for "\\.\DMHLPDRV") links to, referenced; null when
// no symbolic link of that name exists.
PDEVICE_OBJECT referenceByDosName(const std::string& name);
// The device object named `name` ("\Device\Harddisk0"), referenced; null when there is none.
PDEVICE_OBJECT referenceByName(const std::u16string& name);

// Whether the next pool allocation is to fail (WinsimFailPoolAllocations); counts it.
bool poolAllocationFails();

// Pool blocks allocated and not yet freed, for tests that check a driver gives back its memory.
long outstandingPoolBlocks();

}  // namespace winsim::kernel
