// The plug-in's own description of one listed Tarn reader, which every operation reads and
// updates. A scan allocates one per listed reader (zero-filled) and hangs it on the entry's
// `device`; the end of a scan frees it.
#pragma once
#include <cstdint>

#include <winsim/windows.h>

namespace tarn {

// deviceMode: how the reader is reached now.
constexpr int32_t kModeSwitching = 0;       // a mode switch is under way
constexpr int32_t kModeOwnDriver = 1;       // functional, the reader's own driver
constexpr int32_t kModeUpgrade = 2;         // upgrade mode, Tarn controller
constexpr int32_t kModeMassStorage = 3;     // functional, the generic mass-storage driver
constexpr int32_t kModeKv7Upgrade = 4;      // upgrade mode, KV7 controller

constexpr uint8_t kUnknownDfuType = 255;
constexpr uint8_t kPlexMonitorDrive = 255;  // driveLetter of the Plex monitor itself

struct TarnDeviceRecord {
    char devicePath[1024];    // interface path (MSD, DFU), or PDO name (mass-storage group)
    int32_t deviceMode;
    int32_t transferred;      // 1 once a download or upload ran on it
    char productName[MAX_PATH];
    char manufacturerName[MAX_PATH];
    char serialNumber[MAX_PATH];
    uint32_t firmwareVersion;  // major * 256 + minor
    uint32_t deviceType;       // product type code
    uint32_t vendorProduct;    // idVendor * 65536 + idProduct
    HANDLE deviceHandle;
    int32_t deviceObject;      // the helper driver's id of the device (mass-storage group)
    uint32_t devInst;
    uint32_t childDevInst;
    uint8_t dfuType;           // 0 to 10; kUnknownDfuType
    uint8_t feature;           // 255 unknown
    int32_t typeFromSystem;    // 1: deviceType came from the system (KRD50N recovery)
    uint8_t slot;              // of a Plex module in its monitor
    uint8_t driveLetter;       // upper case; 0 none; kPlexMonitorDrive for the monitor
    int32_t isModule;
    uint32_t imageSize;        // KV7: the programmable area
    uint32_t imageBase;
};

// A zero-filled record with no handle; null when no memory is left.
TarnDeviceRecord* NewDeviceRecord();
// Frees a record, closing its handle first when it holds one of its own (the helper driver's
// handle is shared, and stays).
void FreeDeviceRecord(TarnDeviceRecord* record);

inline bool inUpgradeMode(const TarnDeviceRecord& r) {
    return r.deviceMode == kModeUpgrade || r.deviceMode == kModeKv7Upgrade;
}

}  // namespace tarn
