// The SCSI-side device models: the SCSI-family readers, the Quoll unit and the devices that
// only identify themselves (CD-ROM drive, removable drive, the fixed disk).
#include <algorithm>
#include <cstring>

#include <protocol/reader_commands.h>
#include "firmware_images.h"
#include "lab/physical_device.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace lab {

namespace {

constexpr uint8_t kInvalidFieldInCdb = 0x24;
constexpr uint8_t kLbaOutOfRange = 0x21;
constexpr uint8_t kInvalidOpcode = 0x20;
constexpr uint8_t kWriteError = 0x0C;
constexpr uint8_t kSenseMediumError = 0x03;

class PlainDevice : public PhysicalDevice {
public:
    PlainDevice(Hardware& hw, const json& entry, const fs::path& folder, uint8_t type, bool removable)
        : PhysicalDevice(hw, entry, folder), type_(type), removable_(removable) {}
    bool removableMedia() const override { return removable_; }
    uint8_t peripheralType() const override { return type_; }

private:
    uint8_t type_;
    bool removable_;
};

// A reader of the SCSI family. In normal mode its firmware answers the vendor diagnostics from
// the image in its flash; in upgrade mode only its boot loader runs, which knows the block
// transfers and nothing else.
class ScsiReader : public PhysicalDevice {
public:
    ScsiReader(Hardware& hw, const json& entry, const fs::path& folder)
        : PhysicalDevice(hw, entry, folder),
          upgradeMode_(entry.value("mode", "normal") == "upgrade"),
          writeProtect_(entry.value("write-protect", false)) {}

protected:
    ScsiOutcome handle(const ScsiCommand& c) override {
        if (c.cdb[0] == readercmd::kOpDiagnostic) return diagnostic(c);
        if (c.cdb[0] == readercmd::kOpRova) return rova(c);
        return PhysicalDevice::handle(c);
    }

    void interrupted(const ScsiCommand& c) override {
        if (c.cdb[0] != readercmd::kOpRova || c.cdbLength < readercmd::kRovaCdbLength || c.cdb[2] != readercmd::kRovaWrite ||
            !accessGranted(c) || !c.data)
            return;
        const uint32_t count = c.cdb[readercmd::kRovaWriteCountByte], first = c.cdb[readercmd::kRovaWriteFirstByte];
        if (first + count > readercmd::kRovaBlockCount || c.dataLength < count * readercmd::kRovaBlockSize) return;
        writeBlocks(c.data, first, count / 2);
    }

private:
    static bool accessGranted(const ScsiCommand& c) {
        return std::memcmp(c.cdb + 3, readercmd::kRovaAccessSequence, sizeof readercmd::kRovaAccessSequence) == 0;
    }

    ScsiImageInfo firmware() const {
        std::vector<uint8_t> image(kFirmwareSize);
        memory("flash")->read(0, image.data(), kFirmwareSize);
        return inspectScsiImage(image.data(), image.size());
    }

    ScsiOutcome diagnostic(const ScsiCommand& c) {
        if (upgradeMode_) return checkCondition(kSenseIllegalRequest, kInvalidOpcode, 0);
        if (c.cdbLength < 10 || (c.cdb[1] & 0x1F) != 0 || std::memcmp(c.cdb + 3, readercmd::kDiagKey, 4) != 0)
            return checkCondition(kSenseIllegalRequest, kInvalidFieldInCdb, 0);
        const ScsiImageInfo fw = firmware();
        uint8_t reply[16] = {};
        reply[0] = c.cdb[2];
        switch (c.cdb[2]) {
        case readercmd::kDiagQueryController:
            reply[3] = readercmd::kQueryControllerReplyLength;
            reply[4] = fw.productType;
            reply[5] = fw.feature;
            reply[6] = fw.dfuType;
            reply[readercmd::kQueryControllerMinor] = fw.minor;
            reply[readercmd::kQueryControllerMajor] = fw.major;
            std::memcpy(reply + 12, "ROVA", 4);
            return dataIn(c, reply, readercmd::kQueryControllerReplyLength);
        case readercmd::kDiagFeatures:
            reply[3] = readercmd::kFeaturesReplyLength;
            reply[readercmd::kFeaturesFeature] = fw.feature;
            reply[5] = fw.productType;
            return dataIn(c, reply, readercmd::kFeaturesReplyLength);
        case readercmd::kDiagLog:
            reply[3] = readercmd::kDiagLogReplyLength;
            reply[readercmd::kDiagLogValid] = readercmd::kDiagLogValidMark;
            reply[readercmd::kDiagLogTargetId] = static_cast<uint8_t>(scsiTarget());
            reply[readercmd::kDiagLogWriteProtect] = writeProtect_ ? 1 : 0;
            reply[readercmd::kDiagLogDfuType] = fw.dfuType;
            return dataIn(c, reply, readercmd::kDiagLogReplyLength);
        default: return checkCondition(kSenseIllegalRequest, kInvalidFieldInCdb, 0);
        }
    }

    ScsiOutcome rova(const ScsiCommand& c) {
        if (c.cdbLength < readercmd::kRovaCdbLength || (c.cdb[1] & 0x1F) != 0)
            return checkCondition(kSenseIllegalRequest, kInvalidFieldInCdb, 0);
        const uint32_t block = readercmd::kRovaBlockSize;
        switch (c.cdb[2]) {
        case readercmd::kRovaRead: {
            const uint32_t count = c.cdb[readercmd::kRovaReadCountByte], first = c.cdb[readercmd::kRovaReadFirstByte];
            if (first + count > readercmd::kRovaBlockCount) return checkCondition(kSenseIllegalRequest, kLbaOutOfRange, 0);
            if (auto bad = needData(c, DataDirection::In, count * block)) return *bad;
            if (!memory("flash")->read(first * block, c.data, count * block))
                return checkCondition(kSenseMediumError, 0x11, 0);  // unrecovered read error
            ScsiOutcome o;
            o.transferred = count * block;
            return o;
        }
        case readercmd::kRovaSignature: {
            if (auto bad = needData(c, DataDirection::In, block)) return *bad;
            if (!memory("flash")->read(readercmd::kSignatureAreaOffset, c.data, block))
                return checkCondition(kSenseMediumError, 0x11, 0);
            ScsiOutcome o;
            o.transferred = block;
            return o;
        }
        case readercmd::kRovaWrite: {
            if (!accessGranted(c)) return checkCondition(kSenseIllegalRequest, kInvalidFieldInCdb, 0);
            const uint32_t count = c.cdb[readercmd::kRovaWriteCountByte], first = c.cdb[readercmd::kRovaWriteFirstByte];
            if (first + count > readercmd::kRovaBlockCount) return checkCondition(kSenseIllegalRequest, kLbaOutOfRange, 0);
            if (auto bad = needData(c, DataDirection::Out, count * block)) return *bad;
            if (!writeBlocks(c.data, first, count)) return checkCondition(kSenseMediumError, kWriteError, 0);
            ScsiOutcome o;
            o.transferred = count * block;
            return o;
        }
        default: return checkCondition(kSenseIllegalRequest, kInvalidFieldInCdb, 0);
        }
    }

    // Programs block after block, as the flash controller does: each reaches the file at once.
    bool writeBlocks(const uint8_t* data, uint32_t first, uint32_t count) {
        const uint32_t block = readercmd::kRovaBlockSize;
        for (uint32_t i = 0; i < count; ++i)
            if (!memory("flash")->write((first + i) * block, data + i * block, block)) return false;
        return true;
    }

    bool upgradeMode_;
    bool writeProtect_;
};

// The Quoll unit: a storage unit of one Tarn reader model that holds the reader's 64 KB
// external firmware, read and written whole.
class QuollUnit : public PhysicalDevice {
public:
    using PhysicalDevice::PhysicalDevice;

protected:
    ScsiOutcome handle(const ScsiCommand& c) override {
        if (c.cdb[0] != readercmd::kOpQuoll) return PhysicalDevice::handle(c);
        const uint32_t size = readercmd::kQuollFirmwareSize;
        if (c.cdbLength >= readercmd::kQuollReadCdbLength && (c.cdb[1] & 0x1F) == 0 && c.cdb[2] == readercmd::kQuollRead) {
            if (auto bad = needData(c, DataDirection::In, size)) return *bad;
            if (!memory("external")->read(0, c.data, size)) return checkCondition(kSenseMediumError, 0x11, 0);
            ScsiOutcome o;
            o.transferred = size;
            return o;
        }
        if (c.cdbLength >= readercmd::kQuollWriteCdbLength && (c.cdb[1] & 0x1F) == 0 && c.cdb[2] == readercmd::kQuollWrite) {
            if (!accessGranted(c)) return checkCondition(kSenseIllegalRequest, kInvalidFieldInCdb, 0);
            if (auto bad = needData(c, DataDirection::Out, size)) return *bad;
            if (!memory("external")->write(0, c.data, size)) return checkCondition(kSenseMediumError, kWriteError, 0);
            ScsiOutcome o;
            o.transferred = size;
            return o;
        }
        return checkCondition(kSenseIllegalRequest, kInvalidFieldInCdb, 0);
    }

    void interrupted(const ScsiCommand& c) override {
        if (c.cdb[0] == readercmd::kOpQuoll && c.cdbLength >= readercmd::kQuollWriteCdbLength &&
            c.cdb[2] == readercmd::kQuollWrite && accessGranted(c) && c.data && c.dataLength >= readercmd::kQuollFirmwareSize)
            memory("external")->write(0, c.data, readercmd::kQuollFirmwareSize / 2);
    }

private:
    static bool accessGranted(const ScsiCommand& c) {
        return std::memcmp(c.cdb + 3, readercmd::kQuollWriteSequence, sizeof readercmd::kQuollWriteSequence) == 0;
    }
};

}  // namespace

std::shared_ptr<PhysicalDevice> makePhysicalDevice(Hardware& hw, const json& entry, const fs::path& folder) {
    const std::string kind = entry.value("kind", "");
    if (kind == "scsi-reader") return std::make_shared<ScsiReader>(hw, entry, folder);
    if (kind == "quoll-unit") return std::make_shared<QuollUnit>(hw, entry, folder);
    if (kind == "cdrom") return std::make_shared<PlainDevice>(hw, entry, folder, 0x05, true);
    if (kind == "removable") return std::make_shared<PlainDevice>(hw, entry, folder, 0x00, true);
    if (kind == "disk") return std::make_shared<PlainDevice>(hw, entry, folder, 0x00, false);
    return nullptr;
}

}  // namespace lab
