// The I/O manager: driver and device objects, device stacks, names and symbolic links, and IRPs
// from allocation through IoCallDriver to completion.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <vector>

#include "../internal.h"
#include "kernel.h"
#include "trace.h"

namespace {

constexpr CSHORT kTypeDevice = 3, kTypeDriver = 4, kTypeIrp = 6;
constexpr uint32_t kIrpMagic = 0x5052495A;  // "ZIRP"

std::mutex& ioMutex() {
    static auto* m = new std::mutex;
    return *m;
}

std::u16string upper(std::u16string s) {
    for (char16_t& c : s)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return s;
}

std::u16string fromCounted(PCUNICODE_STRING s) {
    if (!s || !s->Buffer) return {};
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

// The device objects of each driver still in memory (under ioMutex()).
std::map<PDRIVER_OBJECT, size_t>& devicesOfDrivers() {
    static auto* m = new std::map<PDRIVER_OBJECT, size_t>;
    return *m;
}

// What the I/O manager keeps beside each device object.
struct DeviceBlock {
    DEVICE_OBJECT object{};
    long refs = 1;  // the creation reference, dropped by IoDeleteDevice
    bool deleted = false;
    void (*destroyExtension)(PVOID) = nullptr;
    std::u16string name;
    std::vector<std::max_align_t> extension;
};

DeviceBlock* blockOf(PDEVICE_OBJECT d) { return static_cast<DeviceBlock*>(d->DeviceObjectExtension); }

std::map<std::u16string, PDEVICE_OBJECT>& devicesByName() {  // upper-case names
    static auto* m = new std::map<std::u16string, PDEVICE_OBJECT>;
    return *m;
}
std::map<std::u16string, std::u16string>& dosLinks() {  // upper-case link name -> device name
    static auto* m = new std::map<std::u16string, std::u16string>;
    return *m;
}

// "\DosDevices\NAME", "\??\NAME" and "\GLOBAL??\NAME" all name NAME.
std::optional<std::u16string> dosName(const std::u16string& link) {
    for (const std::u16string prefix : {u"\\DOSDEVICES\\", u"\\??\\", u"\\GLOBAL??\\"}) {
        const std::u16string u = upper(link);
        if (u.size() > prefix.size() && u.compare(0, prefix.size(), prefix) == 0) return u.substr(prefix.size());
    }
    return std::nullopt;
}

// What the I/O manager keeps in front of each IRP: the devices the IRP went through (kept alive
// until it is freed) and, for the IRPs it builds, where the results go.
struct IrpHead {
    uint32_t magic = kIrpMagic;
    std::vector<PDEVICE_OBJECT> through;
    bool ownedByIoManager = false;
    std::vector<uint8_t> systemBuffer;
    PVOID userOutput = nullptr;
    ULONG outputLength = 0;
    bool copyBack = false;
    MDL mdl{};
};
constexpr size_t kHeadSize = (sizeof(IrpHead) + 15) & ~size_t{15};

IrpHead* headOf(PIRP irp) {
    auto* head = reinterpret_cast<IrpHead*>(reinterpret_cast<char*>(irp) - kHeadSize);
    return head->magic == kIrpMagic ? head : nullptr;
}

NTSTATUS invalidRequest(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// A fault in a driver that Windows stops the machine for; the lab does the same, loudly.
[[noreturn]] void bugCheck(const char* what) {
    std::fprintf(stderr, "winsim: ntoskrnl: stop: %s\n", what);
    std::abort();
}

}  // namespace

namespace winsim::kernel {

PDRIVER_OBJECT createDriver(const std::u16string& name, PDRIVER_INITIALIZE init, PUNICODE_STRING registryPath) {
    auto* driver = new DRIVER_OBJECT{};
    auto* extension = new DRIVER_EXTENSION{};
    auto* text = new WCHAR[name.size() + 1];  // lives as long as the driver object
    std::copy(name.begin(), name.end(), text);
    text[name.size()] = 0;
    driver->Type = kTypeDriver;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = extension;
    extension->DriverObject = driver;
    driver->DriverName.Buffer = text;
    driver->DriverName.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    driver->DriverName.MaximumLength = driver->DriverName.Length;
    driver->DriverInit = init;
    for (auto& f : driver->MajorFunction) f = invalidRequest;
    TRACE("ntoskrnl", "createDriver %s", utf16ToUtf8(name).c_str());
    const NTSTATUS status = init ? init(driver, registryPath) : STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) {
        TRACE("ntoskrnl", "DriverEntry of %s failed: %08x", utf16ToUtf8(name).c_str(), static_cast<unsigned>(status));
        delete[] text;
        delete extension;
        delete driver;
        return nullptr;
    }
    return driver;
}

size_t liveDevices(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> lock(ioMutex());
    auto it = devicesOfDrivers().find(driver);
    return it == devicesOfDrivers().end() ? 0 : it->second;
}

void destroyDriver(PDRIVER_OBJECT driver) {
    if (!driver) return;
    delete[] driver->DriverName.Buffer;
    delete driver->DriverExtension;
    delete driver;
}

void reference(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> lock(ioMutex());
    ++blockOf(device)->refs;
}

void release(PDEVICE_OBJECT device) {
    DeviceBlock* block = blockOf(device);
    {
        std::lock_guard<std::mutex> lock(ioMutex());
        if (--block->refs > 0) return;
        auto it = devicesOfDrivers().find(device->DriverObject);
        if (it != devicesOfDrivers().end() && --it->second == 0) devicesOfDrivers().erase(it);
    }
    if (block->destroyExtension) block->destroyExtension(device->DeviceExtension);
    delete block;
}

bool isDeleted(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> lock(ioMutex());
    return blockOf(device)->deleted;
}

void setExtensionDestructor(PDEVICE_OBJECT device, void (*destroy)(PVOID)) { blockOf(device)->destroyExtension = destroy; }

PDEVICE_OBJECT referenceByName(const std::u16string& name) {
    std::lock_guard<std::mutex> lock(ioMutex());
    auto it = devicesByName().find(upper(name));
    if (it == devicesByName().end()) return nullptr;
    ++blockOf(it->second)->refs;
    return it->second;
}

PDEVICE_OBJECT referenceByDosName(const std::string& name) {
    std::u16string target;
    {
        std::lock_guard<std::mutex> lock(ioMutex());
        auto it = dosLinks().find(upper(utf8ToUtf16(name)));
        if (it == dosLinks().end()) return nullptr;
        target = it->second;
    }
    return referenceByName(target);
}

}  // namespace winsim::kernel

using namespace winsim;

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING deviceName, DEVICE_TYPE type,
                        ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT* out) {
    if (!driver || !out) return STATUS_INVALID_PARAMETER;
    *out = nullptr;
    const std::u16string name = fromCounted(deviceName);
    TRACE("ntoskrnl", "IoCreateDevice %s ext=%u type=%x", utf16ToUtf8(name).c_str(), extensionSize, type);
    auto block = std::make_unique<DeviceBlock>();
    // Zeroed, as the I/O manager hands out every device extension.
    block->extension.assign((extensionSize + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t), std::max_align_t{});
    DEVICE_OBJECT& d = block->object;
    d.Type = kTypeDevice;
    d.Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extensionSize);
    d.DriverObject = driver;
    d.Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
    d.Characteristics = characteristics;
    d.DeviceType = type;
    d.StackSize = 1;
    d.DeviceExtension = extensionSize ? block->extension.data() : nullptr;
    d.DeviceObjectExtension = block.get();
    block->name = name;
    std::lock_guard<std::mutex> lock(ioMutex());
    if (!name.empty()) {
        auto& names = devicesByName();
        if (names.count(upper(name))) return STATUS_OBJECT_NAME_COLLISION;
        names[upper(name)] = &d;
    }
    d.NextDevice = driver->DeviceObject;
    driver->DeviceObject = &d;
    ++devicesOfDrivers()[driver];
    *out = &d;
    block.release();
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT device) {
    if (!device) return;
    DeviceBlock* block = blockOf(device);
    {
        std::lock_guard<std::mutex> lock(ioMutex());
        if (block->deleted) bugCheck("IoDeleteDevice on a deleted device object");
        block->deleted = true;
        for (PDEVICE_OBJECT* p = &device->DriverObject->DeviceObject; *p; p = &(*p)->NextDevice)
            if (*p == device) {
                *p = device->NextDevice;
                break;
            }
        if (!block->name.empty()) {
            devicesByName().erase(upper(block->name));
            for (auto l = dosLinks().begin(); l != dosLinks().end();)
                l = upper(l->second) == upper(block->name) ? dosLinks().erase(l) : std::next(l);
        }
    }
    TRACE("ntoskrnl", "IoDeleteDevice %s", utf16ToUtf8(block->name).c_str());
    kernel::release(device);
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING link, PUNICODE_STRING deviceName) {
    const auto name = dosName(fromCounted(link));
    if (!name || name->empty() || !deviceName || !deviceName->Length) return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<std::mutex> lock(ioMutex());
    if (dosLinks().count(*name)) return STATUS_OBJECT_NAME_COLLISION;
    dosLinks()[*name] = fromCounted(deviceName);
    TRACE("ntoskrnl", "IoCreateSymbolicLink %s", utf16ToUtf8(*name).c_str());
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING link) {
    const auto name = dosName(fromCounted(link));
    if (!name) return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<std::mutex> lock(ioMutex());
    return dosLinks().erase(*name) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
    if (!source || !target) return nullptr;
    std::lock_guard<std::mutex> lock(ioMutex());
    if (blockOf(target)->deleted) return nullptr;
    PDEVICE_OBJECT top = target;
    while (top->AttachedDevice) top = top->AttachedDevice;
    top->AttachedDevice = source;
    source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT target) {
    if (!target) return;
    std::lock_guard<std::mutex> lock(ioMutex());
    target->AttachedDevice = nullptr;
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> lock(ioMutex());
    while (device && device->AttachedDevice) device = device->AttachedDevice;
    return device;
}

PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN) {
    if (stackSize < 1) return nullptr;
    const size_t size = kHeadSize + sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
    void* raw = std::calloc(1, size);
    if (!raw) return nullptr;
    new (raw) IrpHead();
    auto* irp = reinterpret_cast<PIRP>(static_cast<char*>(raw) + kHeadSize);
    irp->Type = kTypeIrp;
    irp->Size = static_cast<USHORT>(sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION));
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    auto* stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
    irp->Tail.Overlay.CurrentStackLocation = stack + stackSize;
    return irp;
}

VOID IoFreeIrp(PIRP irp) {
    if (!irp) return;
    IrpHead* head = headOf(irp);
    if (!head) bugCheck("IoFreeIrp on memory that is no IRP");
    const std::vector<PDEVICE_OBJECT> through = std::move(head->through);
    head->magic = 0;
    head->~IrpHead();
    std::free(head);
    for (PDEVICE_OBJECT d : through) kernel::release(d);
}

NTSTATUS IoCallDriver(PDEVICE_OBJECT device, PIRP irp) {
    if (!device || !irp) bugCheck("IoCallDriver without a device or an IRP");
    IrpHead* head = headOf(irp);
    if (!head) bugCheck("IoCallDriver with memory that is no IRP");
    if (--irp->CurrentLocation <= 0) bugCheck("no more IRP stack locations");
    PIO_STACK_LOCATION stack = --irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = device;
    kernel::reference(device);
    head->through.push_back(device);
    if (stack->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) bugCheck("IRP with an unknown major function");
    TRACE("irp", "IoCallDriver %p major %x minor %x", static_cast<void*>(device), stack->MajorFunction, stack->MinorFunction);
    if (kernel::isDeleted(device)) {
        // A driver kept a pointer to a device object that is gone (its memory lives on while it
        // is referenced). The real system would run whatever is there now; the lab says so and
        // calls nothing.
        std::fprintf(stderr, "winsim: a request (major %#x) was sent to a deleted device object %p; not delivered\n",
                     stack->MajorFunction, static_cast<void*>(device));
        irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_NO_SUCH_DEVICE;
    }
    return device->DriverObject->MajorFunction[stack->MajorFunction](device, irp);
}

VOID IoCompleteRequest(PIRP irp, CCHAR) {
    if (!irp) return;
    IrpHead* head = headOf(irp);
    if (!head) bugCheck("IoCompleteRequest with memory that is no IRP");
    if (irp->IoStatus.Status == STATUS_PENDING) bugCheck("IRP completed with STATUS_PENDING");
    while (irp->CurrentLocation <= irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        const PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        const PVOID context = stack->Context;
        const UCHAR control = stack->Control;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        stack->Control = 0;
        ++irp->CurrentLocation;
        ++irp->Tail.Overlay.CurrentStackLocation;
        const NTSTATUS status = irp->IoStatus.Status;
        const bool invoke = routine && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                        (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                        (irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PDEVICE_OBJECT above =
                irp->CurrentLocation <= irp->StackCount ? IoGetCurrentIrpStackLocation(irp)->DeviceObject : nullptr;
            if (routine(above, irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
        } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
            IoMarkIrpPending(irp);
        }
    }
    if (!head->ownedByIoManager) return;  // its allocator frees it
    const NTSTATUS status = irp->IoStatus.Status;
    if (head->copyBack && (NT_SUCCESS(status) || NT_WARNING(status)) && head->userOutput) {
        const size_t n = std::min<size_t>({irp->IoStatus.Information, head->outputLength, head->systemBuffer.size()});
        if (n) std::memcpy(head->userOutput, head->systemBuffer.data(), n);
    }
    if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
    PKEVENT event = irp->UserEvent;
    IoFreeIrp(irp);
    if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

PIRP IoBuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID input, ULONG inputLength, PVOID output,
                                   ULONG outputLength, BOOLEAN internal, PKEVENT event, PIO_STATUS_BLOCK iosb) {
    if (!device) return nullptr;
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (!irp) return nullptr;
    IrpHead* head = headOf(irp);
    head->ownedByIoManager = true;
    irp->UserIosb = iosb;
    irp->UserEvent = event;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    try {
        switch (METHOD_FROM_CTL_CODE(code)) {
        case METHOD_BUFFERED:
            // One system buffer for both directions, as large as the larger of the two.
            head->systemBuffer.assign(std::max(inputLength, outputLength), 0);
            if (input && inputLength) std::memcpy(head->systemBuffer.data(), input, inputLength);
            irp->AssociatedIrp.SystemBuffer = head->systemBuffer.empty() ? nullptr : head->systemBuffer.data();
            head->userOutput = output;
            head->outputLength = output ? outputLength : 0;
            head->copyBack = true;
            irp->UserBuffer = output;
            break;
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            head->systemBuffer.assign(inputLength, 0);
            if (input && inputLength) std::memcpy(head->systemBuffer.data(), input, inputLength);
            irp->AssociatedIrp.SystemBuffer = head->systemBuffer.empty() ? nullptr : head->systemBuffer.data();
            if (output && outputLength) {
                head->mdl.MappedSystemVa = output;
                head->mdl.StartVa = output;
                head->mdl.ByteCount = outputLength;
                irp->MdlAddress = &head->mdl;
            }
            break;
        default:  // METHOD_NEITHER: the callers' own buffers
            next->Parameters.DeviceIoControl.Type3InputBuffer = input;
            irp->UserBuffer = output;
            break;
        }
    } catch (const std::bad_alloc&) {
        IoFreeIrp(irp);
        return nullptr;
    }
    return irp;
}

}  // extern "C"
