#include "tarn_device.h"

#include <new>

#include "helper_client.h"

namespace tarn {

TarnDeviceRecord* NewDeviceRecord() {
    auto* record = new (std::nothrow) TarnDeviceRecord{};
    if (record) record->deviceHandle = INVALID_HANDLE_VALUE;
    return record;
}

void FreeDeviceRecord(TarnDeviceRecord* record) {
    if (!record) return;
    if (record->deviceHandle != INVALID_HANDLE_VALUE && record->deviceHandle != nullptr &&
        record->deviceHandle != helperHandle())
        CloseHandle(record->deviceHandle);
    delete record;
}

}  // namespace tarn
