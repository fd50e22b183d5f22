// Which listed readers an image fits: its type against each reader's controller family, its
// product type, and — with the options — its version, USB identifiers and firmware feature.
#pragma once
#include <cstdint>
#include <optional>

#include <plugin-api/kpl.h>

#include "tarn_device.h"

namespace tarn {

// The controller family of a reader (its ASIC type), which an image's type must equal; none for
// a reader that takes no image (dfuType 1 and 6, or unknown in upgrade mode).
std::optional<int> AsicTypeOf(const TarnDeviceRecord& record);

// Whether the image's "CSED" device descriptor names the reader's vendor and product.
bool VidPidMatch(const uint8_t* image, uint32_t length, uint32_t vendorProduct);

// Sets `selected` of every listed entry: 0, 204 (image not loadable), 207 (unknown type) or 618
// (feature mismatch on the Plex monitor). Every flag is cleared before the decisions, so that no
// entry keeps a flag from an earlier image.
int32_t FilterDevices(DeviceInfoList* list, const char* imagePath, int32_t unattended, int32_t ignoreChecks);

// The filter for a configured run, then only the entries whose device path contains `text`
// (case matters) stay selected.
int32_t MatchDevicesBySymLink(DeviceInfoList* list, const char* text, const char* imagePath);

// The filter for a configured run, then only the upgrade-mode readers whose configuration memory
// holds the image's product type stay selected: the filter's status, 204, 208 (no capability
// block), 0 when any reader stays selected, else the status of the last memory read.
int32_t MatchDfuDevicesByProductType(DeviceInfoList* list, const char* imagePath);

}  // namespace tarn
