// The device scan: every SCSI device whose inquiry string is one of the plug-in's readers gets an
// entry in the host's list and a record of its own; the options are read at the end.
#include <plugin-common/read_option.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>

#include "mora.h"

namespace mora {

namespace {

bool isOurReader(const ScsiDevice& device) {
    return std::strstr(device.inquiry, kInquirySecure) || std::strstr(device.inquiry, kInquiryUpgradeMode);
}

// Where the plug-in's entries start: after any the list already holds.
int firstFreeEntry(const DeviceInfoList& list) {
    int i = 0;
    while (i < KPL_MAX_DEVICES && list.entries[i].name[0] != '\0') ++i;
    return i;
}

// Keeps a new scan's devices alive beside those of an earlier scan that was not destroyed, whose
// records may still be in the list.
void keepDevices(ScsiDevice* found) {
    ScsiDevice** tail = &state().scsiDevices;
    while (*tail) tail = &(*tail)->next;
    *tail = found;
}

void logReader(const ScsiDeviceRecord& record, int position) {
    const ScsiDevice& d = *record.device;
    MORA_PLAIN(" Device %d", position);
    MORA_LOG("%s(%i) :Tag = %d", static_cast<int>(d.tag));
    MORA_LOG("%s(%i) :Version = %d", static_cast<int>(d.version));
    MORA_LOG("%s(%i) :Flags = %d", static_cast<int>(d.flags));
    MORA_LOG("%s(%i) :Interface = %d", d.interfaceType);
    MORA_LOG("%s(%i) :Path ID = %d", d.pathId);
    MORA_LOG("%s(%i) :Target ID = %d", d.targetId);
    MORA_LOG("%s(%i) :LUN = %d", d.lun);
    MORA_LOG("%s(%i) :Drive = %C", static_cast<wint_t>(static_cast<unsigned char>(d.drive)));
    MORA_LOG("%s(%i) :DFU Type = %d", record.dfuType);
    MORA_LOG("%s(%i) :Write Protect = %d", record.writeProtect);
    MORA_LOG("%s(%i) :FW Feature  = 0X%x", static_cast<unsigned>(record.feature));
    MORA_LOG("%s(%i) :FW Version  = %02d.%02d", record.firmwareVersion >> 8, record.firmwareVersion & 0xFF);
    MORA_LOG("%s(%i) :Target ID (as ret. by f/w) = %d", record.targetId);
    MORA_LOG("%s(%i) :Inquiry String = %s", d.inquiry);
}

// A reader whose upgrade type is known shows as its model, after its drive letter when it has one
// (a letter of 0 would end the name, and with it the host's list, right there).
void nameReader(ScsiDeviceRecord* record, DeviceInfoEntry* entry) {
    const char* model = ModelName(record->dfuType);
    if (!model) return;
    std::snprintf(record->name, sizeof record->name, "%s", model);
    const char drive = record->device->drive;
    if (drive)
        std::snprintf(entry->name, sizeof entry->name, "%c: %s", drive, model);
    else
        std::snprintf(entry->name, sizeof entry->name, "%s", model);
}

// Fills the entry at `position` for one reader; false when no record could be had.
bool addReader(DeviceInfoEntry* entry, ScsiDevice* device, int position) {
    auto* record = new (std::nothrow) ScsiDeviceRecord{};
    if (!record) {
        MORA_LOG("%s(%i) :Memory allocation failed. Error = %xh", static_cast<unsigned>(ERROR_NOT_ENOUGH_MEMORY));
        return false;
    }
    std::memset(entry, 0, sizeof *entry);
    std::snprintf(entry->name, sizeof entry->name, "%.20s", device->inquiry);
    std::memcpy(record->name, entry->name, sizeof record->name);
    record->device = device;
    entry->device = record;
    ReadDiagnosticLog(record, position);
    record->transferred = 0;
    record->firmwareVersion = kUnknownVersion;
    record->feature = kUnknown;
    ReadFeatureAndVersion(record);
    logReader(*record, position);
    nameReader(record, entry);
    return true;
}

void readOptions(const char* configPath) {
    char value[kOptionValueSize];
    if (ReadOption(configPath, "UPGRADEONLY", value) && OptionIsYes(value)) {
        state().options |= kOptionUpgradeOnly;
        MORA_LOG("%s(%i) :FW Upgrade Only");
    }
    if (ReadOption(configPath, "MATCHFEATURE", value) && OptionIsYes(value)) {
        state().options |= kOptionMatchFeature;
        MORA_LOG("%s(%i) :Match FW Feature");
    }
}

}  // namespace

}  // namespace mora

using namespace mora;

KPL_EXPORT int32_t KPLCreateDeviceInfoList(DeviceInfoList* list, const char* configPath) {
    if (!state().strings) {
        state().strings = LoadLibraryA("ZELFNRES.DLL");
        if (!state().strings) return KPL_E_STRINGS_NOT_LOADED;
    }
    int32_t status = KPL_OK;
    int position = 0;
    if (list) {
        ScsiListOptions options{};
        ScsiDevice* found = ScsiCreateDeviceInfoList(&options);
        keepDevices(found);
        position = firstFreeEntry(*list);
        for (ScsiDevice* device = found; device; device = device->next) {
            if (!isOurReader(*device)) continue;
            if (position >= KPL_MAX_DEVICES) {
                MORA_LOG("%s(%i) :List is full");
                status = KPL_E_LIST_FULL;
                break;
            }
            if (!addReader(&list->entries[position], device, position)) {
                status = KPL_E_NO_MEMORY;
                break;
            }
            if (++position == KPL_MAX_DEVICES) {
                MORA_LOG("%s(%i) :List is full");
                status = KPL_E_LIST_FULL;
                break;
            }
        }
        if (position < KPL_MAX_DEVICES) list->entries[position].name[0] = '\0';
        if (list->entries[0].name[0] == '\0') status = KPL_E_NO_DEVICE;
    } else {
        status = KPL_E_NO_DEVICE;
    }
    if (configPath) readOptions(configPath);
    return status;
}

KPL_EXPORT int32_t KPLDestroyDeviceInfoList(DeviceInfoList* list) {
    for (int i = 0; list && i < KPL_MAX_DEVICES && list->entries[i].name[0] != '\0'; ++i) {
        delete static_cast<ScsiDeviceRecord*>(list->entries[i].device);
        list->entries[i].device = nullptr;
    }
    ScsiDestroyDeviceInfoList(state().scsiDevices);
    state().scsiDevices = nullptr;
    return KPL_OK;
}
