// What KPLTARN's entry points share: the end of a scan, which frees the records of its device
// groups (device_list.h) and closes the helper driver's handle.
#pragma once
#include <devaccess/scsi.h>
#include <plugin-api/kpl.h>

namespace tarn {

// Frees every listed entry's record and what it holds.
void FreeDeviceRecords(DeviceInfoList* list);
// The reader's column of the display table of a listed entry (which carries a record).
int32_t FillDisplayInfo(const DeviceInfoEntry& entry, DisplayInfo* info);
// Closes the helper driver's control device and stops its service.
void CloseHelperDriver();

}  // namespace tarn
