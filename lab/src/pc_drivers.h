// The drivers of the simulated PC itself: the root bus, the SCSI host adapter and the storage
// class drivers (disk with its volumes, CD-ROM) with their control requests.
#pragma once
#include <memory>
#include <optional>
#include <string>

#include "lab/hardware.h"
#include "lab/physical_device.h"

namespace lab {

// The root of the tree: it finds the PC's host adapters.
std::shared_ptr<Driver> makeRootBus();
// Binds the services of the storage stack ("labscsi", "disk", "cdrom") to their models.
void registerStorageServices(Hardware& hw);
// A class GUID as the registry keeps it in a node's properties: braces, upper case.
std::string registryGuid(const GUID& g);
// A short stable tag for instance IDs derived from another ID (as "5&2f5dc9e1&0&1" is).
std::string instanceTag(const std::string& id);

// A layer that reaches a SCSI target: the PDO of a device on the SCSI adapter (and, later, the
// PDO of a USB mass-storage device).
class ScsiPort {
public:
    virtual ~ScsiPort() = default;
    virtual ScsiOutcome scsi(const ScsiCommand& command) = 0;
};

// IOCTL_SCSI_PASS_THROUGH_DIRECT over a SCSI port. A storage class driver (a volume, a disk)
// gives its own device's LUN: it fills in the address itself, as the request's fields mean
// nothing on such a handle.
NTSTATUS scsiPassThroughDirect(ScsiPort& port, IoRequest& request, std::optional<uint8_t> ownLun = std::nullopt);

}  // namespace lab
