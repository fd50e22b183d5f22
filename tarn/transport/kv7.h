// KV7 readers: recognising one by its identifiers, where its programmable area lies, and its
// configuration memory (EEPROM), read and written a 16-bit word per request — vendor control
// requests for controller types 7 and 8, six-byte vendor SCSI commands in bulk-only wrappers for
// types 9 and 10.
#pragma once
#include <cstdint>

#include <plugin-api/kpl.h>

#include "tarn_device.h"

namespace tarn {

// Reads the reader's device descriptor through its driver's envelope; when its identifiers are in
// the KV7 table, sets dfuType and answers 1, else 0.
int32_t DetectKv7Type(TarnDeviceRecord* record);
// Sets imageSize and imageBase for a KV7 dfuType; other types leave both as they are.
void SetKv7Layout(TarnDeviceRecord* record);

// `count` bytes (even) of configuration memory from byte `address`, one word per request:
// 0, KPL_E_SYSTEM (200) when a request fails, KPL_E_NO_MEMORY (201).
int32_t ReadConfig(const TarnDeviceRecord& record, uint32_t address, uint8_t* buffer, uint32_t count);
int32_t WriteConfig(const TarnDeviceRecord& record, uint32_t address, const uint8_t* buffer, uint32_t count);

}  // namespace tarn
