// Device names and device objects: opening a name given in a request, finding the physical
// device object under a stack, and the ids that stand for device objects in user mode.
//
// User mode never gets an object's address: a value it sends back could be anything, and an
// address kept after its device has gone would reach freed memory. The driver hands out small
// ids instead, each mapped to a referenced object and to the name it was found by. An id whose
// name no longer leads to the same object (the device left and came back, or left for good) is
// refused as an unknown one.
#include <string.h>

#include "dmhlp_internal.h"

namespace dmhlp {

namespace {

DriverState g_state;

NTSTATUS releaseOnCompletion(PDEVICE_OBJECT, PIRP, PVOID event) {
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

DriverState& state() { return g_state; }

StateLock::StateLock() { KeWaitForSingleObject(&g_state.lock, Executive, KernelMode, FALSE, nullptr); }
StateLock::~StateLock() { KeSetEvent(&g_state.lock, IO_NO_INCREMENT, FALSE); }

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS openByName(const char* name, size_t length, PFILE_OBJECT* file, PDEVICE_OBJECT* top) {
    length = strnlen(name, length);
    if (length == 0 || length > 0xFFFE) return STATUS_OBJECT_NAME_INVALID;
    ANSI_STRING ansi{static_cast<USHORT>(length), static_cast<USHORT>(length), const_cast<PCHAR>(name)};
    UNICODE_STRING wide{};
    NTSTATUS status = RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE);
    if (!NT_SUCCESS(status)) return status;
    status = IoGetDeviceObjectPointer(&wide, FILE_ALL_ACCESS, file, top);
    RtlFreeUnicodeString(&wide);
    return status;
}

NTSTATUS physicalObjectOf(PDEVICE_OBJECT top, PDEVICE_OBJECT* pdo) {
    *pdo = nullptr;
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_DEVICE_RELATIONS;
    next->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
    IoSetCompletionRoutine(irp, releaseOnCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(top, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
    IoFreeIrp(irp);
    if (!NT_SUCCESS(status) || !relations) return NT_SUCCESS(status) ? STATUS_NOT_SUPPORTED : status;
    // The answer holds a reference on every object it lists; one is kept, the rest let go.
    for (ULONG i = 0; i < relations->Count; ++i) {
        if (i == 0) *pdo = relations->Objects[0];
        else ObDereferenceObject(relations->Objects[i]);
    }
    ExFreePool(relations);
    return *pdo ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
}

ULONG idFor(PDEVICE_OBJECT pdo, const char* name) {
    StateLock lock;
    DeviceId* free = nullptr;
    for (DeviceId& slot : g_state.ids) {
        if (slot.id && slot.pdo == pdo) return slot.id;
        if (!slot.id && !free) free = &slot;
    }
    if (!free) return 0;
    // Ids are never given twice while the driver is loaded, so an old id cannot name a newer
    // device that happens to take its slot.
    if (++g_state.nextId == 0) ++g_state.nextId;
    ObReferenceObject(pdo);
    free->id = g_state.nextId;
    free->pdo = pdo;
    free->detached = false;
    strncpy(free->name, name, sizeof free->name - 1);
    free->name[sizeof free->name - 1] = '\0';
    return free->id;
}

void markDetached(ULONG id) {
    StateLock lock;
    for (DeviceId& slot : g_state.ids)
        if (id != 0 && slot.id == id) slot.detached = true;
}

bool wasDetached(ULONG id) {
    StateLock lock;
    for (const DeviceId& slot : g_state.ids)
        if (id != 0 && slot.id == id) return slot.detached;
    return false;
}

PDEVICE_OBJECT objectFor(ULONG id) {
    if (id == 0) return nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    char name[kDeviceNameField];
    {
        StateLock lock;
        for (const DeviceId& slot : g_state.ids)
            if (slot.id == id) {
                pdo = slot.pdo;
                memcpy(name, slot.name, sizeof name);
                ObReferenceObject(pdo);
                break;
            }
    }
    if (!pdo) return nullptr;
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT top = nullptr;
    PDEVICE_OBJECT now = nullptr;
    if (NT_SUCCESS(openByName(name, sizeof name, &file, &top))) {
        physicalObjectOf(top, &now);
        ObDereferenceObject(file);
    }
    if (now) ObDereferenceObject(now);
    if (now != pdo) {
        ObDereferenceObject(pdo);
        return nullptr;
    }
    return pdo;
}

void releaseIds() {
    PDEVICE_OBJECT held[kMaxDeviceIds];
    ULONG count = 0;
    {
        StateLock lock;
        for (DeviceId& slot : g_state.ids) {
            if (!slot.id) continue;
            held[count++] = slot.pdo;
            slot.id = 0;
            slot.pdo = nullptr;
        }
        g_state.urbDevice = 0;
    }
    for (ULONG i = 0; i < count; ++i) ObDereferenceObject(held[i]);
}

}  // namespace dmhlp
