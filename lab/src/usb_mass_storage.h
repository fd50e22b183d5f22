// A USB mass-storage bridge: the bulk-only transport in front of a SCSI target, as the bridge
// chip of a reader on the generic mass-storage driver has it. The host sends a command block
// wrapper on the bulk-out endpoint, moves the data on bulk-in or bulk-out, and reads the status
// wrapper on bulk-in. A wrapper that is not valid stalls the bulk endpoints until the host's
// reset recovery (the class reset request).
#pragma once
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include <protocol/usb_mass_storage.h>

#include "lab/physical_device.h"

namespace lab {

class UsbMassStorageBridge {
public:
    explicit UsbMassStorageBridge(ScsiTarget& target) : target_(target) {}

    UsbOutcome bulkOut(const uint8_t* data, uint32_t length);
    UsbOutcome bulkIn(uint8_t* data, uint32_t length);
    // The host cleared a halt of the in pipe: a data-in phase it stopped is over, the status
    // wrapper comes next.
    void clearHalt(bool in);
    // The class requests: reset and Get Max LUN; nullopt for any other request.
    std::optional<UsbOutcome> control(const UsbSetup& setup, uint8_t* data);

private:
    enum class Phase { Command, DataOut, DataIn, Status, Stalled };
    // false when the device went away while the command ran.
    bool run(const uint8_t* out);
    static UsbOutcome gone();
    void finish(const ScsiOutcome& outcome);

    ScsiTarget& target_;
    std::mutex mutex_;
    Phase phase_ = Phase::Command;
    usbms::CommandBlockWrapper cbw_{};
    std::vector<uint8_t> data_;  // collected data-out, or data-in still to deliver
    uint32_t delivered_ = 0;
    usbms::CommandStatusWrapper csw_{};
    bool timedOut_ = false;  // the last command ran out of time: no status wrapper comes
    std::optional<Fault::Wrapper> wrapper_;  // what goes wrong with the status wrapper to come
};

}  // namespace lab
