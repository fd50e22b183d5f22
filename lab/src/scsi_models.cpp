// The SCSI-side device models: the SCSI-family readers, the Quoll unit and the devices that
// only identify themselves (CD-ROM drive, removable drive, the fixed disk).
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include <protocol/reader_commands.h>
#include "firmware_images.h"
#include "device_kinds.h"
#include "lab/device_entry.h"
#include "lab/physical_device.h"
#include "quoll_unit.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace lab {

namespace {

constexpr uint8_t kInvalidFieldInCdb = 0x24;
constexpr uint8_t kLbaOutOfRange = 0x21;
constexpr uint8_t kInvalidOpcode = 0x20;
constexpr uint8_t kWriteError = 0x0C;
constexpr uint8_t kSenseMediumError = 0x03;

class PlainDevice : public ScsiDevice {
public:
    PlainDevice(Hardware& hw, const json& entry, const fs::path& folder, uint8_t type, bool removable)
        : ScsiDevice(hw, entry, folder), type_(type), removable_(removable) {}
    bool removableMedia() const override { return removable_; }
    uint8_t peripheralType() const override { return type_; }

private:
    uint8_t type_;
    bool removable_;
};

// A reader of the SCSI family. In normal mode its firmware answers the vendor diagnostics from
// the image in its flash; in upgrade mode only its boot loader runs, which knows the block
// transfers and nothing else.
class ScsiReader : public ScsiDevice {
public:
    ScsiReader(Hardware& hw, const json& entry, const fs::path& folder)
        : ScsiDevice(hw, entry, folder),
          upgradeMode_(entry.value("mode", "normal") == "upgrade"),
          writeProtect_(entry.value("write-protect", false)) {}

protected:
    ScsiOutcome handle(const ScsiCommand& c) override {
        if (c.cdb[0] == readercmd::kOpDiagnostic) return diagnostic(c);
        if (c.cdb[0] == readercmd::kOpRova) return rova(c);
        return ScsiDevice::handle(c);
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
            reply[readercmd::kDiagLogTargetId] = static_cast<uint8_t>(targetId());
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

// The Quoll unit on its own, on the SCSI adapter.
class QuollUnit : public ScsiDevice {
public:
    using ScsiDevice::ScsiDevice;

protected:
    ScsiOutcome handle(const ScsiCommand& c) override {
        if (auto o = quollCommand(memory("external"), c)) return *o;
        return ScsiDevice::handle(c);
    }
    void interrupted(const ScsiCommand& c) override { quollInterrupted(memory("external"), c); }
};

// The factory firmware of a reader: an image of the SCSI family with the identity asked for.
void prepareReader(const json& request, PreparedDevice& out) {
    json& e = out.entry;
    const std::string mode = request.contains("mode") ? option::text(request.at("mode"), "mode") : "normal";
    if (mode != "normal" && mode != "upgrade") throw std::runtime_error("option mode must be normal or upgrade");
    e["mode"] = mode;
    e["inquiry"] = option::inquiry(request, mode == "upgrade" ? "SCSI    DFU Reader      1.00" : "SCSI    Secure Reader   1.00");
    e["write-protect"] = option::flag(request, "write-protect", false);
    ScsiImageParams image;
    image.signature = e["id"].get<std::string>();
    option::version(request, &image.major, &image.minor);
    image.feature = static_cast<uint8_t>(option::integer(request, "feature", 0, 255, image.feature));
    image.productType = static_cast<uint8_t>(option::integer(request, "product-type", 0, 255, image.productType));
    image.type = static_cast<int>(option::integer(request, "dfu-type", 0, 2, mode == "upgrade" ? 1 : 0));
    if (!out.memories.count("flash")) out.memories["flash"] = makeScsiFamilyImage(image);
}

void prepareQuoll(const json& request, PreparedDevice& out) {
    out.entry["inquiry"] = option::inquiry(request, "Tarn    SD-MS-SM Unit   1.00");
    uint8_t major = 1, minor = 0;
    option::version(request, &major, &minor);
    if (!out.memories.count("external"))
        out.memories["external"] = makeExternalImage(major, minor, out.entry["id"].get<std::string>());
}

// A device that only identifies itself: its inquiry text is all there is to choose.
DeviceKind plainKind(const char* name, const char* summary, const char* inquiry, char firstDrive, uint8_t type,
                     bool removable) {
    DeviceKind k;
    k.name = name;
    k.summary = summary;
    k.options = {{"inquiry", "vendor (8) + product (16) + revision (4) characters"}};
    k.firstDrive = firstDrive;
    const std::string defaultInquiry = inquiry;
    k.prepare = [defaultInquiry](const json& request, PreparedDevice& out) {
        out.entry["inquiry"] = option::inquiry(request, defaultInquiry.c_str());
    };
    k.make = [type, removable](Hardware& hw, const json& entry, const fs::path& folder) {
        return std::make_shared<PlainDevice>(hw, entry, folder, type, removable);
    };
    return k;
}

}  // namespace

void registerScsiDeviceKinds() {
    const std::pair<std::string, std::string> inquiry = {"inquiry",
                                                         "vendor (8) + product (16) + revision (4) characters"};
    const std::pair<std::string, std::string> version = {"version", "firmware version MM.mm of the factory image"};
    DeviceKind reader;
    reader.name = "scsi-reader";
    reader.summary = "a card reader of the SCSI family, in normal or upgrade mode";
    reader.options = {inquiry,
                      {"mode", "normal (its firmware runs) or upgrade (only its boot loader)"},
                      version,
                      {"feature", "feature byte of the factory image (0-255)"},
                      {"product-type", "product type of the factory image (0-255)"},
                      {"dfu-type", "DFU type marker of the factory image (0-2)"},
                      {"write-protect", "1: its flash refuses writes"}};
    reader.memories = {{"flash", kFirmwareSize}};
    reader.prepare = prepareReader;
    reader.make = [](Hardware& hw, const json& entry, const fs::path& folder) {
        return std::make_shared<ScsiReader>(hw, entry, folder);
    };
    registerDeviceKind(reader);

    DeviceKind quoll;
    quoll.name = "quoll-unit";
    quoll.summary = "the Quoll unit, holding the external firmware of its reader";
    quoll.options = {inquiry, version};
    quoll.memories = {{"external", kFirmwareSize}};
    quoll.prepare = prepareQuoll;
    quoll.make = [](Hardware& hw, const json& entry, const fs::path& folder) {
        return std::make_shared<QuollUnit>(hw, entry, folder);
    };
    registerDeviceKind(quoll);

    registerDeviceKind(plainKind("cdrom", "a CD-ROM drive", "LAB     DVD-ROM Drive   1.00", 'D', 0x05, true));
    registerDeviceKind(plainKind("removable", "a removable disk", "LAB     Flash Disk      1.00", 'E', 0x00, true));
    registerDeviceKind(plainKind("disk", "a fixed disk", "LAB     Fixed Disk      1.00", 'C', 0x00, false));
}

}  // namespace lab
