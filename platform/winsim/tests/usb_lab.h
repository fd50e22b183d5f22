// The USB side of the lab as a client sees it through the Win32 calls: a PC with an external hub
// and Tarn readers, interface enumeration, the reader drivers' envelope and descriptor request,
// a hidden window that collects interface arrivals, and the kernel-mode requests a helper driver
// would send (URBs, port cycles) for what user mode cannot reach.
#pragma once
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <lab/hardware.h>
#include <protocol/tarn_usb.h>
#include <winsim/cfgmgr32.h>
#include <winsim/dbt.h>
#include <winsim/setupapi.h>
#include <winsim/usb.h>
#include <winsim/usbioctl.h>
#include <winsim/wdm.h>
#include <winsim/windows.h>

#include "hardware_lab.h"

namespace usbtest {

constexpr const char* kDfuService = "SYSTEM\\CurrentControlSet\\Services\\TARNDFU";
// How long a test waits for a device to come back, in lab milliseconds: a wait ends as soon as
// the device is there, so the cap only decides how long a failing test takes, and it leaves a
// wide margin to a device's own delays of a few lab seconds whatever the machine's speed.
constexpr DWORD kArrivalCapMs = 3600000;

// The default PC with an external hub on root port 1 and two readers: one on its own driver
// (hub port 2), one on the generic mass-storage driver (hub port 3). The DFU package counts as
// installed.
class UsbPc : public hwtest::DefaultPc {
protected:
    void SetUp() override {
        DefaultPc::SetUp();
        lab::Lab& lab = lab::Lab::current();
        lab.attachDevice({{"kind", "usb-hub"}, {"id", "hub-1"}, {"port", 1}});
        lab.attachDevice({{"kind", "tarn-reader"}, {"id", "tarn-1"}, {"hub", "hub-1"}, {"port", 2}, {"drive", "G"},
                          {"version", "1.05"}, {"product-type", 7}, {"serial", "12345678"}});
        lab.attachDevice({{"kind", "tarn-reader"}, {"id", "tarn-2"}, {"hub", "hub-1"}, {"port", 3}, {"drive", "H"},
                          {"driver", "usbstor"}, {"dfu-type", 3}});
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kDfuService, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
        RegCloseKey(key);
        // The PC takes the new devices in now, before a test starts to listen for arrivals.
        lab.hardware().refresh();
        lab.hardware().reenumerate(lab.hardware().root());
    }
    void TearDown() override {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kDfuService);
        DefaultPc::TearDown();
    }
};

inline std::vector<std::string> interfacePaths(const GUID& guid) {
    std::vector<std::string> out;
    HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return out;
    SP_DEVICE_INTERFACE_DATA itf{};
    itf.cbSize = sizeof itf;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &itf); ++i) {
        alignas(8) char buffer[1024];
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set, &itf, detail, sizeof buffer, nullptr, nullptr))
            out.push_back(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return out;
}

// The interface path of `guid` that contains `part`, "" for none.
inline std::string pathWith(const GUID& guid, const std::string& part) {
    for (const std::string& p : interfacePaths(guid))
        if (p.find(part) != std::string::npos) return p;
    return {};
}

inline HANDLE open(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

// IOCTL_TARNDFU_DETACH on a reader's interface, as its driver takes it.
inline bool detach(const std::string& interfacePath) {
    HANDLE h = open(interfacePath);
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(h, tarn::kIoctlDfuDetach, nullptr, 0, nullptr, 0, &returned, nullptr);
    CloseHandle(h);
    return ok;
}

// One envelope round trip; the buffer is `size` bytes, in and out.
struct Envelope {
    std::vector<uint8_t> bytes;
    tarn::Envelope& header() { return *reinterpret_cast<tarn::Envelope*>(bytes.data()); }
    uint8_t* data() { return bytes.data() + tarn::kEnvelopeHeader; }
    // By value: the packed fields are not aligned for a reference to bind to.
    uint32_t ntStatus() { return header().ntStatus; }
    uint32_t usbStatus() { return header().usbStatus; }
};

inline Envelope control(uint8_t urbFunction, uint32_t direction, uint8_t type, uint8_t request, uint16_t value,
                        uint16_t length) {
    Envelope e;
    e.bytes.assign(std::max<size_t>(tarn::kEnvelopeMinimum, tarn::kEnvelopeHeader + length), 0);
    tarn::Envelope& h = e.header();
    h.kind = tarn::kKindControl;
    h.urbFunction = urbFunction;
    h.direction = direction;
    h.length = length;
    h.bmRequestType = type;
    h.bRequest = request;
    h.wValue = value;
    h.wLength = length;
    return e;
}

inline BOOL pass(HANDLE h, Envelope& e) {
    DWORD returned = 0;
    return DeviceIoControl(h, tarn::kIoctlUrbPassThrough, e.bytes.data(), static_cast<DWORD>(e.bytes.size()),
                           e.bytes.data(), static_cast<DWORD>(e.bytes.size()), &returned, nullptr);
}

// A vendor request in, answered through the envelope: the data, or nothing with the statuses.
inline std::vector<uint8_t> vendorIn(HANDLE h, uint8_t request, uint16_t length, uint32_t* nt = nullptr,
                                     uint32_t* usbd = nullptr) {
    Envelope e = control(tarn::kUrbVendorInterface, tarn::kDirectionIn, tarn::kVendorIn, request, 0, length);
    if (!pass(h, e)) return {};
    if (nt) *nt = e.ntStatus();
    if (usbd) *usbd = e.usbStatus();
    if (e.ntStatus() != 0) return {};
    return std::vector<uint8_t>(e.data(), e.data() + length);
}

inline std::vector<uint8_t> descriptor(HANDLE h, uint16_t type, uint16_t index, DWORD size) {
    std::vector<uint8_t> b(size, 0);
    b[0] = static_cast<uint8_t>(index);
    b[2] = static_cast<uint8_t>(type);
    DWORD returned = 0;
    if (!DeviceIoControl(h, tarn::kIoctlGetDescriptor, b.data(), size, b.data(), size, &returned, nullptr)) return {};
    b.resize(returned);
    return b;
}

// Device interface arrivals and removals seen by a hidden window, in order.
struct Heard {
    WPARAM event;
    GUID cls;
    std::string name;
};
inline std::vector<Heard>& heard() {
    static std::vector<Heard> h;
    return h;
}

inline LRESULT CALLBACK arrivalProc(HWND w, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_DEVICECHANGE && (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) && lParam) {
        const auto* r = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(lParam);
        if (r->dbcc_devicetype == DBT_DEVTYP_DEVICEINTERFACE) heard().push_back({wParam, r->dbcc_classguid, r->dbcc_name});
        return TRUE;
    }
    return DefWindowProcA(w, msg, wParam, lParam);
}

class ArrivalWindow {
public:
    explicit ArrivalWindow(std::initializer_list<GUID> classes) {
        heard().clear();
        WNDCLASSA wc{};
        wc.lpfnWndProc = arrivalProc;
        wc.lpszClassName = "UsbTestArrivals";
        RegisterClassA(&wc);
        window_ = CreateWindowExA(0, "UsbTestArrivals", " ", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
        for (const GUID& g : classes) {
            DEV_BROADCAST_DEVICEINTERFACE_A filter{};
            filter.dbcc_size = 32;
            filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
            filter.dbcc_classguid = g;
            notifications_.push_back(RegisterDeviceNotificationA(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE));
        }
    }
    ~ArrivalWindow() {
        for (HDEVNOTIFY n : notifications_) UnregisterDeviceNotification(n);
        DestroyWindow(window_);
        UnregisterClassA("UsbTestArrivals", nullptr);
    }
    bool registered() const {
        for (HDEVNOTIFY n : notifications_)
            if (!n) return false;
        return window_ != nullptr;
    }
    // Pumps messages until an arrival of `guid` whose name contains `part` is heard or `labMs`
    // of lab time pass; its name, or "".
    std::string waitFor(const GUID& guid, DWORD labMs = kArrivalCapMs, const std::string& part = "") {
        return waitForEvent(DBT_DEVICEARRIVAL, guid, labMs, part);
    }
    std::string waitForRemoval(const GUID& guid, DWORD labMs = kArrivalCapMs, const std::string& part = "") {
        return waitForEvent(DBT_DEVICEREMOVECOMPLETE, guid, labMs, part);
    }

private:
    std::string waitForEvent(WPARAM event, const GUID& guid, DWORD labMs, const std::string& part) {
        const DWORD start = GetTickCount();
        for (;;) {
            MSG m;
            while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
            for (const Heard& h : heard())
                if (h.event == event && IsEqualGUID(h.cls, guid) && h.name.find(part) != std::string::npos)
                    return h.name;
            const DWORD elapsed = GetTickCount() - start;
            if (elapsed >= labMs) return {};
            MsgWaitForMultipleObjects(0, nullptr, FALSE, labMs - elapsed, QS_ALLINPUT);
        }
    }

    HWND window_ = nullptr;
    std::vector<HDEVNOTIFY> notifications_;
};

inline std::string serviceOf(const std::string& interfacePath, const GUID& guid) {
    HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA itf{};
    itf.cbSize = sizeof itf;
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    char service[64] = "";
    if (SetupDiOpenDeviceInterfaceA(set, interfacePath.c_str(), 0, &itf) &&
        SetupDiGetDeviceInterfaceDetailA(set, &itf, nullptr, 0, nullptr, &dev) == FALSE)
        SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_SERVICE, nullptr, reinterpret_cast<BYTE*>(service),
                                          sizeof service, nullptr);
    SetupDiDestroyDeviceInfoList(set);
    return service;
}

// The device instance behind an interface path of a class.
inline DEVINST devInstOf(const std::string& path, const GUID& guid) {
    HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA itf{};
    itf.cbSize = sizeof itf;
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    DEVINST out = 0;
    if (SetupDiOpenDeviceInterfaceA(set, path.c_str(), 0, &itf)) {
        SetupDiGetDeviceInterfaceDetailA(set, &itf, nullptr, 0, nullptr, &dev);
        out = dev.DevInst;
    }
    SetupDiDestroyDeviceInfoList(set);
    return out;
}

// The present USB device node of a lab device ("USB\..." instance ID), 0 for none.
inline lab::DevInst usbNodeOf(const std::string& physicalId) {
    lab::Hardware& hw = lab::Lab::current().hardware();
    for (const auto& n : hw.nodes())
        if (n.present && n.instanceId.rfind("USB\\", 0) == 0 && hw.physicalIdOf(n.devInst) == physicalId)
            return n.devInst;
    return 0;
}

// The physical device object name of a lab device's USB node: a new one for every enumeration.
inline std::string pdoName(const std::string& physicalId) {
    lab::PropertyValue v;
    const lab::DevInst node = usbNodeOf(physicalId);
    if (!node || lab::Lab::current().hardware().property(node, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME, &v) != 0) return {};
    return v.asText();
}

// An internal request sent to the top of a node's stack from kernel mode, as a helper driver
// sends it: the request's NTSTATUS.
inline NTSTATUS kernelRequest(lab::DevInst node, ULONG code, PVOID argument) {
    lab::Hardware& hw = lab::Lab::current().hardware();
    PDEVICE_OBJECT top = hw.referenceTop(node);
    if (!top) return STATUS_NO_SUCH_DEVICE;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, top, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument;
    NTSTATUS status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    ObDereferenceObject(top);
    return status;
}

// A class or vendor request without data through a node's stack; its USBD status in *usbd.
inline NTSTATUS kernelControl(lab::DevInst node, USHORT function, uint8_t request, uint16_t value, uint16_t index,
                              USBD_STATUS* usbd = nullptr) {
    URB urb{};
    UsbBuildVendorRequest(&urb, function, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0, request, value, index,
                          nullptr, nullptr, 0, nullptr);
    const NTSTATUS status = kernelRequest(node, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb);
    if (usbd) *usbd = urb.UrbHeader.Status;
    return status;
}

// The hub class request that switches a port's power, sent to the hub's own USB device.
inline NTSTATUS setPortPower(const std::string& hubId, int port, bool on) {
    return kernelControl(usbNodeOf(hubId), URB_FUNCTION_CLASS_OTHER,
                         on ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE, PORT_POWER,
                         static_cast<uint16_t>(port));
}

// ConnectionStatus of a port of the hub whose interface path contains `hubPart`.
inline int connectionStatus(const std::string& hubPart, ULONG port) {
    HANDLE hub = open(pathWith(GUID_DEVINTERFACE_USB_HUB, hubPart));
    if (hub == INVALID_HANDLE_VALUE) return -1;
    uint8_t buffer[46] = {};
    auto* info = reinterpret_cast<USB_NODE_CONNECTION_INFORMATION*>(buffer);
    info->ConnectionIndex = port;
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, buffer, 46, buffer, 46, &returned,
                                    nullptr);
    CloseHandle(hub);
    return ok ? static_cast<int>(info->ConnectionStatus) : -1;
}

// A Tarn reader of dfuType 6 ("loader", hub-1 port 4) sent into its boot loader, which comes back
// on the generic mass-storage driver instead of the DFU driver: the path of its USB device
// interface, heard by `window` (which listens for GUID_DEVINTERFACE_USB_DEVICE); "" when it did
// not come back so.
inline std::string bootLoaderOnMassStorage(ArrivalWindow& window) {
    lab::Lab& lab = lab::Lab::current();
    lab.attachDevice({{"kind", "tarn-reader"}, {"id", "loader"}, {"hub", "hub-1"}, {"port", 4}, {"drive", "none"},
                      {"dfu-type", 6}, {"serial", "0000D0F6"}});
    lab.hardware().refresh();
    lab.applyFault("loader", "usbstor:leave:detach:1");
    if (!detach(pathWith(tarn::kFunctionalInterface, "0000D0F6"))) return {};
    const std::string usb = window.waitFor(GUID_DEVINTERFACE_USB_DEVICE, kArrivalCapMs, "Vid_04cc&Pid_2f06");
    return !usb.empty() && serviceOf(usb, GUID_DEVINTERFACE_USB_DEVICE) == "USBSTOR" ? usb : std::string();
}

}  // namespace usbtest
