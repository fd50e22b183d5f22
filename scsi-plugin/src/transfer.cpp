// Moving firmware: reading a reader's 64 KB into a file (upload, also the backup before a
// download) and writing an image into it (download). The first 4 KB block holds the reader's
// boot loader and is never written; the 4 KB at E000h are the reader's own signature area, which
// the new firmware carries over from the old.
#include <protocol/reader_commands.h>
#include <image/binfile.h>
#include <image/signatures.h>

#include <cstring>

#include "mora.h"

namespace mora {

namespace {

constexpr uint8_t kAllBlocks = readercmd::kRovaBlockCount;
constexpr uint8_t kFirstWritten = 1;
constexpr uint8_t kWrittenBlocks = kAllBlocks - kFirstWritten;
constexpr uint32_t kSignatureArea = readercmd::kSignatureAreaOffset;
constexpr uint32_t kBlockSize = readercmd::kRovaBlockSize;
static_assert(kAllBlocks * kBlockSize == kFirmwareSize, "sixteen blocks are the whole firmware");
static_assert(kSignatureArea + kBlockSize <= kFirmwareSize, "the signature area lies inside the firmware");

// Reads the whole firmware of an open device into file (created with kFirmwareSize bytes) and
// writes it out: KPL_OK, 213 or 206.
int32_t readFirmwareInto(ScsiDevice* device, image::BinFile* file) {
    if (!ScsiRovaUpload(device, file->data(), kAllBlocks, 0)) {
        MORA_LOG("%s(%i) :ScsiRovaUpload failed.");
        return KPL_E_FIRMWARE_READ;
    }
    return file->Write() ? KPL_OK : KPL_E_OUTPUT_WRITE;
}

}  // namespace

}  // namespace mora

using namespace mora;

KPL_EXPORT int32_t KPLUploadFirmware(DeviceInfoList* list, uint8_t deviceIndex, const char* targetPath,
                                     ProgressCallback progress, volatile int32_t*) {
    ScsiDeviceRecord* record = RecordAt(list, deviceIndex);
    if (!record) return KPL_E_DEVICE_OPEN;
    record->transferred = 1;
    image::BinFile target(image::BinFamily::Scsi, state().logger);
    if (!target.Create(targetPath, kFirmwareSize, true)) return KPL_E_OUTPUT_CREATE;
    MORA_LOG("%s(%i) :Device Instance = %d", deviceIndex);
    if (!ScsiOpenDevice(record->device)) {
        MORA_LOG_AT("KPLMORA", "%s (%i):Failed to open device %d. Error = %xh", deviceIndex,
                    static_cast<unsigned>(GetLastError()));
        return KPL_E_DEVICE_OPEN;
    }
    MORA_PLAIN("Uploading Firmware...");
    Report(progress, 20, KPL_TEXT_UPLOADING);
    const int32_t status = readFirmwareInto(record->device, &target);
    ScsiCloseDevice(record->device);
    if (status != KPL_OK) return status;
    MORA_PLAIN("Upload Completed Successfully");
    Report(progress, 80, KPL_TEXT_UPLOAD_DONE);
    return KPL_OK;
}

KPL_EXPORT int32_t KPLDownloadFirmware(DeviceInfoList* list, uint8_t deviceIndex, const char* backupPath,
                                       const char* imagePath, ProgressCallback progress, volatile int32_t*) {
    ScsiDeviceRecord* record = RecordAt(list, deviceIndex);
    if (!record) return KPL_E_DEVICE_OPEN;
    record->transferred = 1;
    const bool withBackup = backupPath && backupPath[0] != '\0';
    image::BinFile backup(image::BinFamily::Scsi, state().logger);
    if (withBackup && !backup.Create(backupPath, kFirmwareSize, true)) return KPL_E_OUTPUT_CREATE;

    ScsiDevice* device = record->device;
    if (!ScsiOpenDevice(device)) {
        MORA_LOG("%s(%i) :ScsiOpenDevice failed.");
        return KPL_E_DEVICE_OPEN;
    }
    // Every path from here closes the device again.
    struct Closer {
        ScsiDevice* device;
        ~Closer() { ScsiCloseDevice(device); }
    } closer{device};

    if (withBackup) {
        MORA_PLAIN("Uploading Firmware...");
        Report(progress, 20, KPL_TEXT_UPLOADING);
        if (const int32_t status = readFirmwareInto(device, &backup)) return status;
        MORA_PLAIN("Upload Completed Successfully");
        Report(progress, 20, KPL_TEXT_UPLOAD_DONE);
    }

    image::BinFile file(image::BinFamily::Scsi, state().logger);
    if (!file.Load(imagePath)) return KPL_E_IMAGE_UNREADABLE;
    // The patch at E000h and the 15-block write take the image as 64 KB: nothing else may reach them.
    if (image::DecideScsiType(file.data(), file.length(), state().logger) == image::kScsiTypeUnknown ||
        file.length() != kFirmwareSize) {
        MORA_LOG("%s(%i) :Unknown binary type\r\n");
        return KPL_E_IMAGE_TYPE;
    }

    uint8_t area[kBlockSize];
    if (ReadSignatureArea(device, area)) {
        MORA_LOG("%s(%i) :Patching Signature String");
        std::memcpy(file.data() + kSignatureArea, area, sizeof area);
    } else {
        MORA_LOG("%s(%i) :Not able to read Signature String");
    }

    MORA_PLAIN("Downloading Firmware...");
    Report(progress, withBackup ? 40 : 80, KPL_TEXT_DOWNLOADING);
    if (!ScsiRovaDownload(device, file.data(), kWrittenBlocks, kFirstWritten)) {
        MORA_LOG("%s(%i) :ScsiRovaDownload failed.");
        return KPL_E_FIRMWARE_WRITE;
    }
    MORA_PLAIN("Download Completed Successfully");
    Report(progress, 20, KPL_TEXT_DOWNLOAD_DONE);
    return KPL_OK;
}
