// The physical devices of a lab: what an operator plugs in. Each answers SCSI commands the way
// its firmware does, from persistent memories that are files in the lab's device folder
// (<lab>/devices/<id>/<memory>.bin), written as they change, so that a run that dies half-way
// leaves a half-written reader. Faults (lab/faults.h) are applied to every command before the
// model sees it.
#pragma once
#include <atomic>
#include <cstdint>
#include <filesystem>
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

class PhysicalDevice {
public:
    PhysicalDevice(Hardware& hw, const nlohmann::json& entry, const std::filesystem::path& folder);
    virtual ~PhysicalDevice() = default;
    PhysicalDevice(const PhysicalDevice&) = delete;
    PhysicalDevice& operator=(const PhysicalDevice&) = delete;

    // An entry without the state that changes while the device is attached (faults, plugged):
    // a device whose shape changed in lab.json is a different device.
    static nlohmann::json shapeOf(const nlohmann::json& entry);
    const nlohmann::json& shape() const { return shape_; }

    const std::string& id() const { return id_; }
    const std::string& kind() const { return kind_; }
    bool plugged() const { return plugged_; }
    void setPlugged(bool plugged) { plugged_ = plugged; }
    std::vector<std::string> faultSpecs() const;
    // Takes the faults and plugged state of a lab.json entry written by another process.
    void update(const nlohmann::json& entry);

    // Where the device sits on the lab's SCSI adapter.
    int scsiTarget() const { return target_; }
    int scsiLun() const { return lun_; }
    char driveLetter() const { return drive_; }
    const std::string& inquiryText() const { return inquiry_; }  // vendor + product + revision
    virtual bool removableMedia() const { return true; }
    virtual uint8_t peripheralType() const { return 0x00; }  // direct-access; 0x05 CD-ROM
    const std::map<std::string, MemoryFile>& memories() const { return memories_; }

    // Runs one command: the device's faults first, then its model. Commands to one device run
    // one at a time.
    ScsiOutcome execute(const ScsiCommand& command);

protected:
    // The model: INQUIRY, TEST UNIT READY and REQUEST SENSE here; anything else is an illegal
    // request unless a subclass knows it.
    virtual ScsiOutcome handle(const ScsiCommand& command);
    // Power went away while `command` ran: a model that writes in steps does the first half.
    virtual void interrupted(const ScsiCommand&) {}

    const MemoryFile* memory(const std::string& name) const;
    static ScsiOutcome checkCondition(uint8_t key, uint8_t asc, uint8_t ascq);
    // Hands `reply` to a data-in command, as much as the caller's buffer takes.
    static ScsiOutcome dataIn(const ScsiCommand& command, const uint8_t* reply, size_t length);
    // A command that needs a data phase in `direction` of at least `length` bytes: nullopt when
    // it has one, else the outcome to answer.
    static std::optional<ScsiOutcome> needData(const ScsiCommand& command, DataDirection direction, uint32_t length);

    Hardware& hw_;

private:
    nlohmann::json shape_;
    std::string id_, kind_, inquiry_;
    int target_ = -1, lun_ = 0;
    char drive_ = 0;
    std::atomic<bool> plugged_{true};
    std::map<std::string, MemoryFile> memories_;
    mutable std::mutex faultMutex_;
    std::vector<Fault> faults_;
    std::mutex commandMutex_;
    std::vector<uint8_t> lastSense_;
};

// The model of a lab.json entry's kind.
std::shared_ptr<PhysicalDevice> makePhysicalDevice(Hardware& hw, const nlohmann::json& entry,
                                                   const std::filesystem::path& folder);

}  // namespace lab
