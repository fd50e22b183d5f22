#include "device_list.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include <devaccess/sysutil.h>
#include <protocol/kv7.h>
#include <protocol/tarn_usb.h>
#include <winsim/usbiodef.h>
#include <winsim/winioctl.h>

#include "device_nodes.h"
#include "helper_client.h"
#include "krd50n.h"
#include "kv7.h"
#include "plugin_state.h"
#include "tarn_log.h"
#include "usb_requests.h"

namespace tarn {

namespace {

constexpr const char* kUnit = "TarnDevList";
constexpr DWORD kMaxMembers = 127;
constexpr DWORD kMaxHubs = 32;
constexpr uint8_t kUnknown = 255;
constexpr int kDefaultSlots = 12;
constexpr const char* kMassStorageCompatible = "usb\\class_08&subclass_06&prot_50";

HANDLE g_merrow = INVALID_HANDLE_VALUE;

// ---- one member of an interface class ------------------------------------------------------------

enum class Member { Found, Skip, End };

struct FoundMember {
    char path[kPathSize] = {};
    HANDLE handle = INVALID_HANDLE_VALUE;
    DEVINST devInst = 0;
    DEVINST child = 0;
    uint8_t hub = kUnknown;   // position of its parent among the present hubs (upgrade class)
    uint8_t port = kUnknown;  // its address (upgrade class)
    uint8_t typeFromSystem = kNoTypeFromSystem;
};

// The position of `hub` among the present USB hubs, kUnknown when it is not among the first 32.
uint8_t hubPosition(DEVINST hub) {
    uint8_t position = kUnknown;
    ForEachMember(GUID_DEVINTERFACE_USB_HUB, true, [&](DWORD i, const char*, SP_DEVINFO_DATA& element) {
        if (i >= kMaxHubs) return true;
        if (element.DevInst != hub) return false;
        position = static_cast<uint8_t>(i);
        return true;
    });
    return position;
}

Member enumerateMember(const GUID& guid, DWORD index, bool upgradeClass, FoundMember* out) {
    HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        TARN_LOG_AT(kUnit, "%s(%i) :SetupDiGetClassDevs failed. Error: %xh.", static_cast<unsigned>(GetLastError()));
        return Member::End;
    }
    SP_DEVICE_INTERFACE_DATA itf{};
    itf.cbSize = sizeof itf;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &itf)) {
        TARN_LOG_AT(kUnit, "%s(%i) :SetupDiEnumDeviceInterfaces failed. Error: %xh.", static_cast<unsigned>(GetLastError()));
        SetupDiDestroyDeviceInfoList(set);
        return Member::End;
    }
    alignas(8) char buffer[sizeof(DWORD) + kPathSize];
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA element{};
    element.cbSize = sizeof element;
    if (!SetupDiGetDeviceInterfaceDetailA(set, &itf, detail, sizeof buffer, nullptr, &element)) {
        SetupDiDestroyDeviceInfoList(set);
        return Member::Skip;
    }
    *out = FoundMember{};
    std::snprintf(out->path, sizeof out->path, "%s", detail->DevicePath);
    out->devInst = element.DevInst;
    out->handle = CreateFileA(out->path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (out->handle == INVALID_HANDLE_VALUE) TARN_LOG_AT(kUnit, "%s(%i) :SDI_NO_VALID_DEVICE_HANDLE");
    if (plugin().options & kOptionRecoverKrd50n) out->typeFromSystem = TypeFromSystem(out->devInst, set, &element);
    if (upgradeClass) {
        DWORD address = 0;
        if (ElementDword(set, &element, SPDRP_ADDRESS, &address) && address < kUnknown)
            out->port = static_cast<uint8_t>(address);
        DEVINST parent = 0;
        if (CM_Get_Parent(&parent, out->devInst, 0) == CR_SUCCESS) out->hub = hubPosition(parent);
    } else {
        const CONFIGRET cr = CM_Get_Child(&out->child, out->devInst, 0);
        if (cr != CR_SUCCESS) {
            out->child = 0;
            TARN_LOG_AT(kUnit, "%s(%i) :SDI_NO_CHILD_DEVICE_INSTANCE. Error = %xh", static_cast<unsigned>(cr));
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return Member::Found;
}

// ---- what a reader tells about itself --------------------------------------------------------------

// A string descriptor of a reader on its own driver as text; false when the request fails.
bool readString(HANDLE handle, uint8_t index, char* out, size_t size) {
    uint8_t d[kStringDescriptorRequest] = {};
    if (!GetDescriptor(handle, kDescriptorString, index, d, sizeof d)) return false;
    DescriptorText(d, sizeof d, out, size);
    return true;
}

int32_t updateFwDeviceDescriptor(TarnDeviceRecord* r) {
    const HANDLE h = r->deviceHandle;
    uint8_t d[kDeviceDescriptorRequest] = {};
    // A descriptor shorter than a device descriptor, or of another type, is as good as none.
    if (!GetDescriptor(h, kDescriptorDevice, 0, d, sizeof d) || d[0] < sizeof d || d[1] != kDescriptorDevice) {
        TARN_LOG_AT(kUnit, "%s(%i) :IOCTL_TARN_GET_DESCRIPTOR failed in getting USB Device Descriptor. Error: %xh",
                    static_cast<unsigned>(GetLastError()));
        return KPL_E_DEVICE_QUERY;
    }
    r->vendorProduct = static_cast<uint32_t>(d[8] | d[9] << 8) << 16 | static_cast<uint32_t>(d[10] | d[11] << 8);
    if (!readString(h, 1, r->manufacturerName, sizeof r->manufacturerName)) {
        TARN_LOG_AT(kUnit, "%s(%i) :IOCTL_TARN_GET_DESCRIPTOR failed in getting manufacturers string. Error: %xh",
                    static_cast<unsigned>(GetLastError()));
        return KPL_E_DEVICE_QUERY;
    }
    if (!readString(h, 2, r->productName, sizeof r->productName)) {
        TARN_LOG_AT(kUnit, "%s(%i) :IOCTL_TARN_GET_DESCRIPTOR failed in getting device string. Error: %xh",
                    static_cast<unsigned>(GetLastError()));
        return KPL_E_DEVICE_QUERY;
    }
    // iSerialNumber 0: the reader has no serial string (index 0 would be the language table).
    r->serialNumber[0] = '\0';
    if (d[16] != 0 && !readString(h, d[16], r->serialNumber, sizeof r->serialNumber)) {
        TARN_LOG_AT(kUnit, "%s(%i) :IOCTL_TARN_GET_DESCRIPTOR failed in getting serial string. Error: %xh",
                    static_cast<unsigned>(GetLastError()));
        return KPL_E_DEVICE_QUERY;
    }
    uint8_t type[2] = {};
    if (!ControlRequest(h, requests::deviceType(), type, sizeof type)) {
        TARN_LOG_AT(kUnit, "%s(%i) :IOCTL_TARN_URB_PASSTHROUGH failed in getting device type. Error: %xh",
                    static_cast<unsigned>(GetLastError()));
        return KPL_E_DEVICE_QUERY;
    }
    r->deviceType = static_cast<uint32_t>(type[0] | type[1] << 8);
    uint8_t version[2] = {};
    if (!ControlRequest(h, requests::firmwareVersion(), version, sizeof version)) {
        TARN_LOG_AT(kUnit, "%s(%i) :IOCTL_TARN_URB_PASSTHROUGH failed in getting firmware version. Error: %xh",
                    static_cast<unsigned>(GetLastError()));
        return KPL_E_DEVICE_QUERY;
    }
    r->firmwareVersion = static_cast<uint32_t>(version[1]) << 8 | version[0];
    return KPL_OK;
}

void logIdentity(int position, const TarnDeviceRecord& r) {
    TARN_PLAIN("Device %d\r\n", position);
    TARN_LOG_AT(kUnit, "%s(%i) :DeviceMode = %d", r.deviceMode);
    TARN_LOG_AT(kUnit, "%s(%i) :DeviceType = %d", static_cast<int>(r.deviceType));
    TARN_LOG_AT(kUnit, "%s(%i) :FwVersion = %02d.%02d", static_cast<int>(r.firmwareVersion >> 8),
                static_cast<int>(r.firmwareVersion & 0xFF));
    TARN_LOG_AT(kUnit, "%s(%i) :Vendor Id = %04x", static_cast<unsigned>(r.vendorProduct >> 16));
    TARN_LOG_AT(kUnit, "%s(%i) :Product Id = %04x", static_cast<unsigned>(r.vendorProduct & 0xFFFF));
    TARN_LOG_AT(kUnit, "%s(%i) :Manufacturer's Name = %s", r.manufacturerName);
    TARN_LOG_AT(kUnit, "%s(%i) :Product Name = %s", r.productName);
    TARN_LOG_AT(kUnit, "%s(%i) :Serial No = %s", r.serialNumber);
    TARN_LOG_AT(kUnit, "%s(%i) :DfuType = %d\r\n", static_cast<int>(r.dfuType));
}

// Lists a functional-mode reader under its product name (a reader without one under a name of
// ours: an empty name would end the list there) and logs what it is.
void listUnderProductName(DeviceInfoEntry& entry, TarnDeviceRecord* r, int position) {
    std::snprintf(entry.name, sizeof entry.name, "%s", r->productName);
    if (!entry.name[0]) std::snprintf(entry.name, sizeof entry.name, "Tarn Device");
    entry.device = r;
    logIdentity(position, *r);
}

void applyTypeFromSystem(TarnDeviceRecord* r, uint8_t type) {
    if (type == kNoTypeFromSystem) return;
    r->typeFromSystem = 1;
    r->deviceType = type;
}

// ---- names ---------------------------------------------------------------------------------------

// The firmware feature of the SCSI device on `drive` (byte 4 of its feature reply), 255 when any
// step fails.
uint8_t featureOfDrive(ScsiDevice* devices, char drive) {
    for (ScsiDevice* d = devices; d; d = d->next) {
        if (d->drive != drive) continue;
        uint8_t reply[6] = {};
        uint8_t feature = kUnknown;
        if (ScsiOpenDevice(d) && ScsiDiagxGetFeatures(d, reply)) feature = reply[4];
        ScsiCloseDevice(d);
        return feature;
    }
    return kUnknown;
}

bool scsiDeviceOn(ScsiDevice* devices, char drive) {
    for (ScsiDevice* d = devices; d; d = d->next)
        if (d->drive == drive) return true;
    return false;
}

bool storageNumberOf(HANDLE h, STORAGE_DEVICE_NUMBER* number) {
    DWORD returned = 0;
    return DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, number, sizeof *number, &returned, nullptr) &&
           returned >= sizeof *number;
}

// The node of the present disk with this storage number, 0 when none.
DEVINST diskWithNumber(const STORAGE_DEVICE_NUMBER& wanted) {
    DEVINST found = 0;
    ForEachMember(GUID_DEVINTERFACE_DISK, true, [&](DWORD, const char* path, SP_DEVINFO_DATA& element) {
        HANDLE disk = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (disk == INVALID_HANDLE_VALUE) return false;
        STORAGE_DEVICE_NUMBER number{};
        if (storageNumberOf(disk, &number) && number.DeviceType == wanted.DeviceType &&
            number.DeviceNumber == wanted.DeviceNumber)
            found = element.DevInst;
        CloseHandle(disk);
        return found != 0;
    });
    return found;
}

void prefixName(DeviceInfoEntry& entry, char letter) {
    // The name loses its tail when it and the prefix do not fit together.
    char named[KPL_TEXT_SIZE + 3];
    std::snprintf(named, sizeof named, "%c: %s", letter, entry.name);
    named[KPL_TEXT_SIZE - 1] = '\0';
    std::memcpy(entry.name, named, sizeof entry.name);
}

// The drive letter of the reader's storage unit (the disk under childDevInst): its name gets
// the letter in front, the record the letter and the unit's firmware feature.
void nameByDrive(DeviceInfoEntry& entry, TarnDeviceRecord* r, ScsiDevice* scsiDevices) {
    if (!scsiDevices) {
        TARN_LOG_AT(kUnit, "%s(%i) :ScsiCreateDeviceInfoList failed");
        return;
    }
    const DWORD drives = GetLogicalDrives();
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        if (!(drives & (1u << (letter - 'A')))) continue;
        const char root[4] = {letter, ':', '\\', '\0'};
        if (GetDriveTypeA(root) != DRIVE_REMOVABLE) continue;
        char volume[8];
        std::snprintf(volume, sizeof volume, "\\\\.\\%c:", letter);
        HANDLE h = CreateFileA(volume, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            TARN_LOG_AT(kUnit, "%s(%i) :CreateFile - %s failed", volume);
            continue;
        }
        STORAGE_DEVICE_NUMBER number{};
        const bool numbered = storageNumberOf(h, &number);
        CloseHandle(h);
        if (!numbered) {
            TARN_LOG_AT(kUnit, "%s(%i) :DeviceIoControl - IOCTL_STORAGE_GET_DEVICE_NUMBER failed");
            continue;
        }
        const DEVINST disk = diskWithNumber(number);
        if (!disk) {
            TARN_LOG_AT(kUnit, "%s(%i) :Invalid device number");
            continue;
        }
        if (disk != r->childDevInst || !r->childDevInst || !scsiDeviceOn(scsiDevices, letter)) continue;
        TARN_LOG_AT(kUnit, "%s(%i) :Drive :  %c", letter);
        prefixName(entry, letter);
        r->feature = featureOfDrive(scsiDevices, letter);
        TARN_LOG_AT(kUnit, "%s(%i) :Existing FirmWare Feature  %d", static_cast<int>(r->feature));
        r->driveLetter = static_cast<uint8_t>(letter);
        // One storage unit, one letter: a second volume of the same unit would only repeat it.
        return;
    }
}

// Names a reader of the functional groups; whether the name changed.
bool nameEntry(DeviceInfoEntry& entry, TarnDeviceRecord* r, ScsiDevice* scsiDevices) {
    char before[KPL_TEXT_SIZE];
    std::memcpy(before, entry.name, sizeof before);
    switch (r->deviceType) {
    case 20: case 22: case 23: case 25: case 26: case 27: {
        char name[MAX_PATH] = {};
        GetDeviceTypeName(static_cast<int32_t>(r->deviceType), name, sizeof name);
        if (name[0] && std::strncmp(name, "UnKnown", 7) != 0) std::snprintf(entry.name, sizeof entry.name, "%s", name);
        break;
    }
    default: break;
    }
    nameByDrive(entry, r, scsiDevices);
    return std::strcmp(before, entry.name) != 0;
}

// ---- the Plex monitor and its modules -------------------------------------------------------------

bool isPlexMonitor(const TarnDeviceRecord& r) {
    uint32_t nt = 0;
    return ControlRequest(r.deviceHandle, requests::plexProbe(), nullptr, 0, &nt) && nt == 0;
}

void removeDrivePrefix(char* name) {
    if (name[0] >= 'A' && name[0] <= 'Z' && name[1] == ':' && name[2] == ' ') std::memmove(name, name + 3, std::strlen(name + 3) + 1);
}

int highestSlot(HANDLE monitor) {
    uint8_t highest = 0;
    if (!ControlRequest(monitor, requests::plexHighestSlot(), &highest, 1)) {
        TARN_LOG_AT(kUnit, "%s(%i) :GetMaxSlot () failed.");
        return kDefaultSlots;
    }
    TARN_LOG_AT(kUnit, "%s(%i) :GetMaxSlot () Passed");
    return highest + 1;
}

// Whether the monitor's slot holds the reader at `devicePath`.
bool slotHolds(HANDLE monitor, uint8_t slot, const char* devicePath) {
    uint8_t reply[kSlotPathMax] = {};
    DWORD returned = 0;
    if (!DeviceIoControl(monitor, kIoctlPlexSlotPath, &slot, 1, reply, sizeof reply, &returned, nullptr)) return false;
    returned = std::min<DWORD>(returned, sizeof reply);
    WCHAR wide[kSlotPathMax / 2 + 1] = {};
    std::memcpy(wide, reply, returned & ~DWORD{1});
    char text[kSlotPathMax] = {};
    const int n = WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text - 1, nullptr, nullptr);
    if (n <= 0) return false;
    const char* usb = std::strstr(text, "USB");
    if (!usb) return false;
    char path[kSlotPathMax + 8];
    std::snprintf(path, sizeof path, "\\\\?\\%s", usb);
    return EqualNoCase(path, devicePath);
}

bool slotDrive(HANDLE monitor, uint8_t slot, char* letter) {
    uint8_t buffer[kSlotDriveLength] = {kSlotDriveRequest[0], kSlotDriveRequest[1], kSlotDriveRequest[2],
                                        kSlotDriveRequest[3], slot, 0};
    DWORD returned = 0;
    if (!DeviceIoControl(monitor, kIoctlPlexSlotDrive, buffer, sizeof buffer, buffer, sizeof buffer, &returned, nullptr) ||
        returned < kSlotDriveLength || std::memcmp(buffer, kSlotDriveReply, sizeof kSlotDriveReply) != 0)
        return false;
    *letter = static_cast<char>(buffer[kSlotDriveLetter]);
    return true;
}

void findModule(DeviceInfoEntry& entry, TarnDeviceRecord* r, ScsiDevice* scsiDevices) {
    const int slots = highestSlot(g_merrow);
    TARN_LOG_AT(kUnit, "%s(%i) :MaxSlot : %d", slots);
    for (int slot = 1; slot <= slots && slot < 256; ++slot) {
        if (!slotHolds(g_merrow, static_cast<uint8_t>(slot), r->devicePath)) continue;
        r->slot = static_cast<uint8_t>(slot);
        char letter = 0;
        if (slotDrive(g_merrow, static_cast<uint8_t>(slot), &letter) && letter >= 'A' && letter <= 'Z') {
            r->driveLetter = static_cast<uint8_t>(letter);
            prefixName(entry, letter);
            r->feature = featureOfDrive(scsiDevices, letter);
            TARN_LOG_AT(kUnit, "%s(%i) :Existing FirmWare Feature  %d", static_cast<int>(r->feature));
        }
        return;
    }
    r->isModule = 0;
}

void findPlexMonitorAndModules(DeviceInfoList* list, ScsiDevice* scsiDevices) {
    TARN_LOG_AT(kUnit, "%s(%i) :Getting Merrow's handle (If Present)");
    for (int i = 0; i < KPL_MAX_DEVICES && list->entries[i].name[0]; ++i) {
        auto* r = static_cast<TarnDeviceRecord*>(list->entries[i].device);
        if (!r) continue;
        if (!isPlexMonitor(*r)) {
            TARN_LOG_AT(kUnit, "%s(%i) :Not a PlexMonitor.");
            continue;
        }
        TARN_LOG_AT(kUnit, "%s(%i) :Is a Plex Monitor.");
        if (g_merrow == INVALID_HANDLE_VALUE) g_merrow = r->deviceHandle;
        removeDrivePrefix(list->entries[i].name);
        r->driveLetter = kPlexMonitorDrive;
        r->isModule = 0;
    }
    TARN_LOG_AT(kUnit, "%s(%i) :Getting FirmwareFeature for Plex Modules (If present)");
    if (g_merrow == INVALID_HANDLE_VALUE) return;
    for (int i = 0; i < KPL_MAX_DEVICES && list->entries[i].name[0]; ++i) {
        auto* r = static_cast<TarnDeviceRecord*>(list->entries[i].device);
        if (r && r->isModule) findModule(list->entries[i], r, scsiDevices);
    }
}

// ---- the groups ------------------------------------------------------------------------------------

// A group of an interface class: a record for each member found, holding its path, handle and
// node, filled and named by `fill`; a failing fill ends the group with its status.
template <typename Fill>
int32_t buildGroup(DeviceInfoList* list, const GUID& guid, bool upgradeClass, const char* allocationFailed,
                   const char* full, Fill fill) {
    int position = FindFreeEntry(list);
    if (position >= KPL_MAX_DEVICES) return KPL_E_LIST_FULL;
    for (DWORD i = 0; i < kMaxMembers; ++i) {
        FoundMember m;
        const Member found = enumerateMember(guid, i, upgradeClass, &m);
        if (found == Member::End) break;
        if (found == Member::Skip) continue;
        TarnDeviceRecord* r = NewDeviceRecord();
        if (!r) {
            TARN_LOG_AT(kUnit, allocationFailed, static_cast<unsigned>(ERROR_NOT_ENOUGH_MEMORY));
            if (m.handle != INVALID_HANDLE_VALUE) CloseHandle(m.handle);
            return KPL_E_NO_MEMORY;
        }
        std::snprintf(r->devicePath, sizeof r->devicePath, "%s", m.path);
        r->deviceHandle = m.handle;
        r->devInst = m.devInst;
        r->feature = kUnknown;
        if (const int32_t status = fill(list->entries[position], r, m, position); status != KPL_OK) {
            FreeDeviceRecord(r);
            return status;
        }
        if (++position == KPL_MAX_DEVICES) {
            TARN_LOG_AT(kUnit, full);
            break;
        }
    }
    return KPL_OK;
}

int32_t buildMsdGroup(DeviceInfoList* list, ScsiDevice* scsiDevices) {
    const int32_t status = buildGroup(
        list, kFunctionalInterface, false, "%s(%i) :Memory allocation failed. Error: %xh", "%s(%i) :List is full.",
        [&](DeviceInfoEntry& entry, TarnDeviceRecord* r, const FoundMember& m, int position) {
            r->deviceMode = kModeOwnDriver;
            r->childDevInst = m.child;
            uint8_t dfuType = kUnknown;
            if (!ControlRequest(r->deviceHandle, requests::upgradeType(), &dfuType, 1)) {
                dfuType = kUnknown;
                TARN_LOG_AT(kUnit, "%s(%i) :IOCTL_TARN_URB_PASSTHROUGH failed in getting Dfu type. Error: %xh.",
                            static_cast<unsigned>(GetLastError()));
            }
            r->dfuType = dfuType;
            if (const int32_t failed = updateFwDeviceDescriptor(r); failed != KPL_OK) {
                TARN_LOG_AT(kUnit, "%s(%i) :UpdateFwDeviceDescriptor failed.");
                TARN_LOG_AT(kUnit, "%s(%i) :nKPLStatus = %d\r\n", failed);
                return failed;
            }
            applyTypeFromSystem(r, m.typeFromSystem);
            listUnderProductName(entry, r, position);
            if (!nameEntry(entry, r, scsiDevices)) r->isModule = 1;
            return KPL_OK;
        });
    if (status == KPL_OK) findPlexMonitorAndModules(list, scsiDevices);
    return status;
}

int32_t buildDfuGroup(DeviceInfoList* list) {
    return buildGroup(
        list, kUpgradeInterface, true, "%s(%i) :Memory allocation failed. Error: %xh.", "%s(%i) :List is full",
        [&](DeviceInfoEntry& entry, TarnDeviceRecord* r, const FoundMember& m, int position) {
            r->dfuType = kUnknownDfuType;
            applyTypeFromSystem(r, m.typeFromSystem);
            entry.inUpgradeMode = 1;
            entry.device = r;
            if (DetectKv7Type(r)) {
                r->deviceMode = kModeKv7Upgrade;
                SetKv7Layout(r);
                std::snprintf(entry.name, sizeof entry.name, "KV7X DFU Device");
                // The product type the last download left in the configuration memory, kept as its
                // complement and itself so that an erased or foreign memory is not taken for one.
                uint8_t word[2] = {};
                if (ReadConfig(*r, kv7::kProductTypeAddress, word, sizeof word) == KPL_OK &&
                    word[1] == static_cast<uint8_t>(~word[0]))
                    r->deviceType = word[1];
            } else {
                r->deviceMode = kModeUpgrade;
                std::snprintf(entry.name, sizeof entry.name, "Tarn DFU Device");
            }
            const size_t used = std::strlen(entry.name);
            if (m.hub != kUnknown) std::snprintf(entry.name + used, sizeof entry.name - used, " [Hub:%d]", m.hub + 1);
            const size_t withHub = std::strlen(entry.name);
            if (m.port != kUnknown)
                std::snprintf(entry.name + withHub, sizeof entry.name - withHub, " [Port:%d]", static_cast<int>(m.port));
            TARN_PLAIN("Device %d\r\n", position);
            TARN_LOG_AT(kUnit, "%s(%i) :DeviceMode = %d", r->deviceMode);
            TARN_LOG_AT(kUnit, "%s(%i) :DfuType = %d\r\n", static_cast<int>(r->dfuType));
            TARN_LOG_AT(kUnit, "%s(%i) :DeviceType = %d\r\n", static_cast<int>(r->deviceType));
            return KPL_OK;
        });
}

// What the mass-storage group reads of one member of the USB device class.
struct UsbMember {
    char path[kPathSize] = {};
    char pdoName[kPathSize] = {};
    char compatible[kPropertySize] = {};
    char service[kPropertySize] = {};
    char childId[kPropertySize] = {};
    DEVINST devInst = 0;
    DEVINST child = 0;
    uint8_t typeFromSystem = kNoTypeFromSystem;
};

// The reader behind a composite device: of its first child and that child's next sibling, the
// first whose own child names one of our readers.
bool compositeReader(UsbMember* m) {
    DEVINST first = 0, second = 0;
    if (CM_Get_Child(&first, m->devInst, 0) != CR_SUCCESS) return false;
    const DEVINST candidates[2] = {first, CM_Get_Sibling(&second, first, 0) == CR_SUCCESS ? second : 0};
    for (DEVINST c : candidates) {
        DEVINST below = 0;
        char id[kPropertySize];
        if (!c || CM_Get_Child(&below, c, 0) != CR_SUCCESS || !NodeText(below, CM_DRP_HARDWAREID, id, sizeof id)) continue;
        if (!ContainsAny(id, {"Tarn", "QVX", "KRD"})) continue;
        m->devInst = c;
        m->child = below;
        std::memcpy(m->childId, id, sizeof id);
        return true;
    }
    return false;
}

enum class Read { Listed, Skip, Stop };

Read readUsbMember(DWORD index, UsbMember* m) {
    const GUID& guid = GUID_DEVINTERFACE_USB_DEVICE;
    HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        TARN_LOG_AT(kUnit, "%s(%i) :SetupDiGetClassDevs failed. Error: %xh.", static_cast<unsigned>(GetLastError()));
        return Read::Stop;
    }
    struct SetCloser {
        HDEVINFO set;
        ~SetCloser() { SetupDiDestroyDeviceInfoList(set); }
    } closer{set};
    SP_DEVICE_INTERFACE_DATA itf{};
    itf.cbSize = sizeof itf;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &itf)) {
        TARN_LOG_AT(kUnit, "%s(%i) :SetupDiEnumDeviceInterfaces failed. Error: %xh.", static_cast<unsigned>(GetLastError()));
        return Read::Stop;
    }
    alignas(8) char buffer[sizeof(DWORD) + kPathSize];
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA element{};
    element.cbSize = sizeof element;
    if (!SetupDiGetDeviceInterfaceDetailA(set, &itf, detail, sizeof buffer, nullptr, &element) ||
        !ElementText(set, &element, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME, m->pdoName, sizeof m->pdoName))
        return Read::Stop;
    std::snprintf(m->path, sizeof m->path, "%s", detail->DevicePath);
    m->devInst = element.DevInst;
    if (!ElementText(set, &element, SPDRP_COMPATIBLEIDS, m->compatible, sizeof m->compatible)) {
        TARN_LOG_AT(kUnit, "%s(%i) :SDI_NO_COMPATIBLE_ID. Error = %xh", static_cast<unsigned>(GetLastError()));
        return Read::Skip;
    }
    if (!ElementText(set, &element, SPDRP_SERVICE, m->service, sizeof m->service)) {
        TARN_LOG_AT(kUnit, "%s(%i) :SDI_NO_DRIVER_NAME. Error = %xh", static_cast<unsigned>(GetLastError()));
        return Read::Skip;
    }
    if (const CONFIGRET cr = CM_Get_Child(&m->child, m->devInst, 0); cr != CR_SUCCESS) {
        TARN_LOG_AT(kUnit, "%s(%i) :SDI_NO_CHILD_DEVICE_INSTANCE. Error = %xh", static_cast<unsigned>(cr));
        return Read::Skip;
    }
    if (!NodeText(m->child, CM_DRP_HARDWAREID, m->childId, sizeof m->childId)) {
        TARN_LOG_AT(kUnit, "%s(%i) :SDI_QUERY_CHILD_HWID_FAILED. Error = %xh", static_cast<unsigned>(GetLastError()));
        return Read::Skip;
    }
    if (EqualNoCase(m->service, "TESSORA") && compositeReader(m)) std::snprintf(m->service, sizeof m->service, "USBSTOR");
    if (plugin().options & kOptionRecoverKrd50n) m->typeFromSystem = TypeFromSystem(element.DevInst, set, &element);
    Lower(m->compatible);
    if (std::strcmp(m->compatible, kMassStorageCompatible) != 0 || !EqualNoCase(m->service, "USBSTOR")) return Read::Skip;
    return Read::Listed;
}

int32_t buildUsbstorGroup(DeviceInfoList* list, ScsiDevice* scsiDevices) {
    int position = FindFreeEntry(list);
    if (position >= KPL_MAX_DEVICES) return KPL_E_LIST_FULL;
    for (DWORD i = 0; i < kMaxMembers; ++i) {
        UsbMember m;
        const Read read = readUsbMember(i, &m);
        if (read == Read::Stop) break;
        if (read == Read::Skip) continue;
        TarnDeviceRecord* r = NewDeviceRecord();
        if (!r) {
            TARN_LOG_AT(kUnit, "%s(%i) :Memory allocation failed. Error: %xh", static_cast<unsigned>(ERROR_NOT_ENOUGH_MEMORY));
            return KPL_E_NO_MEMORY;
        }
        Lower(m.childId);
        if (!ContainsAny(m.childId, {"tarn", "qvx", "krd"})) {
            TARN_LOG_AT(kUnit, "%s(%i) :tarn / qvx / krd-zmod not present.");
            FreeDeviceRecord(r);
            continue;
        }
        std::snprintf(r->devicePath, sizeof r->devicePath, "%s", m.pdoName);
        r->deviceMode = kModeMassStorage;
        r->devInst = m.devInst;
        r->childDevInst = m.child;
        r->feature = kUnknown;
        if (const int32_t status = UpdateUsbstorDevExtension(r); status != KPL_OK) {
            TARN_LOG_AT(kUnit, "%s(%i) :UpdateUsbstorDevExtension failed");
            FreeDeviceRecord(r);
            return status;
        }
        applyTypeFromSystem(r, m.typeFromSystem);
        DeviceInfoEntry& entry = list->entries[position];
        listUnderProductName(entry, r, position);
        nameEntry(entry, r, scsiDevices);
        if (++position == KPL_MAX_DEVICES) {
            TARN_LOG_AT(kUnit, "%s(%i) :List is full.");
            break;
        }
    }
    return KPL_OK;
}

// A string descriptor carried in the helper's query record: its length byte, type byte and
// UTF-16 text, as text; a length that is not within the field gives no text.
void recordString(uint8_t length, uint8_t type, const uint8_t* text, char* out, size_t size) {
    uint8_t d[2 + dmhlp::kStringField] = {length, type};
    std::memcpy(d + 2, text, dmhlp::kStringField);
    DescriptorText(d, sizeof d, out, size);
}

}  // namespace

int FindFreeEntry(const DeviceInfoList* list) {
    for (int i = 0; i < KPL_MAX_DEVICES; ++i)
        if (list->entries[i].name[0] == '\0') return i;
    TARN_LOG_AT(kUnit, "%s(%i) :List is full.");
    return KPL_MAX_DEVICES;
}

HANDLE MerrowHandle() { return g_merrow; }
void ForgetMerrowHandle() { g_merrow = INVALID_HANDLE_VALUE; }

int32_t BuildDeviceGroups(DeviceInfoList* list, ScsiDevice* scsiDevices) {
    if (!list) return KPL_E_SYSTEM;
    ForgetMerrowHandle();
    TARN_LOG_AT(kUnit, "%s(%i) :Creating MSD Device Info:");
    if (const int32_t status = buildMsdGroup(list, scsiDevices); status != KPL_OK) {
        TARN_LOG_AT(kUnit, "%s(%i) :CreateQvxMsdDeviceInfoList failed.");
        return status;
    }
    TARN_LOG_AT(kUnit, "%s(%i) :Creating DFU Device Info:");
    if (const int32_t status = buildDfuGroup(list); status != KPL_OK) {
        TARN_LOG_AT(kUnit, "%s(%i) :CreateQvxDfuDeviceInfoList failed.");
        return status;
    }
    TARN_LOG_AT(kUnit, "%s(%i) :Creating USBSTOR Device Info:");
    if (const int32_t status = buildUsbstorGroup(list, scsiDevices); status != KPL_OK) {
        TARN_LOG_AT(kUnit, "%s(%i) :CreateQvxUsbstorDeviceInfoList failed.");
        return status;
    }
    if (plugin().options & kOptionRecoverKrd50n) {
        int fromSystem = 0;
        for (const DeviceInfoEntry& e : list->entries)
            if (e.name[0] && e.device && static_cast<const TarnDeviceRecord*>(e.device)->typeFromSystem) ++fromSystem;
        if (fromSystem != 3) RecoverKrd50n(list);
    }
    return KPL_OK;
}

int32_t UpdateUsbstorDevExtension(TarnDeviceRecord* r) {
    if (const int32_t status = LoadHelperDriver(&helperHandle(), dmhlp::kImageName, dmhlp::kServiceName); status != KPL_OK) {
        TARN_LOG_AT(kUnit, "%s(%i) :Error in loading helper driver.");
        return status;
    }
    const HANDLE helper = helperHandle();
    dmhlp::QueryRecord q;
    PrepareQuery(&q, r->devicePath, static_cast<uint32_t>(plugin().retries), static_cast<uint32_t>(plugin().platform),
                 dmhlp::kQueryFromDeviceList);
    if (!QueryDevice(helper, &q)) {
        TARN_LOG_AT(kUnit, "%s(%i) :IOCTL_DMHLP_QUERY_DFU_CAPAB failed. Error: %xh.", static_cast<unsigned>(GetLastError()));
        return KPL_E_DEVICE_QUERY;
    }
    r->deviceType = q.deviceType;
    r->firmwareVersion = static_cast<uint32_t>(q.versionMajor) << 8 | q.versionMinor;
    const uint16_t vendor = q.vendorId, product = q.productId;
    r->vendorProduct = static_cast<uint32_t>(vendor) << 16 | product;
    r->deviceObject = static_cast<int32_t>(q.deviceObject);
    r->dfuType = q.dfuType;
    recordString(q.manufacturerLength, q.manufacturerType, q.manufacturer, r->manufacturerName, sizeof r->manufacturerName);
    recordString(q.productLength, q.productType, q.product, r->productName, sizeof r->productName);
    r->deviceHandle = helper;
    if (!SendDeviceObject(helper, q.deviceObject)) {
        TARN_LOG_AT(kUnit, "%s(%i) :IOCTL_DMHLP_SEND_DEVICE_OBJECT failed. Error: %xh.", static_cast<unsigned>(GetLastError()));
        return KPL_E_DEVICE_QUERY;
    }
    r->serialNumber[0] = '\0';
    if (q.serialIndex == 0) return KPL_OK;  // no serial string
    uint8_t d[255] = {};
    if (!ControlRequest(helper, requests::serialString(q.serialIndex), d, sizeof d)) {
        TARN_LOG_AT(kUnit, "%s(%i) :IOCTL_TARN_URB_PASSTHROUGH failed. Error: %xh.", static_cast<unsigned>(GetLastError()));
        return KPL_E_DEVICE_QUERY;
    }
    DescriptorText(d, sizeof d, r->serialNumber, sizeof r->serialNumber);
    return KPL_OK;
}

int32_t CheckAndUpdateUsbstorDevExt(TarnDeviceRecord* r) {
    if (!r || r->deviceMode != kModeMassStorage) return KPL_OK;
    // The reader's USB device now: the node itself, or for a reader behind a composite device,
    // the node's parent. It must still be there under the same device object.
    DEVINST parent = 0;
    if (CM_Get_Parent(&parent, r->devInst, 0) != CR_SUCCESS) parent = 0;
    bool present = false;
    for (DEVINST node : {static_cast<DEVINST>(r->devInst), parent}) {
        ClassMember m;
        char pdoName[kPathSize];
        if (node && FindMemberOfNode(GUID_DEVINTERFACE_USB_DEVICE, node, true, &m) &&
            ElementText(m.set, &m.element, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME, pdoName, sizeof pdoName)) {
            present = std::strcmp(pdoName, r->devicePath) == 0;
            break;
        }
    }
    if (present) {
        TarnDeviceRecord refreshed;
        std::memcpy(&refreshed, r, sizeof refreshed);
        if (const int32_t status = UpdateUsbstorDevExtension(&refreshed); status != KPL_OK) {
            TARN_LOG_AT(kUnit, "%s(%i) : UpdateUsbstorDevExtension failed.");
            return status;
        }
        if (std::memcmp(&refreshed, r, sizeof refreshed) == 0) return KPL_OK;
    }
    TARN_LOG_AT(kUnit, "%s(%i) : Failed as Device unplugged and re-plugged.");
    return KPL_E_DEVICE_OPEN;
}

}  // namespace tarn
