// What KPLTARN's entry points share: the end of a scan, which frees the records of its device
// groups (device_list.h) and closes the helper driver's handle.
#pragma once
#include <devaccess/scsi.h>
#include <plugin-api/kpl.h>

#include "tarn_device.h"

namespace tarn {

// How much firmware a Tarn controller holds: 56 KB for dfuType 4, 64 KB for every other one.
inline constexpr uint32_t kFullImage = 65536;
inline constexpr uint32_t kDfuType4Image = 0xE000;
inline uint32_t FirmwareLength(const TarnDeviceRecord& r) { return r.dfuType == 4 ? kDfuType4Image : kFullImage; }

// Frees every listed entry's record and what it holds.
void FreeDeviceRecords(DeviceInfoList* list);
// The reader's column of the display table of a listed entry (which carries a record).
int32_t FillDisplayInfo(const DeviceInfoEntry& entry, DisplayInfo* info);
// With EXCLUSIVEDFU, disables (or enables again) every other listed reader not in upgrade mode,
// for a transfer on `chosen`. 212 when the operator aborted a disabling; enabling goes on whatever
// the abort flag says, and every attempt count is bounded, so that no reader stays disabled.
int32_t ExclusiveDfu(DeviceInfoList* list, const TarnDeviceRecord& chosen, bool enable, volatile int32_t* abortFlag);
// Closes the helper driver's control device and stops its service.
void CloseHelperDriver();

}  // namespace tarn
