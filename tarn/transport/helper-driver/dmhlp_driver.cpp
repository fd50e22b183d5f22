// DMHLP.SYS, the Tarn plug-in's helper driver: its entry, its control device \Device\DMHLPDRV
// (user mode opens it as "\\.\DMHLPDRV") and the requests the plug-in sends to it.
//
// Nothing a request carries is trusted: every buffer length is checked before a byte of it is
// read, every name must be terminated inside its field, every device object comes in as an id
// the driver handed out itself, and the bytes a request returns never exceed its output buffer.
#include <string.h>

#include <winsim/ntddscsi.h>

#include "dmhlp_internal.h"

namespace dmhlp {

namespace {

constexpr size_t kDeviceObjectInput = sizeof(uint32_t);
constexpr size_t kHubNameMax = kHubNameField - 1;

struct QueryWork {
    QueryRecord* record;
    NTSTATUS status;
    KEVENT done;
};

void queryWorker(PDEVICE_OBJECT, PVOID context) {
    auto* work = static_cast<QueryWork*>(context);
    work->status = queryDevice(work->record);
    KeSetEvent(&work->done, IO_NO_INCREMENT, FALSE);
}

// The query talks to the device through a system worker thread of the delayed queue, as the
// driver was built to, and the request waits for it.
NTSTATUS query(PVOID buffer, ULONG inLength, ULONG outLength, ULONG_PTR* returned) {
    if (inLength != kQueryRecordSize || outLength != kQueryRecordSize) return STATUS_INVALID_PARAMETER;
    auto* record = static_cast<QueryRecord*>(buffer);
    if (record->size != kQueryRecordSize || !memchr(record->deviceName, 0, sizeof record->deviceName))
        return STATUS_INVALID_PARAMETER;
    PIO_WORKITEM item = IoAllocateWorkItem(state().control);
    if (!item) return STATUS_INSUFFICIENT_RESOURCES;
    QueryWork work{record, STATUS_NOT_SUPPORTED, {}};
    KeInitializeEvent(&work.done, NotificationEvent, FALSE);
    IoQueueWorkItem(item, queryWorker, DelayedWorkQueue, &work);
    KeWaitForSingleObject(&work.done, Executive, KernelMode, FALSE, nullptr);
    IoFreeWorkItem(item);
    *returned = kQueryRecordSize;
    return work.status;
}

// The device behind the id at the start of the input; referenced, null when there is none.
PDEVICE_OBJECT deviceOf(PVOID buffer, ULONG inLength) {
    if (inLength < kDeviceObjectInput) return nullptr;
    uint32_t id;
    memcpy(&id, buffer, sizeof id);
    return objectFor(id);
}

// The id at the start of the input, 0 when there is none.
ULONG idOf(PVOID buffer, ULONG inLength) {
    uint32_t id = 0;
    if (inLength >= kDeviceObjectInput) memcpy(&id, buffer, sizeof id);
    return id;
}

NTSTATUS deviceAction(ULONG code, PVOID buffer, ULONG inLength) {
    PDEVICE_OBJECT device = deviceOf(buffer, inLength);
    // A device this driver detached may already have left to come back in its other mode (it
    // detaches itself): the port cycle that follows the detach finds nothing left to do, whether
    // it is gone before the cycle is sent or while it is under way.
    if (!device && code == tarn::kIoctlDmhlpCyclePort && wasDetached(idOf(buffer, inLength))) return STATUS_SUCCESS;
    if (!device) return STATUS_INVALID_PARAMETER;
    NTSTATUS status;
    if (code == tarn::kIoctlDmhlpCyclePort) {
        status = internalRequest(device, IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr);
        if (status == STATUS_DEVICE_NOT_CONNECTED && wasDetached(idOf(buffer, inLength))) status = STATUS_SUCCESS;
    } else if (code == tarn::kIoctlDmhlpResetDevice) {
        status = internalRequest(device, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
    } else {
        status = dfuDetach(device);
        if (NT_SUCCESS(status)) markDetached(idOf(buffer, inLength));
        if (code == tarn::kIoctlDmhlpDetachAndCycle && NT_SUCCESS(status)) {
            // A device may leave at the detach itself; its port is only cycled while the id
            // still leads to it, and one that left needs no cycle.
            PDEVICE_OBJECT still = deviceOf(buffer, inLength);
            status = still ? internalRequest(still, IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr) : STATUS_SUCCESS;
            if (status == STATUS_DEVICE_NOT_CONNECTED) status = STATUS_SUCCESS;
            if (still) ObDereferenceObject(still);
        }
    }
    ObDereferenceObject(device);
    return status;
}

NTSTATUS selectDevice(PVOID buffer, ULONG inLength) {
    PDEVICE_OBJECT device = deviceOf(buffer, inLength);
    if (!device) return STATUS_INVALID_PARAMETER;
    ObDereferenceObject(device);
    uint32_t id;
    memcpy(&id, buffer, sizeof id);
    StateLock lock;
    state().urbDevice = id;
    return STATUS_SUCCESS;
}

NTSTATUS hookAddDevice(PVOID buffer, ULONG inLength) {
    // From now on the system makes this driver the function driver of every device whose
    // service names it: the reader the plug-in is about to switch.
    state().driver->DriverExtension->AddDevice = addDevice;
    if (inLength < sizeof(uint32_t)) return STATUS_INVALID_PARAMETER;
    uint32_t kv7;
    memcpy(&kv7, buffer, sizeof kv7);
    StateLock lock;
    state().kv7Hook = kv7;
    return STATUS_SUCCESS;
}

// An envelope at `at` of the buffer: its request goes to `target` (or fails with `openStatus`
// in the envelope when there is none). Only control requests are carried. The outcome is in the
// envelope; the request itself succeeds once the envelope could be read and written.
NTSTATUS carryEnvelope(uint8_t* buffer, size_t at, ULONG inLength, ULONG outLength, PDEVICE_OBJECT target,
                       NTSTATUS openStatus, ULONG_PTR* returned) {
    const size_t header = at + tarn::kEnvelopeHeader;
    if (inLength < header || outLength < header) return STATUS_INVALID_PARAMETER;
    tarn::Envelope envelope;
    memcpy(&envelope, buffer + at, sizeof envelope);
    const bool in = envelope.direction == tarn::kDirectionIn;
    // The data phase must lie in the buffer that carries it: the output for data from the
    // device, the input for data to it.
    const size_t dataEnd = header + envelope.wLength;
    NTSTATUS status = STATUS_SUCCESS;
    if (envelope.kind != tarn::kKindControl || dataEnd > (in ? outLength : inLength)) status = STATUS_INVALID_PARAMETER;
    else if (!target) status = openStatus;
    if (NT_SUCCESS(status)) {
        envelopeRequest(target, &envelope, buffer + header);
    } else {
        envelope.ntStatus = static_cast<uint32_t>(status);
        envelope.usbStatus = 0;
    }
    memcpy(buffer + at, &envelope, sizeof envelope);
    *returned = NT_SUCCESS(status) && in ? dataEnd : header;
    return STATUS_SUCCESS;
}

NTSTATUS passThrough(uint8_t* buffer, ULONG inLength, ULONG outLength, ULONG_PTR* returned) {
    ULONG id;
    {
        StateLock lock;
        id = state().urbDevice;
    }
    PDEVICE_OBJECT target = objectFor(id);
    const NTSTATUS status = carryEnvelope(buffer, 0, inLength, outLength, target, STATUS_INVALID_PARAMETER, returned);
    if (target) ObDereferenceObject(target);
    return status;
}

NTSTATUS hubPortRequest(uint8_t* buffer, ULONG inLength, ULONG outLength, ULONG_PTR* returned) {
    if (inLength < offsetof(HubPortRequest, envelope) || !memchr(buffer, 0, kHubNameField)) return STATUS_INVALID_PARAMETER;
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT hub = nullptr;
    const NTSTATUS opened = openByName(reinterpret_cast<const char*>(buffer), kHubNameField, &file, &hub);
    const NTSTATUS status = carryEnvelope(buffer, offsetof(HubPortRequest, envelope), inLength, outLength,
                                          NT_SUCCESS(opened) ? hub : nullptr, opened, returned);
    if (NT_SUCCESS(opened)) ObDereferenceObject(file);
    return status;
}

struct PowerWait {
    NTSTATUS status;
    KEVENT done;
};

VOID powerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io) {
    auto* wait = static_cast<PowerWait*>(context);
    wait->status = io->Status;
    KeSetEvent(&wait->done, IO_NO_INCREMENT, FALSE);
}

NTSTATUS hubPowerUp(const uint8_t* buffer, ULONG inLength) {
    // The name comes without its terminator; a longer one than a hub name field holds is no
    // hub's name.
    if (inLength == 0 || inLength > kHubNameMax) return STATUS_INVALID_PARAMETER;
    char name[kHubNameField];
    memcpy(name, buffer, inLength);
    name[inLength] = '\0';
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT hub = nullptr;
    NTSTATUS status = openByName(name, sizeof name, &file, &hub);
    if (!NT_SUCCESS(status)) return status;
    PowerWait wait{STATUS_UNSUCCESSFUL, {}};
    KeInitializeEvent(&wait.done, NotificationEvent, FALSE);
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    status = PoRequestPowerIrp(hub, IRP_MN_SET_POWER, d0, powerDone, &wait, nullptr);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&wait.done, Executive, KernelMode, FALSE, nullptr);
        status = wait.status;
    }
    ObDereferenceObject(file);
    return status;
}

// The block goes unchanged, apart from the drive letter it carried, to the volume of that
// letter.
NTSTATUS scsiPassThrough(uint8_t* buffer, ULONG inLength, ULONG outLength, ULONG_PTR* returned) {
    if (inLength < sizeof(SCSI_PASS_THROUGH_DIRECT)) return STATUS_INVALID_PARAMETER;
    auto* block = reinterpret_cast<SCSI_PASS_THROUGH_DIRECT*>(buffer);
    const char letter = static_cast<char>(block->ScsiStatus);
    if (letter < 'A' || letter > 'Z') return STATUS_INVALID_PARAMETER;
    block->ScsiStatus = 0;
    char name[] = "\\DosDevices\\X:";
    name[sizeof name - 3] = letter;
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT volume = nullptr;
    NTSTATUS status = openByName(name, sizeof name, &file, &volume);
    if (!NT_SUCCESS(status)) return status;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_SCSI_PASS_THROUGH_DIRECT, volume, buffer, inLength, buffer, outLength,
                                             FALSE, &done, &iosb);
    if (!irp) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        IoGetNextIrpStackLocation(irp)->FileObject = file;
        status = IoCallDriver(volume, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
            status = iosb.Status;
        }
        if (NT_SUCCESS(status)) *returned = iosb.Information < outLength ? iosb.Information : outLength;
    }
    ObDereferenceObject(file);
    return status;
}

NTSTATUS deviceControl(PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = s->Parameters.DeviceIoControl.IoControlCode;
    ULONG inLength = s->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = s->Parameters.DeviceIoControl.OutputBufferLength;
    auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    if (!buffer) inLength = outLength = 0;
    ULONG_PTR returned = 0;
    NTSTATUS status;
    switch (code) {
    case tarn::kIoctlDmhlpQueryDfuCapab: status = query(buffer, inLength, outLength, &returned); break;
    case tarn::kIoctlDmhlpDetach:
    case tarn::kIoctlDmhlpCyclePort:
    case tarn::kIoctlDmhlpDetachAndCycle:
    case tarn::kIoctlDmhlpResetDevice: status = deviceAction(code, buffer, inLength); break;
    case tarn::kIoctlDmhlpSendDeviceObject: status = selectDevice(buffer, inLength); break;
    case tarn::kIoctlDmhlpHookAddDevice: status = hookAddDevice(buffer, inLength); break;
    case tarn::kIoctlUrbPassThrough: status = passThrough(buffer, inLength, outLength, &returned); break;
    case tarn::kIoctlDmhlpHubPortRequest: status = hubPortRequest(buffer, inLength, outLength, &returned); break;
    case tarn::kIoctlDmhlpHubPowerUp: status = hubPowerUp(buffer, inLength); break;
    case IOCTL_SCSI_PASS_THROUGH_DIRECT: status = scsiPassThrough(buffer, inLength, outLength, &returned); break;
    default: status = STATUS_INVALID_PARAMETER;
    }
    if (returned > outLength) returned = outLength;
    return complete(irp, status, NT_ERROR(status) ? 0 : returned);
}

NTSTATUS dispatch(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    switch (s->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP: return complete(irp, STATUS_SUCCESS);
    case IRP_MJ_CLOSE:
        // The control device is exclusive: its close ends the one user of the ids it handed out.
        if (device == state().control) releaseIds();
        return complete(irp, STATUS_SUCCESS);
    case IRP_MJ_DEVICE_CONTROL: return deviceControl(irp);
    case IRP_MJ_PNP:
    case IRP_MJ_POWER:
        if (device != state().control) return functionDispatch(device, irp);
        return complete(irp, STATUS_NOT_SUPPORTED);
    default: return complete(irp, STATUS_NOT_SUPPORTED);
    }
}

VOID unload(PDRIVER_OBJECT) {
    auto* ext = static_cast<ControlExtension*>(state().control->DeviceExtension);
    IoDeleteSymbolicLink(&ext->linkName);
    releaseIds();
    IoDeleteDevice(state().control);
    state().control = nullptr;
}

}  // namespace

}  // namespace dmhlp

DRIVER_ENTRY_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    using namespace dmhlp;
    DriverState& st = state();
    memset(&st, 0, sizeof st);
    KeInitializeEvent(&st.lock, SynchronizationEvent, TRUE);
    st.driver = driver;
    for (PDRIVER_DISPATCH& d : driver->MajorFunction) d = dispatch;
    driver->DriverUnload = unload;

    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, kControlDeviceName);
    RtlInitUnicodeString(&link, kControlLinkName);
    NTSTATUS status = IoCreateDevice(driver, sizeof(ControlExtension), &name, FILE_DEVICE_UNKNOWN, 0, TRUE, &st.control);
    if (!NT_SUCCESS(status)) return status;
    auto* ext = static_cast<ControlExtension*>(st.control->DeviceExtension);
    ext->tag = kControlTag;
    ext->self = st.control;
    ext->driver = driver;
    ext->deviceName = name;
    ext->linkName = link;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(st.control);
        st.control = nullptr;
        return status;
    }
    st.control->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
