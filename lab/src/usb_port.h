// A device's side of a USB port: which hub and port it is plugged into, whether the hub finds it
// there now, and how it leaves and comes back. A reader that detaches into upgrade mode, a port
// cycle and a port power cycle all make the device leave; after its model's delay it is found
// again (the hub's bus driver reports it, as a new device node stack), unless a fault keeps it
// away. Faults on the "leave" bus decide how a leave goes; "stuck:port" holds the port in a
// failed enumeration until its power is cycled.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "lab/faults.h"
#include "lab/physical_device.h"

namespace lab {

class Hardware;

// What the hub sees at a port (USB_CONNECTION_STATUS values).
enum class PortState : uint32_t { Empty = 0, Connected = 1, FailedEnumeration = 2, GeneralFailure = 3 };

// What a device shows the PC once it is enumerated, in its present mode.
struct UsbAppearance {
    uint16_t vendor = 0, product = 0, revision = 0;
    std::string serial;  // its serial string, part of the instance ID; empty when it has none
    uint8_t deviceClass = 0, deviceSubClass = 0, deviceProtocol = 0;
    struct Interface {
        uint8_t cls, subclass, protocol;
    };
    std::vector<Interface> interfaces;
    std::string service;  // the driver the PC binds to it; empty when none is installed
    // The PC binds `service` although it remembers another driver for this instance: the
    // device came back in a shape only that driver takes.
    bool rebind = false;
    std::string description, manufacturer;
    bool hub = false;
};

class UsbPort {
public:
    UsbPort(PhysicalDevice& core, Hardware& hw, const nlohmann::json& entry);
    virtual ~UsbPort() = default;
    UsbPort(const UsbPort&) = delete;
    UsbPort& operator=(const UsbPort&) = delete;

    // The hub: "root" or the id of a hub device; the port counts from 1.
    const std::string& hub() const { return hub_; }
    int port() const { return port_; }
    PhysicalDevice& core() { return core_; }

    PortState state() const;
    // The identity in the present mode; meaningful while the state is Connected.
    virtual UsbAppearance appearance() = 0;

    // The device leaves its port now (a detach, a port cycle, a reset that re-enumerates it)
    // and, unless a fault keeps it away, is found again after its delay.
    void leave(LeaveKind why);
    // The hub switched the port's power. Off: the device is gone at once. On: it boots and is
    // found after its delay; a port held in a failed enumeration is clear again.
    void setPortPower(bool on);
    bool portPowered() const { return powered_; }
    // Counts the device's arrivals: a request made through the node of an earlier arrival finds
    // the device gone.
    uint64_t arrival() const { return arrival_; }
    // The configuration its driver selected for the present arrival; 0 before one did.
    uint8_t configuration() const { return configuration_; }
    void setConfiguration(uint64_t arrival, uint8_t value) {
        if (arrival == arrival_) configuration_ = value;
    }

protected:
    // As the device leaves: where a leave of this kind takes it (its next mode), decided now so
    // that a port held by a fault still knows where the device was going.
    virtual void leaving(LeaveKind, const std::optional<Fault>&) {}
    // As the device comes back after leaving (its mode may change here); `fault` is the leave
    // fault that hit it, if any (usbstor, ids and slow come back).
    virtual void returning(LeaveKind, const std::optional<Fault>&) {}
    // Power came back: the device boots afresh.
    virtual void poweredOn() {}
    // Plugged in again: the device boots afresh at once, as a new arrival.
    virtual void booted() {}
    // For the device's core to call when it was plugged in.
    void pluggedIn();
    // Lab milliseconds from leaving until the hub finds it again.
    virtual uint64_t returnDelayMs(LeaveKind) const { return 1500; }
    // Asks the PC to look at its USB ports again, after `labMs`.
    void rescan(uint64_t labMs = 0);
    Hardware& portHw_;

private:
    PhysicalDevice& core_;
    std::string hub_;
    int port_ = 0;
    mutable std::mutex mutex_;
    bool connected_ = true;  // false while it is away between leaving and coming back
    bool lost_ = false;      // away until it is plugged in again
    bool stuck_ = false;     // its port shows a failed enumeration until its power is cycled
    std::atomic<bool> powered_{true};
    std::atomic<uint64_t> arrival_{1};
    std::atomic<uint8_t> configuration_{0};
    uint64_t epoch_ = 0;  // a return scheduled for an earlier leave is void
};

// A fault that holds the device's port in a failed enumeration.
bool isStuckPort(const Fault& f);
// A fault that makes the device's port show no device.
bool isEmptyPort(const Fault& f);
// Either: the port stays so until its power is switched off and on.
bool isHeldPort(const Fault& f);

// The devices plugged into one hub, by port.
std::vector<std::pair<int, UsbPort*>> devicesOnHub(Hardware& hw, const std::string& hub,
                                                   std::vector<std::shared_ptr<PhysicalDevice>>* keep);

}  // namespace lab
