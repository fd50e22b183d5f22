// Device I/O on the tree: opening device paths, handles, and IRPs into node stacks. This is
// where Win32 meets the driver model: a CreateFile is IRP_MJ_CREATE, a DeviceIoControl
// IRP_MJ_DEVICE_CONTROL, a CloseHandle IRP_MJ_CLEANUP and IRP_MJ_CLOSE.
#include "hardware_impl.h"
#include "lab_driver_objects.h"

#include <map>

#include <winsim/cfgmgr32.h>
#include <winsim/setupapi.h>

using nlohmann::json;

namespace lab {

using detail::signalOnCompletion;

// ---- open handles --------------------------------------------------------------------------------

DeviceFile::DeviceFile(Hardware& hw, std::shared_ptr<DevNode> node, PDEVICE_OBJECT device, uint32_t access)
    : hw_(hw), node_(std::move(node)), device_(device), access_(access) {
    fileObject_.Type = 5;  // IO_TYPE_FILE
    fileObject_.Size = sizeof(FILE_OBJECT);
    if (node_) ++node_->openHandles;
}

DeviceFile::~DeviceFile() {
    PDEVICE_OBJECT top = nullptr;
    if (node_) {
        Hardware::Impl::Lock lock(*hw_.impl_);
        if (node_->started && node_->generation == generation_ && !node_->devices.empty()) {
            top = IoGetAttachedDevice(node_->devices.front());
            winsim::kernel::reference(top);
        }
    } else if (device_ && !winsim::kernel::isDeleted(device_)) {
        top = IoGetAttachedDevice(device_);
        winsim::kernel::reference(top);
    }
    if (top) {
        detail::sendAndWait(top, IRP_MJ_CLEANUP, 0, &fileObject_);
        detail::sendAndWait(top, IRP_MJ_CLOSE, 0, &fileObject_);
        winsim::kernel::release(top);
    }
    if (device_) {
        {
            Hardware::Impl::Lock lock(*hw_.impl_);
            --device_->ReferenceCount;
        }
        winsim::kernel::release(device_);
    }
    if (node_) --node_->openHandles;
}

DevInst DeviceFile::devInst() const { return node_ ? node_->devInst : 0; }
bool DeviceFile::canRead() const { return access_ & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA); }
bool DeviceFile::canWrite() const { return access_ & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA); }

std::shared_ptr<DeviceFile> Hardware::open(const std::string& path, uint32_t access, NTSTATUS* status) {
    refresh();
    *status = STATUS_OBJECT_NAME_NOT_FOUND;
    if (path.size() < 5 || (path.compare(0, 4, "\\\\.\\") != 0 && path.compare(0, 4, "\\\\?\\") != 0)) return nullptr;
    const std::string rest = path.substr(4);
    std::shared_ptr<DeviceFile> file;
    PDEVICE_OBJECT top = nullptr;
    {
        Impl::Lock lock(*impl_);
        std::shared_ptr<DevNode> n;
        if (rest.size() == 2 && rest[1] == ':' && std::isalpha(static_cast<unsigned char>(rest[0]))) {
            auto m = impl_->mounts.find(static_cast<char>(std::toupper(static_cast<unsigned char>(rest[0]))));
            if (m != impl_->mounts.end()) n = impl_->find(m->second.node);
        } else if (auto l = impl_->links.find(rest); l != impl_->links.end()) {
            n = impl_->find(l->second);
        } else {
            const std::string wanted = "\\\\?\\" + rest;
            for (const auto& candidate : impl_->nodes) {
                if (!candidate || candidate->removed) continue;
                for (const auto& itf : candidate->interfaces)
                    if (itf.active && equalNoCase(itf.link, wanted)) n = candidate;
            }
        }
        if (n) {
            if (!n->present || !n->started || n->devices.empty()) return nullptr;
            file = std::make_shared<DeviceFile>(*this, n, nullptr, access);
            file->generation_ = n->generation;
            top = IoGetAttachedDevice(n->devices.front());
            winsim::kernel::reference(top);
        }
    }
    if (!file) {
        // A name that a kernel-mode driver linked to one of its devices.
        PDEVICE_OBJECT named = winsim::kernel::referenceByDosName(rest);
        if (!named) return nullptr;
        // An exclusive device takes one handle at a time (the count is the I/O manager's, kept
        // under the tree lock).
        {
            Impl::Lock lock(*impl_);
            if ((named->Flags & DO_EXCLUSIVE) && named->ReferenceCount > 0) {
                winsim::kernel::release(named);
                *status = STATUS_ACCESS_DENIED;
                return nullptr;
            }
        }
        file = std::make_shared<DeviceFile>(*this, nullptr, named, access);
        top = IoGetAttachedDevice(named);
        winsim::kernel::reference(top);
    }
    file->fileObject_.DeviceObject = top;
    *status = detail::sendAndWait(top, IRP_MJ_CREATE, 0, file->fileObject());
    winsim::kernel::release(top);
    if (!NT_SUCCESS(*status)) {
        // Refused at create: no cleanup or close follows.
        if (file->node_) file->generation_ = 0;
        if (file->device_) {
            winsim::kernel::release(file->device_);
            file->device_ = nullptr;
        }
        return nullptr;
    }
    if (file->device_) {
        Impl::Lock lock(*impl_);
        ++file->device_->ReferenceCount;
    }
    return file;
}

PDEVICE_OBJECT Hardware::referenceTop(DevInst devInst) {
    Impl::Lock lock(*impl_);
    auto n = impl_->find(devInst);
    if (!n || !n->present || !n->started || n->devices.empty()) return nullptr;
    PDEVICE_OBJECT top = IoGetAttachedDevice(n->devices.front());
    winsim::kernel::reference(top);
    return top;
}

NTSTATUS Hardware::deviceControl(DeviceFile& file, uint32_t code, const void* input, uint32_t inputLength, void* output,
                                 uint32_t outputLength, ULONG_PTR* information, bool internal) {
    refresh();
    *information = 0;
    PDEVICE_OBJECT top = nullptr;
    if (file.node_) {
        Impl::Lock lock(*impl_);
        const auto& n = file.node_;
        if (!n->present || !n->started || n->generation != file.generation_ || n->devices.empty())
            return STATUS_DEVICE_DOES_NOT_EXIST;
        top = IoGetAttachedDevice(n->devices.front());
        winsim::kernel::reference(top);
    } else {
        if (!file.device_ || winsim::kernel::isDeleted(file.device_)) return STATUS_DEVICE_DOES_NOT_EXIST;
        top = IoGetAttachedDevice(file.device_);
        winsim::kernel::reference(top);
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, top, const_cast<void*>(input), inputLength, output, outputLength,
                                             internal, &done, &iosb);
    if (!irp) {
        winsim::kernel::release(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->RequestorMode = UserMode;
    IoGetNextIrpStackLocation(irp)->FileObject = file.fileObject();
    NTSTATUS status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    } else {
        status = iosb.Status;
    }
    winsim::kernel::release(top);
    *information = iosb.Information;
    return status;
}

// The IRP goes on into the other stack as an IRP of its own with the same parameters and
// buffers, so that the two stacks need not know each other's depth; its result completes the
// original.
NTSTATUS Hardware::forward(DevInst target, PIRP irp) {
    PDEVICE_OBJECT top = referenceTop(target);
    if (!top) return DriverContext::complete(irp, STATUS_DEVICE_DOES_NOT_EXIST);
    PIRP inner = IoAllocateIrp(top->StackSize, FALSE);
    if (!inner) {
        winsim::kernel::release(top);
        return DriverContext::complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(inner);
    *next = *IoGetCurrentIrpStackLocation(irp);
    next->CompletionRoutine = nullptr;
    next->Context = nullptr;
    next->Control = 0;
    inner->AssociatedIrp.SystemBuffer = irp->AssociatedIrp.SystemBuffer;
    inner->MdlAddress = irp->MdlAddress;
    inner->UserBuffer = irp->UserBuffer;
    inner->RequestorMode = irp->RequestorMode;
    IoSetCompletionRoutine(inner, signalOnCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(top, inner) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    const IO_STATUS_BLOCK result = inner->IoStatus;
    IoFreeIrp(inner);
    winsim::kernel::release(top);
    return DriverContext::complete(irp, result.Status, result.Information);
}

std::vector<MountedDrive> Hardware::drives() {
    refresh();
    Impl::Lock lock(*impl_);
    std::vector<MountedDrive> out;
    for (const auto& [letter, m] : impl_->mounts) out.push_back(m);
    return out;
}

json Hardware::describe(DevInst devInst) {
    std::vector<std::shared_ptr<Driver>> stack;
    {
        Impl::Lock lock(*impl_);
        if (auto n = impl_->find(devInst)) stack = n->stack;
    }
    json j = json::object();
    for (const auto& d : stack) d->describe(j);
    return j;
}

}  // namespace lab

namespace lab {

PDEVICE_OBJECT Hardware::referenceDrive(char letter) {
    refresh();
    Impl::Lock lock(*impl_);
    auto m = impl_->mounts.find(static_cast<char>(std::toupper(static_cast<unsigned char>(letter))));
    if (m == impl_->mounts.end()) return nullptr;
    auto n = impl_->find(m->second.node);
    if (!n || !n->started || n->devices.empty()) return nullptr;
    PDEVICE_OBJECT top = IoGetAttachedDevice(n->devices.front());
    winsim::kernel::reference(top);
    return top;
}

NTSTATUS Hardware::pdoProperty(PDEVICE_OBJECT pdo, uint32_t property, std::vector<uint8_t>* out) {
    // IoGetDeviceProperty's numbering, mapped to the node's SPDRP_* properties.
    static const std::map<uint32_t, uint32_t> spdrp = {
        {0, SPDRP_DEVICEDESC},  {1, SPDRP_HARDWAREID},          {2, SPDRP_COMPATIBLEIDS},
        {5, SPDRP_CLASS},       {6, SPDRP_CLASSGUID},           {7, SPDRP_DRIVER},
        {8, SPDRP_MFG},         {9, SPDRP_FRIENDLYNAME},        {10, SPDRP_LOCATION_INFORMATION},
        {11, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME}, {15, SPDRP_ENUMERATOR_NAME}, {16, SPDRP_ADDRESS},
    };
    const DevInst node = detail::nodeOfPdo(pdo);
    auto it = spdrp.find(property);
    if (!node || it == spdrp.end()) return STATUS_INVALID_PARAMETER;
    PropertyValue v;
    if (this->property(node, it->second, &v) != 0) return STATUS_OBJECT_NAME_NOT_FOUND;
    out->clear();
    if (v.type == REG_DWORD) {
        out->assign(v.data.begin(), v.data.end());
        return STATUS_SUCCESS;
    }
    // Text and lists of text as the kernel keeps them: UTF-16, each item with its terminator.
    for (uint8_t byte : v.data) {
        out->push_back(byte);
        out->push_back(0);
    }
    return STATUS_SUCCESS;
}

void Hardware::invalidateState(PDEVICE_OBJECT pdo) {
    const DevInst node = detail::nodeOfPdo(pdo);
    if (!node) return;
    schedule(0, [this, node] {
        Impl::Lock lock(*impl_);
        auto n = impl_->find(node);
        if (!n || !n->started || n->devices.empty()) return;
        PDEVICE_OBJECT top = IoGetAttachedDevice(n->devices.front());
        ULONG_PTR state = 0;
        if (!NT_SUCCESS(detail::sendAndWait(top, IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE, nullptr, &state))) return;
        if (state & (PNP_DEVICE_FAILED | PNP_DEVICE_REMOVED)) {
            impl_->stop(n);
            n->problem = CM_PROB_FAILED_POST_START;
        }
    });
}

}  // namespace lab
