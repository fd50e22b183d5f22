// The scan's device list: every attached Tarn-family reader in three groups — functional on its
// own driver, already in upgrade mode, functional on the generic mass-storage driver — each with
// the record every later operation reads, the name the operator sees (drive letter, device-type
// name, hub and port), the Plex monitor and its modules, and the KRD50N recovery when asked for.
// Log lines carry the source unit TarnDevList.
#pragma once
#include <cstdint>

#include <devaccess/scsi.h>
#include <plugin-api/kpl.h>

#include "tarn_device.h"

namespace tarn {

// The first entry with an empty name; KPL_MAX_DEVICES (after "List is full.") when none is free.
int FindFreeEntry(const DeviceInfoList* list);

// The three groups, then the KRD50N recovery: 0, or the first failing group's status (201, 401,
// 402, ...). `scsiDevices` (may be null) gives drive letters and firmware features.
int32_t BuildDeviceGroups(DeviceInfoList* list, ScsiDevice* scsiDevices);

// Fills a mass-storage-group record through the helper driver: identity, strings, device object,
// serial string. 0, the helper's load status, or KPL_E_DEVICE_QUERY (402).
int32_t UpdateUsbstorDevExtension(TarnDeviceRecord* record);
// The re-check before a transfer on a mass-storage-group reader: KPL_E_DEVICE_OPEN (611) when it
// is gone or came back as another device since the scan, the update's status when that fails,
// else 0. Readers of other modes pass unchecked.
int32_t CheckAndUpdateUsbstorDevExt(TarnDeviceRecord* record);

// The handle of the Plex monitor found by the last scan, or INVALID_HANDLE_VALUE. It is the
// monitor's own record's handle: it goes with that record, and ForgetMerrowHandle() then drops it.
HANDLE MerrowHandle();
void ForgetMerrowHandle();

}  // namespace tarn
