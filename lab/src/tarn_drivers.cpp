// The outside drivers of the Tarn readers, as simulated: the reader's own driver ("TARNRDR"),
// the Plex monitor's driver ("PLEXMON"), the Tarn DFU driver ("TARNDFU"), the generic USB
// mass-storage driver ("USBSTOR") and the composite-device driver ("TESSORA"). Each accepts
// exactly the buffers its control codes define and refuses anything else with the status a
// driver gives, so that a client cannot lean on leniency.
#include <algorithm>
#include <cstring>
#include <mutex>

#include <protocol/tarn_usb.h>
#include <protocol/usb_mass_storage.h>
#include <winsim/devguid.h>
#include <winsim/setupapi.h>
#include <winsim/ntddscsi.h>
#include <winsim/winioctl.h>

#include "lab/lab.h"
#include "lab_driver_objects.h"
#include "pc_drivers.h"
#include "tarn_reader.h"
#include "usb_drivers.h"

using nlohmann::json;

namespace lab {
using detail::labDriverOf;

namespace {

// A function driver of a USB device: its URBs, and for a mass-storage function the disk it
// reports once its device has settled.
class UsbFunctionDriver : public Driver, public BulkOnlyStorage, public std::enable_shared_from_this<UsbFunctionDriver> {
public:
    NTSTATUS start(DriverContext& ctx) override {
        client_ = std::make_unique<UsbClient>(ctx.lower);
        USBD_STATUS usbd = 0;
        if (!NT_SUCCESS(client_->configure(&usbd))) return STATUS_IO_DEVICE_ERROR;
        physicalId_ = ctx.hw.physicalIdOf(ctx.node);
        storageAnswers_ = !hasStorage(ctx) || storageUnitAnswers();
        if (auto pdo = std::dynamic_pointer_cast<UsbDevicePdo>(labDriverOf(ctx.lower))) mountDelayMs_ = pdo->mountDelayMs();
        startedNs_ = ctx.hw.lab().clock().labElapsedNs();
        if (mountDelayMs_ && hasStorage(ctx)) {
            Hardware& hw = ctx.hw;
            hw.schedule(mountDelayMs_, [&hw] { hw.reenumerate(hw.root()); });
        }
        return STATUS_SUCCESS;
    }

    ScsiOutcome bulkOnly(const ScsiCommand& command) override {
        std::lock_guard<std::mutex> lock(commandMutex_);
        if (!client_) {
            ScsiOutcome gone;
            gone.kind = ScsiOutcome::Kind::NoDevice;
            return gone;
        }
        return bulkOnlyCommand(*client_, command, tag_ += 2);
    }

protected:
    // Whether this function reports a disk.
    virtual bool hasStorage(DriverContext&) const { return false; }
    virtual const char* enumerator() const { return "USBSTOR"; }

    std::vector<ChildDescription> storageChild(DriverContext& ctx) {
        if (!hasStorage(ctx) || !storageAnswers_) return {};
        const int64_t settled = startedNs_ + static_cast<int64_t>(mountDelayMs_) * 1000000;
        if (ctx.hw.lab().clock().labElapsedNs() < settled) return {};
        auto device = ctx.hw.physical(physicalId_);
        if (!device || !device->scsi()) return {};
        return {bulkOnlyDiskChild(ctx.hw, enumerator(), ctx.node, *device, shared_from_this())};
    }

    std::shared_ptr<TarnReader> reader(DriverContext& ctx) const {
        return std::dynamic_pointer_cast<TarnReader>(ctx.hw.physical(physicalId_));
    }

    std::unique_ptr<UsbClient> client_;
    std::string physicalId_;

private:
    // Get Max LUN before the disk is reported, as the mass-storage class driver asks it. A stall
    // is an answer (a device with one LUN may stall it); a request that gets no answer at all
    // leaves the function without its disk.
    bool storageUnitAnswers() {
        uint8_t maxLun = 0;
        uint32_t n = 0;
        USBD_STATUS usbd = 0;
        const NTSTATUS nt =
            client_->vendorOrClass(URB_FUNCTION_CLASS_INTERFACE, true, usbms::kGetMaxLun, 0, 0, &maxLun, 1, &n, &usbd);
        return NT_SUCCESS(nt) || usbd == USBD_STATUS_STALL_PID;
    }

    bool storageAnswers_ = true;
    uint64_t mountDelayMs_ = 0;
    int64_t startedNs_ = 0;
    std::mutex commandMutex_;
    uint32_t tag_ = 0x44332211;
};

// IOCTL_TARN_GET_DESCRIPTOR: a 16-bit index and a 16-bit type in, the descriptor out of the
// same buffer.
NTSTATUS getDescriptor(UsbClient& client, IoRequest& r) {
    if (!r.input || r.inputLength < tarn::kDescriptorRequestHeader) return STATUS_INVALID_PARAMETER;
    const uint16_t index = static_cast<uint16_t>(r.input[0] | r.input[1] << 8);
    const uint16_t type = static_cast<uint16_t>(r.input[2] | r.input[3] << 8);
    if ((type != tarn::kDescriptorDevice && type != tarn::kDescriptorString) || index > 0xFF) return STATUS_INVALID_PARAMETER;
    if (r.outputLength < 2) return STATUS_BUFFER_TOO_SMALL;
    const uint32_t want = std::min<uint32_t>(r.outputLength, 255);
    std::vector<uint8_t> buffer(want);
    uint32_t n = 0;
    USBD_STATUS usbd = 0;
    const NTSTATUS nt = client.descriptor(static_cast<uint8_t>(type), static_cast<uint8_t>(index),
                                          type == tarn::kDescriptorString ? 0x0409 : 0, buffer.data(), want, &n, &usbd);
    if (!NT_SUCCESS(nt)) return nt;
    std::memcpy(r.output, buffer.data(), n);
    r.information = n;
    return STATUS_SUCCESS;
}

NTSTATUS detach(UsbClient& client) {
    USBD_STATUS usbd = 0;
    return client.vendorOrClass(URB_FUNCTION_CLASS_INTERFACE, false, tarn::kDfuDetach, 1000, 0, nullptr, 0, nullptr, &usbd);
}

// The reader's own driver: its functional interface, descriptors, the URB pass-through, the
// detach into upgrade mode, and its storage unit.
class ReaderDriver : public UsbFunctionDriver {
public:
    bool isBus() const override { return true; }
    NTSTATUS start(DriverContext& ctx) override {
        const NTSTATUS s = UsbFunctionDriver::start(ctx);
        if (!NT_SUCCESS(s)) return s;
        ctx.hw.setInterface(ctx.node, tarn::kFunctionalInterface, true);
        return STATUS_SUCCESS;
    }
    std::vector<ChildDescription> enumerate(DriverContext& ctx) override { return storageChild(ctx); }
    std::optional<NTSTATUS> control(DriverContext&, IoRequest& r) override {
        switch (r.code) {
        case tarn::kIoctlGetDescriptor: return getDescriptor(*client_, r);
        case tarn::kIoctlUrbPassThrough: return envelopePassThrough(*client_, r);
        case tarn::kIoctlDfuDetach: return detach(*client_);
        default: return STATUS_INVALID_DEVICE_REQUEST;
        }
    }

protected:
    bool hasStorage(DriverContext& ctx) const override {
        auto r = reader(ctx);
        return r && r->reportsOwnStorage();
    }
    const char* enumerator() const override { return "TARNRDR"; }
};

// The disk of a module, reported by its monitor: the monitor carries the module's storage.
class ModuleDiskPdo : public Driver, public ScsiPort {
public:
    ModuleDiskPdo(Hardware& hw, std::string module) : hw_(hw), module_(std::move(module)) {}
    ScsiOutcome scsi(const ScsiCommand& command) override {
        auto d = hw_.physical(module_);
        if (!d || !d->scsi() || !d->plugged()) {
            ScsiOutcome gone;
            gone.kind = ScsiOutcome::Kind::NoDevice;
            return gone;
        }
        return d->scsi()->execute(command);
    }
    std::optional<NTSTATUS> control(DriverContext&, IoRequest& r) override {
        if (r.code != IOCTL_SCSI_PASS_THROUGH_DIRECT) return std::nullopt;
        return scsiPassThroughDirect(*this, r, 0);
    }

private:
    Hardware& hw_;
    std::string module_;
};

// The Plex monitor's driver: a reader driver whose device also carries the modules in its
// slots: it reports their disks and their USB devices, and answers the slot requests.
class PlexMonitorDriver : public ReaderDriver {
public:
    std::vector<ChildDescription> enumerate(DriverContext& ctx) override {
        std::vector<ChildDescription> disks, modules;
        std::vector<std::shared_ptr<PhysicalDevice>> keep;
        const std::string parent = ctx.hw.instanceIdOf(ctx.node);
        for (auto& [slot, port] : devicesOnHub(ctx.hw, physicalId_, &keep)) {
            if (port->state() != PortState::Connected) continue;
            auto module = std::dynamic_pointer_cast<TarnReader>(ctx.hw.physical(port->core().id()));
            if (!module) continue;
            if (!module->upgradeMode() && module->scsi()) {
                ChildDescription disk = bulkOnlyDiskChild(ctx.hw, "TARNRDR", ctx.node, *module, nullptr);
                disk.instanceId += "&" + std::to_string(slot);
                disk.pdo = std::make_shared<ModuleDiskPdo>(ctx.hw, module->id());
                disks.push_back(std::move(disk));
            }
            modules.push_back(usbDeviceChild(ctx.hw, parent, *module, *port, 0));
        }
        for (ChildDescription& m : modules) disks.push_back(std::move(m));
        return disks;
    }

    std::optional<NTSTATUS> control(DriverContext& ctx, IoRequest& r) override {
        switch (r.code) {
        case tarn::kIoctlPlexModuleAddRemove: {
            if (!r.input || r.inputLength < 1) return STATUS_INVALID_PARAMETER;
            if (!moduleIn(ctx, r.input[0])) return STATUS_INVALID_PARAMETER;
            std::lock_guard<std::mutex> lock(mutex_);
            informed_.push_back(r.input[0]);
            return STATUS_SUCCESS;
        }
        case tarn::kIoctlPlexSlotPath: {
            if (!r.input || r.inputLength < 1) return STATUS_INVALID_PARAMETER;
            const uint8_t slot = r.input[0];
            auto module = moduleIn(ctx, slot);
            if (!module) return STATUS_NO_SUCH_DEVICE;
            // The module's functional interface, as the monitor's firmware names it.
            std::string path;
            for (const NodeInfo& n : ctx.hw.nodes())
                if (n.present && ctx.hw.physicalIdOf(n.devInst) == module->id())
                    for (const InterfaceInfo& i : ctx.hw.interfaces(n.devInst))
                        if (i.active && IsEqualGUID(i.interfaceClass, tarn::kFunctionalInterface)) path = i.symbolicLink;
            if (path.empty()) return STATUS_NO_SUCH_DEVICE;
            path = "\\??\\" + path.substr(4);
            const size_t bytes = (path.size() + 1) * 2;
            if (bytes > tarn::kSlotPathMax || r.outputLength < bytes) return STATUS_BUFFER_TOO_SMALL;
            for (size_t i = 0; i <= path.size(); ++i) {
                const char c = i < path.size() ? path[i] : 0;
                r.output[2 * i] = static_cast<uint8_t>(c);
                r.output[2 * i + 1] = 0;
            }
            r.information = bytes;
            return STATUS_SUCCESS;
        }
        case tarn::kIoctlPlexSlotDrive: {
            if (!r.input || r.inputLength < tarn::kSlotDriveLength ||
                std::memcmp(r.input, tarn::kSlotDriveRequest, 4) != 0)
                return STATUS_INVALID_PARAMETER;
            if (r.outputLength < tarn::kSlotDriveLength) return STATUS_BUFFER_TOO_SMALL;
            const uint8_t slot = r.input[4];
            auto module = moduleIn(ctx, slot);
            if (!module || !module->driveLetter()) return STATUS_NO_SUCH_DEVICE;
            std::memcpy(r.output, tarn::kSlotDriveReply, 4);
            r.output[4] = slot;
            r.output[tarn::kSlotDriveLetter] = static_cast<uint8_t>(module->driveLetter());
            r.information = tarn::kSlotDriveLength;
            return STATUS_SUCCESS;
        }
        default: return ReaderDriver::control(ctx, r);
        }
    }

    void describe(json& j) const override {
        std::lock_guard<std::mutex> lock(mutex_);
        j["informedSlots"] = informed_;
    }

private:
    std::shared_ptr<TarnReader> moduleIn(DriverContext& ctx, uint8_t slot) {
        std::vector<std::shared_ptr<PhysicalDevice>> keep;
        for (auto& [s, port] : devicesOnHub(ctx.hw, physicalId_, &keep))
            if (s == slot) return std::dynamic_pointer_cast<TarnReader>(ctx.hw.physical(port->core().id()));
        return nullptr;
    }
    mutable std::mutex mutex_;
    std::vector<int> informed_;
};

// The Tarn DFU driver: whole images up and down in DFU blocks, the detach back to functional
// mode, and the URB pass-through for what else a client asks of the boot loader.
class DfuDriver : public UsbFunctionDriver {
public:
    NTSTATUS start(DriverContext& ctx) override {
        const NTSTATUS s = UsbFunctionDriver::start(ctx);
        if (!NT_SUCCESS(s)) return s;
        ctx.hw.setInterface(ctx.node, tarn::kUpgradeInterface, true);
        return STATUS_SUCCESS;
    }
    std::optional<NTSTATUS> control(DriverContext&, IoRequest& r) override {
        switch (r.code) {
        case tarn::kIoctlDfuUploadAll: return upload(r);
        case tarn::kIoctlDfuDownloadAll: return download(r);
        case tarn::kIoctlDfuDetach: return detach(*client_);
        case tarn::kIoctlUrbPassThrough: return envelopePassThrough(*client_, r);
        default: return STATUS_INVALID_DEVICE_REQUEST;
        }
    }

private:
    NTSTATUS upload(IoRequest& r) {
        const uint32_t length = r.outputLength;
        if (length == 0 || length > tarn::kUploadFull || length % 512 != 0) return STATUS_INVALID_PARAMETER;
        std::vector<uint8_t> image(length);
        uint32_t at = 0;
        USBD_STATUS usbd = 0;
        for (uint16_t block = 0; at < length; ++block) {
            const uint32_t chunk = std::min<uint32_t>(tarn::kDfuBlockSize, length - at);
            uint32_t n = 0;
            const NTSTATUS nt = client_->vendorOrClass(URB_FUNCTION_CLASS_INTERFACE, true, tarn::kDfuUpload, block, 0,
                                                       image.data() + at, chunk, &n, &usbd);
            if (!NT_SUCCESS(nt)) return nt;
            at += n;
            if (n < chunk) break;  // the end of the device's memory
        }
        // The device holds less than was asked for: the caller asked for the wrong size.
        if (at < length) return STATUS_INVALID_BUFFER_SIZE;
        std::memcpy(r.output, image.data(), length);
        r.information = length;
        return STATUS_SUCCESS;
    }

    NTSTATUS download(IoRequest& r) {
        const uint32_t length = r.inputLength;
        if (!r.input || length == 0 || length > tarn::kUploadFull) return STATUS_INVALID_PARAMETER;
        const std::vector<uint8_t> image(r.input, r.input + length);
        USBD_STATUS usbd = 0;
        uint8_t status[6];
        auto settle = [&]() -> NTSTATUS {
            uint32_t n = 0;
            const NTSTATUS nt = client_->vendorOrClass(URB_FUNCTION_CLASS_INTERFACE, true, tarn::kDfuGetStatus, 0, 0,
                                                       status, sizeof status, &n, &usbd);
            if (!NT_SUCCESS(nt)) return nt;
            return n == sizeof status && status[0] == 0 ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR;
        };
        uint16_t block = 0;
        for (uint32_t at = 0; at < length; at += tarn::kDfuBlockSize, ++block) {
            const uint32_t chunk = std::min<uint32_t>(tarn::kDfuBlockSize, length - at);
            std::vector<uint8_t> data(image.begin() + at, image.begin() + at + chunk);
            NTSTATUS nt = client_->vendorOrClass(URB_FUNCTION_CLASS_INTERFACE, false, tarn::kDfuDownload, block, 0,
                                                 data.data(), chunk, nullptr, &usbd);
            if (NT_SUCCESS(nt)) nt = settle();
            if (!NT_SUCCESS(nt)) {
                client_->vendorOrClass(URB_FUNCTION_CLASS_INTERFACE, false, tarn::kDfuClearStatus, 0, 0, nullptr, 0,
                                       nullptr, &usbd);
                return nt;
            }
        }
        NTSTATUS nt = client_->vendorOrClass(URB_FUNCTION_CLASS_INTERFACE, false, tarn::kDfuDownload, block, 0, nullptr,
                                             0, nullptr, &usbd);
        if (NT_SUCCESS(nt)) nt = settle();
        return nt;
    }
};

// The generic USB mass-storage driver: a disk over bulk-only, nothing else.
class UsbStorDriver : public UsbFunctionDriver {
public:
    bool isBus() const override { return true; }
    std::vector<ChildDescription> enumerate(DriverContext& ctx) override { return storageChild(ctx); }
    std::optional<NTSTATUS> control(DriverContext&, IoRequest&) override { return STATUS_INVALID_DEVICE_REQUEST; }

protected:
    bool hasStorage(DriverContext&) const override { return true; }
};

// The composite-device driver: one child per interface; the mass-storage one is driven by
// the generic mass-storage driver, the vendor one by nobody.
class CompositeDriver : public Driver {
public:
    bool isBus() const override { return true; }
    std::vector<ChildDescription> enumerate(DriverContext& ctx) override {
        const std::string device = ctx.hw.instanceIdOf(ctx.node);
        const size_t slash = device.rfind('\\');
        const std::string ids = device.substr(0, slash);
        const std::string physical = ctx.hw.physicalIdOf(ctx.node);
        std::vector<ChildDescription> out;
        for (int mi = 0; mi < 2; ++mi) {
            ChildDescription c;
            char suffix[8];
            std::snprintf(suffix, sizeof suffix, "&MI_%02d", mi);
            c.instanceId = ids + suffix + "\\6&" + std::to_string(ctx.node) + "&0&000" + std::to_string(mi);
            c.physicalId = physical;
            c.properties[SPDRP_HARDWAREID] = PropertyValue::multiText({ids + suffix});
            c.properties[SPDRP_COMPATIBLEIDS] = PropertyValue::multiText(
                {mi == 0 ? "USB\\Class_08&SubClass_06&Prot_50" : "USB\\Class_ff&SubClass_00&Prot_00"});
            if (mi == 0) c.properties[SPDRP_SERVICE] = PropertyValue::text("USBSTOR");
            c.properties[SPDRP_DEVICEDESC] = PropertyValue::text(mi == 0 ? "USB Mass Storage Device" : "Tarn Control Interface");
            c.properties[SPDRP_CLASS] = PropertyValue::text("USB");
            c.properties[SPDRP_CLASSGUID] = PropertyValue::text(registryGuid(GUID_DEVCLASS_USB));
            c.properties[SPDRP_ADDRESS] = PropertyValue::dword(static_cast<uint32_t>(mi));
            c.pdo = std::make_shared<InterfacePdo>(ctx.node);
            out.push_back(std::move(c));
        }
        return out;
    }
};

}  // namespace

void registerTarnServices(Hardware& hw) {
    hw.registerService("TARNRDR", [] { return std::make_shared<ReaderDriver>(); });
    hw.registerService("PLEXMON", [] { return std::make_shared<PlexMonitorDriver>(); });
    hw.registerService("TARNDFU", [] { return std::make_shared<DfuDriver>(); });
    hw.registerService("USBSTOR", [] { return std::make_shared<UsbStorDriver>(); });
    hw.registerService("TESSORA", [] { return std::make_shared<CompositeDriver>(); });
}

}  // namespace lab
