// What KPLTARN's entry points share: the options of a scan, the device groups a scan builds and
// their records, and the helper driver's handle that the end of a scan closes.
#pragma once
#include <devaccess/scsi.h>
#include <plugin-api/kpl.h>

namespace tarn {

// Appends the plug-in's readers to the list; `scsiDevices` gives drive letters and features.
int32_t BuildDeviceGroups(DeviceInfoList* list, ScsiDevice* scsiDevices);
// Frees every listed entry's record and what it holds.
void FreeDeviceRecords(DeviceInfoList* list);
// Closes the helper driver's control device and stops its service.
void CloseHelperDriver();

}  // namespace tarn
