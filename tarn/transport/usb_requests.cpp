#include "usb_requests.h"

#include <algorithm>
#include <cstring>
#include <new>

#include <protocol/usb_mass_storage.h>

namespace tarn {

// ---- envelope ----------------------------------------------------------------------------------

EnvelopeBuffer::EnvelopeBuffer(size_t size) : bytes_(new (std::nothrow) uint8_t[size]()), size_(bytes_ ? size : 0) {}

EnvelopeBuffer EnvelopeBuffer::control(const ControlSetup& setup, const void* data) {
    EnvelopeBuffer e(std::max<size_t>(setup.size, kEnvelopeHeader + setup.wLength));
    if (!e.ok()) return e;
    Envelope h{};
    h.kind = kKindControl;
    h.urbFunction = setup.urbFunction;
    h.direction = setup.direction;
    h.length = setup.wLength;
    h.bmRequestType = setup.bmRequestType;
    h.bRequest = setup.bRequest;
    h.wValue = setup.wValue;
    h.wIndex = setup.wIndex;
    h.wLength = setup.wLength;
    e.setHeader(h);
    if (data && setup.wLength) std::memcpy(e.data(), data, setup.wLength);
    return e;
}

Envelope EnvelopeBuffer::header() const {
    Envelope h{};
    if (bytes_) std::memcpy(&h, bytes_.get(), sizeof h);
    return h;
}

void EnvelopeBuffer::setHeader(const Envelope& header) {
    if (bytes_) std::memcpy(bytes_.get(), &header, sizeof header);
}

BOOL PassThrough(HANDLE handle, void* envelope, DWORD inSize, DWORD outSize) {
    if (!envelope || std::max(inSize, outSize) < kEnvelopeHeader) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD returned = 0;
    if (!DeviceIoControl(handle, kIoctlUrbPassThrough, envelope, inSize, envelope, outSize, &returned, nullptr))
        return FALSE;
    uint32_t nt;
    std::memcpy(&nt, static_cast<uint8_t*>(envelope) + offsetof(Envelope, ntStatus), sizeof nt);
    return nt == 0;
}

BOOL ControlRequest(HANDLE handle, const ControlSetup& setup, void* data, size_t dataSize, uint32_t* ntStatus,
                    uint32_t* usbStatus) {
    const bool in = setup.direction == kDirectionIn;
    EnvelopeBuffer e = EnvelopeBuffer::control(setup, in ? nullptr : data);
    if (!e.ok()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    const BOOL ok = PassThrough(handle, e.bytes(), static_cast<DWORD>(e.size()));
    const Envelope h = e.header();
    if (ntStatus) *ntStatus = h.ntStatus;
    if (usbStatus) *usbStatus = h.usbStatus;
    if (ok && in && data) std::memcpy(data, e.data(), std::min<size_t>(dataSize, setup.wLength));
    return ok;
}

// ---- descriptors ---------------------------------------------------------------------------------

BOOL GetDescriptor(HANDLE handle, uint16_t type, uint16_t index, void* buffer, DWORD size) {
    if (!buffer || size < kDescriptorRequestHeader) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* b = static_cast<uint8_t*>(buffer);
    std::memcpy(b, &index, sizeof index);
    std::memcpy(b + 2, &type, sizeof type);
    DWORD returned = 0;
    return DeviceIoControl(handle, kIoctlGetDescriptor, buffer, size, buffer, size, &returned, nullptr);
}

void DescriptorText(const uint8_t* descriptor, size_t size, char* out, size_t outSize) {
    if (!out || outSize == 0) return;
    out[0] = '\0';
    if (!descriptor || size < 2 || descriptor[0] < 2) return;
    const size_t units = std::min<size_t>((descriptor[0] - 2) / 2, (size - 2) / 2);
    if (units == 0) return;
    WCHAR text[128];
    const size_t n = std::min(units, sizeof text / sizeof text[0]);
    std::memcpy(text, descriptor + 2, n * sizeof(WCHAR));
    const int written = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(n), out,
                                            static_cast<int>(std::min<size_t>(outSize - 1, MAX_PATH)), nullptr, nullptr);
    out[written > 0 ? written : 0] = '\0';
}

// ---- bulk-only transport ------------------------------------------------------------------------

namespace {

// One bulk step: kind 1 (or a pipe reset, kind 2) in an envelope of `inSize` / `outSize` bytes;
// success needs ntStatus 0 and usbStatus 0.
struct BulkStep {
    EnvelopeBuffer envelope;
    bool ok = false;
};

BulkStep bulkStep(HANDLE handle, uint8_t kind, uint32_t direction, uint32_t length, const void* data, DWORD inSize,
                  DWORD outSize, uint32_t* ntStatus, uint32_t* usbStatus) {
    BulkStep step{EnvelopeBuffer(std::max(inSize, outSize))};
    if (!step.envelope.ok()) return step;
    Envelope h{};
    h.kind = kind;
    h.urbFunction = kind == kKindPipeReset ? kUrbResetPipe : 0;
    h.direction = direction;
    h.length = length;
    step.envelope.setHeader(h);
    if (data && length) std::memcpy(step.envelope.data(), data, length);
    const BOOL sent = PassThrough(handle, step.envelope.bytes(), inSize, outSize);
    h = step.envelope.header();
    *ntStatus = h.ntStatus;
    *usbStatus = h.usbStatus;
    step.ok = sent && h.usbStatus == 0;
    return step;
}

void resetPipe(HANDLE handle, uint32_t direction, uint32_t* ntStatus, uint32_t* usbStatus) {
    bulkStep(handle, kKindPipeReset, direction, 0, nullptr, kEnvelopeMinimum, kEnvelopeMinimum, ntStatus, usbStatus);
}

bool readStatusWrapper(HANDLE handle, usbms::CommandStatusWrapper* csw, uint32_t* ntStatus, uint32_t* usbStatus) {
    BulkStep s = bulkStep(handle, kKindBulk, kDirectionIn, usbms::kCswLength, nullptr, kEnvelopeMinimum,
                          kEnvelopeHeader + usbms::kCswLength, ntStatus, usbStatus);
    if (!s.ok || s.envelope.header().length != usbms::kCswLength) return false;
    std::memcpy(csw, s.envelope.data(), sizeof *csw);
    return true;
}

enum class DataPhase { Whole, Short, Lost };

DataPhase runDataPhase(HANDLE handle, SCSI_PASS_THROUGH_DIRECT* record, uint32_t length, bool in, uint32_t* ntStatus,
                       uint32_t* usbStatus) {
    if (!record->DataBuffer) return DataPhase::Lost;
    if (!in)
        return bulkStep(handle, kKindBulk, kDirectionOut, length, record->DataBuffer, kEnvelopeHeader + length,
                        kEnvelopeMinimum, ntStatus, usbStatus)
                       .ok
                   ? DataPhase::Whole
                   : DataPhase::Lost;
    BulkStep s = bulkStep(handle, kKindBulk, kDirectionIn, length, nullptr, kEnvelopeMinimum, kEnvelopeHeader + length,
                          ntStatus, usbStatus);
    if (!s.ok) return DataPhase::Lost;
    // The returned length is the driver's word; no more than was asked for is copied.
    const uint32_t returned = s.envelope.header().length;  // by value: the packed field is not aligned
    const uint32_t got = std::min(returned, length);
    std::memcpy(record->DataBuffer, s.envelope.data(), got);
    record->DataTransferLength = got;
    return got == length ? DataPhase::Whole : DataPhase::Short;
}

}  // namespace

int32_t BulkOnlyCommand(HANDLE handle, SCSI_PASS_THROUGH_DIRECT* record, uint32_t* ntStatus, uint32_t* usbStatus) {
    uint32_t nt = 0, usb = 0;
    if (!ntStatus) ntStatus = &nt;
    if (!usbStatus) usbStatus = &usb;
    if (handle == INVALID_HANDLE_VALUE || !handle || !record) return 0;

    usbms::CommandBlockWrapper cbw{};
    cbw.signature = usbms::kCbwSignature;
    cbw.tag = kBulkOnlyTag;
    cbw.dataTransferLength = record->DataTransferLength;
    cbw.flags = record->DataTransferLength != 0 && (record->DataIn & 1) ? usbms::kCbwFlagIn : 0;
    cbw.lun = record->Lun;
    cbw.commandLength = std::min<uint8_t>(record->CdbLength, usbms::kMaxCommandLength);
    std::memcpy(cbw.command, record->Cdb, cbw.commandLength);
    cbw.command[1] = static_cast<uint8_t>((cbw.command[1] & 0x1F) | (record->Lun << 5));
    if (!bulkStep(handle, kKindBulk, kDirectionOut, usbms::kCbwLength, &cbw, kEnvelopeHeader + usbms::kCbwLength,
                  kEnvelopeMinimum, ntStatus, usbStatus)
             .ok)
        return 0;

    DataPhase data = DataPhase::Whole;
    if (cbw.dataTransferLength != 0) {
        const bool in = cbw.flags & usbms::kCbwFlagIn;
        data = runDataPhase(handle, record, cbw.dataTransferLength, in, ntStatus, usbStatus);
        // A lost data phase: the pipe is reset so that the status wrapper still comes, and
        // device and host stay in step.
        if (data == DataPhase::Lost) resetPipe(handle, in ? kDirectionIn : kDirectionOut, ntStatus, usbStatus);
    }

    usbms::CommandStatusWrapper csw{};
    if (!readStatusWrapper(handle, &csw, ntStatus, usbStatus)) {
        resetPipe(handle, kDirectionIn, ntStatus, usbStatus);
        if (!readStatusWrapper(handle, &csw, ntStatus, usbStatus)) return 0;
    }
    const bool meaningful = csw.signature == usbms::kCswSignature && csw.tag == cbw.tag &&
                            csw.status <= usbms::kCswPhaseError &&
                            (csw.status == usbms::kCswPhaseError || csw.dataResidue <= cbw.dataTransferLength);
    return meaningful && csw.status == usbms::kCswPassed && data == DataPhase::Whole ? 1 : 0;
}

}  // namespace tarn
