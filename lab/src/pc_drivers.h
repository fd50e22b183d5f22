// The drivers of the simulated PC itself: the root bus, the SCSI host adapter and the storage
// class drivers (disk with its volumes, CD-ROM) with their control requests.
#pragma once
#include <memory>

#include "lab/hardware.h"
#include "lab/physical_device.h"

namespace lab {

// The root of the tree: it finds the PC's host adapters.
std::shared_ptr<Driver> makeRootBus();
// Binds the services of the storage stack ("labscsi", "disk", "cdrom") to their models.
void registerStorageServices(Hardware& hw);

// A layer that reaches a SCSI target: the PDO of a device on the SCSI adapter (and, later, the
// PDO of a USB mass-storage device).
class ScsiPort {
public:
    virtual ~ScsiPort() = default;
    virtual ScsiOutcome scsi(const ScsiCommand& command) = 0;
};

// IOCTL_SCSI_PASS_THROUGH_DIRECT over a SCSI port.
uint32_t scsiPassThroughDirect(ScsiPort& port, IoRequest& request);

}  // namespace lab
