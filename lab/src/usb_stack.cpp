// The USB device PDO (URBs to control and bulk transfers of the device, with its faults), the
// function drivers' side of URBs, the reader drivers' URB pass-through envelope, and USB mass
// storage over bulk-only wrappers.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include <protocol/tarn_usb.h>
#include <protocol/usb_mass_storage.h>
#include <winsim/devguid.h>
#include <winsim/setupapi.h>
#include <winsim/ntddscsi.h>
#include <winsim/winioctl.h>

#include "lab_driver_objects.h"
#include "trace.h"
#include "pc_drivers.h"
#include "usb_drivers.h"

using nlohmann::json;

namespace lab {

namespace {

// How long a transfer that a device never answers takes before the host gives up on it.
constexpr uint64_t kTransferTimeoutMs = 5000;
constexpr uint32_t kMaxControlLength = 4096;
constexpr uint32_t kMaxBulkLength = 65536;

std::string hex4(uint16_t v) {
    char b[8];
    std::snprintf(b, sizeof b, "%04x", v);
    return b;
}

std::string hex2(uint8_t v) {
    char b[4];
    std::snprintf(b, sizeof b, "%02x", v);
    return b;
}

// A serial string can stand in an instance ID only when it is plain letters and digits;
// otherwise the hub makes an ID from the port, as for a device without serial.
bool usableSerial(const std::string& s) {
    return !s.empty() && s.size() <= 64 &&
           std::all_of(s.begin(), s.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
}

uint8_t* bufferOf(PVOID buffer, PMDL mdl) {
    if (buffer) return static_cast<uint8_t*>(buffer);
    return mdl ? static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority)) : nullptr;
}

struct Result {
    NTSTATUS nt = STATUS_SUCCESS;
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    uint32_t transferred = 0;
};

Result fromOutcome(const UsbOutcome& o) {
    switch (o.kind) {
    case UsbOutcome::Kind::Completed: return {STATUS_SUCCESS, USBD_STATUS_SUCCESS, o.transferred};
    case UsbOutcome::Kind::Stalled: return {STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0};
    case UsbOutcome::Kind::TimedOut: return {STATUS_IO_TIMEOUT, USBD_STATUS_TIMEOUT, 0};
    case UsbOutcome::Kind::NoDevice: return {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0};
    case UsbOutcome::Kind::Error: return {STATUS_UNSUCCESSFUL, static_cast<USBD_STATUS>(o.usbd), o.transferred};
    }
    return {STATUS_UNSUCCESSFUL, USBD_STATUS_REQUEST_FAILED, 0};
}

// Alters one byte of what a transfer carries: the one the fault names (counted from the start of
// the whole image for a block of one), else the middle one.
void corrupt(const Fault& f, const FaultRequest& request, uint8_t* data, uint32_t length) {
    if (!data || length == 0) return;
    const uint64_t at = f.position ? uint64_t{*f.position} - request.dataOffset : length / 2;
    if (at < length) data[at] ^= 0x5A;
}

// One transfer to the device with its faults: `run` does the transfer on the data it is given.
template <typename Run>
Result withFaults(Hardware& hw, PhysicalDevice& device, const FaultRequest& request, bool in, uint8_t* data,
                  uint32_t length, Run run) {
    const std::optional<Fault> fault = device.takeFault(request);
    if (!fault) return fromOutcome(run(data));
    switch (fault->action) {
    case Fault::Action::Fail: return fromOutcome(UsbOutcome::stalled());
    case Fault::Action::Stall:
        hw.sleepLab(kTransferTimeoutMs);
        return fromOutcome({UsbOutcome::Kind::TimedOut, 0});
    case Fault::Action::Unplug:
        hw.setPlugged(device.id(), false);
        return fromOutcome({UsbOutcome::Kind::NoDevice, 0});
    case Fault::Action::Replug:
        hw.setPlugged(device.id(), false);
        hw.setPlugged(device.id(), true);
        return fromOutcome({UsbOutcome::Kind::NoDevice, 0});
    case Fault::Action::UsbStatus:
        device.usb()->transferFailed(fault->status);
        return {STATUS_UNSUCCESSFUL, static_cast<USBD_STATUS>(fault->status), 0};
    case Fault::Action::NtStatus: {
        const NTSTATUS nt = static_cast<NTSTATUS>(fault->status);
        const bool gone = nt == STATUS_DEVICE_REMOVED || nt == STATUS_DEVICE_NOT_CONNECTED;
        return {nt, gone ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_REQUEST_FAILED, 0};
    }
    case Fault::Action::Corrupt: {
        if (in) {
            Result r = fromOutcome(run(data));
            corrupt(*fault, request, data, r.transferred);
            return r;
        }
        std::vector<uint8_t> altered(data, data + length);
        corrupt(*fault, request, altered.data(), length);
        return fromOutcome(run(altered.data()));
    }
    default: return fromOutcome(run(data));
    }
}

std::vector<uint8_t> stringDescriptorOf(UsbFunction& f, uint8_t index) {
    if (index == 0) return {4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04};
    const std::optional<std::u16string> text = f.stringDescriptor(index);
    if (!text) return {};
    const size_t units = std::min<size_t>(text->size(), 126);
    std::vector<uint8_t> d(2 + units * 2);
    d[0] = static_cast<uint8_t>(d.size());
    d[1] = USB_STRING_DESCRIPTOR_TYPE;
    for (size_t i = 0; i < units; ++i) {
        d[2 + 2 * i] = static_cast<uint8_t>((*text)[i] & 0xFF);
        d[3 + 2 * i] = static_cast<uint8_t>((*text)[i] >> 8);
    }
    return d;
}

// The endpoints of a configuration descriptor, per interface.
struct InterfaceLayout {
    USB_INTERFACE_DESCRIPTOR itf;
    std::vector<USB_ENDPOINT_DESCRIPTOR> endpoints;
};

std::vector<InterfaceLayout> layoutOf(const std::vector<uint8_t>& config) {
    std::vector<InterfaceLayout> out;
    for (size_t at = 0; at + 2 <= config.size();) {
        const uint8_t len = config[at], type = config[at + 1];
        if (len < 2 || at + len > config.size()) break;
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && len >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            InterfaceLayout l{};
            std::memcpy(&l.itf, &config[at], sizeof l.itf);
            out.push_back(l);
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && len >= sizeof(USB_ENDPOINT_DESCRIPTOR) && !out.empty()) {
            USB_ENDPOINT_DESCRIPTOR e;
            std::memcpy(&e, &config[at], sizeof e);
            out.back().endpoints.push_back(e);
        }
        at += len;
    }
    return out;
}

USBD_PIPE_HANDLE pipeHandleOf(uint8_t endpoint) {
    return reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<uintptr_t>(0x5100 | endpoint));
}

std::optional<uint8_t> endpointOf(USBD_PIPE_HANDLE pipe) {
    const uintptr_t v = reinterpret_cast<uintptr_t>(pipe);
    if ((v & ~uintptr_t{0xFF}) != 0x5100) return std::nullopt;
    return static_cast<uint8_t>(v & 0xFF);
}

}  // namespace

// ---- the device's PDO ----------------------------------------------------------------------------

std::shared_ptr<PhysicalDevice> UsbDevicePdo::device() const {
    auto d = hw_.physical(physicalId_);
    if (!d || !d->plugged() || !d->usb() || !d->usbPort()) return nullptr;
    UsbPort* port = d->usbPort();
    if (port->arrival() != arrival_ || port->state() != PortState::Connected) return nullptr;
    return d;
}

NTSTATUS UsbDevicePdo::start(DriverContext& ctx) {
    ctx.hw.setInterface(ctx.node, GUID_DEVINTERFACE_USB_DEVICE, true);
    return STATUS_SUCCESS;
}

void UsbDevicePdo::describe(json& j) const {
    j["usbConfiguration"] = configuration_;
}

NTSTATUS UsbDevicePdo::dispatch(DriverContext& ctx, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL)
        return internalControl(ctx, irp);
    return Driver::dispatch(ctx, irp);
}

NTSTATUS UsbDevicePdo::internalControl(DriverContext&, PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    PVOID argument = s->Parameters.Others.Argument1;
    switch (s->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        if (!argument) return DriverContext::complete(irp, STATUS_INVALID_PARAMETER);
        return DriverContext::complete(irp, submit(static_cast<URB*>(argument)));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        if (!argument) return DriverContext::complete(irp, STATUS_INVALID_PARAMETER);
        *static_cast<ULONG*>(argument) = device() ? USBD_PORT_ENABLED | USBD_PORT_CONNECTED : 0;
        return DriverContext::complete(irp, STATUS_SUCCESS);
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
    case IOCTL_INTERNAL_USB_CYCLE_PORT: {
        auto d = device();
        if (!d) return DriverContext::complete(irp, STATUS_DEVICE_NOT_CONNECTED);
        if (!d->hasFault(isHeldPort))
            if (auto fault = d->takeFault(FaultRequest::port());
                fault && (fault->action == Fault::Action::Fail || fault->action == Fault::Action::Stall))
                return DriverContext::complete(irp, STATUS_UNSUCCESSFUL);
        if (s->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_RESET_PORT) {
            // A reset brings the device to its default state; the hub sets its address and
            // configuration again, so the driver above keeps its pipes.
            d->usb()->busReset();
        } else {
            d->usbPort()->leave(LeaveKind::Cycle);
        }
        return DriverContext::complete(irp, STATUS_SUCCESS);
    }
    default: return DriverContext::complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS UsbDevicePdo::submit(URB* urb) {
    _URB_HEADER& h = urb->UrbHeader;
    auto d = device();
    if (!d) {
        h.Status = USBD_STATUS_DEVICE_GONE;
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    UsbFunction& f = *d->usb();
    auto fail = [&](USBD_STATUS usbd, NTSTATUS nt) {
        h.Status = usbd;
        return nt;
    };
    auto finish = [&](const Result& r, ULONG* transferLength) {
        h.Status = r.usbd;
        if (transferLength) *transferLength = r.transferred;
        return r.nt;
    };
    // A control transfer on the default pipe, with the device's faults.
    auto control = [&](const UsbSetup& setup, uint8_t* data, ULONG* transferLength) {
        if (setup.length && !data) return fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        const Result r = withFaults(hw_, *d,
                                    FaultRequest::usbControl(setup.requestType, setup.request, f.imageOffset(setup),
                                                             setup.length),
                                    setup.in(), data, setup.length, [&](uint8_t* buffer) { return f.control(setup, buffer); });
        return finish(r, transferLength);
    };

    switch (h.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        auto& r = urb->UrbSelectConfiguration;
        if (h.Length < sizeof r) return fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        if (!r.ConfigurationDescriptor) {
            configuration_ = 0;
            d->usbPort()->setConfiguration(arrival_, 0);
            return fail(USBD_STATUS_SUCCESS, STATUS_SUCCESS);
        }
        // Selecting a configuration is the device's SET_CONFIGURATION: a device that refuses it
        // stays unconfigured, and its driver has no pipes to work with.
        const Result set = withFaults(hw_, *d, FaultRequest::usbControl(0x00, USB_REQUEST_SET_CONFIGURATION), false,
                                      nullptr, 0, [](uint8_t*) { return UsbOutcome::done(0); });
        if (!NT_SUCCESS(set.nt)) return finish(set, nullptr);
        const std::vector<uint8_t> config = f.configurationDescriptor();
        const auto layout = layoutOf(config);
        auto* itf = &r.Interface;
        const auto* end = reinterpret_cast<const uint8_t*>(urb) + h.Length;
        for (const InterfaceLayout& l : layout) {
            if (l.itf.bAlternateSetting != 0) continue;
            const size_t need = sizeof(USBD_INTERFACE_INFORMATION) +
                                (l.endpoints.empty() ? 0 : l.endpoints.size() - 1) * sizeof(USBD_PIPE_INFORMATION);
            if (reinterpret_cast<const uint8_t*>(itf) + need > end || itf->Length < need)
                return fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
            itf->InterfaceNumber = l.itf.bInterfaceNumber;
            itf->Class = l.itf.bInterfaceClass;
            itf->SubClass = l.itf.bInterfaceSubClass;
            itf->Protocol = l.itf.bInterfaceProtocol;
            itf->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(static_cast<uintptr_t>(0x1F00 | l.itf.bInterfaceNumber));
            itf->NumberOfPipes = static_cast<ULONG>(l.endpoints.size());
            for (size_t i = 0; i < l.endpoints.size(); ++i) {
                USBD_PIPE_INFORMATION& p = itf->Pipes[i];
                const USB_ENDPOINT_DESCRIPTOR& e = l.endpoints[i];
                p.MaximumPacketSize = e.wMaxPacketSize;
                p.EndpointAddress = e.bEndpointAddress;
                p.Interval = e.bInterval;
                p.PipeType = (e.bmAttributes & 3) == USB_ENDPOINT_TYPE_BULK ? UsbdPipeTypeBulk : UsbdPipeTypeInterrupt;
                p.PipeHandle = pipeHandleOf(e.bEndpointAddress);
                if (!p.MaximumTransferSize) p.MaximumTransferSize = kMaxBulkLength;
            }
            itf = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(reinterpret_cast<uint8_t*>(itf) + itf->Length);
            if (reinterpret_cast<const uint8_t*>(itf) >= end) break;
        }
        r.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(static_cast<uintptr_t>(0xC0F1));
        configuration_ = config.size() > 5 ? config[5] : 1;
        d->usbPort()->setConfiguration(arrival_, configuration_);
        return fail(USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        auto& r = urb->UrbControlDescriptorRequest;
        uint8_t* data = bufferOf(r.TransferBuffer, r.TransferBufferMDL);
        if (!data || r.TransferBufferLength == 0) return fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        const UsbSetup setup{0x80, USB_REQUEST_GET_DESCRIPTOR,
                             static_cast<uint16_t>(r.DescriptorType << 8 | r.Index), r.LanguageId,
                             static_cast<uint16_t>(std::min<ULONG>(r.TransferBufferLength, 0xFFFF))};
        // A driver reads the configuration descriptor to configure its device, not a request
        // faults are meant for.
        const auto res = [&](auto run) {
            if (r.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) return fromOutcome(run(data));
            return withFaults(hw_, *d, FaultRequest::usbControl(setup.requestType, setup.request), true, data,
                              setup.length, run);
        }([&](uint8_t* buffer) {
                           std::vector<uint8_t> bytes;
                           if (r.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) bytes = f.deviceDescriptor();
                           else if (r.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) bytes = f.configurationDescriptor();
                           else if (r.DescriptorType == USB_STRING_DESCRIPTOR_TYPE) bytes = stringDescriptorOf(f, r.Index);
                           if (bytes.empty()) return UsbOutcome::stalled();
                           const uint32_t n = std::min<uint32_t>(setup.length, static_cast<uint32_t>(bytes.size()));
                           std::memcpy(buffer, bytes.data(), n);
                           return UsbOutcome::done(n);
                       });
        return finish(res, &r.TransferBufferLength);
    }
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: {
        auto& r = urb->UrbControlVendorClassRequest;
        const bool vendor = h.Function >= URB_FUNCTION_VENDOR_DEVICE && h.Function <= URB_FUNCTION_VENDOR_ENDPOINT;
        uint8_t recipient;
        switch (h.Function) {
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_CLASS_INTERFACE: recipient = 1; break;
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_CLASS_ENDPOINT: recipient = 2; break;
        case URB_FUNCTION_VENDOR_OTHER:
        case URB_FUNCTION_CLASS_OTHER: recipient = 3; break;
        default: recipient = 0;
        }
        const bool in = r.TransferFlags & USBD_TRANSFER_DIRECTION_IN;
        const bool vendorType = vendor || h.Function == URB_FUNCTION_VENDOR_OTHER;
        if (r.TransferBufferLength > kMaxControlLength) return fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        const UsbSetup setup{static_cast<uint8_t>((in ? 0x80 : 0) | (vendorType ? 0x40 : 0x20) | recipient |
                                                  r.RequestTypeReservedBits),
                             r.Request, r.Value, r.Index, static_cast<uint16_t>(r.TransferBufferLength)};
        return control(setup, bufferOf(r.TransferBuffer, r.TransferBufferMDL), &r.TransferBufferLength);
    }
    case URB_FUNCTION_CONTROL_TRANSFER: {
        auto& r = urb->UrbControlTransfer;
        UsbSetup setup;
        setup.requestType = r.SetupPacket[0];
        setup.request = r.SetupPacket[1];
        setup.value = static_cast<uint16_t>(r.SetupPacket[2] | r.SetupPacket[3] << 8);
        setup.index = static_cast<uint16_t>(r.SetupPacket[4] | r.SetupPacket[5] << 8);
        setup.length = static_cast<uint16_t>(std::min<ULONG>(r.TransferBufferLength, r.SetupPacket[6] | r.SetupPacket[7] << 8));
        return control(setup, bufferOf(r.TransferBuffer, r.TransferBufferMDL), &r.TransferBufferLength);
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        auto& r = urb->UrbBulkOrInterruptTransfer;
        const std::optional<uint8_t> endpoint = endpointOf(r.PipeHandle);
        if (!endpoint) return fail(USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
        const bool in = *endpoint & USB_ENDPOINT_DIRECTION_MASK;
        uint8_t* data = bufferOf(r.TransferBuffer, r.TransferBufferMDL);
        if ((r.TransferBufferLength && !data) || r.TransferBufferLength > kMaxBulkLength)
            return fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        const uint32_t length = r.TransferBufferLength;
        const Result res =
            withFaults(hw_, *d, FaultRequest::bulk(in ? DataDirection::In : DataDirection::Out, length), in, data, length,
                       [&](uint8_t* buffer) { return in ? f.bulkIn(*endpoint, buffer, length) : f.bulkOut(*endpoint, buffer, length); });
        return finish(res, &r.TransferBufferLength);
    }
    case URB_FUNCTION_RESET_PIPE: {
        const std::optional<uint8_t> endpoint = endpointOf(urb->UrbPipeRequest.PipeHandle);
        if (!endpoint) return fail(USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
        f.clearHalt(*endpoint);
        return fail(USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    }
    case URB_FUNCTION_GET_CONFIGURATION: {
        auto& r = urb->UrbControlGetConfigurationRequest;
        uint8_t* data = bufferOf(r.TransferBuffer, r.TransferBufferMDL);
        if (!data || r.TransferBufferLength < 1) return fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        data[0] = configuration_;
        r.TransferBufferLength = 1;
        return fail(USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    }
    default:
        TRACE_UNSUPPORTED("usb", "URB function %#x", h.Function);
        return fail(USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER);
    }
}

ChildDescription usbDeviceChild(Hardware& hw, const std::string& parentInstanceId, PhysicalDevice& device,
                                UsbPort& port, uint64_t mountDelayMs) {
    const UsbAppearance a = port.appearance();
    const std::string ids = "USB\\Vid_" + hex4(a.vendor) + "&Pid_" + hex4(a.product);
    const std::string unique = usableSerial(a.serial) ? a.serial
                                                      : "5&" + instanceTag(parentInstanceId) + "&0&" + std::to_string(port.port());
    ChildDescription c;
    c.instanceId = ids + "\\" + unique;
    c.physicalId = device.id();
    c.arrival = port.arrival();
    c.properties[SPDRP_HARDWAREID] = PropertyValue::multiText({ids + "&Rev_" + hex4(a.revision), ids});
    std::vector<std::string> compatible;
    if (a.deviceClass == 0 && !a.interfaces.empty()) {
        const auto& i = a.interfaces.front();
        const std::string cls = "USB\\Class_" + hex2(i.cls);
        compatible = {cls + "&SubClass_" + hex2(i.subclass) + "&Prot_" + hex2(i.protocol), cls + "&SubClass_" + hex2(i.subclass), cls};
        if (a.interfaces.size() > 1) compatible.push_back("USB\\COMPOSITE");
    } else {
        const std::string cls = "USB\\Class_" + hex2(a.deviceClass);
        compatible = {cls + "&SubClass_" + hex2(a.deviceSubClass) + "&Prot_" + hex2(a.deviceProtocol),
                      cls + "&SubClass_" + hex2(a.deviceSubClass), cls};
    }
    c.properties[SPDRP_COMPATIBLEIDS] = PropertyValue::multiText(compatible);
    if (!a.service.empty()) c.properties[SPDRP_SERVICE] = PropertyValue::text(a.service);
    c.rebind = a.rebind;
    c.properties[SPDRP_DEVICEDESC] = PropertyValue::text(a.description);
    c.properties[SPDRP_MFG] = PropertyValue::text(a.manufacturer);
    c.properties[SPDRP_CLASS] = PropertyValue::text("USB");
    c.properties[SPDRP_CLASSGUID] = PropertyValue::text(registryGuid(GUID_DEVCLASS_USB));
    c.properties[SPDRP_ADDRESS] = PropertyValue::dword(static_cast<uint32_t>(port.port()));
    char location[48];
    std::snprintf(location, sizeof location, "Port_#%04d.Hub_#%s", port.port(), instanceTag(parentInstanceId).c_str());
    c.properties[SPDRP_LOCATION_INFORMATION] = PropertyValue::text(location);
    char pdo[40];
    std::snprintf(pdo, sizeof pdo, "\\Device\\USBPDO-%u",
                  hw.deviceNumber("usbpdo", c.instanceId + "#" + std::to_string(c.arrival)));
    c.properties[SPDRP_PHYSICAL_DEVICE_OBJECT_NAME] = PropertyValue::text(pdo);
    c.properties[SPDRP_CAPABILITIES] =
        PropertyValue::dword(0x04 /*removable*/ | 0x80 /*surprise removal OK*/ | (usableSerial(a.serial) ? 0x40 : 0));
    c.pdo = std::make_shared<UsbDevicePdo>(hw, device.id(), port.arrival(), mountDelayMs);
    return c;
}

// ---- a function driver's URBs ----------------------------------------------------------------------

NTSTATUS UsbClient::send(URB* urb) { return internal(IOCTL_INTERNAL_USB_SUBMIT_URB, urb); }

NTSTATUS UsbClient::internal(ULONG code, PVOID argument) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, lower_, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument;
    NTSTATUS status = IoCallDriver(lower_, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

NTSTATUS UsbClient::vendorOrClass(USHORT function, bool in, uint8_t request, uint16_t value, uint16_t index, void* data,
                                  uint32_t length, uint32_t* transferred, USBD_STATUS* usbd) {
    URB urb{};
    UsbBuildVendorRequest(&urb, function, static_cast<USHORT>(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST)),
                          in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : USBD_TRANSFER_DIRECTION_OUT, 0,
                          request, value, index, length ? data : nullptr, nullptr, length, nullptr);
    const NTSTATUS status = send(&urb);
    *usbd = urb.UrbHeader.Status;
    if (transferred) *transferred = urb.UrbControlVendorClassRequest.TransferBufferLength;
    return status;
}

NTSTATUS UsbClient::descriptor(uint8_t type, uint8_t index, uint16_t language, void* data, uint32_t length,
                               uint32_t* transferred, USBD_STATUS* usbd) {
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, static_cast<USHORT>(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)), type, index,
                                 language, data, nullptr, length, nullptr);
    const NTSTATUS status = send(&urb);
    *usbd = urb.UrbHeader.Status;
    if (transferred) *transferred = urb.UrbControlDescriptorRequest.TransferBufferLength;
    return status;
}

NTSTATUS UsbClient::configure(USBD_STATUS* usbd) {
    if (configured_) return STATUS_SUCCESS;
    std::vector<uint8_t> config(255);
    uint32_t n = 0;
    NTSTATUS status = descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, config.data(), 255, &n, usbd);
    if (!NT_SUCCESS(status)) return status;
    config.resize(n);
    const auto layout = layoutOf(config);
    size_t pipes = 0, interfaces = 0;
    for (const auto& l : layout)
        if (l.itf.bAlternateSetting == 0) {
            ++interfaces;
            pipes += std::max<size_t>(l.endpoints.size(), 1);
        }
    if (interfaces == 0 || config.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        *usbd = USBD_STATUS_REQUEST_FAILED;
        return STATUS_IO_DEVICE_ERROR;
    }
    const size_t size = GET_SELECT_CONFIGURATION_REQUEST_SIZE(interfaces, pipes);
    std::vector<uint8_t> raw(size + sizeof(USBD_PIPE_INFORMATION), 0);
    auto* urb = reinterpret_cast<URB*>(raw.data());
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbSelectConfiguration.ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    auto* itf = &urb->UrbSelectConfiguration.Interface;
    for (const auto& l : layout) {
        if (l.itf.bAlternateSetting != 0) continue;
        const size_t count = std::max<size_t>(l.endpoints.size(), 1);
        itf->Length = static_cast<USHORT>(sizeof(USBD_INTERFACE_INFORMATION) + (count - 1) * sizeof(USBD_PIPE_INFORMATION));
        itf->InterfaceNumber = l.itf.bInterfaceNumber;
        itf = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(reinterpret_cast<uint8_t*>(itf) + itf->Length);
    }
    status = send(urb);
    *usbd = urb->UrbHeader.Status;
    if (!NT_SUCCESS(status)) return status;
    itf = &urb->UrbSelectConfiguration.Interface;
    for (size_t i = 0; i < interfaces; ++i) {
        for (ULONG p = 0; p < itf->NumberOfPipes; ++p) {
            const USBD_PIPE_INFORMATION& pipe = itf->Pipes[p];
            if (pipe.PipeType != UsbdPipeTypeBulk) continue;
            if (pipe.EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) {
                if (!bulkIn_) bulkIn_ = pipe.PipeHandle;
            } else if (!bulkOut_) {
                bulkOut_ = pipe.PipeHandle;
            }
        }
        itf = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(reinterpret_cast<uint8_t*>(itf) + itf->Length);
    }
    configured_ = true;
    return STATUS_SUCCESS;
}

NTSTATUS UsbClient::bulk(bool in, void* data, uint32_t length, uint32_t* transferred, USBD_STATUS* usbd) {
    if (const NTSTATUS c = configure(usbd); !NT_SUCCESS(c)) return c;
    USBD_PIPE_HANDLE pipe = in ? bulkIn_ : bulkOut_;
    if (!pipe) {
        *usbd = USBD_STATUS_INVALID_PIPE_HANDLE;
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    URB urb{};
    UsbBuildInterruptOrBulkTransferRequest(&urb, static_cast<USHORT>(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)), pipe,
                                           length ? data : nullptr, nullptr, length,
                                           in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0, nullptr);
    const NTSTATUS status = send(&urb);
    *usbd = urb.UrbHeader.Status;
    if (transferred) *transferred = urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    return status;
}

NTSTATUS UsbClient::resetPipe(bool in, USBD_STATUS* usbd) {
    if (const NTSTATUS c = configure(usbd); !NT_SUCCESS(c)) return c;
    USBD_PIPE_HANDLE pipe = in ? bulkIn_ : bulkOut_;
    if (!pipe) {
        *usbd = USBD_STATUS_INVALID_PIPE_HANDLE;
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    URB urb{};
    urb.UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
    urb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    urb.UrbPipeRequest.PipeHandle = pipe;
    const NTSTATUS status = send(&urb);
    *usbd = urb.UrbHeader.Status;
    return status;
}

// ---- the envelope --------------------------------------------------------------------------------

NTSTATUS envelopePassThrough(UsbClient& client, IoRequest& r) {
    if (!r.input || r.inputLength < tarn::kEnvelopeMinimum) return STATUS_INVALID_PARAMETER;
    tarn::Envelope e;
    std::memcpy(&e, r.input, sizeof e);
    const bool dataIn = e.direction == tarn::kDirectionIn, dataOut = e.direction == tarn::kDirectionOut;
    if (e.direction > tarn::kDirectionIn) return STATUS_INVALID_PARAMETER;
    // The data phase must lie in the buffer that carries it; the statuses go back in the output.
    const uint64_t withData = tarn::kEnvelopeHeader + uint64_t{e.length};
    if (dataOut && r.inputLength < withData) return STATUS_INVALID_PARAMETER;
    if (r.outputLength < tarn::kEnvelopeMinimum || (dataIn && r.outputLength < withData)) return STATUS_BUFFER_TOO_SMALL;
    std::vector<uint8_t> data(e.length);
    if (dataOut && e.length) std::memcpy(data.data(), r.input + tarn::kEnvelopeHeader, e.length);

    NTSTATUS nt = STATUS_SUCCESS;
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    uint32_t moved = 0;
    switch (e.kind) {
    case tarn::kKindControl: {
        if (e.length > kMaxControlLength || e.wLength != e.length || (e.direction == tarn::kDirectionNone && e.length))
            return STATUS_INVALID_PARAMETER;
        if (e.urbFunction == tarn::kUrbVendorInterface || e.urbFunction == tarn::kUrbClassInterface) {
            nt = client.vendorOrClass(e.urbFunction, dataIn, e.bRequest, e.wValue, e.wIndex, data.data(), e.length, &moved, &usbd);
        } else if (e.urbFunction == tarn::kUrbDescriptorFromDevice) {
            if (!dataIn || e.bRequest != USB_REQUEST_GET_DESCRIPTOR) return STATUS_INVALID_PARAMETER;
            nt = client.descriptor(static_cast<uint8_t>(e.wValue >> 8), static_cast<uint8_t>(e.wValue & 0xFF), e.wIndex,
                                   data.data(), e.length, &moved, &usbd);
        } else {
            return STATUS_INVALID_PARAMETER;
        }
        break;
    }
    case tarn::kKindBulk:
        if (e.urbFunction != 0 || e.direction == tarn::kDirectionNone || e.length > kMaxBulkLength)
            return STATUS_INVALID_PARAMETER;
        nt = client.bulk(dataIn, data.data(), e.length, &moved, &usbd);
        break;
    case tarn::kKindPipeReset:
        if (e.urbFunction != tarn::kUrbResetPipe || e.direction == tarn::kDirectionNone || e.length != 0)
            return STATUS_INVALID_PARAMETER;
        nt = client.resetPipe(dataIn, &usbd);
        break;
    default: return STATUS_INVALID_PARAMETER;
    }
    e.ntStatus = static_cast<uint32_t>(nt);
    e.usbStatus = static_cast<uint32_t>(usbd);
    if (dataIn) {
        const uint32_t asked = e.length;  // packed: by value
        const uint32_t n = std::min(moved, asked);
        if (e.kind == tarn::kKindBulk) e.length = n;
        if (n) std::memcpy(r.output + tarn::kEnvelopeHeader, data.data(), n);
    }
    std::memcpy(r.output, &e, sizeof e);
    r.information = r.outputLength;
    return STATUS_SUCCESS;
}

// ---- interfaces of a composite device --------------------------------------------------------------

NTSTATUS InterfacePdo::dispatch(DriverContext& ctx, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL)
        return ctx.hw.forward(device_, irp);
    return Driver::dispatch(ctx, irp);
}

// ---- mass storage over bulk-only -------------------------------------------------------------------

namespace {

// The disk's PDO: SCSI pass-through turned into bulk-only commands of the function.
class BulkOnlyLunPdo : public Driver, public ScsiPort {
public:
    BulkOnlyLunPdo(std::shared_ptr<BulkOnlyStorage> storage, uint8_t lun) : storage_(std::move(storage)), lun_(lun) {}
    ScsiOutcome scsi(const ScsiCommand& command) override { return storage_->bulkOnly(command); }
    std::optional<NTSTATUS> control(DriverContext&, IoRequest& r) override {
        if (r.code != IOCTL_SCSI_PASS_THROUGH_DIRECT) return std::nullopt;
        return scsiPassThroughDirect(*this, r, lun_);
    }

private:
    std::shared_ptr<BulkOnlyStorage> storage_;
    uint8_t lun_;
};

std::string underscoredTo(const std::string& s, size_t width) {
    std::string out = s.substr(0, width);
    out.resize(width, ' ');
    for (char& c : out)
        if (c == ' ') c = '_';
    return out;
}

std::string trimmedText(const std::string& s) {
    const size_t end = s.find_last_not_of(' ');
    return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}

}  // namespace

ChildDescription bulkOnlyDiskChild(Hardware& hw, const std::string& enumerator, DevInst function,
                                   PhysicalDevice& device, std::shared_ptr<BulkOnlyStorage> storage) {
    ScsiTarget* target = device.scsi();
    const std::string q = target ? target->inquiryText() : std::string(28, ' ');
    const std::string vendor = q.substr(0, 8), product = q.substr(8, 16), revision = q.substr(24, 4);
    auto plain = [](const std::string& s) {
        std::string t = trimmedText(s);
        for (char& c : t)
            if (c == ' ') c = '_';
        return t;
    };
    ChildDescription c;
    c.instanceId = enumerator + "\\Disk&Ven_" + plain(vendor) + "&Prod_" + plain(product) + "&Rev_" + plain(revision) +
                   "\\7&" + instanceTag(hw.instanceIdOf(function)) + "&0&0";
    c.physicalId = device.id();
    const std::string v = underscoredTo(vendor, 8), p = underscoredTo(product, 16), r = underscoredTo(revision, 4);
    c.properties[SPDRP_HARDWAREID] =
        PropertyValue::multiText({enumerator + "\\Disk" + v + p + r, enumerator + "\\Disk" + v + p, enumerator + "\\Disk" + v,
                                  enumerator + "\\" + v + p + r.substr(0, 1), v + p + r.substr(0, 1), enumerator + "\\GenDisk", "GenDisk"});
    c.properties[SPDRP_COMPATIBLEIDS] = PropertyValue::multiText({enumerator + "\\Disk", enumerator + "\\RAW"});
    c.properties[SPDRP_SERVICE] = PropertyValue::text("disk");
    c.properties[SPDRP_CLASS] = PropertyValue::text("DiskDrive");
    c.properties[SPDRP_CLASSGUID] = PropertyValue::text(registryGuid(GUID_DEVCLASS_DISKDRIVE));
    c.properties[SPDRP_DEVICEDESC] = PropertyValue::text("Disk drive");
    c.properties[SPDRP_MFG] = PropertyValue::text("(Standard disk drives)");
    c.properties[SPDRP_FRIENDLYNAME] = PropertyValue::text(trimmedText(vendor) + " " + trimmedText(product) + " USB Device");
    c.properties[SPDRP_ADDRESS] = PropertyValue::dword(0);
    c.properties[SPDRP_CAPABILITIES] = PropertyValue::dword(0x04 | 0x80);
    c.pdo = std::make_shared<BulkOnlyLunPdo>(std::move(storage), target ? static_cast<uint8_t>(target->lun()) : 0);
    return c;
}

ScsiOutcome bulkOnlyCommand(UsbClient& client, const ScsiCommand& command, uint32_t tag) {
    auto lost = [&](NTSTATUS nt) {
        ScsiOutcome o;
        o.kind = nt == STATUS_IO_TIMEOUT ? ScsiOutcome::Kind::TimedOut : ScsiOutcome::Kind::NoDevice;
        return o;
    };
    if (!command.cdb || command.cdbLength == 0 || command.cdbLength > usbms::kMaxCommandLength) {
        ScsiOutcome bad;
        bad.kind = ScsiOutcome::Kind::PhaseError;
        return bad;
    }
    usbms::CommandBlockWrapper cbw{};
    cbw.signature = usbms::kCbwSignature;
    cbw.tag = tag;
    cbw.dataTransferLength = command.dataLength;
    cbw.flags = command.direction == DataDirection::In ? usbms::kCbwFlagIn : 0;
    cbw.lun = command.lun;
    cbw.commandLength = command.cdbLength;
    std::memcpy(cbw.command, command.cdb, command.cdbLength);
    USBD_STATUS usbd = 0;
    uint32_t moved = 0;
    NTSTATUS nt = client.bulk(false, &cbw, usbms::kCbwLength, &moved, &usbd);
    if (!NT_SUCCESS(nt)) {
        if (usbd != USBD_STATUS_STALL_PID) return lost(nt);
        // The device refused the wrapper: reset recovery, and the command did not run.
        client.vendorOrClass(URB_FUNCTION_CLASS_INTERFACE, false, usbms::kReset, 0, 0, nullptr, 0, nullptr, &usbd);
        client.resetPipe(true, &usbd);
        client.resetPipe(false, &usbd);
        ScsiOutcome bad;
        bad.kind = ScsiOutcome::Kind::PhaseError;
        return bad;
    }
    uint32_t transferred = 0;
    if (command.dataLength && command.direction != DataDirection::None) {
        const bool in = command.direction == DataDirection::In;
        nt = client.bulk(in, command.data, command.dataLength, &transferred, &usbd);
        if (!NT_SUCCESS(nt)) {
            if (usbd != USBD_STATUS_STALL_PID) return lost(nt);
            client.resetPipe(in, &usbd);
            transferred = 0;
        }
    }
    usbms::CommandStatusWrapper csw{};
    nt = client.bulk(true, &csw, usbms::kCswLength, &moved, &usbd);
    if (!NT_SUCCESS(nt) && usbd == USBD_STATUS_STALL_PID) {
        client.resetPipe(true, &usbd);
        nt = client.bulk(true, &csw, usbms::kCswLength, &moved, &usbd);
    }
    if (!NT_SUCCESS(nt)) return lost(nt);
    ScsiOutcome o;
    if (moved != usbms::kCswLength || csw.signature != usbms::kCswSignature || csw.tag != tag ||
        csw.status == usbms::kCswPhaseError) {
        client.vendorOrClass(URB_FUNCTION_CLASS_INTERFACE, false, usbms::kReset, 0, 0, nullptr, 0, nullptr, &usbd);
        client.resetPipe(true, &usbd);
        client.resetPipe(false, &usbd);
        o.kind = ScsiOutcome::Kind::PhaseError;
        return o;
    }
    o.transferred = std::min(transferred, command.dataLength);
    if (csw.status == usbms::kCswFailed) {
        // What the port driver does for its class driver: ask for the sense data at once.
        uint8_t senseCdb[6] = {0x03, 0, 0, 0, 18, 0};
        std::vector<uint8_t> sense(18, 0);
        ScsiCommand request;
        request.cdb = senseCdb;
        request.cdbLength = 6;
        request.lun = command.lun;
        request.direction = DataDirection::In;
        request.data = sense.data();
        request.dataLength = 18;
        const ScsiOutcome s = bulkOnlyCommand(client, request, tag + 1);
        o.status = kStatusCheckCondition;
        if (s.kind == ScsiOutcome::Kind::Completed && s.status == kStatusGood) o.sense = sense;
    }
    return o;
}

}  // namespace lab
