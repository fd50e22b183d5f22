// What the Tarn readers' outside drivers define: the control codes of the reader's own driver,
// the Tarn DFU driver and the Plex monitor's driver, their device interface classes, the URB
// pass-through envelope, the descriptor request, and the vendor and DFU class requests the
// readers' firmware answers. The system builds its requests from these and the lab's drivers
// and reader models check what arrives against the same values. Byte-exact, packed,
// little-endian; header-only.
#pragma once
#include <cstddef>
#include <cstdint>

#include <winsim/guiddef.h>

namespace tarn {

// ---- device interface classes --------------------------------------------------------------
// The reader's own driver registers the functional class for a reader in functional mode, the
// DFU driver package the upgrade-mode class for a reader in upgrade mode.
inline constexpr GUID kFunctionalInterface = {0x7c8a1f3e, 0x5b2d, 0x4e61, {0x9a, 0x4c, 0x3d, 0x2f, 0x1e, 0x0b, 0x9a, 0x71}};
inline constexpr GUID kUpgradeInterface = {0xb3e91c52, 0x8d47, 0x4f0a, {0xa6, 0xe2, 0x51, 0xc9, 0xd7, 0xf3, 0x08, 0x4b}};

// ---- control codes (METHOD_BUFFERED, FILE_ANY_ACCESS) ----------------------------------------
inline constexpr uint32_t ctlCode(uint32_t deviceType, uint32_t function) { return deviceType << 16 | function << 2; }
inline constexpr uint32_t kIoctlGetDescriptor = ctlCode(0x22, 0x202);     // 0x220808
inline constexpr uint32_t kIoctlUrbPassThrough = ctlCode(0x22, 0x209);    // 0x220824
inline constexpr uint32_t kIoctlDfuDetach = ctlCode(0x22, 0x500);         // 0x221400
inline constexpr uint32_t kIoctlDfuUploadAll = ctlCode(0x22, 0x515);      // 0x221454
inline constexpr uint32_t kIoctlDfuDownloadAll = ctlCode(0x22, 0x516);    // 0x221458
inline constexpr uint32_t kIoctlPlexModuleAddRemove = ctlCode(0x22, 0x801);  // 0x222004
inline constexpr uint32_t kIoctlPlexSlotPath = ctlCode(0x22, 0x802);         // 0x222008
inline constexpr uint32_t kIoctlPlexSlotDrive = ctlCode(0x22, 0x804);        // 0x222010
// The helper driver DMHLP: the plug-in's own kernel-mode driver, which carries the envelope as
// well (to the device it was last given) and the hub port requests.
inline constexpr uint32_t kIoctlDmhlpQueryDfuCapab = ctlCode(0x22, 0x700);     // 0x221C00
inline constexpr uint32_t kIoctlDmhlpDetach = ctlCode(0x22, 0x701);            // 0x221C04
inline constexpr uint32_t kIoctlDmhlpCyclePort = ctlCode(0x22, 0x702);         // 0x221C08
inline constexpr uint32_t kIoctlDmhlpDetachAndCycle = ctlCode(0x22, 0x703);    // 0x221C0C
inline constexpr uint32_t kIoctlDmhlpSendDeviceObject = ctlCode(0x22, 0x704);  // 0x221C10
inline constexpr uint32_t kIoctlDmhlpResetDevice = ctlCode(0x22, 0x705);       // 0x221C14
inline constexpr uint32_t kIoctlDmhlpHookAddDevice = ctlCode(0x22, 0x706);     // 0x221C18
inline constexpr uint32_t kIoctlDmhlpHubPortRequest = ctlCode(0x22, 0x20A);    // 0x220828
inline constexpr uint32_t kIoctlDmhlpHubPowerUp = ctlCode(0x22, 0x20B);        // 0x22082C
static_assert(kIoctlDmhlpQueryDfuCapab == 0x221C00 && kIoctlDmhlpDetach == 0x221C04 && kIoctlDmhlpCyclePort == 0x221C08 &&
              kIoctlDmhlpDetachAndCycle == 0x221C0C && kIoctlDmhlpSendDeviceObject == 0x221C10 &&
              kIoctlDmhlpResetDevice == 0x221C14 && kIoctlDmhlpHookAddDevice == 0x221C18 &&
              kIoctlDmhlpHubPortRequest == 0x220828 && kIoctlDmhlpHubPowerUp == 0x22082C);
static_assert(kIoctlGetDescriptor == 0x220808 && kIoctlUrbPassThrough == 0x220824 && kIoctlDfuDetach == 0x221400 &&
              kIoctlDfuUploadAll == 0x221454 && kIoctlDfuDownloadAll == 0x221458 &&
              kIoctlPlexModuleAddRemove == 0x222004 && kIoctlPlexSlotPath == 0x222008 && kIoctlPlexSlotDrive == 0x222010);

// Whole-image transfers of the DFU driver.
inline constexpr uint32_t kUploadFull = 65536;
inline constexpr uint32_t kUploadHalf = 32768;

// ---- URB pass-through envelope ----------------------------------------------------------------
enum : uint8_t { kKindControl = 0, kKindBulk = 1, kKindPipeReset = 2 };
enum : uint32_t { kDirectionNone = 0, kDirectionOut = 1, kDirectionIn = 2 };
// URB functions an envelope may name.
enum : uint8_t {
    kUrbDescriptorFromDevice = 0x0B,
    kUrbVendorInterface = 0x18,
    kUrbClassInterface = 0x1B,
    kUrbResetPipe = 0x1E,
    kUrbClassOther = 0x1F,
};

#pragma pack(push, 1)
struct Envelope {
    uint8_t kind;
    uint8_t urbFunction;
    uint32_t direction;
    uint32_t length;     // data bytes; a bulk-in returns how many arrived
    uint32_t ntStatus;   // out
    uint32_t usbStatus;  // out
    uint8_t bmRequestType;
    uint8_t bRequest;
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength;
    // the data phase follows
};
#pragma pack(pop)
inline constexpr size_t kEnvelopeHeader = 26;
inline constexpr size_t kEnvelopeMinimum = 27;  // a request without data still passes one byte
static_assert(sizeof(Envelope) == kEnvelopeHeader);
static_assert(offsetof(Envelope, ntStatus) == 10 && offsetof(Envelope, usbStatus) == 14 &&
              offsetof(Envelope, bmRequestType) == 18 && offsetof(Envelope, wLength) == 24);

// NT statuses that mean the reader is gone.
inline constexpr uint32_t kStatusDeviceRemoved = 0xC00002B6;
inline constexpr uint32_t kStatusDeviceNotConnected = 0xC000009D;
inline constexpr uint32_t kStatusDeviceDataError = 0xC000009C;
// USB statuses with their top four bits removed.
inline constexpr uint32_t kUsbStall = 0x04, kUsbTransactionError = 0x11, kUsbBabble = 0x12;
inline constexpr uint32_t usbCondition(uint32_t usbStatus) { return usbStatus & 0x0FFFFFFF; }

// ---- descriptor request (IOCTL_TARN_GET_DESCRIPTOR) ---------------------------------------------
// In: 16-bit index, 16-bit type; out: the descriptor from offset 0 of the same buffer.
inline constexpr size_t kDescriptorRequestHeader = 4;
inline constexpr size_t kDeviceDescriptorRequest = 18;
inline constexpr size_t kStringDescriptorRequest = 260;
inline constexpr uint16_t kDescriptorDevice = 1, kDescriptorString = 3;

// ---- what the firmware answers ----------------------------------------------------------------
// Vendor requests to the interface (bmRequestType C0h in, 41h out).
inline constexpr uint8_t kVendorIn = 0xC0, kVendorOut = 0x41;
inline constexpr uint8_t kReqFirmwareVersion = 0x01;  // 2 bytes: minor, major
inline constexpr uint8_t kReqDeviceType = 0x08;       // 2 bytes: LE product type
inline constexpr uint8_t kReqUpgradeType = 0xD2;      // 1 byte: dfuType
inline constexpr uint8_t kReqPlexProbe = 0xE0;        // no data: succeeds on a Plex monitor only
inline constexpr uint8_t kReqPlexHighestSlot = 0xE1;  // 1 byte in (sent with bmRequestType 41h)
// Sent before the identity requests of a reader on the generic mass-storage driver (41h, no data).
inline constexpr uint8_t kReqPrepareQuery = 0xD0;

// DFU class requests to the interface (21h out, A1h in).
inline constexpr uint8_t kDfuOut = 0x21, kDfuIn = 0xA1;
inline constexpr uint8_t kDfuDetach = 0x00, kDfuDownload = 0x01, kDfuUpload = 0x02, kDfuGetStatus = 0x03,
                         kDfuClearStatus = 0x04, kDfuGetState = 0x05, kDfuAbort = 0x06;
inline constexpr uint32_t kDfuBlockSize = 1024;  // the DFU driver moves images in blocks of this size

// Interface classes of a reader: its functional interface is vendor-specific next to the mass
// storage one; in upgrade mode it has the DFU interface only.
inline constexpr uint8_t kClassVendor = 0xFF;
inline constexpr uint8_t kClassApplication = 0xFE, kSubclassDfu = 0x01;

// ---- the Plex monitor's driver ------------------------------------------------------------------
inline constexpr size_t kSlotPathMax = 1024;
inline constexpr size_t kSlotDriveLength = 6;
inline constexpr uint8_t kSlotDriveRequest[4] = {0x47, 0x44, 0x54, 0x53};  // "GDTS"
inline constexpr uint8_t kSlotDriveReply[4] = {0x53, 0x54, 0x44, 0x47};    // "STDG"
inline constexpr size_t kSlotDriveLetter = 5;

// ---- identifiers -------------------------------------------------------------------------------
// A reader of dfuType 3 comes back in upgrade mode under these identifiers.
inline constexpr uint16_t kUpgradeVendor3 = 0x04E6, kUpgradeProduct3 = 0x04E9;

}  // namespace tarn
