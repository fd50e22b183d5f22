// Object references, device objects found by name, device properties and state, work items and
// the pool's failures on demand: what a driver that acts on other drivers' devices needs.
//
// IoGetDeviceObjectPointer opens the named device as a user-mode open does (IRP_MJ_CREATE to the
// top of its stack) and gives back a file object that holds the device; dereferencing the file
// object closes it (IRP_MJ_CLEANUP, IRP_MJ_CLOSE) and lets the device go.
#include <atomic>
#include <cstring>
#include <thread>

#include <winsim/winsim.h>

#include "../internal.h"
#include "kernel.h"
#include "trace.h"

namespace winsim {

namespace {

constexpr CSHORT kTypeDevice = 3, kTypeFile = 5;

// A file object of IoGetDeviceObjectPointer: the object the driver sees comes first.
struct OpenedFile {
    FILE_OBJECT file{};
    std::atomic<long> refs{1};
    PDEVICE_OBJECT top = nullptr;  // what the open was sent to, referenced
};

NTSTATUS sendFileRequest(PDEVICE_OBJECT top, UCHAR major, PFILE_OBJECT file) {
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = file;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID event) -> NTSTATUS {
            KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(top, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

// "\Device\X" by its name, "\DosDevices\X" or "\??\X" by its link or drive letter.
PDEVICE_OBJECT referenceNamed(const std::u16string& name) {
    const std::string text = utf16ToUtf8(name);
    for (const char* prefix : {"\\DosDevices\\", "\\??\\"}) {
        const size_t n = std::strlen(prefix);
        if (text.size() <= n || text.compare(0, n, prefix) != 0) continue;
        const std::string rest = text.substr(n);
        if (rest.size() == 2 && rest[1] == ':') return lab::facade::hardware().referenceDrive(rest[0]);
        return kernel::referenceByDosName(rest);
    }
    return kernel::referenceByName(name);
}

std::atomic<long> g_poolFailAfter{-1};  // allocations still to succeed before the failures; -1: none
std::atomic<long> g_poolFailures{0};    // failures still to give

}  // namespace

namespace kernel {

bool poolAllocationFails() {
    if (g_poolFailures.load() <= 0) return false;
    if (g_poolFailAfter.fetch_sub(1) > 0) return false;
    return g_poolFailures.fetch_sub(1) > 0;
}

}  // namespace kernel

}  // namespace winsim

using namespace winsim;

extern "C" {

VOID ObReferenceObject(PVOID object) {
    if (!object) return;
    if (static_cast<PFILE_OBJECT>(object)->Type == kTypeFile) {
        ++reinterpret_cast<OpenedFile*>(object)->refs;
        return;
    }
    kernel::reference(static_cast<PDEVICE_OBJECT>(object));
}

VOID ObDereferenceObject(PVOID object) {
    if (!object) return;
    if (static_cast<PFILE_OBJECT>(object)->Type == kTypeFile) {
        auto* opened = reinterpret_cast<OpenedFile*>(object);
        if (--opened->refs > 0) return;
        if (!kernel::isDeleted(opened->top)) {
            sendFileRequest(opened->top, IRP_MJ_CLEANUP, &opened->file);
            sendFileRequest(opened->top, IRP_MJ_CLOSE, &opened->file);
        }
        kernel::release(opened->top);
        delete opened;
        return;
    }
    kernel::release(static_cast<PDEVICE_OBJECT>(object));
}

NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING name, ACCESS_MASK access, PFILE_OBJECT* fileObject,
                                  PDEVICE_OBJECT* deviceObject) {
    if (!name || !name->Buffer || !fileObject || !deviceObject) return STATUS_INVALID_PARAMETER;
    const std::u16string text(name->Buffer, name->Length / sizeof(WCHAR));
    TRACE("ntoskrnl", "IoGetDeviceObjectPointer %s access %#x", utf16ToUtf8(text).c_str(), access);
    PDEVICE_OBJECT named = referenceNamed(text);
    if (!named) return STATUS_OBJECT_NAME_NOT_FOUND;
    PDEVICE_OBJECT top = IoGetAttachedDevice(named);
    kernel::reference(top);
    kernel::release(named);
    auto* opened = new OpenedFile;
    opened->file.Type = kTypeFile;
    opened->file.Size = sizeof(FILE_OBJECT);
    opened->file.DeviceObject = top;
    opened->top = top;
    const NTSTATUS status = sendFileRequest(top, IRP_MJ_CREATE, &opened->file);
    if (!NT_SUCCESS(status)) {
        kernel::release(top);
        delete opened;
        return status;
    }
    *fileObject = &opened->file;
    *deviceObject = top;
    return STATUS_SUCCESS;
}

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer,
                             PULONG resultLength) {
    if (!pdo || pdo->Type != kTypeDevice || !resultLength) return STATUS_INVALID_PARAMETER;
    std::vector<uint8_t> value;
    const NTSTATUS status = lab::facade::hardware().pdoProperty(pdo, static_cast<uint32_t>(property), &value);
    if (!NT_SUCCESS(status)) return status;
    *resultLength = static_cast<ULONG>(value.size());
    if (length < value.size() || (!buffer && !value.empty())) return STATUS_BUFFER_TOO_SMALL;
    if (!value.empty()) std::memcpy(buffer, value.data(), value.size());
    return STATUS_SUCCESS;
}

VOID IoInvalidateDeviceState(PDEVICE_OBJECT pdo) {
    if (!pdo) return;
    TRACE("ntoskrnl", "IoInvalidateDeviceState %p", static_cast<void*>(pdo));
    lab::facade::hardware().invalidateState(pdo);
}

// ---- work items: a routine run later on a system thread, its device kept until then ---------

struct _IO_WORKITEM {
    PDEVICE_OBJECT device;
    bool queued;
};

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT device) {
    if (!device || kernel::poolAllocationFails()) return nullptr;
    return new _IO_WORKITEM{device, false};
}

VOID IoQueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE, PVOID context) {
    if (!item || !routine) return;
    if (item->queued) {
        std::fprintf(stderr, "winsim: a work item was queued again before its routine ran\n");
        std::abort();
    }
    item->queued = true;
    PDEVICE_OBJECT device = item->device;
    kernel::reference(device);
    std::thread([item, routine, context, device] {
        // The routine may queue the item again or free it: it is not touched after this.
        item->queued = false;
        routine(device, context);
        kernel::release(device);
    }).detach();
}

VOID IoFreeWorkItem(PIO_WORKITEM item) { delete item; }

}  // extern "C"

extern "C" WINSIM_API VOID WINAPI WinsimFailPoolAllocations(DWORD after, DWORD count) {
    g_poolFailAfter = static_cast<long>(after);
    g_poolFailures = static_cast<long>(count);
}
