// SCSI access to the card readers, shared by both plug-ins: the list of SCSI-reachable devices,
// opening and closing one, raw command blocks, and the ready-made reader commands.
//
// Two ways to reach a device, chosen by the platform when the list is built: on the 9x family
// through ASPI for Win32 (WNASPI32.DLL, loaded at run time; devices addressed by host adapter,
// target and LUN), everywhere else by opening the reader's volume ("\\.\E:") and sending
// SCSI_PASS_THROUGH_DIRECT requests.
//
// Plain functions: nonzero is success, 0 failure; nothing throws. Every function that takes a
// device checks first that the pointer is non-null and carries the device tag, and fails without
// touching anything otherwise. The library keeps no global state and takes no locks: a device and
// its list are used by one thread at a time.
#pragma once
#include <winsim/windows.h>

#include <cstddef>
#include <cstdint>

// "iScS" in memory: the tag every ScsiDevice carries.
constexpr uint32_t kScsiDeviceTag = 0x53635369u;

// ScsiDevice::interfaceType
constexpr uint8_t kScsiInterfaceAspi = 1;
constexpr uint8_t kScsiInterfaceVolume = 2;

// ScsiDevice::flags
constexpr uint32_t kScsiFlagOpen = 0x1;

// ScsiSendCdb direction
constexpr int32_t kScsiDataIn = 0;   // from the device
constexpr int32_t kScsiDataOut = 1;  // to the device

constexpr size_t kScsiSenseSize = 34;
constexpr size_t kScsiInquiryStringLength = 28;          // vendor 8 + product 16 + revision 4
constexpr size_t kScsiInquiryStringSize = kScsiInquiryStringLength + 1;
constexpr uint8_t kScsiMaxCdbLength = 16;

// Pass-through commands give up after this many seconds; FORMAT UNIT (04h) may take longer.
constexpr uint32_t kScsiTimeoutSeconds = 10;
constexpr uint32_t kScsiFormatTimeoutSeconds = 30;

// One SCSI-reachable device. Allocated zero-filled by the library and owned by the list it
// belongs to; callers read its fields and hand `device` to the functions below.
struct ScsiDevice {
    uint32_t tag;                  // kScsiDeviceTag
    uint32_t version;              // always 0
    uint32_t flags;                // kScsiFlagOpen while open
    HGLOBAL bounceMemory;          // 16 zeroed bytes for short reads (pass-through)
    uint8_t* bounce;               // the first 8-byte-aligned address inside bounceMemory
    ScsiDevice* next;              // the next device of the list, null at its end
    uint8_t interfaceType;         // kScsiInterfaceAspi or kScsiInterfaceVolume
    uint8_t pathId;                // ASPI host adapter; 0 for a volume
    uint8_t targetId;
    uint8_t lun;
    char drive;                    // upper-case drive letter, 0 when not known
    HANDLE handle;                 // ASPI: its AspiLibrary; volume: the open volume
    uint32_t lastError;            // the system error read right after a failed command
    ScsiDevice* device;            // the record itself
    uint8_t sense[kScsiSenseSize];  // cleared before every command; sense data after a failed one
    char inquiry[kScsiInquiryStringSize];  // 28 characters, blank-padded, terminated
};

// Handed zero-filled to ScsiCreateDeviceInfoList, which stores the number of devices it found.
struct ScsiListOptions {
    uint32_t count;
};

// Builds the device list and returns its first device, null when none was found or the search
// could not start. Devices are in the order they were found.
ScsiDevice* ScsiCreateDeviceInfoList(ScsiListOptions* options);
// Frees every device of the chain from `first` (null is accepted). It does not close devices:
// callers close what they opened first.
void ScsiDestroyDeviceInfoList(ScsiDevice* first);

// Opens the device by its interface; opening an open device succeeds without opening again.
int32_t ScsiOpenDevice(ScsiDevice* device);
// Closes an open device; a closed one is left alone (and counts as success).
int32_t ScsiCloseDevice(ScsiDevice* device);
int32_t ScsiSetAddress(ScsiDevice* device, uint8_t pathId, uint8_t targetId, uint8_t lun);

// Runs one command on an open device. cdbLength 1 to 16; dataLength 0 for no data phase, else
// the size of `data`; direction kScsiDataIn or kScsiDataOut. 1 on success; on failure 0 with the
// system error in lastError and the sense data in sense.
int32_t ScsiSendCdb(ScsiDevice* device, uint8_t cdbLength, const uint8_t* cdb, uint32_t dataLength, void* data,
                    int32_t direction);

// INQUIRY of allocationLength bytes into buffer.
int32_t ScsiInquiry(ScsiDevice* device, uint8_t* buffer, uint8_t allocationLength);
// The 28-character inquiry string into out (kScsiInquiryStringSize bytes), cleared first. Fails
// when the command fails or no device answers at this LUN (peripheral byte 7Fh).
int32_t ScsiGetInquiryString(ScsiDevice* device, char* out);

// The readers' vendor commands. reply holds 6 (features) or 16 (controller) bytes; blocks are
// 4,096 bytes each. A download takes its blocks from image + firstBlock * 4096, so the image
// must hold (firstBlock + blockCount) blocks.
int32_t ScsiDiagxGetFeatures(ScsiDevice* device, uint8_t* reply);
int32_t ScsiDiagxQueryController(ScsiDevice* device, uint8_t* reply);
int32_t ScsiRovaUpload(ScsiDevice* device, uint8_t* buffer, uint8_t blockCount, uint8_t firstBlock);
int32_t ScsiRovaDownload(ScsiDevice* device, const uint8_t* image, uint8_t blockCount, uint8_t firstBlock);

// Switches media change notification off for the volume of drive index driveIndex (0 = A:) for
// as long as the returned handle stays open; INVALID_HANDLE_VALUE when the volume cannot be
// opened. The caller closes the handle.
HANDLE ScsiDisableMcn(int32_t driveIndex);
