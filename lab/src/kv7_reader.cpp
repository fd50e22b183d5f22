#include "kv7_reader.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <protocol/kv7.h>
#include <protocol/tarn_usb.h>
#include <protocol/usb_mass_storage.h>
#include <winsim/usb100.h>

#include "firmware_images.h"
#include "lab/device_entry.h"
#include "lab/hardware.h"
#include "lab/lab.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace lab {

namespace {

constexpr uint32_t kFlashMemory = 65536;
constexpr uint8_t kSenseMediumError = 0x03;

uint32_t addressOf(const uint8_t* cdb) { return static_cast<uint32_t>(cdb[2] << 8 | cdb[3]); }

bool isBadEraseBlock(const Fault& f) { return f.action == Fault::Action::Bad && f.blockKind == Fault::BlockKind::Erase; }

}  // namespace

Kv7Reader::Kv7Reader(Hardware& hw, const json& entry, const fs::path& folder)
    : TarnReader(hw, entry, folder), eraseBusyMs_(entry.value("erase-busy", 0u)) {}

bool Kv7Reader::scsiInUpgradeMode() const { return kv7::usesScsi(dfuType_) && upgradeMode(); }

bool Kv7Reader::inArea(uint32_t address, uint32_t length) const {
    return address >= base_ && length <= capacity_ && address - base_ <= capacity_ - length;
}

// ---- what it shows the PC ---------------------------------------------------------------------------

UsbAppearance Kv7Reader::appearance() {
    UsbAppearance a = TarnReader::appearance();
    // Its boot ROM has a vendor interface, with the bulk-only pipes its commands travel on for
    // types 9 and 10; no class driver takes it.
    if (upgradeMode()) a.interfaces = {{tarn::kClassVendor, kv7::usesScsi(dfuType_) ? uint8_t{0x06} : uint8_t{0},
                                        kv7::usesScsi(dfuType_) ? uint8_t{0x50} : uint8_t{0}}};
    return a;
}

std::vector<uint8_t> Kv7Reader::configurationDescriptor() const {
    if (!upgradeMode()) return TarnReader::configurationDescriptor();
    const bool scsi = kv7::usesScsi(dfuType_);
    std::vector<uint8_t> c = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, 1, 0, 0x80, 100,
                              9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, static_cast<uint8_t>(scsi ? 2 : 0),
                              tarn::kClassVendor, static_cast<uint8_t>(scsi ? 0x06 : 0), static_cast<uint8_t>(scsi ? 0x50 : 0), 0};
    if (scsi)
        c.insert(c.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81, USB_ENDPOINT_TYPE_BULK, 0x40, 0x00, 0,
                           7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x02, USB_ENDPOINT_TYPE_BULK, 0x40, 0x00, 0});
    c[2] = static_cast<uint8_t>(c.size());
    return c;
}

// ---- the controller's state ---------------------------------------------------------------------------

void Kv7Reader::transferFailed(uint32_t usbd) {
    const uint32_t condition = tarn::usbCondition(usbd);
    if (condition != tarn::kUsbTransactionError && condition != tarn::kUsbBabble) return;
    std::lock_guard<std::mutex> lock(stateMutex_);
    wedged_ = usbd;
}

std::optional<UsbOutcome> Kv7Reader::held() {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (wedged_) return UsbOutcome::error(wedged_);
    if (busyUntilNs_ && hw_.lab().clock().labElapsedNs() < busyUntilNs_) return UsbOutcome::stalled();
    busyUntilNs_ = 0;
    return std::nullopt;
}

void Kv7Reader::busReset() {
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        wedged_ = 0;
    }
    TarnReader::busReset();
}

void Kv7Reader::leaving(LeaveKind why, const std::optional<Fault>& fault) {
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        wedged_ = 0;
        forgetStatus_ = leaveAfterStatus_ = false;
    }
    TarnReader::leaving(why, fault);
}

void Kv7Reader::booted() {
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        wedged_ = 0;
        busyUntilNs_ = 0;
        forgetStatus_ = leaveAfterStatus_ = false;
    }
    TarnReader::booted();
}

// ---- memories ---------------------------------------------------------------------------------------------

std::optional<uint16_t> Kv7Reader::readWord(uint32_t index) const {
    const MemoryFile* m = memory("eeprom");
    uint8_t b[2];
    if (!m || index >= kv7::kEepromWords || !m->read(index * 2, b, 2)) return std::nullopt;
    return static_cast<uint16_t>(b[0] | b[1] << 8);
}

bool Kv7Reader::writeWord(uint32_t index, uint16_t word) {
    const MemoryFile* m = memory("eeprom");
    const uint8_t b[2] = {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8)};
    return m && index < kv7::kEepromWords && m->write(index * 2, b, 2);
}

bool Kv7Reader::readFlash(uint32_t address, uint8_t* out, uint32_t length) const {
    const MemoryFile* m = memory("flash");
    return m && out && length <= kFlashMemory && address <= kFlashMemory - length && m->read(address, out, length);
}

Kv7Reader::Step Kv7Reader::writeBlock(uint32_t address, const uint8_t* data, uint32_t length) {
    const MemoryFile* m = memory("flash");
    if (!m || !data || length == 0 || length > kv7::kBlockSize || !inArea(address, length)) return Step::Refused;
    const std::optional<Fault> bad = takeFault(FaultRequest::block(address - base_, length));
    if (bad && bad->blockKind != Fault::BlockKind::Written) return Step::Failed;  // its cells take nothing
    uint8_t cells[kv7::kBlockSize];
    if (!m->read(address, cells, length)) return Step::Refused;
    for (uint32_t i = 0; i < length; ++i) cells[i] &= data[i];  // programming only clears bits
    m->write(address, cells, length);
    return bad ? Step::Failed : Step::Done;
}

void Kv7Reader::erase(uint32_t from, uint32_t length) {
    if (const MemoryFile* m = memory("flash")) {
        const std::vector<uint8_t> blank(length, 0xFF);
        m->write(from, blank.data(), length);
    }
}

Kv7Reader::Step Kv7Reader::eraseSector(uint32_t address) {
    const uint32_t sector = address & ~(kv7::kSectorSize - 1);
    if (!inArea(sector, kv7::kSectorSize)) return Step::Refused;
    erase(sector, kv7::kSectorSize);
    // The erase of its own sector cures a block of that kind (a chip erase does not: the
    // sector erase reaches what the chip erase leaves behind).
    const uint32_t start = sector - base_;
    dropFaults([&](const Fault& f) {
        return isBadEraseBlock(f) && f.position && *f.position >= start && *f.position - start < kv7::kSectorSize;
    });
    return Step::Done;
}

void Kv7Reader::eraseChip() {
    erase(base_, capacity_);
    if (!eraseBusyMs_) return;
    std::lock_guard<std::mutex> lock(stateMutex_);
    busyUntilNs_ = hw_.lab().clock().labElapsedNs() + static_cast<int64_t>(eraseBusyMs_) * 1000000;
}

// ---- control requests ---------------------------------------------------------------------------------------

std::optional<uint32_t> Kv7Reader::imageOffset(const UsbSetup& s) const {
    const bool read = s.requestType == kv7::kIn && (s.request == kv7::kReqReadBlock || s.request == kv7::kReqFunctionalRead);
    const bool program = s.requestType == kv7::kOut && s.request == kv7::kReqProgram;
    if (!read && !program) return std::nullopt;
    // An erase moves no data: located, it holds no byte a positioned fault names.
    if ((program && s.index != kv7::kProgramWrite) || s.length == 0) return 0;
    if (s.value < base_) return std::nullopt;
    return s.value - base_;
}

UsbOutcome Kv7Reader::control(const UsbSetup& s, uint8_t* data) {
    if ((s.requestType & 0x60) == 0x00) return TarnReader::control(s, data);
    if (auto h = held()) return *h;
    if ((s.requestType & 0x60) == 0x40) return vendorRequest(s, data);
    if (s.request == usbms::kReset || s.request == usbms::kGetMaxLun) {
        if (scsiInUpgradeMode())
            if (auto o = bridge_.control(s, data)) return *o;
        return TarnReader::control(s, data);
    }
    return UsbOutcome::stalled();  // no DFU interface
}

UsbOutcome Kv7Reader::vendorRequest(const UsbSetup& s, uint8_t* data) {
    const bool upgrade = upgradeMode();
    const bool byControl = !kv7::usesScsi(dfuType_);
    const bool in = s.requestType == kv7::kIn, out = s.requestType == kv7::kOut;
    auto ok = [](const Step step) { return step == Step::Done ? UsbOutcome::done(0) : UsbOutcome::stalled(); };

    // The configuration memory, in either mode.
    if (byControl && in && s.request == kv7::kReqReadConfig) {
        const auto word = readWord(s.index >> 8);
        if (!word || (s.index & 0xFF) || s.length != 2 || !data) return UsbOutcome::stalled();
        data[0] = static_cast<uint8_t>(*word);
        data[1] = static_cast<uint8_t>(*word >> 8);
        return UsbOutcome::done(2);
    }
    if (byControl && out && s.request == kv7::kReqWriteConfig) {
        if ((s.index & 0xFF) || s.length != 0 || !writeWord(s.index >> 8, s.value)) return UsbOutcome::stalled();
        return UsbOutcome::done(0);
    }

    if (!upgrade) {
        if (out && s.request == kv7::kReqPrepareForDfu && s.length == 0) {
            leave(LeaveKind::Detach);
            return UsbOutcome::done(0);
        }
        if (in && s.request == kv7::kReqFunctionalRead) {
            if (s.length == 0) return UsbOutcome::done(0);  // the end of a read
            if (s.length > kv7::kFunctionalReadMax || !readFlash(s.value, data, s.length)) return UsbOutcome::stalled();
            return UsbOutcome::done(s.length);
        }
        return TarnReader::vendor(s, data);
    }

    // The boot ROM of types 7 and 8.
    if (!byControl) return UsbOutcome::stalled();
    if (in && s.request == kv7::kReqReadBlock) {
        if (s.length == 0 || s.length > kv7::kBlockSize || !readFlash(s.value, data, s.length)) return UsbOutcome::stalled();
        return UsbOutcome::done(s.length);
    }
    if (out && s.request == kv7::kReqProgram) {
        switch (s.index) {
        case kv7::kProgramWrite: return ok(writeBlock(s.value, data, s.length));
        case kv7::kProgramEraseChip:
            if (s.length) return UsbOutcome::stalled();
            eraseChip();
            // A long erase is answered at once with a stall; the controller works on.
            return eraseBusyMs_ ? UsbOutcome::stalled() : UsbOutcome::done(0);
        case kv7::kProgramEraseSector: return s.length ? UsbOutcome::stalled() : ok(eraseSector(s.value));
        default: return UsbOutcome::stalled();
        }
    }
    if (out && s.request == kv7::kReqFunctionalMode && s.length == 0) {
        leave(LeaveKind::Detach);
        return UsbOutcome::done(0);
    }
    return UsbOutcome::stalled();
}

// ---- bulk-only commands of types 9 and 10 ----------------------------------------------------------------------

UsbOutcome Kv7Reader::bulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length) {
    if (!scsiInUpgradeMode()) return TarnReader::bulkOut(endpoint, data, length);
    if (auto h = held()) return *h;
    freshBridge();
    bool forget;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        forget = std::exchange(forgetStatus_, false);
    }
    if (forget) resetBridge();  // the host gave up on the status of the command it was busy with
    return bridge_.bulkOut(data, length);
}

UsbOutcome Kv7Reader::bulkIn(uint8_t endpoint, uint8_t* data, uint32_t length) {
    if (!scsiInUpgradeMode()) return TarnReader::bulkIn(endpoint, data, length);
    if (auto h = held()) return *h;
    freshBridge();
    const UsbOutcome o = bridge_.bulkIn(data, length);
    bool leaveNow = false;
    if (o.kind == UsbOutcome::Kind::Completed && o.transferred == usbms::kCswLength) {
        std::lock_guard<std::mutex> lock(stateMutex_);
        leaveNow = std::exchange(leaveAfterStatus_, false);
    }
    if (leaveNow) leave(LeaveKind::Detach);
    return o;
}

std::optional<uint32_t> Kv7Reader::imageOffset(const ScsiCommand& c) const {
    if (!c.cdb || c.cdbLength < 6 || (c.cdb[0] != kv7::kOpReadBlock && c.cdb[0] != kv7::kOpProgram)) return std::nullopt;
    if (c.cdb[0] == kv7::kOpProgram && c.cdb[1] != kv7::kProgramWrite) return 0;  // an erase: no data
    const uint32_t address = addressOf(c.cdb);
    if (address < base_) return std::nullopt;
    return address - base_;
}

ScsiOutcome Kv7Reader::handle(const ScsiCommand& c) {
    const bool upgrade = upgradeMode();
    const uint8_t op = c.cdb[0];
    const bool scsi = kv7::usesScsi(dfuType_);
    const bool vendorCommand = c.cdbLength >= 6 && op >= kv7::kOpReadConfig && op <= kv7::kOpFunctionalMode;
    if (!upgrade && op == kv7::kCdbStorageRead[0] && c.cdbLength >= 12 &&
        std::memcmp(c.cdb, kv7::kCdbStorageRead, sizeof kv7::kCdbStorageRead) == 0) {
        const std::vector<uint8_t> area = flash();
        return dataIn(c, area.data(), area.size());
    }
    if (!scsi || !vendorCommand || (!upgrade && op != kv7::kOpReadConfig && op != kv7::kOpWriteConfig)) {
        if (upgrade) return checkCondition(kSenseIllegalRequest, 0x20, 0x00);
        return TarnReader::handle(c);
    }
    const uint32_t address = addressOf(c.cdb);
    const uint32_t n = c.cdb[4];
    auto invalidField = [] { return checkCondition(kSenseIllegalRequest, 0x24, 0x00); };
    switch (op) {
    case kv7::kOpReadConfig: {
        if (auto bad = needData(c, DataDirection::In, 2)) return *bad;
        const auto word = readWord(address);
        if (!word || n != 2) return invalidField();
        const uint8_t reply[2] = {static_cast<uint8_t>(*word), static_cast<uint8_t>(*word >> 8)};
        return dataIn(c, reply, 2);
    }
    case kv7::kOpWriteConfig: {
        if (auto bad = needData(c, DataDirection::Out, 2)) return *bad;
        if (n != 2 || !writeWord(address, static_cast<uint16_t>(c.data[0] | c.data[1] << 8))) return invalidField();
        ScsiOutcome o;
        o.transferred = 2;
        return o;
    }
    case kv7::kOpReadBlock: {
        if (c.cdb[1] != kv7::kReadBlockSub || n == 0 || n > kv7::kBlockSize) return invalidField();
        if (auto bad = needData(c, DataDirection::In, n)) return *bad;
        uint8_t block[kv7::kBlockSize];
        if (!readFlash(address, block, n)) return invalidField();
        return dataIn(c, block, n);
    }
    case kv7::kOpProgram: {
        Step step;
        ScsiOutcome o;
        if (c.cdb[1] == kv7::kProgramWrite) {
            if (auto bad = needData(c, DataDirection::Out, n)) return *bad;
            step = writeBlock(address, c.data, n);
            o.transferred = n;
        } else if (c.cdb[1] == kv7::kProgramEraseChip) {
            eraseChip();
            step = Step::Done;
            std::lock_guard<std::mutex> lock(stateMutex_);
            forgetStatus_ = eraseBusyMs_ != 0;
        } else if (c.cdb[1] == kv7::kProgramEraseSector) {
            step = eraseSector(address);
        } else {
            return invalidField();
        }
        if (step == Step::Refused) return invalidField();
        if (step == Step::Failed) return checkCondition(kSenseMediumError, 0x0C, 0x00);  // write error
        return o;
    }
    case kv7::kOpFunctionalMode: {
        std::lock_guard<std::mutex> lock(stateMutex_);
        leaveAfterStatus_ = true;
        return ScsiOutcome{};
    }
    default: return invalidField();
    }
}

// ---- the kind ---------------------------------------------------------------------------------------------------

void registerKv7DeviceKind() {
    DeviceKind k;
    k.name = "kv7-reader";
    k.bus = DeviceKind::Bus::Usb;
    k.summary = "a card reader built on the KV7 controller: types 7 and 8 programmed by control requests, 9 and 10 "
                "by vendor SCSI commands";
    k.options = tarnCommonOptions();
    k.options[0] = {"dfu-type", "the controller's type: 7 or 8 (control requests), 9 or 10 (SCSI commands); default 7"};
    k.options.insert(k.options.begin() + 1,
                     {"driver", "what drives it in functional mode: own (its own driver) or usbstor (the generic "
                                "mass-storage driver)"});
    k.options.push_back({"eeprom-type", "product type in its configuration memory (0-255; default the factory "
                                        "image's), or none for a blank memory"});
    k.options.push_back({"erase-busy", "lab milliseconds a chip erase keeps it busy, answered with a stall "
                                       "(0-60000, default 0: an ordinary erase)"});
    k.memories = {{"flash", kFlashMemory}, {"eeprom", kv7::kEepromBytes}};
    k.prepare = [](const json& request, PreparedDevice& out) {
        const std::string driver = request.contains("driver") ? option::text(request.at("driver"), "driver") : "own";
        if (driver != "own" && driver != "usbstor") throw std::runtime_error("option driver must be own or usbstor");
        out.entry["driver"] = driver;
        out.entry["erase-busy"] = option::integer(request, "erase-busy", 0, 60000, 0);
        const TarnImageParams p = prepareTarnCommon(request, out, "Tarn    KV7 Card Reader 1.00", 0x2400, 7, 10, 7);
        if (out.memories.count("eeprom")) return;
        std::vector<uint8_t> eeprom(kv7::kEepromBytes, 0xFF);
        const bool blank = request.contains("eeprom-type") && option::text(request.at("eeprom-type"), "eeprom-type") == "none";
        if (!blank) {
            const auto type = static_cast<uint8_t>(option::integer(request, "eeprom-type", 0, 255, p.productType));
            const auto info = kv7::bootInfo(p.dfuType);
            std::copy(info.begin(), info.end(), eeprom.begin() + kv7::kBootInfoAddress);
            eeprom[kv7::kProductTypeAddress] = static_cast<uint8_t>(~type);
            eeprom[kv7::kProductTypeAddress + 1] = type;
        }
        out.memories["eeprom"] = eeprom;
    };
    k.make = [](Hardware& hw, const json& entry, const fs::path& folder) {
        return std::make_shared<Kv7Reader>(hw, entry, folder);
    };
    registerDeviceKind(k);
}

}  // namespace lab
