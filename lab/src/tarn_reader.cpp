#include "tarn_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <protocol/kv7.h>
#include <protocol/reader_commands.h>
#include <protocol/tarn_usb.h>
#include <winsim/usb100.h>
#include <winsim/winreg.h>

#include "device_kinds.h"
#include "firmware_images.h"
#include "kv7_reader.h"
#include "lab/device_entry.h"
#include "lab/hardware.h"
#include "lab/lab.h"
#include "lab/registry.h"
#include "quoll_unit.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace lab {

namespace {

// Where a reader's boot loader shows itself when nothing else is asked for: one product per
// upgrade-protocol type; the type-3 loader has identifiers of its own.
constexpr uint16_t kLoaderVendor = 0x04CC;
constexpr uint16_t kLoaderProductBase = 0x2F00;
constexpr uint32_t kFlashMemory = 65536;  // the memory file; the programmable area may be smaller
constexpr uint8_t kQuollProductType = 16;  // the reader model with the Quoll unit
// The DFU package's service: the PC binds upgrade-mode readers to it once it is installed.
constexpr const char* kDfuServiceKey = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\TARNDFU";

const char* bindingName(TarnReader::Binding b) {
    switch (b) {
    case TarnReader::Binding::Own: return "own";
    case TarnReader::Binding::UsbStor: return "usbstor";
    case TarnReader::Binding::Composite: return "composite";
    case TarnReader::Binding::PlexMonitor: return "plex-monitor";
    }
    return "own";
}

std::optional<TarnReader::Binding> bindingOf(const std::string& s) {
    if (s == "own") return TarnReader::Binding::Own;
    if (s == "usbstor") return TarnReader::Binding::UsbStor;
    if (s == "composite") return TarnReader::Binding::Composite;
    if (s == "plex-monitor") return TarnReader::Binding::PlexMonitor;
    return std::nullopt;
}

void putLe16(std::vector<uint8_t>& d, size_t at, uint16_t v) {
    d[at] = static_cast<uint8_t>(v);
    d[at + 1] = static_cast<uint8_t>(v >> 8);
}

std::vector<uint8_t> interfaceDescriptor(uint8_t number, uint8_t endpoints, uint8_t cls, uint8_t sub, uint8_t proto) {
    return {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, 0, endpoints, cls, sub, proto, 0};
}

std::vector<uint8_t> bulkEndpoints() {
    return {7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81, USB_ENDPOINT_TYPE_BULK, 0x00, 0x02, 0,
            7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x02, USB_ENDPOINT_TYPE_BULK, 0x00, 0x02, 0};
}

}  // namespace

TarnReader::TarnReader(Hardware& hw, const json& entry, const fs::path& folder)
    : ScsiDevice(hw, entry, folder),
      UsbPort(*this, hw, entry),
      dfuType_(static_cast<uint8_t>(entry.value("dfu-type", 0))),
      base_(tarnArea(dfuType_).base),
      capacity_(tarnArea(dfuType_).size),
      bridge_(*this),
      attachedInUpgradeMode_(entry.value("mode", std::string("functional")) == "upgrade"),
      binding_(bindingOf(entry.value("driver", std::string("own"))).value_or(Binding::Own)),
      module_(entry.value("kind", std::string()) == "plex-module"),
      quoll_(entry.value("kind", std::string()) == "quoll-reader"),
      slots_(entry.value("slots", 0)) {
    if (entry.value("kind", std::string()) == "plex-monitor") binding_ = Binding::PlexMonitor;
    mode_ = initialMode();
    if (entry.contains("state")) updateState(entry["state"]);
}

TarnReader::Mode TarnReader::initialMode() const {
    Mode m = bootMode();
    if (attachedInUpgradeMode_) m = Mode{true, Binding::Own, std::nullopt};
    return m;
}

void TarnReader::updateState(const json& s) {
    if (!s.is_object()) {
        const Mode initial = initialMode();
        std::lock_guard<std::mutex> lock(mutex_);
        mode_ = initial;
        heading_.reset();
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    mode_.upgrade = s.value("mode", std::string(mode_.upgrade ? "upgrade" : "functional")) == "upgrade";
    mode_.as = bindingOf(s.value("as", std::string(bindingName(binding_)))).value_or(binding_);
    mode_.ids.reset();
    if (s.contains("ids") && s["ids"].is_array() && s["ids"].size() == 2)
        mode_.ids = std::make_pair(s["ids"][0].get<uint16_t>(), s["ids"][1].get<uint16_t>());
}

json TarnReader::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Mode& m = heading_ ? *heading_ : mode_;
    json s = {{"mode", m.upgrade ? "upgrade" : "functional"}, {"as", bindingName(m.as)}};
    if (m.ids) s["ids"] = {m.ids->first, m.ids->second};
    return s;
}

bool TarnReader::upgradeMode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return mode_.upgrade;
}

std::vector<uint8_t> TarnReader::flash() const {
    std::vector<uint8_t> data(capacity_, 0xFF);
    if (const MemoryFile* m = memory("flash")) m->read(base_, data.data(), capacity_);
    return data;
}

bool TarnReader::bootable() const {
    const std::vector<uint8_t> f = flash();
    return tarnBootable(f.data(), f.size(), dfuType_);
}

TarnReader::Mode TarnReader::bootMode() const {
    Mode m;
    m.upgrade = !bootable();
    m.as = m.upgrade ? Binding::Own : binding_;
    return m;
}

std::pair<uint16_t, uint16_t> TarnReader::upgradeIds() const { return tarnLoaderIds(dfuType_); }

json TarnReader::firmware() const {
    const std::vector<uint8_t> f = flash();
    json j = tarnFirmwareSummary(f.data(), f.size(), dfuType_);
    j["dfuType"] = dfuType_;
    return j;
}

json tarnFirmwareSummary(const uint8_t* flash, size_t length, uint8_t dfuType) {
    const TarnImageInfo info = inspectTarnImage(flash, length);
    json j = {{"complete", tarnBootable(flash, length, dfuType)}};
    if (info.hasCapab) {
        char version[8];
        std::snprintf(version, sizeof version, "%02u.%02u", info.major, info.minor);
        j["version"] = version;
        j["productType"] = info.productType;
        j["feature"] = info.feature;
    }
    if (info.deviceDescriptor) {
        char ids[16];
        const auto& d = *info.deviceDescriptor;
        std::snprintf(ids, sizeof ids, "%04x:%04x", d[8] | d[9] << 8, d[10] | d[11] << 8);
        j["ids"] = ids;
        if (auto s = d[16] ? tarnStringDescriptor(flash, length, d[16]) : std::nullopt) {
            std::string text;
            for (size_t i = 2; i + 1 < s->size(); i += 2) text += static_cast<char>((*s)[i]);
            j["serial"] = text;
        }
    }
    return j;
}

bool isTarnKind(const std::string& kind) {
    return kind == "tarn-reader" || kind == "plex-monitor" || kind == "plex-module" || kind == "quoll-reader" ||
           kind == "kv7-reader";
}

std::pair<uint16_t, uint16_t> tarnLoaderIds(uint8_t dfuType) {
    if (dfuType == 3) return {tarn::kUpgradeVendor3, tarn::kUpgradeProduct3};
    // A KV7 controller's boot ROM shows the first identifiers of its type.
    for (const kv7::TypeEntry& e : kv7::kTypes)
        if (e.vendor && e.dfuType == dfuType) return {e.vendor, e.product};
    return {kLoaderVendor, static_cast<uint16_t>(kLoaderProductBase + dfuType)};
}

// ---- USB ------------------------------------------------------------------------------------------

UsbAppearance TarnReader::appearance() {
    Mode m;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        m = mode_;
    }
    UsbAppearance a;
    if (m.upgrade) {
        const auto ids = m.ids ? *m.ids : upgradeIds();
        a.vendor = ids.first;
        a.product = ids.second;
        a.revision = 0x0001;
        a.manufacturer = "Tarn";
        if (m.as == Binding::UsbStor) {
            a.interfaces = {{0x08, 0x06, 0x50}, {tarn::kClassApplication, tarn::kSubclassDfu, 0x02}};
            a.service = "USBSTOR";
            a.description = "USB Mass Storage Device";
            a.rebind = true;
            return a;
        }
        a.interfaces = {{tarn::kClassApplication, tarn::kSubclassDfu, 0x02}};
        bool installed = portHw_.lab().registry().keyExists(kDfuServiceKey) == ERROR_SUCCESS;
        a.service = installed ? "TARNDFU" : "";
        a.description = installed ? "Tarn DFU Device" : "Tarn Boot Loader";
        return a;
    }
    const std::vector<uint8_t> d = deviceDescriptor();
    a.vendor = static_cast<uint16_t>(d[8] | d[9] << 8);
    a.product = static_cast<uint16_t>(d[10] | d[11] << 8);
    a.revision = static_cast<uint16_t>(d[12] | d[13] << 8);
    if (m.ids) {
        a.vendor = m.ids->first;
        a.product = m.ids->second;
    }
    if (d[16])
        if (auto s = stringDescriptor(d[16])) a.serial = std::string(s->begin(), s->end());
    if (auto s = stringDescriptor(1)) a.manufacturer = std::string(s->begin(), s->end());
    switch (m.as) {
    case Binding::Own:
        a.interfaces = {{tarn::kClassVendor, 0, 0}, {0x08, 0x06, 0x50}};
        a.service = "TARNRDR";
        a.description = "Tarn USB Card Reader";
        break;
    case Binding::PlexMonitor:
        a.interfaces = {{tarn::kClassVendor, 0, 0}};
        a.service = "PLEXMON";
        a.description = "Plex Monitor";
        break;
    case Binding::UsbStor:
        a.interfaces = {{0x08, 0x06, 0x50}};
        a.service = "USBSTOR";
        a.description = "USB Mass Storage Device";
        a.manufacturer = "Compatible USB storage device";
        break;
    case Binding::Composite:
        a.interfaces = {{0x08, 0x06, 0x50}, {tarn::kClassVendor, 0, 0}};
        a.service = "TESSORA";
        a.description = "USB Composite Device";
        break;
    }
    return a;
}

std::vector<uint8_t> TarnReader::deviceDescriptor() const {
    bool upgrade;
    std::optional<std::pair<uint16_t, uint16_t>> ids;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        upgrade = mode_.upgrade;
        ids = mode_.ids;
    }
    std::vector<uint8_t> d = {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x00, 0x02, 0, 0, 0, 64, 0, 0, 0, 0, 0x01, 0x00, 0, 0, 0, 1};
    if (!upgrade) {
        const std::vector<uint8_t> f = flash();
        const TarnImageInfo info = inspectTarnImage(f.data(), f.size());
        if (info.deviceDescriptor) d.assign(info.deviceDescriptor->begin(), info.deviceDescriptor->end());
    } else {
        const auto loader = ids ? *ids : upgradeIds();
        putLe16(d, 8, loader.first);
        putLe16(d, 10, loader.second);
        return d;
    }
    if (ids) {
        putLe16(d, 8, ids->first);
        putLe16(d, 10, ids->second);
    }
    return d;
}

std::vector<uint8_t> TarnReader::configurationDescriptor() const {
    bool upgrade;
    Binding as;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        upgrade = mode_.upgrade;
        as = mode_.as;
    }
    std::vector<uint8_t> c = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, 1, 0, 0x80, 100};
    auto add = [&](const std::vector<uint8_t>& part) { c.insert(c.end(), part.begin(), part.end()); };
    if (upgrade && as == Binding::UsbStor) {
        // The boot loader's mass-storage face: its pipes stall, its DFU interface works.
        c[4] = 2;
        add(interfaceDescriptor(0, 2, 0x08, 0x06, 0x50));
        add(bulkEndpoints());
        add(interfaceDescriptor(1, 0, tarn::kClassApplication, tarn::kSubclassDfu, 0x02));
        add({9, 0x21, 0x0B, 0xFF, 0x00, 0x00, 0x04, 0x10, 0x01});  // DFU functional descriptor
    } else if (upgrade) {
        add(interfaceDescriptor(0, 0, tarn::kClassApplication, tarn::kSubclassDfu, 0x02));
        add({9, 0x21, 0x0B, 0xFF, 0x00, 0x00, 0x04, 0x10, 0x01});  // DFU functional descriptor
    } else if (as == Binding::UsbStor) {
        add(interfaceDescriptor(0, 2, 0x08, 0x06, 0x50));
        add(bulkEndpoints());
    } else if (as == Binding::Composite) {
        c[4] = 2;
        add(interfaceDescriptor(0, 2, 0x08, 0x06, 0x50));
        add(bulkEndpoints());
        add(interfaceDescriptor(1, 0, tarn::kClassVendor, 0, 0));
    } else if (as == Binding::PlexMonitor) {
        add(interfaceDescriptor(0, 0, tarn::kClassVendor, 0, 0));
    } else {
        c[4] = 2;
        add(interfaceDescriptor(0, 0, tarn::kClassVendor, 0, 0));
        add(interfaceDescriptor(1, 2, 0x08, 0x06, 0x50));
        add(bulkEndpoints());
    }
    putLe16(c, 2, static_cast<uint16_t>(c.size()));
    return c;
}

std::optional<std::u16string> TarnReader::stringDescriptor(uint8_t index) const {
    if (upgradeMode() || index == 0) return std::nullopt;
    const std::vector<uint8_t> f = flash();
    const auto d = tarnStringDescriptor(f.data(), f.size(), index);
    if (!d || d->size() < 2) return std::nullopt;
    std::u16string text;
    for (size_t i = 2; i + 1 < d->size(); i += 2) text += static_cast<char16_t>((*d)[i] | (*d)[i + 1] << 8);
    return text;
}

UsbOutcome TarnReader::control(const UsbSetup& s, uint8_t* data) {
    const uint8_t type = s.requestType & 0x60;
    if (type == 0x00) return UsbOutcome::done(0);  // SET_CONFIGURATION and the like
    if (type == 0x40) return vendor(s, data);
    if (s.request == usbms::kReset || s.request == usbms::kGetMaxLun) {
        if (upgradeMode() || isPlexMonitor()) return UsbOutcome::stalled();
        if (auto o = bridge_.control(s, data)) return *o;
        return UsbOutcome::stalled();
    }
    return dfu(s, data);
}

std::optional<uint32_t> TarnReader::imageOffset(const UsbSetup& s) const {
    const bool block = (s.requestType == tarn::kDfuOut && s.request == tarn::kDfuDownload) ||
                       (s.requestType == tarn::kDfuIn && s.request == tarn::kDfuUpload);
    if (!block) return std::nullopt;
    return uint32_t{s.value} * tarn::kDfuBlockSize;
}

UsbOutcome TarnReader::vendor(const UsbSetup& s, uint8_t* data) {
    const bool upgrade = upgradeMode();
    auto reply = [&](std::initializer_list<uint8_t> bytes) {
        if (!s.in() || s.length < bytes.size() || !data) return UsbOutcome::stalled();
        std::copy(bytes.begin(), bytes.end(), data);
        return UsbOutcome::done(static_cast<uint32_t>(bytes.size()));
    };
    switch (s.request) {
    case tarn::kReqUpgradeType: return reply({dfuType_});
    case tarn::kReqDeviceType:
    case tarn::kReqFirmwareVersion: {
        if (upgrade) return UsbOutcome::stalled();
        const std::vector<uint8_t> f = flash();
        const TarnImageInfo info = inspectTarnImage(f.data(), f.size());
        if (s.request == tarn::kReqDeviceType) return reply({info.productType, 0});
        return reply({info.minor, info.major});
    }
    case tarn::kReqPrepareQuery: return s.in() ? UsbOutcome::stalled() : UsbOutcome::done(0);
    case tarn::kReqPlexProbe:
        return isPlexMonitor() && !upgrade && !s.in() ? UsbOutcome::done(0) : UsbOutcome::stalled();
    case tarn::kReqPlexHighestSlot:
        if (!isPlexMonitor() || upgrade) return UsbOutcome::stalled();
        return reply({static_cast<uint8_t>(std::max(slots_, 1) - 1)});
    default: return UsbOutcome::stalled();
    }
}

// The DFU class requests: detach in functional mode; in upgrade mode the boot loader's upload,
// download and status.
UsbOutcome TarnReader::dfu(const UsbSetup& s, uint8_t* data) {
    const bool upgrade = upgradeMode();
    if (s.requestType == tarn::kDfuOut && s.request == tarn::kDfuDetach) {
        leave(LeaveKind::Detach);
        return UsbOutcome::done(0);
    }
    if (!upgrade) return UsbOutcome::stalled();
    std::lock_guard<std::mutex> lock(mutex_);
    if (s.requestType == tarn::kDfuOut && s.request == tarn::kDfuDownload) {
        if (s.length == 0) {
            dfuState_ = 2;  // the download is complete: manifestation is over at once
            erased_ = false;
            return UsbOutcome::done(0);
        }
        const uint64_t offset = uint64_t{s.value} * tarn::kDfuBlockSize;
        const MemoryFile* m = memory("flash");
        if (!m || !data || s.length > tarn::kDfuBlockSize || offset + s.length > capacity_) {
            dfuState_ = 10;  // dfuERROR
            return UsbOutcome::stalled();
        }
        if (!erased_) {
            // A download starts with a mass erase, so that a download that stops half-way
            // leaves no trailer behind and the reader stays in upgrade mode.
            const std::vector<uint8_t> blank(kFlashMemory, 0xFF);
            m->write(0, blank.data(), kFlashMemory);
            erased_ = true;
        }
        m->write(static_cast<uint32_t>(offset), data, s.length);
        dfuState_ = 5;  // dfuDNLOAD-IDLE
        return UsbOutcome::done(s.length);
    }
    if (s.requestType == tarn::kDfuIn && s.request == tarn::kDfuUpload) {
        const uint64_t offset = uint64_t{s.value} * tarn::kDfuBlockSize;
        if (!data || s.length > tarn::kDfuBlockSize || offset > capacity_) return UsbOutcome::stalled();
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(s.length, capacity_ - offset));
        std::vector<uint8_t> f(capacity_, 0xFF);
        if (const MemoryFile* m = memory("flash")) m->read(0, f.data(), capacity_);
        std::memcpy(data, f.data() + offset, n);
        return UsbOutcome::done(n);
    }
    if (s.requestType == tarn::kDfuIn && s.request == tarn::kDfuGetStatus) {
        if (s.length < 6 || !data) return UsbOutcome::stalled();
        const uint8_t status = dfuState_ == 10 ? 0x08 /*errADDRESS*/ : 0x00;
        const uint8_t reply[6] = {status, 5, 0, 0, dfuState_, 0};
        std::memcpy(data, reply, 6);
        return UsbOutcome::done(6);
    }
    if (s.requestType == tarn::kDfuIn && s.request == tarn::kDfuGetState) {
        if (s.length < 1 || !data) return UsbOutcome::stalled();
        data[0] = dfuState_;
        return UsbOutcome::done(1);
    }
    if (s.requestType == tarn::kDfuOut && (s.request == tarn::kDfuClearStatus || s.request == tarn::kDfuAbort)) {
        dfuState_ = 2;
        erased_ = false;
        return UsbOutcome::done(0);
    }
    return UsbOutcome::stalled();
}

UsbOutcome TarnReader::bulkOut(uint8_t, const uint8_t* data, uint32_t length) {
    if (upgradeMode() || isPlexMonitor()) return UsbOutcome::stalled();
    freshBridge();
    return bridge_.bulkOut(data, length);
}

UsbOutcome TarnReader::bulkIn(uint8_t, uint8_t* data, uint32_t length) {
    if (upgradeMode() || isPlexMonitor()) return UsbOutcome::stalled();
    freshBridge();
    return bridge_.bulkIn(data, length);
}

void TarnReader::resetBridge() {
    uint8_t none = 0;
    bridge_.control(UsbSetup{usbms::kResetRequestType, usbms::kReset, 0, 0, 0}, &none);
}

void TarnReader::freshBridge() {
    // Whatever command was under way when the device left is lost with it. Checked here rather
    // than as it leaves: it may leave from inside a command the bridge is running.
    const uint64_t now = arrival();
    if (bridgeArrival_.exchange(now) != now) resetBridge();
}

void TarnReader::busReset() {
    resetBridge();
    std::lock_guard<std::mutex> lock(mutex_);
    dfuState_ = 2;
    erased_ = false;
}

// ---- leaving and coming back ------------------------------------------------------------------------

void TarnReader::leaving(LeaveKind why, const std::optional<Fault>& fault) {
    Mode next;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        next = mode_;
    }
    if (why == LeaveKind::Detach) {
        // A detach takes a running reader to its boot loader and the boot loader back to the
        // firmware, if the flash holds a complete image.
        // (In upgrade mode `as` says whether the generic mass-storage driver took it: not so.)
        next = mode_.upgrade ? bootMode() : Mode{true, Binding::Own, std::nullopt};
    } else if (why == LeaveKind::Power) {
        // Set by poweredOn(): where a reader held away by its port was going, else a fresh boot.
        std::lock_guard<std::mutex> lock(mutex_);
        next = heading_ ? *heading_ : bootMode();
    }
    next.ids.reset();
    // Its boot loader shows a mass-storage interface first, and the PC binds the generic
    // mass-storage driver to it instead of the DFU driver.
    if (fault && fault->action == Fault::Action::UsbStor) next = Mode{true, Binding::UsbStor, std::nullopt};
    if (fault && fault->action == Fault::Action::Ids) next.ids = std::make_pair(fault->vendorId, fault->productId);
    std::lock_guard<std::mutex> lock(mutex_);
    heading_ = next;
    dfuState_ = 2;
    erased_ = false;
}

void TarnReader::poweredOn() {
    // A reader that was held away by its port goes on where it was going; any other boots.
    std::lock_guard<std::mutex> lock(mutex_);
    if (!heading_) heading_ = bootMode();
}

void TarnReader::booted() {
    std::lock_guard<std::mutex> lock(mutex_);
    mode_ = bootMode();
    heading_.reset();
    dfuState_ = 2;
    erased_ = false;
}

void TarnReader::returning(LeaveKind, const std::optional<Fault>&) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (heading_) mode_ = *heading_;
    heading_.reset();
}

// ---- the mass-storage side --------------------------------------------------------------------------

ScsiOutcome TarnReader::handle(const ScsiCommand& c) {
    if (c.cdb[0] == readercmd::kOpDiagnostic && c.cdbLength >= 10 && c.cdb[2] == readercmd::kDiagFeatures &&
        std::memcmp(c.cdb + 3, readercmd::kDiagKey, 4) == 0) {
        const std::vector<uint8_t> f = flash();
        const TarnImageInfo info = inspectTarnImage(f.data(), f.size());
        uint8_t reply[readercmd::kFeaturesReplyLength] = {};
        reply[readercmd::kFeaturesFeature] = info.feature;
        return dataIn(c, reply, sizeof reply);
    }
    if (quoll_)
        if (auto o = quollCommand(memory("external"), c)) return *o;
    return ScsiDevice::handle(c);
}

void TarnReader::interrupted(const ScsiCommand& c) {
    if (quoll_) quollInterrupted(memory("external"), c);
}

// ---- the kinds ------------------------------------------------------------------------------------

namespace {

uint16_t hexOption(const json& request, const char* key, uint16_t fallback) {
    if (!request.contains(key)) return fallback;
    const std::string s = option::text(request.at(key), key);
    char* end = nullptr;
    const unsigned long v = std::strtoul(s.c_str(), &end, 16);
    if (s.empty() || s.size() > 4 || *end) throw std::runtime_error(std::string("option ") + key + " takes 4 hex digits, not '" + s + "'");
    return static_cast<uint16_t>(v);
}

uint32_t serialFromId(const std::string& id) {
    uint32_t h = 2166136261u;
    for (char c : id) h = (h ^ static_cast<uint8_t>(c)) * 16777619u;
    return h | 0x10000000u;
}

}  // namespace

TarnImageParams prepareTarnCommon(const json& request, PreparedDevice& out, const char* inquiry, uint16_t defaultProduct,
                                  int lowestType, int highestType, int defaultType) {
    json& e = out.entry;
    const int dfuType = static_cast<int>(option::integer(request, "dfu-type", lowestType, highestType, defaultType));
    e["dfu-type"] = dfuType;
    const std::string mode = request.contains("mode") ? option::text(request.at("mode"), "mode") : "functional";
    if (mode != "functional" && mode != "upgrade") throw std::runtime_error("option mode must be functional or upgrade");
    e["mode"] = mode;
    e["inquiry"] = option::inquiry(request, inquiry);
    TarnImageParams p;
    p.dfuType = static_cast<uint8_t>(dfuType);
    option::version(request, &p.major, &p.minor);
    p.productType = static_cast<uint8_t>(option::integer(request, "product-type", 0, 255, p.productType));
    p.feature = static_cast<uint8_t>(option::integer(request, "feature", 0, 255, p.feature));
    p.idVendor = hexOption(request, "vid", p.idVendor);
    p.idProduct = hexOption(request, "pid", defaultProduct);
    p.seed = e["id"].get<std::string>();
    if (request.contains("serial-string")) {
        p.serial = TarnSerial::String;
        p.serialText = option::text(request.at("serial-string"), "serial-string");
        if (p.serialText.empty() || p.serialText.size() > 126 ||
            !std::all_of(p.serialText.begin(), p.serialText.end(), [](char c) { return c > 0x20 && c < 0x7F; }))
            throw std::runtime_error("option serial-string must be 1 to 126 printable characters without blanks");
    } else if (request.contains("serial")) {
        const std::string s = option::text(request.at("serial"), "serial");
        if (s == "none") {
            p.serial = TarnSerial::None;
        } else {
            char* end = nullptr;
            const unsigned long v = std::strtoul(s.c_str(), &end, 16);
            if (s.empty() || s.size() > 8 || *end) throw std::runtime_error("option serial takes up to 8 hex digits or none, not '" + s + "'");
            p.serial = TarnSerial::Number;
            p.serialNumber = static_cast<uint32_t>(v);
        }
    } else {
        p.serial = TarnSerial::Number;
        p.serialNumber = serialFromId(p.seed);
    }
    if (!out.memories.count("flash")) {
        const std::vector<uint8_t> image = makeTarnImage(p);
        std::vector<uint8_t> memory(kFlashMemory, 0xFF);
        std::copy(image.begin(), image.end(), memory.begin() + tarnArea(p.dfuType).base);
        out.memories["flash"] = memory;
    }
    return p;
}

std::vector<std::pair<std::string, std::string>> tarnCommonOptions() {
    return {{"dfu-type", "the controller's upgrade-protocol type (0-6)"},
            {"mode", "functional (its firmware runs) or upgrade (its boot loader waits for an image)"},
            {"version", "firmware version MM.mm of the factory image"},
            {"product-type", "product type of the factory image (0-255)"},
            {"feature", "feature byte of the factory image (0-255)"},
            {"vid", "USB vendor ID of the factory image (hex)"},
            {"pid", "USB product ID of the factory image (hex)"},
            {"serial", "serial number of the factory image (hex), or none"},
            {"serial-string", "a serial string instead of a number"},
            {"inquiry", "vendor (8) + product (16) + revision (4) characters of its storage unit"}};
}

namespace {

DeviceKind tarnKind(const char* name, const char* summary) {
    DeviceKind k;
    k.name = name;
    k.bus = DeviceKind::Bus::Usb;
    k.summary = summary;
    k.options = tarnCommonOptions();
    k.memories = {{"flash", kFlashMemory}};
    k.make = [](Hardware& hw, const json& entry, const fs::path& folder) {
        return std::make_shared<TarnReader>(hw, entry, folder);
    };
    return k;
}

}  // namespace

void registerTarnDeviceKinds() {
    DeviceKind reader = tarnKind("tarn-reader", "a Tarn card reader on USB, in functional or upgrade mode");
    reader.options.insert(reader.options.begin() + 1,
                          {"driver", "what drives it in functional mode: own (its own driver), usbstor (the generic "
                                     "mass-storage driver) or composite (behind the composite-device driver)"});
    reader.prepare = [](const json& request, PreparedDevice& out) {
        const std::string driver = request.contains("driver") ? option::text(request.at("driver"), "driver") : "own";
        if (driver != "own" && driver != "usbstor" && driver != "composite")
            throw std::runtime_error("option driver must be own, usbstor or composite");
        out.entry["driver"] = driver;
        prepareTarnCommon(request, out, "Tarn    Card Reader     1.00", 0x2000);
    };
    registerDeviceKind(reader);

    DeviceKind monitor = tarnKind("plex-monitor", "a Plex monitor: a Tarn reader with slots for Plex modules");
    monitor.options.push_back({"slots", "number of module slots (1-12, default 4)"});
    monitor.firstDrive = 0;
    monitor.prepare = [](const json& request, PreparedDevice& out) {
        out.entry["slots"] = option::integer(request, "slots", 1, 12, 4);
        prepareTarnCommon(request, out, "Tarn    Plex Monitor    1.00", 0x2100);
    };
    registerDeviceKind(monitor);

    DeviceKind module = tarnKind("plex-module", "a Plex module: a Tarn reader in a slot of a Plex monitor");
    module.addressNames = {"monitor", "slot"};
    module.prepare = [](const json& request, PreparedDevice& out) {
        prepareTarnCommon(request, out, "Tarn    Plex Module     1.00", 0x2200);
    };
    registerDeviceKind(module);

    DeviceKind quoll = tarnKind("quoll-reader",
                                "the Tarn reader of product type 16 on its own driver; its storage unit is its Quoll "
                                "unit (inquiry \"Tarn    SD-MS-SM\"), holding its 64 KB external firmware");
    quoll.memories.push_back({"external", readercmd::kQuollFirmwareSize});
    quoll.prepare = [](const json& request, PreparedDevice& out) {
        json r = request;
        if (!r.contains("product-type")) r["product-type"] = kQuollProductType;
        out.entry["driver"] = "own";
        prepareTarnCommon(r, out, "Tarn    SD-MS-SM Unit   1.00", 0x2300);
        if (!out.memories.count("external")) out.memories["external"] = makeExternalImage(1, 0, out.entry["id"].get<std::string>());
    };
    registerDeviceKind(quoll);
    registerKv7DeviceKind();
}

}  // namespace lab
