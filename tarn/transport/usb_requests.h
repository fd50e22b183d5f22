// The plug-in's USB requests: the URB pass-through envelope sent to a reader's driver, the DFU
// driver or the helper driver, the descriptor request, and the bulk-only transport the plug-in
// runs over the envelope to send vendor SCSI commands to KV7 readers. Control codes, the
// envelope's layout and the wrappers are those of protocol/tarn_usb.h and
// protocol/usb_mass_storage.h, which the drivers and the readers' firmware define.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include <protocol/tarn_usb.h>
#include <winsim/ntddscsi.h>
#include <winsim/windows.h>
#include <winsim/winioctl.h>

namespace tarn {

// A control request as the plug-in sends it: URB function, direction, setup packet and the size
// of the envelope buffer that carries it (at least 27; 26 + data length when there is more than
// one data byte; one spare byte more for a few requests).
struct ControlSetup {
    uint8_t urbFunction;
    uint32_t direction;
    uint8_t bmRequestType;
    uint8_t bRequest;
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength;
    uint32_t size;
};

// The requests of the readers' firmware, the Plex monitor and the helper driver, by name.
namespace requests {
constexpr uint32_t envelopeSize(uint32_t length, uint32_t spare = 0) {
    return (length <= 1 ? kEnvelopeMinimum : kEnvelopeHeader + length) + spare;
}
constexpr ControlSetup vendor(uint32_t direction, uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                              uint16_t length, uint32_t spare = 0) {
    return {kUrbVendorInterface, direction, type, request, value, index, length, envelopeSize(length, spare)};
}
constexpr ControlSetup kv7ConfigRead(uint16_t word) { return vendor(kDirectionIn, 0xC1, 0x02, 0, word * 256, 2); }
constexpr ControlSetup kv7ConfigWrite(uint16_t word, uint16_t value) {
    return vendor(kDirectionOut, 0x41, 0x03, value, word * 256, 0, 1);
}
constexpr ControlSetup kv7PrepareForDfu() { return vendor(kDirectionNone, 0x41, 0xD3, 0, 0, 0); }
constexpr ControlSetup kv7FunctionalRead(uint16_t address, uint16_t n) { return vendor(kDirectionIn, 0xC1, 0xD4, address, 0, n); }
constexpr ControlSetup kv7FunctionalReadEnd() { return vendor(kDirectionNone, 0xC1, 0xD4, 0, 0, 0); }
constexpr ControlSetup kv7UpgradeRead(uint16_t address, uint16_t n) { return vendor(kDirectionIn, 0xC1, 0x04, address, 0, n); }
constexpr ControlSetup kv7BlockWrite(uint16_t address, uint16_t n) { return vendor(kDirectionOut, 0x41, 0x05, address, 0, n); }
constexpr ControlSetup kv7ChipErase() { return vendor(kDirectionNone, 0x41, 0x05, 0, 1, 0); }
constexpr ControlSetup kv7SectorErase(uint16_t sector) { return vendor(kDirectionNone, 0x41, 0x05, sector, 2, 0); }
constexpr ControlSetup kv7SwitchToFunctionalMode() { return vendor(kDirectionNone, 0x41, 0x06, 0, 0, 0); }
constexpr ControlSetup upgradeType() { return vendor(kDirectionIn, kVendorIn, kReqUpgradeType, 0, 0, 1); }
constexpr ControlSetup deviceType() { return vendor(kDirectionIn, kVendorIn, kReqDeviceType, 0, 0, 2, 1); }
constexpr ControlSetup firmwareVersion() { return vendor(kDirectionIn, kVendorIn, kReqFirmwareVersion, 0, 0, 2, 1); }
constexpr ControlSetup plexProbe() { return vendor(kDirectionNone, kVendorOut, kReqPlexProbe, 0, 0, 0); }
constexpr ControlSetup plexHighestSlot() { return vendor(kDirectionIn, kVendorOut, kReqPlexHighestSlot, 0, 0, 1); }
constexpr ControlSetup serialString(uint8_t index) {
    return {kUrbDescriptorFromDevice, kDirectionIn, 0x80, 0x06, static_cast<uint16_t>(0x0300 + index), 0x0409, 255,
            envelopeSize(255)};
}
}  // namespace requests

// An envelope buffer of one request: allocated per request, freed with it. An allocation that
// fails leaves it empty (the caller answers KPL_E_NO_MEMORY).
class EnvelopeBuffer {
public:
    explicit EnvelopeBuffer(size_t size);
    // A control request with its setup; `data` (wLength bytes) is copied into the data area.
    static EnvelopeBuffer control(const ControlSetup& setup, const void* data = nullptr);
    bool ok() const { return bytes_ != nullptr; }
    size_t size() const { return size_; }
    uint8_t* bytes() { return bytes_.get(); }
    uint8_t* data() { return bytes_.get() + kEnvelopeHeader; }
    // The header, read and written by copy: its fields are not aligned.
    Envelope header() const;
    void setHeader(const Envelope& header);

private:
    std::unique_ptr<uint8_t[]> bytes_;
    size_t size_;
};

// One IOCTL_TARN_URB_PASSTHROUGH with the same buffer as input (inSize bytes) and output
// (outSize bytes): TRUE when DeviceIoControl succeeded and the envelope's ntStatus is 0.
BOOL PassThrough(HANDLE handle, void* envelope, DWORD inSize, DWORD outSize);
inline BOOL PassThrough(HANDLE handle, void* envelope, DWORD size) { return PassThrough(handle, envelope, size, size); }
// A control request through the envelope; up to `dataSize` bytes of the data phase of an in
// request are copied to `data`. *ntStatus and *usbStatus (when given) receive the envelope's.
BOOL ControlRequest(HANDLE handle, const ControlSetup& setup, void* data = nullptr, size_t dataSize = 0,
                    uint32_t* ntStatus = nullptr, uint32_t* usbStatus = nullptr);

// One IOCTL_TARN_GET_DESCRIPTOR: `size` bytes (at least 4), the descriptor from offset 0.
BOOL GetDescriptor(HANDLE handle, uint16_t type, uint16_t index, void* buffer, DWORD size);
// The text of a string descriptor ((bLength - 2) / 2 UTF-16 units from offset 2, no more than
// `size` bytes hold) in the ANSI code page, terminated, at most outSize - 1 bytes.
void DescriptorText(const uint8_t* descriptor, size_t size, char* out, size_t outSize);

// A vendor SCSI command carried over the bulk-only transport (command wrapper, data, status
// wrapper), described by a pass-through record (Lun, CdbLength, Cdb, DataIn, DataTransferLength,
// DataBuffer). 1 when the status wrapper was read, meaningful and reported success, with the
// whole data phase moved; a lost or short data phase, a wrapper with status 1 or 2, or one that
// is not meaningful gives 0. A short read still copies what arrived and sets DataTransferLength
// to it. *ntStatus and *usbStatus receive the statuses of the last envelope sent.
int32_t BulkOnlyCommand(HANDLE handle, SCSI_PASS_THROUGH_DIRECT* record, uint32_t* ntStatus, uint32_t* usbStatus);

inline constexpr uint32_t kBulkOnlyTag = 0x44332211;

}  // namespace tarn
