#include "registry9x.h"

#include <cstdio>
#include <string>

#include <winsim/winreg.h>

#include "lab/physical_device.h"
#include "lab/registry.h"

namespace lab {

namespace {

const char kDynEnum[] = "HKEY_DYN_DATA\\Config Manager\\Enum";
const char kEnum[] = "HKEY_LOCAL_MACHINE\\Enum";

RegValue text(const std::string& s) {
    RegValue v;
    v.type = REG_SZ;
    v.data.assign(s.begin(), s.end());
    v.data.push_back(0);
    return v;
}

RegValue binary(uint32_t value) {
    RegValue v;
    v.type = REG_BINARY;
    v.data = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
              static_cast<uint8_t>(value >> 24)};
    return v;
}

std::string underscored(std::string s) {
    for (char& c : s)
        if (c == ' ') c = '_';
    return s;
}

std::string trimmed(const std::string& s) {
    const size_t end = s.find_last_not_of(' ');
    return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}

void addNode(Registry& reg, unsigned index, const std::string& hardwareKey) {
    char name[16];
    std::snprintf(name, sizeof name, "C29A%04X", 0x7A50 + index * 0x1C0);
    const std::string key = std::string(kDynEnum) + "\\" + name;
    bool created = false;
    reg.createKey(key, &created);
    reg.setValue(key, "HardWareKey", text(hardwareKey));
    reg.setValue(key, "Status", binary(0x0000600A));
    reg.setValue(key, "Problem", binary(0));
}

}  // namespace

void writeNineXDriveKeys(Registry& reg, const std::vector<std::shared_ptr<PhysicalDevice>>& present) {
    std::vector<std::string> old;
    reg.subKeys(kDynEnum, &old);
    for (const std::string& name : old) reg.deleteKey(std::string(kDynEnum) + "\\" + name);

    // The nodes of the PC itself come first, as on a real machine: they are not SCSI devices
    // and a reader of the keys must pass over them.
    unsigned index = 0;
    addNode(reg, index++, "HTREE\\ROOT\\0");
    addNode(reg, index++, "ROOT\\SCSIADAPTER\\0000");
    for (const auto& device : present) {
        ScsiTarget* d = device->scsi();
        const std::string& inquiry = d->inquiryText();
        const std::string vendor = inquiry.substr(0, 8), product = inquiry.substr(8, 16), revision = inquiry.substr(24, 4);
        char instance[48];
        std::snprintf(instance, sizeof instance, "ROOT&SCSIADAPTER&0000&BUS_00&TARG_%02d&LUN_%02d", d->targetId(),
                      d->lun());
        const std::string hardwareKey = "SCSI\\" + underscored(vendor + product + revision.substr(0, 1)) + "\\" + instance;
        addNode(reg, index++, hardwareKey);

        const std::string enumKey = std::string(kEnum) + "\\" + hardwareKey;
        bool created = false;
        reg.createKey(enumKey, &created);
        // ProductId keeps the blank padding of the inquiry field it comes from.
        reg.setValue(enumKey, "ProductId", text(product));
        reg.setValue(enumKey, "Manufacturer", text(trimmed(vendor)));
        reg.setValue(enumKey, "RevisionLevel", text(trimmed(revision)));
        reg.setValue(enumKey, "Class", text(d->peripheralType() == 0x05 ? "CDROM" : "DiskDrive"));
        reg.setValue(enumKey, "DeviceDesc", text(trimmed(vendor) + " " + trimmed(product)));
        reg.setValue(enumKey, "Removable", binary(d->removableMedia() ? 1 : 0));
        if (device->driveLetter()) {
            reg.setValue(enumKey, "CurrentDriveLetterAssignment", text(std::string(1, device->driveLetter())));
        } else {
            reg.deleteValue(enumKey, "CurrentDriveLetterAssignment");
        }
    }
}

}  // namespace lab
