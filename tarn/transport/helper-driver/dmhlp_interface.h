// What the helper driver DMHLP and the plug-in agree on besides the control codes and the URB
// envelope (protocol/tarn_usb.h): the names under which the driver is installed and reached, the
// query record of IOCTL_DMHLP_QUERY_DFU_CAPAB and the hub port request. Byte-exact, packed,
// little-endian; shared by the driver's image and the plug-in's client so that both read the
// same offsets.
#pragma once
#include <cstddef>
#include <cstdint>

#include <protocol/tarn_usb.h>

namespace dmhlp {

inline constexpr const char* kImageName = "DMHLP.SYS";
inline constexpr const char* kServiceName = "DMHLPDRV";
inline constexpr const char16_t* kControlDeviceName = u"\\Device\\DMHLPDRV";
inline constexpr const char16_t* kControlLinkName = u"\\DosDevices\\DMHLPDRV";
// Function devices are "\Device\DMHLP%d", numbered from 0 in the order they are created.
inline constexpr const char16_t* kFunctionDevicePrefix = u"\\Device\\DMHLP";

// ---- IOCTL_DMHLP_QUERY_DFU_CAPAB: one record, input and output ---------------------------------
inline constexpr size_t kQueryRecordSize = 1583;
inline constexpr size_t kDeviceNameField = 512;
inline constexpr size_t kStringField = 518;
inline constexpr size_t kStringDescriptorBytes = 260;  // what the driver asks each string for
inline constexpr uint8_t kQueryFromDeviceList = 0xFF;  // dfuType on input: the whole identity
inline constexpr uint8_t kQueryObjectOnly = 0xFE;      // dfuType on input: only the device object

#pragma pack(push, 1)
struct QueryRecord {
    uint16_t size;                        // 0: kQueryRecordSize
    char deviceName[kDeviceNameField];    // 2: physical device object name, terminated
    uint32_t retryCount;                  // 514: becomes the driver's URB retry limit
    uint32_t platformId;                  // 518: nonzero: a URB failing with a data error is retried
    uint32_t deviceObject;                // 522: out
    uint32_t identityRead;                // 526: out, 1 once the vendor requests began
    uint8_t versionMajor;                 // 530
    uint8_t versionMinor;                 // 531
    uint8_t deviceType;                   // 532
    uint8_t reserved533[4];
    uint16_t productId;                   // 537
    uint16_t vendorId;                    // 539
    uint8_t manufacturerLength;           // 541: bLength of the string descriptor
    uint8_t manufacturerType;             // 542: its bDescriptorType
    uint8_t manufacturer[kStringField];   // 543: UTF-16 text
    uint8_t productLength;                // 1061
    uint8_t productType;                  // 1062
    uint8_t product[kStringField];        // 1063
    uint8_t dfuType;                      // 1581: in kQueryFromDeviceList or kQueryObjectOnly; out the upgrade type
    uint8_t serialIndex;                  // 1582
};
#pragma pack(pop)
static_assert(sizeof(QueryRecord) == kQueryRecordSize);
static_assert(offsetof(QueryRecord, deviceName) == 2 && offsetof(QueryRecord, retryCount) == 514 &&
              offsetof(QueryRecord, platformId) == 518 && offsetof(QueryRecord, deviceObject) == 522 &&
              offsetof(QueryRecord, identityRead) == 526 && offsetof(QueryRecord, versionMajor) == 530 &&
              offsetof(QueryRecord, versionMinor) == 531 && offsetof(QueryRecord, deviceType) == 532 &&
              offsetof(QueryRecord, productId) == 537 && offsetof(QueryRecord, vendorId) == 539 &&
              offsetof(QueryRecord, manufacturerLength) == 541 && offsetof(QueryRecord, manufacturer) == 543 &&
              offsetof(QueryRecord, productLength) == 1061 && offsetof(QueryRecord, product) == 1063 &&
              offsetof(QueryRecord, dfuType) == 1581 && offsetof(QueryRecord, serialIndex) == 1582);

// ---- IOCTL_DMHLP_HUB_PORT_REQUEST: the hub's name, then an envelope without data ----------------
inline constexpr size_t kHubNameField = 256;
inline constexpr size_t kHubPortRequestSize = 283;
#pragma pack(push, 1)
struct HubPortRequest {
    char hubName[kHubNameField];  // physical device object name of the hub, terminated
    tarn::Envelope envelope;      // 256: ntStatus at 266, usbStatus at 270
    uint8_t spare;
};
#pragma pack(pop)
static_assert(sizeof(HubPortRequest) == kHubPortRequestSize);
static_assert(offsetof(HubPortRequest, envelope) + offsetof(tarn::Envelope, ntStatus) == 266 &&
              offsetof(HubPortRequest, envelope) + offsetof(tarn::Envelope, usbStatus) == 270);

// Hub class request to a port ("other"): SET_FEATURE / CLEAR_FEATURE of PORT_POWER.
inline constexpr uint8_t kHubSetFeature = 3, kHubClearFeature = 1;
inline constexpr uint16_t kHubPortPower = 8;

}  // namespace dmhlp
