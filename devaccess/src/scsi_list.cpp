// The list of SCSI-reachable devices: on the 9x family every address ASPI can reach is probed,
// elsewhere every removable and CD-ROM volume. A device is listed when it answers INQUIRY.
#include <cstring>

#include "scsi_internal.h"

namespace scsi {

namespace {

// ASPI addresses the search probes, nested in this order.
constexpr uint8_t kAspiAdapters = 16;
constexpr uint8_t kAspiTargets = 7;
constexpr uint8_t kAspiLuns = 7;

struct ListBuilder {
    ScsiDevice* first = nullptr;
    ScsiDevice* last = nullptr;
    uint32_t count = 0;

    // Appends a copy of what the probe found; false when no record could be had.
    bool append(const ScsiDevice& probe, const char* inquiry) {
        ScsiDevice* device = allocDevice(probe.interfaceType);
        if (!device) return false;
        device->pathId = probe.pathId;
        device->targetId = probe.targetId;
        device->lun = probe.lun;
        device->drive = probe.drive;
        std::memcpy(device->inquiry, inquiry, kScsiInquiryStringSize);
        device->inquiry[kScsiInquiryStringLength] = '\0';
        if (last)
            last->next = device;
        else
            first = device;
        last = device;
        ++count;
        return true;
    }
};

ScsiDevice* aspiList(ScsiListOptions* options) {
    ScsiDevice* probe = allocDevice(kScsiInterfaceAspi);
    if (!probe) return nullptr;
    if (!ScsiOpenDevice(probe)) {
        freeDevice(probe);
        return nullptr;
    }
    ListBuilder list;
    bool full = false;
    for (uint8_t adapter = 0; adapter < kAspiAdapters && !full; ++adapter)
        for (uint8_t target = 0; target < kAspiTargets && !full; ++target)
            for (uint8_t lun = 0; lun < kAspiLuns && !full; ++lun) {
                ScsiSetAddress(probe, adapter, target, lun);
                char inquiry[kScsiInquiryStringSize];
                if (ScsiGetInquiryString(probe, inquiry)) full = !list.append(*probe, inquiry);
            }
    ScsiCloseDevice(probe);
    freeDevice(probe);
    if (options) options->count = list.count;
    if (list.first) assignNineXDriveLetters(list.first, list.count);
    return list.first;
}

ScsiDevice* volumeList(ScsiListOptions* options) {
    const DWORD drives = GetLogicalDrives();
    if (drives == 0) return nullptr;
    ScsiDevice* probe = allocDevice(kScsiInterfaceVolume);
    if (!probe) return nullptr;
    ListBuilder list;
    // A: is never probed: touching a floppy drive without a disk stalls the machine.
    for (int index = 1; index < 26; ++index) {
        if (!(drives & (1u << index))) continue;
        const char letter = static_cast<char>('A' + index);
        const char root[] = {letter, ':', '\\', '\0'};
        const UINT type = GetDriveTypeA(root);
        if (type != DRIVE_REMOVABLE && type != DRIVE_CDROM) continue;
        probe->drive = letter;
        if (!ScsiOpenDevice(probe)) continue;
        char inquiry[kScsiInquiryStringSize];
        const bool answered = ScsiGetInquiryString(probe, inquiry) != 0;
        ScsiCloseDevice(probe);
        if (answered && !list.append(*probe, inquiry)) break;
    }
    freeDevice(probe);
    if (options) options->count = list.count;
    return list.first;
}

}  // namespace

}  // namespace scsi

using namespace scsi;

ScsiDevice* ScsiCreateDeviceInfoList(ScsiListOptions* options) {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    const bool aspi = GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS;
    if (options) options->count = 0;
    return aspi ? aspiList(options) : volumeList(options);
}

void ScsiDestroyDeviceInfoList(ScsiDevice* first) {
    // A record without the tag is not one of ours: the walk stops there rather than free it.
    while (deviceValid(first)) {
        ScsiDevice* next = first->next;
        freeDevice(first);
        first = next;
    }
}
