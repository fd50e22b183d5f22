// The driver as the function driver of a reader: after IOCTL_DMHLP_HOOK_ADD_DEVICE, a reader
// whose service is switched to DMHLPDRV gets a function device of this driver, and when the
// system starts it the driver sends the reader into upgrade mode. Its other Plug and Play and
// power requests pass to the reader's own stack below.
#include <stdio.h>

#include <protocol/kv7.h>

#include "dmhlp_internal.h"

namespace dmhlp {

namespace {

NTSTATUS signalCompletion(PDEVICE_OBJECT, PIRP, PVOID event) {
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and waits until the devices below have finished it; the IRP is ours
// again afterwards.
NTSTATUS passDownAndWait(FunctionExtension* ext, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, signalCompletion, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(ext->lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS passDown(FunctionExtension* ext, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

// The reader leaves its functional mode: a Tarn reader by the DFU detach and a port cycle that
// makes it enumerate again at once, a KV7 reader by its own vendor request, after which it
// re-enumerates by itself.
NTSTATUS switchToUpgradeMode(FunctionExtension* ext, NTSTATUS started) {
    ULONG kv7;
    {
        StateLock lock;
        kv7 = state().kv7Hook;
    }
    NTSTATUS status = started;
    bool sent;
    if (kv7 == 1) {
        sent = NT_SUCCESS(controlRequest(ext->pdo, URB_FUNCTION_VENDOR_INTERFACE, false, kv7::kOut, kv7::kReqPrepareForDfu, 0, 0,
                                         nullptr, 0)
                              .status);
    } else {
        status = dfuDetach(ext->pdo);
        sent = NT_SUCCESS(status);
        if (sent) status = internalRequest(ext->pdo, IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr);
    }
    if (sent) IoInvalidateDeviceState(ext->pdo);
    return status;
}

NTSTATUS pnp(PDEVICE_OBJECT device, FunctionExtension* ext, PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    switch (s->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = passDownAndWait(ext, irp);
        if (NT_SUCCESS(status)) status = switchToUpgradeMode(ext, status);
        return complete(irp, status, 0);
    case IRP_MN_QUERY_CAPABILITIES: {
        status = passDownAndWait(ext, irp);
        PDEVICE_CAPABILITIES caps = s->Parameters.DeviceCapabilities.Capabilities;
        // Whatever the bus driver made of it: the reader is pulled out and put back as part of
        // its update, which the system is not to report as an unsafe removal.
        if (caps) caps->SurpriseRemovalOK = 1;
        return complete(irp, status, irp->IoStatus.Information);
    }
    case IRP_MN_REMOVE_DEVICE: {
        irp->IoStatus.Status = STATUS_SUCCESS;
        status = passDown(ext, irp);
        IoDetachDevice(ext->lower);
        ext->tag = 0;
        ext->tailTag = 0;
        IoDeleteDevice(device);
        return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return passDown(ext, irp);
    default: return passDown(ext, irp);
    }
}

}  // namespace

NTSTATUS addDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    ULONG number;
    {
        StateLock lock;
        number = state().deviceCounter++;
    }
    char ansiName[32];
    snprintf(ansiName, sizeof ansiName, "\\Device\\DMHLP%lu", static_cast<unsigned long>(number));
    WCHAR wideName[32];
    size_t i = 0;
    for (; ansiName[i] && i + 1 < sizeof wideName / sizeof wideName[0]; ++i) wideName[i] = static_cast<WCHAR>(ansiName[i]);
    wideName[i] = 0;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, wideName);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FunctionExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto* ext = static_cast<FunctionExtension*>(device->DeviceExtension);
    ext->tag = kFunctionTag;
    ext->tailTag = kFunctionTag;
    ext->self = device;
    ext->driver = driver;
    ext->pdo = pdo;
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (!ext->lower) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->DeviceType = ext->lower->DeviceType;
    device->Characteristics = ext->lower->Characteristics;
    device->Flags |= ext->lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS functionDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<FunctionExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    if (s->MajorFunction == IRP_MJ_PNP) return pnp(device, ext, irp);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext->lower, irp);
}

}  // namespace dmhlp
