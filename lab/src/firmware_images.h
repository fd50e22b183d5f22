// The firmware images the lab's readers start with, and the few fields of an image that a
// reader's firmware reports about itself. The image container is the system's format;
// the lab reads only what a reader would know about the firmware it runs (the lab is part of
// winsim, below the image library, so it cannot use that library).
#pragma once
#include <cstddef>
#include <array>
#include <cstdint>
#include <optional>
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

// Tarn readers. Their flash holds an image laid out as the system's own builder lays it out: the
// type marker the controller's upgrade protocol asks for, "CRCCODEBEGIN" at 4096 naming a range up
// to the trailer that sums to zero, "CAPAB", "CSED", "SERCHKC" (with a serial number) and "DESC"
// from 0x1100 with the strings after them, and "DFUVALID" in the last eight bytes.
enum class TarnSerial { None, Number, String };

struct TarnImageParams {
    uint8_t dfuType = 0;  // the controller's upgrade-protocol type, 0 to 10: picks the layout
    uint8_t productType = 1, feature = 0, major = 1, minor = 0;  // CAPAB
    uint16_t idVendor = 0x04CC, idProduct = 0x2000, bcdDevice = 0x0100;
    // UTF-8; kept to the 126 UTF-16 units a string descriptor holds (invalid bytes become U+FFFD).
    std::string manufacturer = "Quorvex", product = "Card Reader";
    TarnSerial serial = TarnSerial::Number;
    uint32_t serialNumber = 0;  // Number: the value; String: ignored
    std::string serialText;     // String: the text (ASCII, at most 126 characters)
    std::string seed;           // the filler between the blocks differs per seed
};

// 65536, except dfuType 2: 32768, dfuType 4: 57344, and the programmable areas of KV7
// controllers: dfuType 7 and 8: 32768, 9 and 10: 49152.
uint32_t tarnFlashSize(uint8_t dfuType);
// Where the programmable area of a reader of `dfuType` lies in its 64 KB flash memory.
struct TarnArea {
    uint32_t base, size;
};
TarnArea tarnArea(uint8_t dfuType);
// Whether a controller of `dfuType` boots the firmware in its programmable area: an image with a
// device descriptor that is complete (a KV7 controller: whose header block at 0xC0 is written).
bool tarnBootable(const uint8_t* area, size_t length, uint8_t dfuType);
// Exactly tarnFlashSize(p.dfuType) bytes. KV7 images (dfuType 7 to 10) carry their marker at 54
// and the header block at 0xC0 instead of the trailer; other types above 6 get the type-0 layout. The filler
// never spells a signature; identifiers or serial numbers that do are kept as given, and readers
// then find that copy first, as they would in a real flash.
std::vector<uint8_t> makeTarnImage(const TarnImageParams& p);

struct TarnImageInfo {
    // The image ends in "DFUVALID": in the last eight bytes, or, in a 65536-byte flash, at 32760
    // with the rest erased (a 32 KB image in a larger flash).
    bool complete = false;
    uint32_t length = 0;  // where that image ends; 0 when it is not complete
    std::optional<std::array<uint8_t, 18>> deviceDescriptor;  // "CSED" +5
    uint8_t productType = 0, feature = 0, major = 0, minor = 0;  // "CAPAB" +6, +7, +9, +10
    bool hasCapab = false;
};
// The checksum is not judged: carrying a serial number into an image changes it.
TarnImageInfo inspectTarnImage(const uint8_t* data, size_t length);

// USB string descriptor `index` as the firmware reports it (bLength, 3, UTF-16LE), or nothing when
// the "DESC" table has no entry for it or the descriptor is shorter than its header or runs past
// the end. The serial string (index iSerialNumber) of a number serial is the number as eight
// upper-case hex digits.
std::optional<std::vector<uint8_t>> tarnStringDescriptor(const uint8_t* data, size_t length, uint8_t index);

}  // namespace lab
