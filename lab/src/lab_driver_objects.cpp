// The lab's C++ driver models behind WDM device objects, and the base dispatch that turns IRPs
// into the models' calls.
#include "lab_driver_objects.h"

#include <lab/driver_models.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <new>

namespace lab {

namespace {

// What a lab device object's extension holds.
struct LabExtension {
    Hardware* hw;
    DevInst node;
    std::shared_ptr<Driver> model;
    PDEVICE_OBJECT lower;
};

struct LabDriverEntry {
    DriverFactory factory;
};

std::mutex& registryMutex() {
    static auto* m = new std::mutex;
    return *m;
}
// Lab driver objects and what makes their devices; a driver object outlives every hardware.
std::map<PDRIVER_OBJECT, LabDriverEntry>& labDrivers() {
    static auto* m = new std::map<PDRIVER_OBJECT, LabDriverEntry>;
    return *m;
}
// The lab's driver models by service name, for the kernel-mode modules that stand for them.
std::map<std::string, DriverFactory>& models() {
    static auto* m = new std::map<std::string, DriverFactory>;
    return *m;
}

bool isLabDriver(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> lock(registryMutex());
    return labDrivers().count(driver) != 0;
}

LabExtension* extensionOf(PDEVICE_OBJECT d) { return static_cast<LabExtension*>(d->DeviceExtension); }

void destroyExtension(PVOID extension) { static_cast<LabExtension*>(extension)->~LabExtension(); }

NTSTATUS labDispatch(PDEVICE_OBJECT device, PIRP irp) {
    LabExtension* ext = extensionOf(device);
    // The model stays alive for the whole call, also when the request removes its own device
    // (a reader unplugged while it answers).
    const std::shared_ptr<Driver> model = ext->model;
    DriverContext ctx{*ext->hw, ext->node, device, ext->lower};
    return model->dispatch(ctx, irp);
}

// A device object of `driver` for `model`, on top of `below` (or as a PDO without it).
PDEVICE_OBJECT makeDevice(PDRIVER_OBJECT driver, Hardware& hw, DevInst node, std::shared_ptr<Driver> model,
                          PDEVICE_OBJECT below, const std::string& name = {}) {
    PDEVICE_OBJECT device = nullptr;
    std::u16string wide(name.begin(), name.end());
    UNICODE_STRING counted{static_cast<USHORT>(wide.size() * 2), static_cast<USHORT>(wide.size() * 2), wide.data()};
    if (!NT_SUCCESS(IoCreateDevice(driver, sizeof(LabExtension), name.empty() ? nullptr : &counted, FILE_DEVICE_UNKNOWN,
                                   0, FALSE, &device)))
        return nullptr;
    new (device->DeviceExtension) LabExtension{&hw, node, std::move(model), nullptr};
    winsim::kernel::setExtensionDestructor(device, destroyExtension);
    if (below) {
        extensionOf(device)->lower = IoAttachDeviceToDeviceStack(device, below);
        if (!extensionOf(device)->lower) {
            IoDeleteDevice(device);
            return nullptr;
        }
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

NTSTATUS labAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    LabDriverEntry entry;
    {
        std::lock_guard<std::mutex> lock(registryMutex());
        auto it = labDrivers().find(driver);
        if (it == labDrivers().end()) return STATUS_INVALID_PARAMETER;
        entry = it->second;
    }
    // The node and its hardware are the PDO's: every PDO is a lab bus driver's.
    if (!isLabDriver(pdo->DriverObject)) return STATUS_INVALID_PARAMETER;
    const LabExtension* below = extensionOf(pdo);
    return makeDevice(driver, *below->hw, below->node, entry.factory(), pdo) ? STATUS_SUCCESS
                                                                              : STATUS_INSUFFICIENT_RESOURCES;
}

// What a driver object of a lab model answers with: every request goes to the model.
void serveWithModel(PDRIVER_OBJECT driver) {
    for (auto& f : driver->MajorFunction) f = labDispatch;
    driver->DriverExtension->AddDevice = labAddDevice;
}

NTSTATUS labDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    serveWithModel(driver);
    return STATUS_SUCCESS;
}

PDRIVER_OBJECT newLabDriver(const std::string& service, DriverFactory factory) {
    PDRIVER_OBJECT driver = winsim::kernel::createDriver(u"\\Driver\\" + std::u16string(service.begin(), service.end()),
                                                         labDriverEntry, nullptr);
    if (!driver) return nullptr;
    std::lock_guard<std::mutex> lock(registryMutex());
    if (factory) models()[service] = factory;
    labDrivers()[driver] = LabDriverEntry{std::move(factory)};
    return driver;
}

}  // namespace

using detail::signalOnCompletion;

// ---- requests as lab drivers see them ----------------------------------------------------------

IoRequest IoRequest::of(PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    IoRequest r;
    r.irp = irp;
    r.file = s->FileObject;
    r.code = s->Parameters.DeviceIoControl.IoControlCode;
    r.inputLength = s->Parameters.DeviceIoControl.InputBufferLength;
    r.outputLength = s->Parameters.DeviceIoControl.OutputBufferLength;
    switch (METHOD_FROM_CTL_CODE(r.code)) {
    case METHOD_BUFFERED:
        r.input = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
        r.output = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
        break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        r.input = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
        r.output = static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        break;
    default:
        r.input = static_cast<const uint8_t*>(s->Parameters.DeviceIoControl.Type3InputBuffer);
        r.output = static_cast<uint8_t*>(irp->UserBuffer);
        break;
    }
    if (!r.input) r.inputLength = 0;
    if (!r.output) r.outputLength = 0;
    return r;
}

NTSTATUS DriverContext::complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = NT_SUCCESS(status) || NT_WARNING(status) ? information : 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS DriverContext::passDown(PIRP irp) const {
    if (lower) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(lower, irp);
    }
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_POWER: return complete(irp, STATUS_SUCCESS);
    case IRP_MJ_PNP: return complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    default: return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS DriverContext::passDownAndWait(PIRP irp) const {
    if (!lower) return STATUS_SUCCESS;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, signalOnCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

NTSTATUS Driver::dispatch(DriverContext& ctx, PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    switch (s->MajorFunction) {
    case IRP_MJ_PNP:
        if (s->MinorFunction == IRP_MN_START_DEVICE) {
            NTSTATUS status = ctx.passDownAndWait(irp);
            if (NT_SUCCESS(status)) status = start(ctx);
            started_ = NT_SUCCESS(status);
            return DriverContext::complete(irp, status);
        }
        if (s->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS && !ctx.lower &&
            s->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            // The PDO names itself; the caller releases the reference and frees the list.
            auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), 0x6C6552));
            if (!relations) return DriverContext::complete(irp, STATUS_INSUFFICIENT_RESOURCES);
            relations->Count = 1;
            relations->Objects[0] = ctx.self;
            ObReferenceObject(ctx.self);
            return DriverContext::complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
        }
        if (s->MinorFunction == IRP_MN_REMOVE_DEVICE) {
            if (started_) stop(ctx);
            started_ = false;
            if (!ctx.lower) return DriverContext::complete(irp, STATUS_SUCCESS);  // a PDO goes with its bus
            const NTSTATUS status = ctx.passDown(irp);
            IoDetachDevice(ctx.lower);
            IoDeleteDevice(ctx.self);
            return status;
        }
        return ctx.passDown(irp);
    case IRP_MJ_DEVICE_CONTROL: {
        IoRequest request = IoRequest::of(irp);
        const std::optional<NTSTATUS> status = control(ctx, request);
        if (!status) return ctx.passDown(irp);
        return DriverContext::complete(irp, *status, std::min<ULONG_PTR>(request.information, request.outputLength));
    }
    case IRP_MJ_CLEANUP: cleanup(ctx, s->FileObject); return ctx.passDown(irp);
    default: return ctx.passDown(irp);
    }
}

// ---- the lab's driver objects --------------------------------------------------------------------

namespace detail {

NTSTATUS signalOnCompletion(PDEVICE_OBJECT, PIRP, PVOID event) {
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PDRIVER_OBJECT labDriverObject(const std::string& service, DriverFactory factory) {
    return newLabDriver(service, std::move(factory));
}

PDEVICE_OBJECT createPdo(Hardware& hw, DevInst node, std::shared_ptr<Driver> model, const std::string& name) {
    // One driver object for every PDO the lab's bus drivers report. A PDO carries the name the
    // node shows as its physical device object name, so that kernel-mode code finds it by name.
    static PDRIVER_OBJECT bus = newLabDriver("labbus", nullptr);
    return makeDevice(bus, hw, node, std::move(model), nullptr, name);
}

DevInst nodeOfPdo(PDEVICE_OBJECT pdo) {
    // A PDO is the bottom of its stack: the lab's function drivers have a device below theirs.
    return pdo && isLabDriver(pdo->DriverObject) && !extensionOf(pdo)->lower ? extensionOf(pdo)->node : 0;
}

std::shared_ptr<Driver> labDriverOf(PDEVICE_OBJECT device) {
    return device && isLabDriver(device->DriverObject) ? extensionOf(device)->model : nullptr;
}

DriverContext contextOf(PDEVICE_OBJECT device) {
    LabExtension* ext = extensionOf(device);
    return DriverContext{*ext->hw, ext->node, device, ext->lower};
}

NTSTATUS sendAndWait(PDEVICE_OBJECT top, UCHAR major, UCHAR minor, PFILE_OBJECT file, ULONG_PTR* information) {
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->IoStatus.Status = major == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    next->FileObject = file;
    IoSetCompletionRoutine(irp, signalOnCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(top, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = irp->IoStatus.Status;
    if (information) *information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    return status;
}

}  // namespace detail

}  // namespace lab

// ---- kernel-mode modules that stand for a lab model ----------------------------------------------

NTSTATUS LabServeWithDriverModel(PDRIVER_OBJECT driver, const char* model) {
    if (!driver || !model) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(lab::registryMutex());
    auto it = lab::models().find(model);
    if (it == lab::models().end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    lab::labDrivers()[driver] = lab::LabDriverEntry{it->second};
    lab::serveWithModel(driver);
    return STATUS_SUCCESS;
}

VOID LabReleaseDriverModel(PDRIVER_OBJECT driver) {
    // The object is freed once the module is gone, and its address may serve another driver.
    std::lock_guard<std::mutex> lock(lab::registryMutex());
    lab::labDrivers().erase(driver);
}
