#include "kv7.h"

#include <cstring>

#include <protocol/kv7.h>

#include "tarn_log.h"
#include "usb_requests.h"

namespace tarn {

namespace {

constexpr uint16_t kDeviceDescriptorLength = 18;
constexpr uint32_t kWordRequestSize = kEnvelopeHeader + 2;  // the header and the word

// One six-byte vendor command with two data bytes, in or out.
int32_t configCommand(HANDLE handle, uint8_t op, uint16_t word, uint8_t* data, bool in) {
    SCSI_PASS_THROUGH_DIRECT record{};
    record.Length = sizeof record;
    record.CdbLength = 6;
    record.DataIn = in ? SCSI_IOCTL_DATA_IN : SCSI_IOCTL_DATA_OUT;
    record.DataTransferLength = 2;
    record.DataBuffer = data;
    record.TimeOutValue = 10;
    const uint8_t cdb[6] = {op, 0, static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word), 2, 0};
    std::memcpy(record.Cdb, cdb, sizeof cdb);
    return BulkOnlyCommand(handle, &record, nullptr, nullptr);
}

}  // namespace

int32_t DetectKv7Type(TarnDeviceRecord* record) {
    if (!record) return 0;
    const ControlSetup setup{kUrbDescriptorFromDevice, kDirectionIn, 0x80, 0x06, 0x0100, 0, kDeviceDescriptorLength,
                             kEnvelopeHeader + kDeviceDescriptorLength};
    uint8_t d[kDeviceDescriptorLength] = {};
    if (!ControlRequest(record->deviceHandle, setup, d, sizeof d)) return 0;
    // Anything shorter than a device descriptor, or not one, names no controller.
    if (d[0] < kDeviceDescriptorLength || d[1] != 1) return 0;
    const auto type = kv7::typeOf(static_cast<uint16_t>(d[8] | d[9] << 8), static_cast<uint16_t>(d[10] | d[11] << 8));
    if (!type) return 0;
    record->dfuType = *type;
    return 1;
}

void SetKv7Layout(TarnDeviceRecord* record) {
    if (!record || !kv7::isKv7Type(record->dfuType)) return;
    const kv7::Layout layout = kv7::layoutOf(record->dfuType);
    record->imageBase = layout.base;
    record->imageSize = layout.size;
}

int32_t ReadConfig(const TarnDeviceRecord& record, uint32_t address, uint8_t* buffer, uint32_t count) {
    for (uint32_t i = 0; i < count; i += 2) {
        const uint16_t word = static_cast<uint16_t>((address / 2 + i / 2) & (kv7::kEepromWords - 1));
        uint8_t data[2] = {};
        BOOL ok;
        if (kv7::usesScsi(record.dfuType)) {
            ok = configCommand(record.deviceHandle, kv7::kOpReadConfig, word, data, true);
        } else {
            ControlSetup setup = requests::kv7ConfigRead(word);
            setup.size = kWordRequestSize;
            ok = ControlRequest(record.deviceHandle, setup, data, sizeof data);
        }
        if (!ok) {
            if (GetLastError() == ERROR_NOT_ENOUGH_MEMORY) return KPL_E_NO_MEMORY;
            TARN_LOG_AT("KV7X", "%s(%i) :Read EEPROM failed. Error: %xh.", static_cast<unsigned>(GetLastError()));
            return KPL_E_SYSTEM;
        }
        buffer[i] = data[0];
        if (i + 1 < count) buffer[i + 1] = data[1];
    }
    return KPL_OK;
}

int32_t WriteConfig(const TarnDeviceRecord& record, uint32_t address, const uint8_t* buffer, uint32_t count) {
    for (uint32_t i = 0; i < count; i += 2) {
        const uint16_t word = static_cast<uint16_t>((address / 2 + i / 2) & (kv7::kEepromWords - 1));
        uint8_t data[2] = {buffer[i], static_cast<uint8_t>(i + 1 < count ? buffer[i + 1] : 0)};
        BOOL ok;
        if (kv7::usesScsi(record.dfuType)) {
            ok = configCommand(record.deviceHandle, kv7::kOpWriteConfig, word, data, false);
        } else {
            ControlSetup setup = requests::kv7ConfigWrite(word, static_cast<uint16_t>(data[0] | data[1] << 8));
            setup.size = kWordRequestSize;
            ok = ControlRequest(record.deviceHandle, setup);
        }
        if (!ok) {
            if (GetLastError() == ERROR_NOT_ENOUGH_MEMORY) return KPL_E_NO_MEMORY;
            TARN_LOG_AT("KV7X", "%s(%i) :Write EEPROM failed. Error: %xh.", static_cast<unsigned>(GetLastError()));
            return KPL_E_SYSTEM;
        }
    }
    TARN_LOG_AT("KV7X", "%s(%i) :Writen EEPROM at offset %d successfully", static_cast<int>(address));
    return KPL_OK;
}

}  // namespace tarn
