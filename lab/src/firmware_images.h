// The firmware images the lab's readers start with, and the few fields of a SCSI-family image
// that a reader's firmware reports about itself. The image container is the system's format;
// the lab reads only what a reader would know about the firmware it runs (the lab is part of
// winsim, below the image library, so it cannot use that library).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lab {

constexpr uint32_t kFirmwareSize = 65536;

struct ScsiImageParams {
    int type = 0;              // the "SCSIDFU_0n" marker at 4150 (0 to 2), or -1 for none
    uint8_t productType = 1;   // CAPAB +6
    uint8_t feature = 0x01;    // CAPAB +7
    uint8_t major = 1, minor = 0;
    std::string signature;     // what the signature area at E000h starts with
};

// A complete SCSI-family image: type marker, "CAPAB" block, "CHKSUMSIG" with a range summing to
// zero, a signature area and the "ROVA_DFU" trailer.
std::vector<uint8_t> makeScsiFamilyImage(const ScsiImageParams& p);
// A Tarn type-2 external-firmware image: the version big-endian at offset 16, "DM3VALID" trailer.
std::vector<uint8_t> makeExternalImage(uint8_t major, uint8_t minor, const std::string& seed);

// What a SCSI-family reader's firmware says about the image it runs.
struct ScsiImageInfo {
    uint8_t dfuType = 0xFF;  // from the marker at 4150; 0xFF when the image has none
    uint8_t productType = 0, feature = 0, major = 0, minor = 0;  // from "CAPAB"; 0 without it
};
ScsiImageInfo inspectScsiImage(const uint8_t* data, size_t length);

}  // namespace lab
