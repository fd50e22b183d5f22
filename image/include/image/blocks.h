// Readers of the blocks an image carries: the capability block ("CAPAB"), the USB device
// descriptor ("CSED"), the string-descriptor table ("DESC") with the strings it points to, and
// the version of an external-firmware image. Every reader checks that the fields it needs lie
// inside the image; a block whose fields would run past the end counts as missing.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>

#include "binfile.h"

namespace image {

struct CapabBlock {
    uint32_t offset = 0;  // of the "C"
    uint8_t productType = 0;
    uint8_t feature = 0;
    uint8_t versionMajor = 0;
    uint8_t versionMinor = 0;
    uint16_t version() const { return static_cast<uint16_t>(versionMajor << 8 | versionMinor); }
};

// Product type +6, feature +7; version at +9/+10 (Tarn) or +8/+9 (SCSI).
std::optional<CapabBlock> ReadCapab(const uint8_t* data, uint32_t length, BinFamily family);

// The device type byte 6 positions after the first "CAPAB" (the same in both families), or -1
// when there is no such block or the byte lies past the end.
int capabDeviceType(const uint8_t* data, uint32_t length);

constexpr uint32_t kDeviceDescriptorLength = 18;

struct CsedBlock {
    uint32_t offset = 0;
    const uint8_t* descriptor = nullptr;  // the 18-byte USB device descriptor at +5
    uint16_t idVendor = 0;
    uint16_t idProduct = 0;
    uint8_t iSerialNumber = 0;
};

std::optional<CsedBlock> ReadCsed(const uint8_t* data, uint32_t length);

// String-descriptor indexes the system reads.
constexpr unsigned kStringManufacturer = 1;
constexpr unsigned kStringProduct = 2;
constexpr unsigned kStringSerial = 5;

// Images for controllers that run their program from address 0x8000 (found by one of these
// markers anywhere in the image) keep string addresses in that address space.
// Returns "DFU_02", "DFU_07" or "DFU_08" (the first present, in this order) or null.
const char* FindAddressShiftMarker(const uint8_t* data, uint32_t length);
constexpr uint16_t kShiftedAddressBase = 0x8000;

// The address of string descriptor `index`: the big-endian word at "DESC" + 6 + 3 * index.
// Nothing when there is no "DESC" or the word lies past the end.
std::optional<uint16_t> ReadDescAddress(const uint8_t* data, uint32_t length, unsigned index);

struct StringDescriptor {
    uint32_t offset = 0;          // image offset of bLength
    uint8_t bLength = 0;
    uint32_t charCount = 0;       // (bLength - 2) / 2, rounded up
    const uint8_t* chars = nullptr;  // UTF-16LE, charCount units
};

// Locates string descriptor `index`: KPL_OK; KPL_E_SERIAL_MISSING (407) when the "DESC" table
// or its entry is missing; KPL_E_IMAGE_TYPE (207) when the descriptor lies outside the image, is
// shorter than its own header or its characters run past the end.
int32_t LocateStringDescriptor(const uint8_t* data, uint32_t length, unsigned index, StringDescriptor* out);

// Converts UTF-16LE units to UTF-8 text in out (at most outSize - 1 bytes, cut at a character
// boundary, always terminated; conversion stops at a NUL unit). Returns the text length.
size_t Utf16leToText(const uint8_t* chars, uint32_t charCount, char* out, size_t outSize);

// Reads string descriptor `index` as text; statuses as LocateStringDescriptor. out is left empty
// on failure.
int32_t ReadStringDescriptor(const uint8_t* data, uint32_t length, unsigned index, char* out, size_t outSize);

// Version of an external-firmware image (Tarn type 2): the big-endian word at image offset 16,
// major in the high byte.
constexpr uint32_t kExternalVersionOffset = 16;
std::optional<uint16_t> ReadExternalVersion(const uint8_t* data, uint32_t length);

}  // namespace image
