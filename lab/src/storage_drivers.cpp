// The storage side of the simulated PC, shaped as Windows XP shows it: the root bus finds the
// SCSI host adapter; the adapter ("labscsi") reports one child per device on its bus; a disk
// ("disk") reports its volume, which carries the drive letter; a CD-ROM ("cdrom") carries its
// letter itself.
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include <winsim/devguid.h>
#include <winsim/ntddscsi.h>
#include <winsim/setupapi.h>
#include <winsim/winbase.h>

#include "pc_drivers.h"
#include "usb_drivers.h"

using nlohmann::json;

namespace lab {

namespace {

constexpr const char* kAdapterId = "ROOT\\SCSIADAPTER\\0000";
constexpr uint32_t kCapRemovable = 0x04, kCapSurpriseRemovalOk = 0x80;

std::string trimmed(const std::string& s) {
    const size_t end = s.find_last_not_of(' ');
    return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}

std::string underscored(std::string s) {
    for (char& c : s)
        if (c == ' ') c = '_';
    return s;
}

class RootBus : public Driver {
public:
    bool isBus() const override { return true; }
    std::vector<ChildDescription> enumerate(DriverContext&) override {
        ChildDescription adapter;
        adapter.instanceId = kAdapterId;
        adapter.properties[SPDRP_DEVICEDESC] = PropertyValue::text("Lab SCSI Host Adapter");
        adapter.properties[SPDRP_HARDWAREID] = PropertyValue::multiText({"root\\labscsi"});
        adapter.properties[SPDRP_SERVICE] = PropertyValue::text("labscsi");
        adapter.properties[SPDRP_CLASS] = PropertyValue::text("SCSIAdapter");
        adapter.properties[SPDRP_CLASSGUID] = PropertyValue::text(registryGuid(GUID_DEVCLASS_SCSIADAPTER));
        adapter.properties[SPDRP_MFG] = PropertyValue::text("Lab");
        adapter.properties[SPDRP_LOCATION_INFORMATION] = PropertyValue::text("PCI bus 0, device 16, function 0");
        adapter.properties[SPDRP_CAPABILITIES] = PropertyValue::dword(0);
        std::vector<ChildDescription> children = {adapter};
        for (ChildDescription& c : usbHostControllers()) children.push_back(std::move(c));
        return children;
    }
};

// The PDO of a device on the SCSI bus: the port driver's side of the class drivers' SCSI
// pass-through, with commands going to the physical device at this PDO's own address.
class ScsiTargetPdo : public Driver, public ScsiPort {
public:
    ScsiTargetPdo(Hardware& hw, std::string physicalId) : hw_(hw), physicalId_(std::move(physicalId)) {}
    ScsiOutcome scsi(const ScsiCommand& command) override {
        auto device = hw_.physical(physicalId_);
        if (!device) {
            ScsiOutcome gone;
            gone.kind = ScsiOutcome::Kind::NoDevice;
            return gone;
        }
        ScsiTarget* target = device->scsi();
        if (!target) {
            ScsiOutcome gone;
            gone.kind = ScsiOutcome::Kind::NoDevice;
            return gone;
        }
        return target->execute(command);
    }
    std::optional<NTSTATUS> control(DriverContext&, IoRequest& r) override {
        if (r.code != IOCTL_SCSI_PASS_THROUGH_DIRECT) return std::nullopt;
        auto device = hw_.physical(physicalId_);
        // The class driver's handle reaches its own unit: the request's address fields mean
        // nothing on it.
        return device && device->scsi() ? scsiPassThroughDirect(*this, r, static_cast<uint8_t>(device->scsi()->lun()))
                                        : scsiPassThroughDirect(*this, r);
    }

private:
    Hardware& hw_;
    std::string physicalId_;
};

class ScsiAdapter : public Driver {
public:
    bool isBus() const override { return true; }
    NTSTATUS start(DriverContext& ctx) override {
        ctx.hw.setInterface(ctx.node, GUID_DEVINTERFACE_STORAGEPORT, true);
        ctx.hw.addSymbolicLink("Scsi0:", ctx.node);
        return STATUS_SUCCESS;
    }
    std::vector<ChildDescription> enumerate(DriverContext& ctx) override {
        std::vector<ChildDescription> children;
        for (const auto& device : ctx.hw.physicalDevices()) {
            ScsiTarget* d = device->scsi();
            if (!d || d->targetId() < 0 || !device->plugged()) continue;
            const bool cdrom = d->peripheralType() == 0x05;
            const std::string& q = d->inquiryText();
            const std::string vendor = q.substr(0, 8), product = q.substr(8, 16), revision = q.substr(24, 4);
            const char* type = cdrom ? "CdRom" : "Disk";
            char unique[40];
            std::snprintf(unique, sizeof unique, "4&2ba9d1a&0&0%X%X", d->targetId(), d->lun());
            ChildDescription c;
            c.instanceId = std::string("SCSI\\") + type + "&Ven_" + underscored(trimmed(vendor)) + "&Prod_" +
                           underscored(trimmed(product)) + "&Rev_" + underscored(trimmed(revision)) + "\\" + unique;
            c.physicalId = device->id();
            const std::string v = underscored(vendor), p = underscored(product), r = underscored(revision);
            c.properties[SPDRP_HARDWAREID] = PropertyValue::multiText(
                {std::string("SCSI\\") + type + v + p + r, std::string("SCSI\\") + type + v + p,
                 std::string("SCSI\\") + type + v, "SCSI\\" + v + p + r.substr(0, 1), v + p + r.substr(0, 1),
                 cdrom ? "GenCdRom" : "GenDisk"});
            c.properties[SPDRP_COMPATIBLEIDS] = PropertyValue::multiText({std::string("SCSI\\") + type, "SCSI\\RAW"});
            c.properties[SPDRP_SERVICE] = PropertyValue::text(cdrom ? "cdrom" : "disk");
            c.properties[SPDRP_CLASS] = PropertyValue::text(cdrom ? "CDROM" : "DiskDrive");
            c.properties[SPDRP_CLASSGUID] =
                PropertyValue::text(registryGuid(cdrom ? GUID_DEVCLASS_CDROM : GUID_DEVCLASS_DISKDRIVE));
            c.properties[SPDRP_DEVICEDESC] = PropertyValue::text(cdrom ? "CD-ROM Drive" : "Disk drive");
            c.properties[SPDRP_MFG] = PropertyValue::text(cdrom ? "(Standard CD-ROM drives)" : "(Standard disk drives)");
            c.properties[SPDRP_FRIENDLYNAME] = PropertyValue::text(trimmed(vendor) + " " + trimmed(product) +
                                                                   (cdrom ? " SCSI CdRom Device" : " SCSI Disk Device"));
            char location[64];
            std::snprintf(location, sizeof location, "Bus Number 0, Target Id %d, LUN %d", d->targetId(), d->lun());
            c.properties[SPDRP_LOCATION_INFORMATION] = PropertyValue::text(location);
            c.properties[SPDRP_ADDRESS] = PropertyValue::dword(static_cast<uint32_t>(d->targetId()));
            c.properties[SPDRP_BUSNUMBER] = PropertyValue::dword(0);
            c.properties[SPDRP_CAPABILITIES] =
                PropertyValue::dword(d->removableMedia() ? kCapRemovable | kCapSurpriseRemovalOk : 0);
            c.pdo = std::make_shared<ScsiTargetPdo>(ctx.hw, device->id());
            children.push_back(std::move(c));
        }
        return children;
    }
};

// What the disk and CD-ROM class drivers share: the SCSI pass-through, media change
// notification and the device number.
class StorageClass : public Driver {
public:
    StorageClass(uint32_t deviceType, const char* pool, const char* linkFormat)
        : deviceType_(deviceType), pool_(pool), linkFormat_(linkFormat) {}

    NTSTATUS start(DriverContext& ctx) override {
        number_ = ctx.hw.deviceNumber(pool_, ctx.hw.instanceIdOf(ctx.node));
        char link[32];
        std::snprintf(link, sizeof link, linkFormat_, number_);
        link_ = link;
        ctx.hw.addSymbolicLink(link_, ctx.node);
        device_ = ctx.hw.physical(ctx.hw.physicalIdOf(ctx.node));
        return STATUS_SUCCESS;
    }
    void stop(DriverContext& ctx) override { ctx.hw.removeSymbolicLink(link_); }

    std::optional<NTSTATUS> control(DriverContext&, IoRequest& r) override {
        switch (r.code) {
        case IOCTL_STORAGE_GET_DEVICE_NUMBER: return deviceNumber(r, partition());
        case IOCTL_SCSI_PASS_THROUGH_DIRECT: return std::nullopt;  // the port driver's business
        case IOCTL_STORAGE_MCN_CONTROL: {
            if (!device_ || !device_->scsi() || !device_->scsi()->removableMedia()) return STATUS_INVALID_DEVICE_REQUEST;
            if (r.inputLength < sizeof(PREVENT_MEDIA_REMOVAL)) return STATUS_INFO_LENGTH_MISMATCH;
            std::lock_guard<std::mutex> lock(mutex_);
            int& held = mcnByFile_[r.file];
            if (r.input[0]) {
                ++held;
            } else if (held > 0) {
                --held;
            }
            return STATUS_SUCCESS;
        }
        default: return STATUS_INVALID_DEVICE_REQUEST;
        }
    }

    // A handle that goes gives back the media change notification disables it held.
    void cleanup(DriverContext&, PFILE_OBJECT file) override {
        std::lock_guard<std::mutex> lock(mutex_);
        mcnByFile_.erase(file);
    }

    void describe(json& j) const override {
        std::lock_guard<std::mutex> lock(mutex_);
        int held = 0;
        for (const auto& [file, n] : mcnByFile_) held += n;
        j["deviceNumber"] = number_;
        j["mediaChangeNotification"] = held == 0;
    }

    uint32_t number() const { return number_; }
    NTSTATUS deviceNumber(IoRequest& r, uint32_t partition) const {
        if (r.outputLength < sizeof(STORAGE_DEVICE_NUMBER)) return STATUS_BUFFER_TOO_SMALL;
        STORAGE_DEVICE_NUMBER n{deviceType_, number_, partition};
        std::memcpy(r.output, &n, sizeof n);
        r.information = sizeof n;
        return STATUS_SUCCESS;
    }

protected:
    virtual uint32_t partition() const { return 0; }
    std::shared_ptr<PhysicalDevice> device_;

private:
    uint32_t deviceType_;
    const char* pool_;
    const char* linkFormat_;
    uint32_t number_ = 0;
    std::string link_;
    mutable std::mutex mutex_;
    std::map<PFILE_OBJECT, int> mcnByFile_;  // disables held per open handle
};

// The volume on a disk: a raw PDO that holds the drive letter and hands everything but its
// own device number to the disk.
class VolumePdo : public Driver {
public:
    VolumePdo(DevInst disk, uint32_t diskNumber, char letter, bool removable)
        : disk_(disk), diskNumber_(diskNumber), letter_(letter), removable_(removable) {}
    NTSTATUS start(DriverContext& ctx) override {
        ctx.hw.setInterface(ctx.node, GUID_DEVINTERFACE_VOLUME, true);
        if (letter_) ctx.hw.mount(letter_, removable_ ? DRIVE_REMOVABLE : DRIVE_FIXED, ctx.node);
        return STATUS_SUCCESS;
    }
    NTSTATUS dispatch(DriverContext& ctx, PIRP irp) override {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        const bool own = s->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
                         s->Parameters.DeviceIoControl.IoControlCode == IOCTL_STORAGE_GET_DEVICE_NUMBER;
        if ((s->MajorFunction == IRP_MJ_DEVICE_CONTROL && !own) || s->MajorFunction == IRP_MJ_CLEANUP)
            return ctx.hw.forward(disk_, irp);
        return Driver::dispatch(ctx, irp);
    }
    std::optional<NTSTATUS> control(DriverContext&, IoRequest& r) override {
        if (r.outputLength < sizeof(STORAGE_DEVICE_NUMBER)) return STATUS_BUFFER_TOO_SMALL;
        STORAGE_DEVICE_NUMBER n{FILE_DEVICE_DISK, diskNumber_, 1};
        std::memcpy(r.output, &n, sizeof n);
        r.information = sizeof n;
        return STATUS_SUCCESS;
    }
    void describe(json& j) const override {
        j["drive"] = letter_ ? json(std::string(1, letter_)) : json(nullptr);
    }

private:
    DevInst disk_;
    uint32_t diskNumber_;
    char letter_;
    bool removable_;
};

class Disk : public StorageClass {
public:
    Disk() : StorageClass(FILE_DEVICE_DISK, "disk", "PhysicalDrive%u") {}
    bool isBus() const override { return true; }
    NTSTATUS start(DriverContext& ctx) override {
        StorageClass::start(ctx);
        ctx.hw.setInterface(ctx.node, GUID_DEVINTERFACE_DISK, true);
        return STATUS_SUCCESS;
    }
    std::vector<ChildDescription> enumerate(DriverContext& ctx) override {
        if (!device_ || !device_->scsi()) return {};
        const std::string t = instanceTag(ctx.hw.instanceIdOf(ctx.node));
        const bool removable = device_->scsi()->removableMedia();
        ChildDescription v;
        v.instanceId = removable ? "STORAGE\\RemovableMedia\\7&" + t + "&0&RM"
                                 : "STORAGE\\Volume\\1&30a96598&0&Signature" + t + "Offset7E00Length3FF7C000";
        v.physicalId = device_->id();
        v.properties[SPDRP_HARDWAREID] = PropertyValue::multiText({removable ? "STORAGE\\RemovableMedia" : "STORAGE\\Volume"});
        v.properties[SPDRP_CLASS] = PropertyValue::text("Volume");
        v.properties[SPDRP_CLASSGUID] = PropertyValue::text(registryGuid(GUID_DEVCLASS_VOLUME));
        v.properties[SPDRP_DEVICEDESC] = PropertyValue::text("Generic volume");
        v.properties[SPDRP_MFG] = PropertyValue::text("(Standard volume)");
        v.properties[SPDRP_CAPABILITIES] = PropertyValue::dword(removable ? kCapSurpriseRemovalOk : 0);
        char pdo[40];
        std::snprintf(pdo, sizeof pdo, "\\Device\\HarddiskVolume%u", 1 + ctx.hw.deviceNumber("volume", v.instanceId));
        v.properties[SPDRP_PHYSICAL_DEVICE_OBJECT_NAME] = PropertyValue::text(pdo);
        v.pdo = std::make_shared<VolumePdo>(ctx.node, number(), device_->driveLetter(), removable);
        return {v};
    }
};

class CdRom : public StorageClass {
public:
    CdRom() : StorageClass(FILE_DEVICE_CD_ROM, "cdrom", "CdRom%u") {}
    NTSTATUS start(DriverContext& ctx) override {
        StorageClass::start(ctx);
        ctx.hw.setInterface(ctx.node, GUID_DEVINTERFACE_CDROM, true);
        if (device_ && device_->driveLetter()) ctx.hw.mount(device_->driveLetter(), DRIVE_CDROM, ctx.node);
        return STATUS_SUCCESS;
    }
    void describe(json& j) const override {
        StorageClass::describe(j);
        j["drive"] = device_ && device_->driveLetter() ? json(std::string(1, device_->driveLetter())) : json(nullptr);
    }

protected:
    uint32_t partition() const override { return 0xFFFFFFFF; }  // a CD-ROM has no partitions
};

}  // namespace

std::shared_ptr<Driver> makeRootBus() { return std::make_shared<RootBus>(); }

void registerStorageServices(Hardware& hw) {
    hw.registerService("labscsi", [] { return std::make_shared<ScsiAdapter>(); });
    hw.registerService("disk", [] { return std::make_shared<Disk>(); });
    hw.registerService("cdrom", [] { return std::make_shared<CdRom>(); });
}

std::string registryGuid(const GUID& g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

std::string instanceTag(const std::string& s) {
    uint32_t h = 2166136261u;
    for (char c : s) h = (h ^ static_cast<uint8_t>(c)) * 16777619u;
    char buf[12];
    std::snprintf(buf, sizeof buf, "%x", h & 0x0FFFFFFF);
    return buf;
}

}  // namespace lab
