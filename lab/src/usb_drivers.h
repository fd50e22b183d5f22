// The USB side of the simulated PC, as the drivers of a PC shape it: host controllers with their
// root hubs, external hubs, and for every USB device a PDO that turns the internal requests of
// the driver above it (URBs, port cycle and reset) into the device's control and bulk transfers.
// Faults of the device are applied here, where the transfers reach it, so that every driver and
// every kernel-mode module above sees them alike.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <winsim/usb.h>
#include <winsim/usbioctl.h>

#include "device_kinds.h"
#include "lab/hardware.h"
#include "ntoskrnl/kernel.h"
#include "lab/physical_device.h"
#include "usb_port.h"

namespace lab {

// The root hub's ports: the EHCI controller serves all of them; with it disabled, each companion
// controller serves two.
constexpr int kRootPorts = kRootHubPorts;
// Lab milliseconds until the companion controllers find the devices after the EHCI controller
// was disabled, and until the storage of such a device is mounted after that.
constexpr uint64_t kCompanionDelayMs = 2000;
constexpr uint64_t kCompanionMountDelayMs = 1500;

// The PDO of a USB device, made by the bus driver that found it (a hub, or a Plex monitor for
// its modules).
class UsbDevicePdo : public Driver {
public:
    UsbDevicePdo(Hardware& hw, std::string physicalId, uint64_t arrival, uint64_t mountDelayMs)
        : hw_(hw), physicalId_(std::move(physicalId)), arrival_(arrival), mountDelayMs_(mountDelayMs) {}
    NTSTATUS start(DriverContext& ctx) override;
    NTSTATUS dispatch(DriverContext& ctx, PIRP irp) override;
    void describe(nlohmann::json& j) const override;
    // How long a storage function on this device waits before it reports its disk.
    uint64_t mountDelayMs() const { return mountDelayMs_; }
    const std::string& physicalId() const { return physicalId_; }

private:
    NTSTATUS internalControl(DriverContext& ctx, PIRP irp);
    NTSTATUS submit(URB* urb);
    // The device behind this PDO while it is still the arrival this PDO was made for.
    std::shared_ptr<PhysicalDevice> device() const;

    Hardware& hw_;
    std::string physicalId_;
    uint64_t arrival_;
    uint64_t mountDelayMs_;
    uint8_t configuration_ = 0;
};

// What a hub reports for the device at one of its ports (or a Plex monitor for a module).
ChildDescription usbDeviceChild(Hardware& hw, const std::string& parentInstanceId, PhysicalDevice& device,
                                UsbPort& port, uint64_t mountDelayMs);

// A function driver's access to its USB device: URBs sent down its stack, waited for. Each call
// answers the NT status of the request; *usbd gets the USBD status.
class UsbClient {
public:
    // Holds the device below: a request that reaches it after its stack went (a disk's command
    // racing the removal of its reader) finds a deleted device object, not freed memory.
    explicit UsbClient(PDEVICE_OBJECT lower) : lower_(lower) {
        if (lower_) winsim::kernel::reference(lower_);
    }
    ~UsbClient() {
        if (lower_) winsim::kernel::release(lower_);
    }
    UsbClient(const UsbClient&) = delete;
    UsbClient& operator=(const UsbClient&) = delete;
    PDEVICE_OBJECT lower() const { return lower_; }

    // A vendor or class request by URB function (the function gives type and recipient).
    NTSTATUS vendorOrClass(USHORT function, bool in, uint8_t request, uint16_t value, uint16_t index, void* data,
                           uint32_t length, uint32_t* transferred, USBD_STATUS* usbd);
    NTSTATUS descriptor(uint8_t type, uint8_t index, uint16_t language, void* data, uint32_t length,
                        uint32_t* transferred, USBD_STATUS* usbd);
    NTSTATUS bulk(bool in, void* data, uint32_t length, uint32_t* transferred, USBD_STATUS* usbd);
    NTSTATUS resetPipe(bool in, USBD_STATUS* usbd);
    // IOCTL_INTERNAL_USB_CYCLE_PORT and friends.
    NTSTATUS internal(ULONG code, PVOID argument);

    // Reads the configuration descriptor and selects it; once.
    NTSTATUS configure(USBD_STATUS* usbd);

private:
    NTSTATUS send(URB* urb);
    PDEVICE_OBJECT lower_;
    USBD_PIPE_HANDLE bulkIn_ = nullptr, bulkOut_ = nullptr;
    bool configured_ = false;
};

// IOCTL_TARN_URB_PASSTHROUGH on a driver of the reader: the envelope checked as the reader's
// drivers check it and carried out through `client`. A bad envelope is refused with
// STATUS_INVALID_PARAMETER, a short output with STATUS_BUFFER_TOO_SMALL; a valid one completes
// with the transfer's statuses written into it.
NTSTATUS envelopePassThrough(UsbClient& client, IoRequest& request);

// A bus driver's child that stands for one interface of a composite device: its requests go to
// the composite device's own stack.
class InterfacePdo : public Driver {
public:
    InterfacePdo(DevInst device) : device_(device) {}
    NTSTATUS dispatch(DriverContext& ctx, PIRP irp) override;

private:
    DevInst device_;
};

// The storage unit of a USB mass-storage function: a disk whose SCSI commands travel as
// bulk-only wrappers over the function's bulk pipes.
class BulkOnlyStorage {
public:
    virtual ~BulkOnlyStorage() = default;
    virtual ScsiOutcome bulkOnly(const ScsiCommand& command) = 0;
};
// The disk child such a function reports.
ChildDescription bulkOnlyDiskChild(Hardware& hw, const std::string& enumerator, DevInst function,
                                   PhysicalDevice& device, std::shared_ptr<BulkOnlyStorage> storage);
// SCSI over bulk-only through `client`, as a mass-storage function driver sends it.
ScsiOutcome bulkOnlyCommand(UsbClient& client, const ScsiCommand& command, uint32_t tag);

void registerUsbServices(Hardware& hw);
void registerTarnServices(Hardware& hw);
std::vector<ChildDescription> usbHostControllers();

}  // namespace lab
