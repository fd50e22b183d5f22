#include "lab/physical_device.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "lab/device_entry.h"
#include "lab/hardware.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace lab {

namespace {

constexpr uint8_t kOpTestUnitReady = 0x00;
constexpr uint8_t kOpRequestSense = 0x03;
constexpr uint8_t kOpInquiry = 0x12;
constexpr size_t kSenseLength = 18;

std::vector<Fault> parseFaults(const json& entry) {
    std::vector<Fault> faults;
    for (const json& f : entry.value("faults", json::array()))
        if (f.is_string()) {
            try {
                faults.push_back(parseFault(f.get<std::string>()));
            } catch (const std::invalid_argument&) {
                // lab.json was edited by hand; a fault that does not parse does nothing
            }
        }
    return faults;
}

// Alters data the way a bad transfer does: a few bits in every 512 bytes, or the one byte the
// fault names.
// `start`: where the data lies in the image, for a command that moves part of one.
void damage(const Fault& f, uint8_t* data, uint32_t length, uint32_t start) {
    if (f.position) {
        if (*f.position >= start && *f.position - start < length) data[*f.position - start] ^= 0x5A;
        return;
    }
    for (uint32_t i = length / 2 % 512; i < length; i += 512) data[i] ^= 0x5A;
}

}  // namespace

bool MemoryFile::read(uint32_t offset, uint8_t* out, uint32_t length) const {
    if (offset > size_ || length > size_ - offset) return false;
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    uint32_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd, out + done, length - done, offset + done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<uint32_t>(n);
    }
    ::close(fd);
    std::memset(out + done, 0xFF, length - done);  // past a short file: erased cells
    return true;
}

bool MemoryFile::write(uint32_t offset, const uint8_t* data, uint32_t length) const {
    if (offset > size_ || length > size_ - offset) return false;
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    uint32_t done = 0;
    bool ok = true;
    while (done < length) {
        const ssize_t n = ::pwrite(fd, data + done, length - done, offset + done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<uint32_t>(n);
    }
    ::close(fd);
    return ok;
}

json PhysicalDevice::shapeOf(const json& entry) {
    json shape = entry;
    shape.erase("faults");
    shape.erase("plugged");
    shape.erase("state");
    return shape;
}

PhysicalDevice::PhysicalDevice(Hardware& hw, const json& entry, const fs::path& folder)
    : hw_(hw), shape_(shapeOf(entry)), id_(entry.value("id", "")), kind_(entry.value("kind", "")) {
    if (entry.contains("drive") && entry["drive"].is_string() && !entry["drive"].get<std::string>().empty())
        drive_ = entry["drive"].get<std::string>()[0];
    plugged_ = entry.value("plugged", true);
    faults_ = parseFaults(entry);
    for (const auto& [name, size] : memoriesOf(kind_)) memories_.emplace(name, MemoryFile(folder / (name + ".bin"), size));
}

std::vector<std::string> PhysicalDevice::faultSpecs() const {
    std::lock_guard<std::mutex> lock(faultMutex_);
    std::vector<std::string> out;
    for (const Fault& f : faults_) out.push_back(f.toString());
    return out;
}

void PhysicalDevice::update(const json& entry) {
    bool changed;
    {
        std::lock_guard<std::mutex> lock(faultMutex_);
        faults_ = parseFaults(entry);
        const bool plugged = entry.value("plugged", true);
        changed = plugged_.exchange(plugged) != plugged;
    }
    if (changed) plugChanged(plugged_);
    // An entry without a running state is a device as attached (or attached anew).
    updateState(entry.value("state", json()));
}

bool PhysicalDevice::hasFault(const std::function<bool(const Fault&)>& test) const {
    std::lock_guard<std::mutex> lock(faultMutex_);
    return std::any_of(faults_.begin(), faults_.end(), test);
}

void PhysicalDevice::dropFaults(const std::function<bool(const Fault&)>& test) {
    size_t removed;
    {
        std::lock_guard<std::mutex> lock(faultMutex_);
        removed = std::erase_if(faults_, test);
    }
    if (removed) hw_.persist(*this);
}

std::optional<Fault> PhysicalDevice::takeFault(const FaultRequest& request) {
    std::optional<Fault> fault;
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(faultMutex_);
        fault = lab::takeFault(faults_, request, &changed);
    }
    if (changed) hw_.persist(*this);
    return fault;
}

const MemoryFile* PhysicalDevice::memory(const std::string& name) const {
    auto it = memories_.find(name);
    return it == memories_.end() ? nullptr : &it->second;
}

// ---- devices that speak SCSI ----------------------------------------------------------------------

ScsiDevice::ScsiDevice(Hardware& hw, const json& entry, const fs::path& folder)
    : PhysicalDevice(hw, entry, folder),
      inquiry_(entry.value("inquiry", std::string(28, ' '))),
      target_(entry.value("target", -1)),
      lun_(entry.value("lun", 0)) {
    inquiry_.resize(28, ' ');
}

ScsiOutcome ScsiDevice::checkCondition(uint8_t key, uint8_t asc, uint8_t ascq) {
    ScsiOutcome o;
    o.status = kStatusCheckCondition;
    o.sense.assign(kSenseLength, 0);
    o.sense[0] = 0x70;  // current error, fixed format
    o.sense[2] = key;
    o.sense[7] = kSenseLength - 8;
    o.sense[12] = asc;
    o.sense[13] = ascq;
    return o;
}

ScsiOutcome ScsiDevice::dataIn(const ScsiCommand& command, const uint8_t* reply, size_t length) {
    if (auto bad = needData(command, DataDirection::In, 0)) return *bad;
    ScsiOutcome o;
    o.transferred = static_cast<uint32_t>(std::min<size_t>(length, command.dataLength));
    if (o.transferred) std::memcpy(command.data, reply, o.transferred);
    return o;
}

std::optional<ScsiOutcome> ScsiDevice::needData(const ScsiCommand& command, DataDirection direction,
                                                    uint32_t length) {
    // A transfer the other way round is a phase the target cannot enter: the adapter sees it as
    // a protocol error, not as a SCSI status.
    const bool directionOk = command.dataLength == 0 || command.direction == direction ||
                             command.direction == DataDirection::Unspecified;
    if (!directionOk || (command.dataLength && !command.data)) {
        ScsiOutcome o;
        o.kind = ScsiOutcome::Kind::PhaseError;
        return o;
    }
    if (command.dataLength < length) return checkCondition(kSenseIllegalRequest, 0x24, 0x00);
    return std::nullopt;
}

ScsiOutcome ScsiDevice::handle(const ScsiCommand& command) {
    switch (command.cdb[0]) {
    case kOpTestUnitReady: return ScsiOutcome{};
    case kOpInquiry: {
        uint8_t reply[36] = {};
        reply[0] = peripheralType();
        reply[1] = removableMedia() ? 0x80 : 0x00;
        reply[2] = 0x02;  // SCSI-2
        reply[3] = 0x02;
        reply[4] = sizeof reply - 5;
        std::memcpy(reply + 8, inquiry_.data(), 28);
        const uint32_t allocation = command.cdbLength >= 5 ? command.cdb[4] : 0;
        ScsiOutcome o = dataIn(command, reply, std::min<size_t>(sizeof reply, allocation));
        return o;
    }
    case kOpRequestSense: {
        std::vector<uint8_t> sense = lastSense_;
        if (sense.empty()) sense = checkCondition(0, 0, 0).sense;
        lastSense_.clear();
        const uint32_t allocation = command.cdbLength >= 5 ? command.cdb[4] : 0;
        return dataIn(command, sense.data(), std::min<size_t>(sense.size(), allocation));
    }
    default: return checkCondition(kSenseIllegalRequest, 0x20, 0x00);  // invalid command operation code
    }
}

ScsiOutcome ScsiDevice::execute(const ScsiCommand& command) {
    std::lock_guard<std::mutex> serial(commandMutex_);
    ScsiOutcome gone;
    gone.kind = ScsiOutcome::Kind::NoDevice;
    if (!plugged() || !command.cdb || command.cdbLength == 0) return gone;

    FaultRequest request = FaultRequest::scsi(command.cdb, command.cdbLength, command.direction, command.dataLength);
    if (const auto at = imageOffset(command)) {
        request.located = true;
        request.dataOffset = *at;
    }
    const std::optional<Fault> fault = takeFault(request);

    ScsiOutcome outcome;
    if (fault && fault->action == Fault::Action::Stall) {
        hw_.sleepLab(static_cast<uint64_t>(std::max<uint32_t>(command.timeoutSeconds, 1)) * 1000);
        outcome.kind = ScsiOutcome::Kind::TimedOut;
        return outcome;
    }
    if (fault && fault->action == Fault::Action::Slow) {
        // The device takes its time; a caller that stops waiting first cuts the command off.
        const uint64_t limitMs = static_cast<uint64_t>(std::max<uint32_t>(command.timeoutSeconds, 1)) * 1000;
        if (fault->delayMs >= limitMs) {
            hw_.sleepLab(limitMs);
            interrupted(command);
            outcome.kind = ScsiOutcome::Kind::TimedOut;
            return outcome;
        }
        hw_.sleepLab(fault->delayMs);
    }
    if (fault && fault->action == Fault::Action::Unplug) {
        interrupted(command);
        hw_.setPlugged(id(), false);
        return gone;
    }
    if (fault && fault->action == Fault::Action::Replug) {
        // Gone before the command ran, and back at once as a new device.
        hw_.setPlugged(id(), false);
        hw_.setPlugged(id(), true);
        return gone;
    }
    if (fault && (fault->action == Fault::Action::Fail || fault->action == Fault::Action::Sense)) {
        outcome = checkCondition(fault->senseKey, fault->asc, fault->ascq);
    } else if (command.lun != lun_) {
        // A LUN this target does not have: INQUIRY says so in its peripheral byte.
        if (command.cdb[0] == kOpInquiry) {
            uint8_t reply[36] = {0x7F};
            outcome = dataIn(command, reply, std::min<size_t>(sizeof reply, command.cdbLength >= 5 ? command.cdb[4] : 0));
        } else {
            outcome = checkCondition(kSenseIllegalRequest, 0x25, 0x00);
        }
    } else if (fault && fault->action == Fault::Action::Corrupt && command.direction == DataDirection::Out &&
               command.data) {
        std::vector<uint8_t> altered(command.data, command.data + command.dataLength);
        damage(*fault, altered.data(), command.dataLength, request.dataOffset);
        ScsiCommand copy = command;
        copy.data = altered.data();
        outcome = handle(copy);
    } else {
        outcome = handle(command);
        if (fault && fault->action == Fault::Action::Corrupt && command.direction != DataDirection::Out && command.data)
            damage(*fault, command.data, outcome.transferred, request.dataOffset);
        if (fault && fault->action == Fault::Action::Short && command.direction == DataDirection::In)
            outcome.transferred = std::min(outcome.transferred, fault->bytes);
        if (fault && fault->action == Fault::Action::Csw) {
            if (fault->wrapper == Fault::Wrapper::Phase) outcome.kind = ScsiOutcome::Kind::PhaseError;
            else outcome.wrapper = fault->wrapper;
        }
    }
    if (outcome.status == kStatusCheckCondition) lastSense_ = outcome.sense;
    return outcome;
}

}  // namespace lab
