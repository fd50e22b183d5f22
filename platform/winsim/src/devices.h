// winsim's side of the lab's hardware: device handles, the drive letters the hardware adds and
// the WNASPI32.DLL exports. Installed into the rest of winsim by hardware_hookup.cpp.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include <lab/facade.h>
#include <winsim/wdm.h>

#include "internal.h"

namespace winsim {

// A handle on a device of the lab (CreateFile of "\\.\X:", "\\.\NAME" or an interface path).
struct DeviceHandle : IoObject {
    explicit DeviceHandle(std::shared_ptr<lab::DeviceFile> f) : file(std::move(f)) {}
    std::shared_ptr<lab::DeviceFile> file;
};

// The hardware of this process's lab.
lab::Hardware& hardware();

HANDLE openDevice(const std::string& path, DWORD access, DWORD share, DWORD flags);
std::vector<DriveInfo> hardwareDrives();
// WNASPI32.DLL: whether the simulated PC has it, and its exports.
bool aspiAvailable();
FARPROC aspiExport(const char* name);

}  // namespace winsim
