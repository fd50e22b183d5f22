// The serial-number block ("SERCHKC") of Tarn images, read-only: where it is, which form it has,
// and where the string form keeps its text. The preservation logic of a download builds on these.
#pragma once
#include <cstdint>
#include <optional>

#include "blocks.h"

namespace image {

constexpr uint8_t kSerialTypeNumber = 0x81;  // 32-bit number with a check value
constexpr uint8_t kSerialTypeString = 0xFF;  // USB string descriptor 5

// Offsets from the "S" of "SERCHKC".
constexpr uint32_t kSerialTypeField = 8;
constexpr uint32_t kSerialNumberField = 10;  // big-endian uint32
constexpr uint32_t kSerialCheckField = 14;   // big-endian uint32, serial + check = 0 mod 2^32
constexpr uint32_t kSerialBlockLength = 18;

// iSerialNumber that switches serial-number support on in the "CSED" descriptor.
constexpr uint8_t kSerialStringIndex = 5;

struct SerialBlock {
    uint32_t offset = 0;
    uint8_t type = 0;
    uint32_t number = 0;  // as stored (big-endian); meaningful for kSerialTypeNumber
    uint32_t check = 0;
    bool checkMatches() const { return static_cast<uint32_t>(number + check) == 0; }
};

// The block, or nothing when "SERCHKC" is absent or its 18 bytes run past the end.
std::optional<SerialBlock> ReadSerialBlock(const uint8_t* data, uint32_t length);

// True when the image's "CSED" descriptor enables serial numbers (iSerialNumber 5).
bool SerialSupported(const uint8_t* data, uint32_t length);

// The serial-number string descriptor (string 5); statuses as LocateStringDescriptor.
int32_t LocateSerialString(const uint8_t* data, uint32_t length, StringDescriptor* out);

// A serial string is blank when the low byte of every UTF-16 unit from byte 2 up to bLength is
// '0' (an empty string is blank too); `descriptor` holds bLength bytes.
bool IsBlankSerialString(const uint8_t* descriptor, uint8_t bLength);

}  // namespace image
