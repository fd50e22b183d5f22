// The USB host controllers of the simulated PC, their root hubs, external hubs, and the hub
// driver ("usbhub") that reports the devices at a hub's ports and answers the node queries on
// the hub's interface. The PC has one EHCI controller ("usbehci") for all root ports and two
// companion controllers ("usbuhci"), two root ports each, that take the devices over when the
// EHCI controller is disabled, as on a PC of that time.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <winsim/devguid.h>
#include <winsim/setupapi.h>

#include "device_kinds.h"
#include "lab/device_entry.h"
#include "lab_driver_objects.h"
#include "pc_drivers.h"
#include "usb_drivers.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace lab {
using detail::labDriverOf;

namespace {

struct ControllerInfo {
    const char* instanceId;
    const char* hardwareId;
    const char* service;
    const char* description;
    const char* location;
    const char* rootHub;  // the root hub's instance ID
    int firstPort, lastPort;
};

constexpr ControllerInfo kControllers[] = {
    {"PCI\\VEN_1234&DEV_24CD&SUBSYS_00000000&REV_02\\3&267a616a&0&EF", "PCI\\VEN_1234&DEV_24CD&SUBSYS_00000000&REV_02",
     "usbehci", "Standard Enhanced PCI to USB Host Controller", "PCI bus 0, device 29, function 7",
     "USB\\ROOT_HUB20\\4&2f5dc9e1&0", 1, kRootPorts},
    {"PCI\\VEN_1234&DEV_24C2&SUBSYS_00000000&REV_02\\3&267a616a&0&E8", "PCI\\VEN_1234&DEV_24C2&SUBSYS_00000000&REV_02",
     "usbuhci", "Standard Universal PCI to USB Host Controller", "PCI bus 0, device 29, function 0",
     "USB\\ROOT_HUB\\4&1c0f3a52&0", 1, 2},
    {"PCI\\VEN_1234&DEV_24C4&SUBSYS_00000000&REV_02\\3&267a616a&0&E9", "PCI\\VEN_1234&DEV_24C4&SUBSYS_00000000&REV_02",
     "usbuhci", "Standard Universal PCI to USB Host Controller", "PCI bus 0, device 29, function 1",
     "USB\\ROOT_HUB\\4&39e1b2a7&0", 3, 4},
};
const ControllerInfo& ehci() { return kControllers[0]; }

// The identity of an external hub unless its entry names another (a KRD50N unit's hub).
constexpr uint16_t kGenericHubVendor = 0x1209, kGenericHubProduct = 0x4B48;

void putLe16(std::vector<uint8_t>& d, size_t at, uint16_t v) {
    d[at] = static_cast<uint8_t>(v);
    d[at + 1] = static_cast<uint8_t>(v >> 8);
}

// The root hub's PDO, made by its controller: which root ports it serves.
class RootHubPdo : public Driver {
public:
    explicit RootHubPdo(const ControllerInfo& c) : controller(c) {}
    const ControllerInfo& controller;
};

// A host controller driver: the one root hub of its controller. Both companion controllers run
// the same service; the driver finds out which controller it drives from its node.
class HostController : public Driver {
public:
    bool isBus() const override { return true; }
    NTSTATUS start(DriverContext& ctx) override {
        const std::string id = ctx.hw.instanceIdOf(ctx.node);
        for (const ControllerInfo& c : kControllers)
            if (id == c.instanceId) c_ = &c;
        if (!c_) return STATUS_NO_SUCH_DEVICE;
        ctx.hw.setInterface(ctx.node, GUID_DEVINTERFACE_USB_HOST_CONTROLLER, true);
        return STATUS_SUCCESS;
    }
    void stop(DriverContext& ctx) override {
        // Without the EHCI controller its companions take the ports over, after a while.
        if (c_ == &ehci()) {
            Hardware& hw = ctx.hw;
            hw.schedule(kCompanionDelayMs, [&hw] { hw.reenumerate(hw.root()); });
        }
    }
    std::vector<ChildDescription> enumerate(DriverContext&) override {
        if (!c_) return {};
        ChildDescription hub;
        hub.instanceId = c_->rootHub;
        const bool usb2 = c_ == &ehci();
        const std::string prefix = usb2 ? "USB\\ROOT_HUB20" : "USB\\ROOT_HUB";
        std::string vendorDevice = std::string(c_->hardwareId).substr(4, 17);  // VEN_1234&DEV_24CD
        vendorDevice.erase(std::remove(vendorDevice.begin(), vendorDevice.end(), '_'), vendorDevice.end());
        hub.properties[SPDRP_HARDWAREID] = PropertyValue::multiText({prefix + "&" + vendorDevice + "&REV0002", prefix});
        hub.properties[SPDRP_SERVICE] = PropertyValue::text("usbhub");
        hub.properties[SPDRP_DEVICEDESC] = PropertyValue::text("USB Root Hub");
        hub.properties[SPDRP_MFG] = PropertyValue::text("(Standard USB Host Controller)");
        hub.properties[SPDRP_CLASS] = PropertyValue::text("USB");
        hub.properties[SPDRP_CLASSGUID] = PropertyValue::text(registryGuid(GUID_DEVCLASS_USB));
        hub.properties[SPDRP_CAPABILITIES] = PropertyValue::dword(0);
        hub.pdo = std::make_shared<RootHubPdo>(*c_);
        return {hub};
    }

private:
    const ControllerInfo* c_ = nullptr;
};

// An external hub: its ports, their power, and a low-power state in which its port requests
// fail until the hub is powered up (a set-power D0 to its stack).
class UsbHubDevice : public PhysicalDevice, public UsbPort, public UsbFunction {
public:
    UsbHubDevice(Hardware& hw, const json& entry, const fs::path& folder)
        : PhysicalDevice(hw, entry, folder),
          UsbPort(*this, hw, entry),
          ports_(entry.value("ports", 4)),
          vendor_(hexId(entry, "vid", kGenericHubVendor)),
          product_(hexId(entry, "pid", kGenericHubProduct)),
          lowPower_(entry.value("low-power", false)) {
        if (entry.contains("state") && entry["state"].is_object()) lowPower_ = entry["state"].value("lowPower", lowPower_.load());
    }
    UsbFunction* usb() override { return this; }
    UsbPort* usbPort() override { return this; }
    json state() const override { return {{"lowPower", lowPower_.load()}}; }
    void plugChanged(bool plugged) override {
        if (plugged) pluggedIn();
    }
    int ports() const { return ports_; }
    bool lowPower() const { return lowPower_; }
    void powerUp() {
        if (!lowPower_.exchange(false)) return;
        portHw_.persist(*this);
    }

    UsbAppearance appearance() override {
        UsbAppearance a;
        a.vendor = vendor_;
        a.product = product_;
        a.revision = 0x0100;
        a.deviceClass = 0x09;
        a.interfaces = {{0x09, 0x00, 0x00}};
        a.service = "usbhub";
        a.description = "Generic USB Hub";
        a.manufacturer = "(Generic USB Hub)";
        a.hub = true;
        return a;
    }
    std::vector<uint8_t> deviceDescriptor() const override {
        std::vector<uint8_t> d = {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x00, 0x02, 0x09, 0x00, 0x01, 64, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        putLe16(d, 8, vendor_);
        putLe16(d, 10, product_);
        putLe16(d, 12, 0x0100);
        return d;
    }
    std::vector<uint8_t> configurationDescriptor() const override {
        return {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 25, 0, 1, 1, 0, 0xE0, 50,
                9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 1, 0x09, 0x00, 0x00, 0,
                7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81, 0x03, 1, 0, 12};
    }
    std::optional<std::u16string> stringDescriptor(uint8_t) const override { return std::nullopt; }
    UsbOutcome bulkOut(uint8_t, const uint8_t*, uint32_t) override { return UsbOutcome::stalled(); }
    UsbOutcome bulkIn(uint8_t, uint8_t*, uint32_t) override { return UsbOutcome::stalled(); }

    // The hub class requests to a port: SET_FEATURE and CLEAR_FEATURE of PORT_POWER, and the
    // port status.
    UsbOutcome control(const UsbSetup& s, uint8_t* data) override {
        const int port = s.index & 0xFF;
        if (s.requestType == 0x23 && (s.request == USB_REQUEST_SET_FEATURE || s.request == USB_REQUEST_CLEAR_FEATURE) &&
            s.value == PORT_POWER) {
            if (port < 1 || port > ports_ || lowPower_) return UsbOutcome::stalled();
            std::vector<std::shared_ptr<PhysicalDevice>> keep;
            for (auto& [p, device] : devicesOnHub(portHw_, id(), &keep)) {
                if (p != port) continue;
                if (!device->core().hasFault(isHeldPort))
                    if (auto f = device->core().takeFault(FaultRequest::port());
                        f && (f->action == Fault::Action::Fail || f->action == Fault::Action::Stall))
                        return UsbOutcome::stalled();
                device->setPortPower(s.request == USB_REQUEST_SET_FEATURE);
            }
            std::lock_guard<std::mutex> lock(mutex_);
            powered_[port] = s.request == USB_REQUEST_SET_FEATURE;
            return UsbOutcome::done(0);
        }
        if (s.requestType == 0xA3 && s.request == USB_REQUEST_GET_STATUS) {
            if (port < 1 || port > ports_ || s.length < 4 || !data) return UsbOutcome::stalled();
            uint16_t status = 0;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!powered_.count(port) || powered_[port]) status |= 0x0100;
            }
            std::vector<std::shared_ptr<PhysicalDevice>> keep;
            for (auto& [p, device] : devicesOnHub(portHw_, id(), &keep))
                if (p == port && device->state() == PortState::Connected) status |= 0x0003;
            data[0] = static_cast<uint8_t>(status);
            data[1] = static_cast<uint8_t>(status >> 8);
            data[2] = data[3] = 0;
            return UsbOutcome::done(4);
        }
        return UsbOutcome::stalled();
    }

private:
    static uint16_t hexId(const json& entry, const char* key, uint16_t fallback) {
        const std::string text = entry.value(key, std::string());
        return text.empty() ? fallback : static_cast<uint16_t>(std::stoul(text, nullptr, 16));
    }

    int ports_;
    uint16_t vendor_, product_;
    std::atomic<bool> lowPower_;
    std::mutex mutex_;
    std::map<int, bool> powered_;
};

// The hub driver on a root hub or an external hub.
class HubDriver : public Driver {
public:
    bool isBus() const override { return true; }

    NTSTATUS start(DriverContext& ctx) override {
        // A root hub's PDO is its controller's: the hub driver sits right on it.
        if (auto root = ctx.lower ? std::dynamic_pointer_cast<RootHubPdo>(labDriverOf(ctx.lower)) : nullptr) {
            hubId_ = "root";
            first_ = root->controller.firstPort;
            last_ = root->controller.lastPort;
            companion_ = &root->controller != &ehci();
        } else {
            hubId_ = ctx.hw.physicalIdOf(ctx.node);
            auto hub = std::dynamic_pointer_cast<UsbHubDevice>(ctx.hw.physical(hubId_));
            if (!hub) return STATUS_NO_SUCH_DEVICE;
            first_ = 1;
            last_ = hub->ports();
        }
        ctx.hw.setInterface(ctx.node, GUID_DEVINTERFACE_USB_HUB, true);
        return STATUS_SUCCESS;
    }

    std::vector<ChildDescription> enumerate(DriverContext& ctx) override {
        std::vector<ChildDescription> children;
        if (companion_ && ctx.hw.isStarted(ehci().instanceId)) return children;
        std::vector<std::shared_ptr<PhysicalDevice>> keep;
        const std::string parent = ctx.hw.instanceIdOf(ctx.node);
        for (auto& [port, device] : devicesOnHub(ctx.hw, hubId_, &keep)) {
            if (port < first_ || port > last_ || device->state() != PortState::Connected) continue;
            children.push_back(usbDeviceChild(ctx.hw, parent, device->core(), *device, companion_ ? kCompanionMountDelayMs : 0));
        }
        return children;
    }

    std::optional<NTSTATUS> control(DriverContext& ctx, IoRequest& r) override {
        switch (r.code) {
        case IOCTL_USB_GET_NODE_INFORMATION: {
            if (r.outputLength < sizeof(USB_NODE_INFORMATION)) return STATUS_BUFFER_TOO_SMALL;
            USB_NODE_INFORMATION info{};
            info.NodeType = UsbHub;
            USB_HUB_DESCRIPTOR& d = info.u.HubInformation.HubDescriptor;
            d.bDescriptorLength = 9;
            d.bDescriptorType = 0x29;
            d.bNumberOfPorts = static_cast<UCHAR>(last_ - first_ + 1);
            d.wHubCharacteristics = 0x0009;  // per-port power switching, per-port overcurrent
            d.bPowerOnToPowerGood = 50;
            d.bHubControlCurrent = 100;
            info.u.HubInformation.HubIsBusPowered = hubId_ != "root";
            std::memcpy(r.output, &info, sizeof info);
            r.information = sizeof info;
            return STATUS_SUCCESS;
        }
        case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION: {
            constexpr size_t header = sizeof(USB_NODE_CONNECTION_INFORMATION);
            if (r.inputLength < header) return STATUS_INVALID_PARAMETER;
            if (r.outputLength < header) return STATUS_BUFFER_TOO_SMALL;
            USB_NODE_CONNECTION_INFORMATION info;
            std::memcpy(&info, r.input, header);
            const int index = static_cast<int>(info.ConnectionIndex);
            const int ports = last_ - first_ + 1;
            if (index < 1 || index > ports) return STATUS_INVALID_PARAMETER;
            const int port = first_ + index - 1;
            std::memset(&info, 0, header);
            info.ConnectionIndex = static_cast<ULONG>(index);
            info.ConnectionStatus = NoDeviceConnected;
            std::vector<USB_PIPE_INFO> pipes;
            std::vector<std::shared_ptr<PhysicalDevice>> keep;
            const bool shown = !(companion_ && ctx.hw.isStarted(ehci().instanceId));
            for (auto& [p, device] : devicesOnHub(ctx.hw, hubId_, &keep)) {
                if (p != port || !shown) continue;
                const PortState st = device->state();
                info.ConnectionStatus = static_cast<USB_CONNECTION_STATUS>(st);
                if (st != PortState::Connected) break;
                const std::vector<uint8_t> dd = device->core().usb()->deviceDescriptor();
                std::memcpy(&info.DeviceDescriptor, dd.data(), std::min(dd.size(), sizeof info.DeviceDescriptor));
                info.CurrentConfigurationValue = device->configuration();
                info.DeviceIsHub = device->appearance().hub;
                info.DeviceAddress = static_cast<USHORT>(port + 1);
                if (info.CurrentConfigurationValue) {
                    const std::vector<uint8_t> config = device->core().usb()->configurationDescriptor();
                    for (size_t at = 0; at + 7 <= config.size() && config[at] >= 2;) {
                        if (config[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE) {
                            USB_PIPE_INFO pipe{};
                            std::memcpy(&pipe.EndpointDescriptor, &config[at], sizeof pipe.EndpointDescriptor);
                            pipes.push_back(pipe);
                        }
                        at += config[at];
                    }
                }
                break;
            }
            info.NumberOfOpenPipes = static_cast<ULONG>(pipes.size());
            std::memcpy(r.output, &info, header);
            size_t written = header;
            for (const USB_PIPE_INFO& pipe : pipes) {
                if (written + sizeof pipe > r.outputLength) break;
                std::memcpy(r.output + written, &pipe, sizeof pipe);
                written += sizeof pipe;
            }
            r.information = written;
            return STATUS_SUCCESS;
        }
        default: return STATUS_INVALID_DEVICE_REQUEST;
        }
    }

    NTSTATUS dispatch(DriverContext& ctx, PIRP irp) override {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        if (s->MajorFunction == IRP_MJ_POWER && s->MinorFunction == IRP_MN_SET_POWER &&
            s->Parameters.Power.Type == DevicePowerState && s->Parameters.Power.State.DeviceState == PowerDeviceD0) {
            if (auto hub = std::dynamic_pointer_cast<UsbHubDevice>(ctx.hw.physical(hubId_))) hub->powerUp();
            return DriverContext::complete(irp, STATUS_SUCCESS);
        }
        return Driver::dispatch(ctx, irp);
    }

    void describe(json& j) const override {
        j["hub"] = hubId_;
        j["ports"] = last_ - first_ + 1;
    }

private:
    std::string hubId_;
    int first_ = 1, last_ = 0;
    bool companion_ = false;
};

void prepareHub(const json& request, PreparedDevice& out) {
    out.entry["ports"] = option::integer(request, "ports", 1, 15, 4);
    out.entry["low-power"] = option::flag(request, "low-power", false);
    out.entry["drive"] = nullptr;
}

// A KRD50N unit: a three-port hub of its own identity with a Tarn reader fixed behind each
// port; the port tells which reader it is, by its product type.
constexpr int kKrd50nPorts = 3;
constexpr uint8_t kKrd50nReaderTypes[kKrd50nPorts] = {18, 17, 11};

void prepareKrd50n(const json& request, PreparedDevice& out) {
    json& e = out.entry;
    const std::string pid = request.contains("pid") ? option::text(request.at("pid"), "pid") : "1122";
    if (pid != "1122" && pid != "1123") throw std::runtime_error("option pid of a krd50n must be 1122 or 1123");
    e["vid"] = "04CC";
    e["pid"] = pid;
    e["ports"] = kKrd50nPorts;
    e["low-power"] = false;
    e["drive"] = nullptr;
    if (!option::flag(request, "readers", true)) return;
    const std::string id = e["id"].get<std::string>();
    for (int port = 1; port <= kKrd50nPorts; ++port)
        out.companions.push_back({{"kind", "tarn-reader"},
                                  {"id", id + "-" + std::to_string(port)},
                                  {"hub", id},
                                  {"port", port},
                                  {"product-type", kKrd50nReaderTypes[port - 1]}});
}

}  // namespace

std::vector<ChildDescription> usbHostControllers() {
    std::vector<ChildDescription> out;
    for (const ControllerInfo& c : kControllers) {
        ChildDescription d;
        d.instanceId = c.instanceId;
        d.properties[SPDRP_HARDWAREID] = PropertyValue::multiText({c.hardwareId, std::string(c.hardwareId).substr(0, 21)});
        d.properties[SPDRP_COMPATIBLEIDS] = PropertyValue::multiText({"PCI\\CC_0C03"});
        d.properties[SPDRP_SERVICE] = PropertyValue::text(c.service);
        d.properties[SPDRP_DEVICEDESC] = PropertyValue::text(c.description);
        d.properties[SPDRP_MFG] = PropertyValue::text("(Standard USB Host Controller)");
        d.properties[SPDRP_CLASS] = PropertyValue::text("USB");
        d.properties[SPDRP_CLASSGUID] = PropertyValue::text(registryGuid(GUID_DEVCLASS_USB));
        d.properties[SPDRP_LOCATION_INFORMATION] = PropertyValue::text(c.location);
        d.properties[SPDRP_CAPABILITIES] = PropertyValue::dword(0);
        out.push_back(std::move(d));
    }
    return out;
}

void registerUsbServices(Hardware& hw) {
    hw.registerService("usbehci", [] { return std::make_shared<HostController>(); });
    hw.registerService("usbuhci", [] { return std::make_shared<HostController>(); });
    hw.registerService("usbhub", [] { return std::make_shared<HubDriver>(); });
}

void registerUsbHubKind() {
    DeviceKind hub;
    hub.name = "usb-hub";
    hub.bus = DeviceKind::Bus::Usb;
    hub.summary = "an external USB hub (\"Generic USB Hub\") with switchable port power";
    hub.options = {{"ports", "number of ports (1-15, default 4)"},
                   {"low-power", "1: it starts in a low-power state; port power requests fail until a power-up"}};
    hub.firstDrive = 0;
    hub.prepare = prepareHub;
    hub.make = [](Hardware& hw, const json& entry, const fs::path& folder) {
        return std::make_shared<UsbHubDevice>(hw, entry, folder);
    };
    registerDeviceKind(hub);

    DeviceKind unit = hub;
    unit.name = "krd50n";
    unit.summary = "a KRD50N unit: a three-port hub (04cc:1122) with Tarn readers of product types 18, 17 and 11 "
                   "on ports 1, 2 and 3, attached with it as ID-1, ID-2 and ID-3";
    unit.options = {{"pid", "USB product ID of its hub: 1122 (default) or 1123"},
                    {"readers", "0: its readers are not attached with it (a scenario places its own); default 1"}};
    unit.prepare = prepareKrd50n;
    registerDeviceKind(unit);
}

}  // namespace lab
