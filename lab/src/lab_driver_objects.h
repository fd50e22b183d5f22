// The lab's own drivers as the I/O manager sees them: driver objects whose dispatch routines hand
// each IRP to the C++ model behind the device object, and the synchronous sends the PnP manager
// and the Win32 boundary use.
#pragma once
#include <memory>
#include <string>

#include "lab/hardware.h"
#include "ntoskrnl/kernel.h"  // the kernel's own calls, private to winsim, which the lab is part of

namespace lab::detail {

// A lab driver object for a service: its AddDevice makes a device for a new model from
// `factory` and attaches it to the stack of the PDO, in the PDO's hardware. The factory is also
// the model a kernel-mode module of that service asks for (LabServeWithDriverModel).
PDRIVER_OBJECT labDriverObject(const std::string& service, DriverFactory factory);
// The PDO of node `node` with the bus driver's model, named `name` (its physical device object
// name); null when no memory is left or the name is taken.
PDEVICE_OBJECT createPdo(Hardware& hw, DevInst node, std::shared_ptr<Driver> model, const std::string& name);
// The node a lab PDO stands for; 0 for any other device object.
DevInst nodeOfPdo(PDEVICE_OBJECT pdo);
// The model behind a lab device object; null for a kernel-mode driver's device.
std::shared_ptr<Driver> labDriverOf(PDEVICE_OBJECT device);
DriverContext contextOf(PDEVICE_OBJECT labDevice);

// A completion routine that sets the KEVENT it is given and keeps the IRP for its sender.
NTSTATUS signalOnCompletion(PDEVICE_OBJECT, PIRP, PVOID event);

// An IRP of `major` (and `minor`) for `file` sent to `top`, waited for; answers its status (and
// its Information, when asked).
NTSTATUS sendAndWait(PDEVICE_OBJECT top, UCHAR major, UCHAR minor = 0, PFILE_OBJECT file = nullptr,
                     ULONG_PTR* information = nullptr);
inline NTSTATUS sendPnp(PDEVICE_OBJECT top, UCHAR minor) { return sendAndWait(top, IRP_MJ_PNP, minor); }

}  // namespace lab::detail
