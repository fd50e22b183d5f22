// One SCSI device: its record, opening and closing it, and running a command block through
// whichever interface reaches it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "scsi_internal.h"

namespace scsi {

namespace {

constexpr size_t kBounceSize = 16;  // holds an 8-byte read on an 8-byte boundary wherever it starts

int32_t sendAspi(ScsiDevice* device, uint8_t cdbLength, const uint8_t* cdb, uint32_t dataLength, void* data,
                 int32_t direction) {
    SRB_ExecSCSICmd request;
    buildAspiRequest(*device, cdbLength, cdb, dataLength, data, direction, &request);
    const DWORD status = AspiExecute(static_cast<AspiLibrary*>(device->handle), &request);
    if (status == SS_COMP && (request.SRB_HaStat == HASTAT_OK || request.SRB_HaStat == HASTAT_DO_DU)) return 1;
    device->lastError = GetLastError();
    if (status == SS_ERR) std::memcpy(device->sense, request.SenseArea, SENSE_LEN);
    return 0;
}

int32_t sendPassThrough(ScsiDevice* device, uint8_t cdbLength, const uint8_t* cdb, uint32_t dataLength, void* data,
                        int32_t direction) {
    PassThroughBlock block;
    const bool bounced = buildPassThroughBlock(*device, cdbLength, cdb, dataLength, data, direction, &block);
    // A short read lands in the bounce block; stale bytes of an earlier command must not reach
    // the caller when this one transfers less.
    if (bounced) std::memset(device->bounce, 0, kShortReadLength);
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(device->handle, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block, &block,
                                    sizeof block, &returned, nullptr);
    const DWORD error = GetLastError();
    if (bounced) std::memcpy(data, device->bounce, dataLength);
    if (ok && block.spt.ScsiStatus == 0) return 1;
    device->lastError = error;
    // The driver says how much sense it stored; never trust that beyond the room there is.
    const size_t sense = std::min<size_t>({block.spt.SenseInfoLength, sizeof block.sense, sizeof device->sense});
    std::memcpy(device->sense, block.sense, sense);
    SetLastError(error);
    return 0;
}

}  // namespace

ScsiDevice* allocDevice(uint8_t interfaceType) {
    auto* device = static_cast<ScsiDevice*>(std::calloc(1, sizeof(ScsiDevice)));
    if (!device) return nullptr;
    device->bounceMemory = GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, kBounceSize);
    if (!device->bounceMemory) {
        std::free(device);
        return nullptr;
    }
    const auto base = reinterpret_cast<uintptr_t>(device->bounceMemory);
    device->bounce = reinterpret_cast<uint8_t*>((base + 7) & ~uintptr_t{7});
    device->tag = kScsiDeviceTag;
    device->interfaceType = interfaceType;
    device->device = device;
    return device;
}

void freeDevice(ScsiDevice* device) {
    if (!device) return;
    if (device->bounceMemory) GlobalFree(device->bounceMemory);
    device->tag = 0;  // a stale pointer to it fails every check
    std::free(device);
}

bool buildPassThroughBlock(const ScsiDevice& device, uint8_t cdbLength, const uint8_t* cdb, uint32_t dataLength,
                           void* data, int32_t direction, PassThroughBlock* block) {
    std::memset(block, 0, sizeof *block);
    SCSI_PASS_THROUGH_DIRECT& spt = block->spt;
    spt.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    spt.PathId = device.pathId;
    spt.TargetId = device.targetId;
    spt.Lun = device.lun;
    spt.CdbLength = cdbLength;
    spt.SenseInfoLength = kPassThroughSenseLength;
    spt.SenseInfoOffset = offsetof(PassThroughBlock, sense);
    spt.DataIn = SCSI_IOCTL_DATA_OUT;
    // FORMAT UNIT runs longer than any other command the readers know.
    spt.TimeOutValue = cdb[0] == 0x04 ? kScsiFormatTimeoutSeconds : kScsiTimeoutSeconds;
    std::memcpy(spt.Cdb, cdb, std::min<size_t>(cdbLength, sizeof spt.Cdb));
    bool bounced = false;
    if (dataLength != 0) {
        spt.DataIn = direction == kScsiDataIn ? SCSI_IOCTL_DATA_IN : SCSI_IOCTL_DATA_OUT;
        spt.DataTransferLength = dataLength;
        spt.DataBuffer = data;
        // Some adapters cannot transfer fewer than 8 bytes into an unaligned buffer.
        if (spt.DataIn == SCSI_IOCTL_DATA_IN && dataLength < kShortReadLength) {
            spt.DataTransferLength = kShortReadLength;
            spt.DataBuffer = device.bounce;
            bounced = true;
        }
    }
    return bounced;
}

}  // namespace scsi

using namespace scsi;

int32_t ScsiOpenDevice(ScsiDevice* device) {
    if (!deviceValid(device)) return 0;
    if (device->flags & kScsiFlagOpen) return 1;
    switch (device->interfaceType) {
    case kScsiInterfaceAspi: {
        AspiLibrary* library = AspiLoad();
        if (!library) return 0;
        device->handle = library;
        break;
    }
    case kScsiInterfaceVolume: {
        if (device->drive < 'A' || device->drive > 'Z') {
            SetLastError(ERROR_INVALID_DRIVE);
            return 0;
        }
        char path[8];
        std::snprintf(path, sizeof path, "\\\\.\\%c:", device->drive);
        HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return 0;
        device->handle = h;
        break;
    }
    default:
        SetLastError(ERROR_INVALID_FUNCTION);
        return 0;
    }
    device->flags |= kScsiFlagOpen;
    return 1;
}

int32_t ScsiCloseDevice(ScsiDevice* device) {
    if (!deviceValid(device)) return 0;
    if (!(device->flags & kScsiFlagOpen)) return 1;
    if (device->interfaceType == kScsiInterfaceAspi)
        AspiUnload(static_cast<AspiLibrary*>(device->handle));
    else if (device->interfaceType == kScsiInterfaceVolume)
        CloseHandle(device->handle);
    device->handle = INVALID_HANDLE_VALUE;
    device->flags &= ~kScsiFlagOpen;
    return 1;
}

int32_t ScsiSetAddress(ScsiDevice* device, uint8_t pathId, uint8_t targetId, uint8_t lun) {
    if (!deviceValid(device)) return 0;
    device->pathId = pathId;
    device->targetId = targetId;
    device->lun = lun;
    return 1;
}

int32_t ScsiSendCdb(ScsiDevice* device, uint8_t cdbLength, const uint8_t* cdb, uint32_t dataLength, void* data,
                    int32_t direction) {
    if (!deviceValid(device)) return 0;
    std::memset(device->sense, 0, sizeof device->sense);
    DWORD refused = ERROR_SUCCESS;
    if (!cdb || cdbLength == 0 || cdbLength > kScsiMaxCdbLength || (dataLength != 0 && !data) ||
        (direction != kScsiDataIn && direction != kScsiDataOut))
        refused = ERROR_INVALID_PARAMETER;
    else if (!(device->flags & kScsiFlagOpen))
        refused = ERROR_INVALID_HANDLE;
    else if (device->interfaceType != kScsiInterfaceAspi && device->interfaceType != kScsiInterfaceVolume)
        refused = ERROR_INVALID_FUNCTION;
    if (refused != ERROR_SUCCESS) {
        SetLastError(refused);
        device->lastError = refused;
        return 0;
    }
    if (device->interfaceType == kScsiInterfaceAspi) return sendAspi(device, cdbLength, cdb, dataLength, data, direction);
    return sendPassThrough(device, cdbLength, cdb, dataLength, data, direction);
}
