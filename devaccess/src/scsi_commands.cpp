// The ready-made commands: INQUIRY and the inquiry string, the readers' diagnostic queries and
// firmware block transfers, and switching media change notification off on a volume.
#include <protocol/reader_commands.h>

#include <cstdio>
#include <cstring>

#include "scsi_internal.h"

using namespace scsi;

int32_t ScsiInquiry(ScsiDevice* device, uint8_t* buffer, uint8_t allocationLength) {
    const uint8_t cdb[6] = {readercmd::kOpInquiry, 0, 0, 0, allocationLength, 0};
    return ScsiSendCdb(device, sizeof cdb, cdb, allocationLength, buffer, kScsiDataIn);
}

int32_t ScsiGetInquiryString(ScsiDevice* device, char* out) {
    if (!deviceValid(device) || !out) return 0;
    std::memset(out, 0, kScsiInquiryStringSize);
    uint8_t data[readercmd::kInquiryLength] = {};
    if (!ScsiInquiry(device, data, sizeof data)) return 0;
    if (data[0] == readercmd::kNoLogicalUnit) return 0;
    // Vendor, product and revision as one blank-padded text, even when a field holds a NUL.
    char fields[kScsiInquiryStringSize] = {};
    std::memcpy(fields, data + 8, kScsiInquiryStringLength);
    std::snprintf(out, kScsiInquiryStringSize, "%-28.28s", fields);
    return 1;
}

int32_t ScsiDiagxGetFeatures(ScsiDevice* device, uint8_t* reply) {
    return ScsiSendCdb(device, sizeof readercmd::kCdbFeatures, readercmd::kCdbFeatures,
                       readercmd::kFeaturesReplyLength, reply, kScsiDataIn);
}

int32_t ScsiDiagxQueryController(ScsiDevice* device, uint8_t* reply) {
    return ScsiSendCdb(device, sizeof readercmd::kCdbQueryController, readercmd::kCdbQueryController,
                       readercmd::kQueryControllerReplyLength, reply, kScsiDataIn);
}

int32_t ScsiRovaUpload(ScsiDevice* device, uint8_t* buffer, uint8_t blockCount, uint8_t firstBlock) {
    uint8_t cdb[readercmd::kRovaCdbLength] = {readercmd::kOpRova, 0, readercmd::kRovaRead};
    cdb[readercmd::kRovaReadCountByte] = blockCount;
    cdb[readercmd::kRovaReadFirstByte] = firstBlock;
    return ScsiSendCdb(device, sizeof cdb, cdb, blockCount * readercmd::kRovaBlockSize, buffer, kScsiDataIn);
}

int32_t ScsiRovaDownload(ScsiDevice* device, const uint8_t* image, uint8_t blockCount, uint8_t firstBlock) {
    if (!deviceValid(device)) return 0;
    if (!image) {
        SetLastError(ERROR_INVALID_PARAMETER);
        device->lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    uint8_t cdb[readercmd::kRovaCdbLength] = {readercmd::kOpRova, 0, readercmd::kRovaWrite};
    // The firmware refuses a block write without its access sequence, so a stray command never
    // reprograms a reader; the sequence is put together here and nowhere else.
    std::memcpy(cdb + 3, readercmd::kRovaAccessSequence, sizeof readercmd::kRovaAccessSequence);
    cdb[readercmd::kRovaWriteCountByte] = blockCount;
    cdb[readercmd::kRovaWriteFirstByte] = firstBlock;
    // The device only reads from the buffer of a data-out command.
    auto* blocks = const_cast<uint8_t*>(image) + static_cast<size_t>(firstBlock) * readercmd::kRovaBlockSize;
    return ScsiSendCdb(device, sizeof cdb, cdb, blockCount * readercmd::kRovaBlockSize, blocks, kScsiDataOut);
}

HANDLE ScsiDisableMcn(int32_t driveIndex) {
    if (driveIndex < 0 || driveIndex >= 26) {
        SetLastError(ERROR_INVALID_DRIVE);
        return INVALID_HANDLE_VALUE;
    }
    char path[8];
    std::snprintf(path, sizeof path, "\\\\.\\%c:", 'A' + driveIndex);
    HANDLE volume = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
    PREVENT_MEDIA_REMOVAL prevent{};
    prevent.PreventMediaRemoval = TRUE;
    DWORD returned = 0;
    // A volume that keeps notifying is no worse off than before: the result is not needed.
    DeviceIoControl(volume, IOCTL_STORAGE_MCN_CONTROL, &prevent, sizeof prevent, nullptr, 0, &returned, nullptr);
    return volume;
}
