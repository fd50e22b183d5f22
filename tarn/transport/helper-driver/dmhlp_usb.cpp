// USB requests as the driver sends them: every transfer is one control-transfer URB, submitted
// to a device object with IOCTL_INTERNAL_USB_SUBMIT_URB and tried again on failures a device
// recovers from.
#include <string.h>

#include "dmhlp_internal.h"

namespace dmhlp {

namespace {

constexpr ULONG kRetryPauseMs = 100;

bool retryable(NTSTATUS status, USBD_STATUS usbStatus, ULONG retryDataError) {
    if (status == STATUS_DEVICE_REMOVED || status == STATUS_DEVICE_NOT_CONNECTED) return false;
    if (static_cast<ULONG>(status) == tarn::kStatusDeviceDataError && !retryDataError) return false;
    return tarn::usbCondition(static_cast<ULONG>(usbStatus)) != tarn::kUsbStall;
}

// Submits `urb` (`length` bytes) with the retry rule. Each attempt gets a fresh copy: the
// device below writes status and transfer length into the block it is given, and a retry must
// ask for what the caller asked for, not for what the last attempt left. *urb receives the last
// attempt's block.
NTSTATUS submit(PDEVICE_OBJECT target, URB* urb, ULONG length) {
    ULONG maxRetries, retryDataError;
    {
        StateLock lock;
        maxRetries = state().urbMaxRetries ? state().urbMaxRetries : kDefaultUrbRetries;
        retryDataError = state().urbRetryDataError;
    }
    const URB request = *urb;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    for (ULONG attempts = 1;; ++attempts) {
        auto* block = static_cast<URB*>(ExAllocatePoolWithTag(NonPagedPool, length, kPoolTag));
        if (!block) return STATUS_INSUFFICIENT_RESOURCES;
        memcpy(block, &request, length);
        block->UrbHeader.Status = USBD_STATUS_PENDING;
        status = internalRequest(target, IOCTL_INTERNAL_USB_SUBMIT_URB, block);
        memcpy(urb, block, length);
        ExFreePoolWithTag(block, kPoolTag);
        if (NT_SUCCESS(status)) return status;
        if (attempts > maxRetries || !retryable(status, urb->UrbHeader.Status, retryDataError)) return status;
        pause(kRetryPauseMs);
    }
}

}  // namespace

void pause(ULONG ms) {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
}

NTSTATUS internalRequest(PDEVICE_OBJECT target, ULONG code, PVOID argument) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, target, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument;
    NTSTATUS status = IoCallDriver(target, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

UsbResult controlRequest(PDEVICE_OBJECT target, UCHAR function, bool in, UCHAR requestType, UCHAR request,
                         USHORT value, USHORT index, PVOID data, ULONG length) {
    // One layout for every function: a descriptor request reads its type and index from the
    // bytes that hold wValue, and its language from those of wIndex.
    URB urb;
    memset(&urb, 0, sizeof urb);
    UsbBuildVendorRequest(&urb, function, static_cast<USHORT>(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST)),
                          in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT, requestType, request, value,
                          index, length ? data : nullptr, nullptr, length, nullptr);
    const NTSTATUS status = submit(target, &urb, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    return {status, urb.UrbHeader.Status, urb.UrbControlVendorClassRequest.TransferBufferLength};
}

void envelopeRequest(PDEVICE_OBJECT target, tarn::Envelope* envelope, PVOID data) {
    const UsbResult r = controlRequest(target, envelope->urbFunction, envelope->direction == tarn::kDirectionIn,
                                       envelope->bmRequestType, envelope->bRequest, envelope->wValue, envelope->wIndex,
                                       data, envelope->wLength);
    envelope->ntStatus = static_cast<uint32_t>(r.status);
    envelope->usbStatus = static_cast<uint32_t>(r.usbStatus);
}

NTSTATUS dfuDetach(PDEVICE_OBJECT target) {
    const UsbResult r = controlRequest(target, URB_FUNCTION_CLASS_INTERFACE, false, tarn::kDfuOut, tarn::kDfuDetach, 0, 1,
                                       nullptr, 0);
    return r.status == STATUS_INSUFFICIENT_RESOURCES ? STATUS_NO_MEMORY : r.status;
}

}  // namespace dmhlp
