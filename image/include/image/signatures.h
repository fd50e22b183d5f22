// Finding signatures in an image and deciding its type. An image has no header: everything is
// found by searching short ASCII signatures or reading fixed positions.
#pragma once
#include <plugin-api/kpl.h>

#include <cstdint>
#include <optional>

namespace image {

// Fixed positions of the type markers: the same place in the first three 4 KB pages.
constexpr uint32_t kMarkerPage0 = 54;    // 0x36
constexpr uint32_t kMarkerPage1 = 4150;  // 0x1036
constexpr uint32_t kMarkerPage2 = 8246;  // 0x2036
constexpr uint32_t kTrailerLength = 8;

// Tarn types; there is no type 6.
constexpr int kTarnTypeExternal = 2;  // external firmware of the device-type-16 reader
constexpr int kTarnTypeUnknown = 11;
constexpr int kScsiTypeUnknown = 3;

// First position of `signature` (without its NUL) in data, or nothing. Null data, an empty
// signature or an image shorter than the signature find nothing.
std::optional<uint32_t> FindSignature(const uint8_t* data, uint32_t length, const char* signature);

// True when `text` lies at `offset` (entirely inside the image).
bool SignatureAt(const uint8_t* data, uint32_t length, uint32_t offset, const char* text);
// True when the image's last eight bytes are `trailer`.
bool EndsWith(const uint8_t* data, uint32_t length, const char* trailer);

// Tarn type 0 to 11 by the image length and the markers and trailer that length asks for.
int DecideTarnType(const uint8_t* data, uint32_t length);

// SCSI-family type 0 to 3. Logs (source unit `Utils`) why an image is type 3 when it lacks its
// trailer or has the wrong length; logger may be null.
int DecideScsiType(const uint8_t* data, uint32_t length, LoggerCallback logger);

}  // namespace image
