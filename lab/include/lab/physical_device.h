// The physical devices of a lab: what an operator plugs in. A device is a core (a stable id,
// persistent memories, faults, plugged or not) plus what it offers on its bus: a SCSI target, a
// USB function, or a USB mass-storage bridge in front of a SCSI target. Memories are files in
// the lab's device folder (<lab>/devices/<id>/<memory>.bin), written as they change, so that a
// run that dies half-way leaves a half-written reader. Faults (lab/faults.h) are applied to
// every request before the model sees it.
#pragma once
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "lab/faults.h"

namespace lab {

class Hardware;

// SCSI status and sense keys the models use.
constexpr uint8_t kStatusGood = 0x00;
constexpr uint8_t kStatusCheckCondition = 0x02;
constexpr uint8_t kSenseIllegalRequest = 0x05;
constexpr uint8_t kSenseHardwareError = 0x04;

struct ScsiCommand {
    const uint8_t* cdb = nullptr;
    uint8_t cdbLength = 0;
    uint8_t lun = 0;
    DataDirection direction = DataDirection::None;
    uint8_t* data = nullptr;  // the caller's buffer, for data in either direction
    uint32_t dataLength = 0;
    uint32_t timeoutSeconds = 10;  // how long the transport waits for a command that never ends
};

struct ScsiOutcome {
    enum class Kind { Completed, TimedOut, NoDevice, PhaseError };
    Kind kind = Kind::Completed;
    uint8_t status = kStatusGood;
    uint32_t transferred = 0;
    std::vector<uint8_t> sense;  // fixed-format sense data (18 bytes) with CHECK CONDITION
    // Behind a USB bridge: a status wrapper that goes wrong (a csw fault); none, a good one.
    std::optional<Fault::Wrapper> wrapper;
};

// A persistent memory: a fixed-size file that every read and write goes to directly, so that
// other processes (zelfin-lab dump, a second program) see the same contents.
class MemoryFile {
public:
    MemoryFile(std::filesystem::path path, uint32_t size) : path_(std::move(path)), size_(size) {}
    const std::filesystem::path& path() const { return path_; }
    uint32_t size() const { return size_; }
    bool read(uint32_t offset, uint8_t* out, uint32_t length) const;
    bool write(uint32_t offset, const uint8_t* data, uint32_t length) const;

private:
    std::filesystem::path path_;
    uint32_t size_;
};

class ScsiTarget;
class UsbFunction;
class UsbPort;

// The core of every device.
class PhysicalDevice {
public:
    PhysicalDevice(Hardware& hw, const nlohmann::json& entry, const std::filesystem::path& folder);
    virtual ~PhysicalDevice() = default;
    PhysicalDevice(const PhysicalDevice&) = delete;
    PhysicalDevice& operator=(const PhysicalDevice&) = delete;

    // An entry without the state that changes while the device is attached (faults, plugged,
    // the running "state" a model keeps, such as a reader's mode): a device whose shape changed
    // in lab.json is a different device.
    static nlohmann::json shapeOf(const nlohmann::json& entry);
    const nlohmann::json& shape() const { return shape_; }

    const std::string& id() const { return id_; }
    const std::string& kind() const { return kind_; }
    bool plugged() const { return plugged_; }
    void setPlugged(bool plugged) {
        if (plugged_.exchange(plugged) != plugged) plugChanged(plugged);
    }
    std::vector<std::string> faultSpecs() const;
    // Takes the faults, plugged and running state of a lab.json entry written by another process.
    void update(const nlohmann::json& entry);
    // The model's running state as lab.json keeps it ("state"), so that a reader left in upgrade
    // mode by one program is found in upgrade mode by the next; null for none.
    virtual nlohmann::json state() const { return nullptr; }
    // The drive letter the PC gives the device's medium, 0 for none.
    char driveLetter() const { return drive_; }
    const std::map<std::string, MemoryFile>& memories() const { return memories_; }

    // What the device offers on its bus; null for what it does not offer.
    virtual ScsiTarget* scsi() { return nullptr; }
    virtual UsbFunction* usb() { return nullptr; }
    virtual UsbPort* usbPort() { return nullptr; }

    // The fault that hits `request` now, if any; counts it against the device's faults and
    // saves them when they changed.
    std::optional<Fault> takeFault(const FaultRequest& request);
    // Whether a fault that `test` accepts is pending, without counting it (a state such as a
    // port in a failed enumeration, which lasts until something clears it).
    bool hasFault(const std::function<bool(const Fault&)>& test) const;
    // Removes the faults `test` accepts (a condition the model has cured), saving them if any went.
    void dropFaults(const std::function<bool(const Fault&)>& test);

protected:
    const MemoryFile* memory(const std::string& name) const;
    // A running state written by another process; null: the state the device starts in.
    virtual void updateState(const nlohmann::json&) {}
    // The device was pulled out or plugged in (here or by another process): a device plugged in
    // starts afresh.
    virtual void plugChanged(bool /*plugged*/) {}
    Hardware& hw_;

private:
    nlohmann::json shape_;
    std::string id_, kind_;
    char drive_ = 0;
    std::atomic<bool> plugged_{true};
    std::map<std::string, MemoryFile> memories_;
    mutable std::mutex faultMutex_;
    std::vector<Fault> faults_;
};

// What a device offers on a SCSI bus: its address, its identity and its commands.
class ScsiTarget {
public:
    virtual ~ScsiTarget() = default;
    virtual int targetId() const = 0;  // on the lab's SCSI adapter; -1 behind a USB bridge
    virtual int lun() const = 0;
    virtual const std::string& inquiryText() const = 0;  // vendor + product + revision
    virtual bool removableMedia() const = 0;
    virtual uint8_t peripheralType() const = 0;  // 0x00 direct-access, 0x05 CD-ROM
    // Runs one command: the device's faults first, then its model. Commands to one device run
    // one at a time.
    virtual ScsiOutcome execute(const ScsiCommand& command) = 0;
};

// A USB control request's setup packet.
struct UsbSetup {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
    bool in() const { return requestType & 0x80; }
};

struct UsbOutcome {
    // Error: the transfer failed with the USBD status in `usbd` (a transaction error, babble).
    enum class Kind { Completed, Stalled, TimedOut, NoDevice, Error };
    Kind kind = Kind::Completed;
    uint32_t transferred = 0;
    uint32_t usbd = 0;
    static UsbOutcome stalled() { return {Kind::Stalled, 0}; }
    static UsbOutcome done(uint32_t n) { return {Kind::Completed, n}; }
    static UsbOutcome error(uint32_t usbd, uint32_t transferred = 0) { return {Kind::Error, transferred, usbd}; }
};

// What a device offers as a USB function: its descriptors, control requests on endpoint 0 and
// bulk transfers on its other endpoints.
class UsbFunction {
public:
    virtual ~UsbFunction() = default;
    virtual std::vector<uint8_t> deviceDescriptor() const = 0;
    virtual std::vector<uint8_t> configurationDescriptor() const = 0;  // with its interfaces and endpoints
    // String descriptor `index` as text; nullopt when the device has none of that index.
    virtual std::optional<std::u16string> stringDescriptor(uint8_t index) const = 0;
    // `data` holds setup.length bytes, read or written as the direction says.
    virtual UsbOutcome control(const UsbSetup& setup, uint8_t* data) = 0;
    virtual UsbOutcome bulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length) = 0;
    virtual UsbOutcome bulkIn(uint8_t endpoint, uint8_t* data, uint32_t length) = 0;
    // Where the data of this control request lies in a whole image the device moves block by
    // block (a DFU upload or download block); none for other requests. Faults that name a byte
    // of the image find the block that holds it by this.
    virtual std::optional<uint32_t> imageOffset(const UsbSetup&) const { return std::nullopt; }
    // The host cleared a halted endpoint (a pipe reset).
    virtual void clearHalt(uint8_t /*endpoint*/) {}
    // A bus reset: the device is in its default state again, its configuration gone.
    virtual void busReset() {}
    // A fault made a transfer fail with this USBD status before the device saw it; a device
    // whose engine such an error leaves in a bad state hears of it here.
    virtual void transferFailed(uint32_t /*usbd*/) {}
};

// A device that speaks SCSI: INQUIRY, TEST UNIT READY and REQUEST SENSE here, the rest in the
// models that derive from it. It is a SCSI target of the lab's adapter, or stands behind a USB
// mass-storage bridge.
class ScsiDevice : public PhysicalDevice, public ScsiTarget {
public:
    ScsiDevice(Hardware& hw, const nlohmann::json& entry, const std::filesystem::path& folder);

    ScsiTarget* scsi() override { return this; }
    int targetId() const override { return target_; }
    int lun() const override { return lun_; }
    const std::string& inquiryText() const override { return inquiry_; }
    bool removableMedia() const override { return true; }
    uint8_t peripheralType() const override { return 0x00; }
    ScsiOutcome execute(const ScsiCommand& command) override;

    // For the models and the parts they share (a Quoll unit's commands, on its own or inside a
    // reader):
    static ScsiOutcome checkCondition(uint8_t key, uint8_t asc, uint8_t ascq);
    // Hands `reply` to a data-in command, as much as the caller's buffer takes.
    static ScsiOutcome dataIn(const ScsiCommand& command, const uint8_t* reply, size_t length);
    // A command that needs a data phase in `direction` of at least `length` bytes: nullopt when
    // it has one, else the outcome to answer.
    static std::optional<ScsiOutcome> needData(const ScsiCommand& command, DataDirection direction, uint32_t length);

protected:
    // The model: anything but the three commands above is an illegal request unless a subclass
    // knows it.
    virtual ScsiOutcome handle(const ScsiCommand& command);
    // Power went away while `command` ran: a model that writes in steps does the first half.
    virtual void interrupted(const ScsiCommand&) {}
    // Where the data of `command` lies in a whole image the device moves in parts, so that a
    // positioned fault finds the command that carries its byte; none for other commands.
    virtual std::optional<uint32_t> imageOffset(const ScsiCommand&) const { return std::nullopt; }

private:
    std::string inquiry_;
    int target_ = -1, lun_ = 0;
    std::mutex commandMutex_;
    std::vector<uint8_t> lastSense_;
};

// The model of a lab.json entry's kind.
std::shared_ptr<PhysicalDevice> makePhysicalDevice(Hardware& hw, const nlohmann::json& entry,
                                                   const std::filesystem::path& folder);

}  // namespace lab
