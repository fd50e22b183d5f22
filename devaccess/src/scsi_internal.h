// What the SCSI access files share among themselves (and with their tests): device records, the
// ASPI interface of one open device, and the two request layouts a command is sent in.
#pragma once
#include <devaccess/scsi.h>
#include <winsim/ntddscsi.h>
#include <winsim/windows.h>
#include <winsim/wnaspi32.h>

#include <cstddef>
#include <cstdint>

namespace scsi {

// ---- device records -------------------------------------------------------------------------

inline bool deviceValid(const ScsiDevice* device) { return device && device->tag == kScsiDeviceTag; }

// A zero-filled record with its tag, its bounce block and `device` pointing at itself; null when
// memory cannot be had.
ScsiDevice* allocDevice(uint8_t interfaceType);
// Frees the bounce block and the record (null is accepted).
void freeDevice(ScsiDevice* device);

// ---- ASPI -------------------------------------------------------------------------------------

// "tHsC" in memory.
constexpr uint32_t kAspiLibraryTag = 0x43734874u;

// WNASPI32.DLL as loaded for one open device.
struct AspiLibrary {
    uint32_t tag;
    HMODULE module;
    PFN_SendASPI32Command sendCommand;
    PFN_GetASPI32SupportInfo supportInfo;
};

inline bool aspiValid(const AspiLibrary* library) {
    return library && library != INVALID_HANDLE_VALUE && library->tag == kAspiLibraryTag;
}

// Loads WNASPI32.DLL and both its entry points; null (nothing left loaded) when any is missing.
AspiLibrary* AspiLoad();
// Unloads and frees a valid library; null, the invalid-handle value and a wrong tag are ignored.
// FALSE when the module could not be unloaded (the record is kept then).
BOOL AspiUnload(AspiLibrary* library);
// Sends one request and waits for it; answers the request's ASPI status, SS_INSUFFICIENT_RESOURCES
// when no completion event could be made, SS_BAD_INSTALL for an invalid library.
DWORD AspiExecute(AspiLibrary* library, SRB_ExecSCSICmd* request);

// Fills a zeroed SC_EXEC_SCSI_CMD request for the device's address (the caller has checked the
// arguments). The SCSI-2 LUN field of CDB byte 1 carries the device's LUN.
void buildAspiRequest(const ScsiDevice& device, uint8_t cdbLength, const uint8_t* cdb, uint32_t dataLength,
                      void* data, int32_t direction, SRB_ExecSCSICmd* request);

// Gives list devices the drive letters the 9x family keeps in its registry, looking for at most
// `wanted` letters.
void assignNineXDriveLetters(ScsiDevice* first, uint32_t wanted);

// ---- pass-through -----------------------------------------------------------------------------

// The request block of IOCTL_SCSI_PASS_THROUGH_DIRECT with room for sense data behind it: 80
// bytes with the sense area at 48 in the 32-bit layout, 96 bytes with it at 60 in the native
// 64-bit one (the structure holds a pointer). Code uses sizeof and offsetof, never the numbers.
struct PassThroughBlock {
    SCSI_PASS_THROUGH_DIRECT spt;
    ULONG filler;
    UCHAR sense[32];
};
static_assert(sizeof(void*) != 8 || (sizeof(PassThroughBlock) == 96 && offsetof(PassThroughBlock, sense) == 60),
              "native 64-bit pass-through block");
static_assert(sizeof(void*) != 4 || (sizeof(PassThroughBlock) == 80 && offsetof(PassThroughBlock, sense) == 48),
              "32-bit pass-through block");

// The sense bytes a pass-through request asks for.
constexpr UCHAR kPassThroughSenseLength = 24;
// Reads shorter than this go through the device's bounce block.
constexpr uint32_t kShortReadLength = 8;

// Fills a zeroed block for the device's address; answers whether the data phase was redirected
// to the device's bounce block (a read shorter than 8 bytes, made as an 8-byte read).
bool buildPassThroughBlock(const ScsiDevice& device, uint8_t cdbLength, const uint8_t* cdb, uint32_t dataLength,
                           void* data, int32_t direction, PassThroughBlock* block);

}  // namespace scsi
