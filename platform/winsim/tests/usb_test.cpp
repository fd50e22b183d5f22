// The USB side of the PC through the Win32 calls a client makes: the host controllers and hubs
// with their node queries, Tarn readers found by interface class, their descriptors and vendor
// replies through the reader driver's envelope, the envelope's checks, the detach into upgrade
// mode seen as an arrival on a hidden window, whole-image upload and download through the DFU
// driver, a port power cycle, and the USB faults in the requests they target.
#include <cstring>
#include <string>
#include <vector>

#include <lab/hardware.h>
#include <protocol/tarn_usb.h>
#include <winsim/dbt.h>
#include <winsim/setupapi.h>
#include <winsim/usb.h>
#include <winsim/usbioctl.h>
#include <winsim/windows.h>

#include "hardware_lab.h"

namespace {

constexpr const char* kDfuService = "SYSTEM\\CurrentControlSet\\Services\\TARNDFU";

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
        lab.hardware().reenumerate(lab.hardware().root());
    }
    void TearDown() override {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kDfuService);
        DefaultPc::TearDown();
    }
};

std::vector<std::string> interfacePaths(const GUID& guid) {
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

HANDLE open(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

// One envelope round trip; the buffer is `size` bytes, in and out.
struct Envelope {
    std::vector<uint8_t> bytes;
    tarn::Envelope& header() { return *reinterpret_cast<tarn::Envelope*>(bytes.data()); }
    uint8_t* data() { return bytes.data() + tarn::kEnvelopeHeader; }
};

Envelope control(uint8_t urbFunction, uint32_t direction, uint8_t type, uint8_t request, uint16_t value, uint16_t length) {
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

BOOL pass(HANDLE h, Envelope& e) {
    DWORD returned = 0;
    return DeviceIoControl(h, tarn::kIoctlUrbPassThrough, e.bytes.data(), static_cast<DWORD>(e.bytes.size()),
                           e.bytes.data(), static_cast<DWORD>(e.bytes.size()), &returned, nullptr);
}

// A vendor request in, answered through the envelope: the data, or nothing with the statuses.
std::vector<uint8_t> vendorIn(HANDLE h, uint8_t request, uint16_t length, uint32_t* nt = nullptr, uint32_t* usbd = nullptr) {
    Envelope e = control(tarn::kUrbVendorInterface, tarn::kDirectionIn, tarn::kVendorIn, request, 0, length);
    if (!pass(h, e)) return {};
    if (nt) *nt = e.header().ntStatus;
    if (usbd) *usbd = e.header().usbStatus;
    if (e.header().ntStatus != 0) return {};
    return std::vector<uint8_t>(e.data(), e.data() + length);
}

std::vector<uint8_t> descriptor(HANDLE h, uint16_t type, uint16_t index, DWORD size) {
    std::vector<uint8_t> b(size, 0);
    b[0] = static_cast<uint8_t>(index);
    b[2] = static_cast<uint8_t>(type);
    DWORD returned = 0;
    if (!DeviceIoControl(h, tarn::kIoctlGetDescriptor, b.data(), size, b.data(), size, &returned, nullptr)) return {};
    b.resize(returned);
    return b;
}

// Device interface arrivals seen by a hidden window, in order.
std::vector<std::pair<GUID, std::string>> g_arrivals;

LRESULT CALLBACK arrivalProc(HWND w, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_DEVICECHANGE && wParam == DBT_DEVICEARRIVAL && lParam) {
        const auto* r = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(lParam);
        if (r->dbcc_devicetype == DBT_DEVTYP_DEVICEINTERFACE) g_arrivals.emplace_back(r->dbcc_classguid, r->dbcc_name);
        return TRUE;
    }
    return DefWindowProcA(w, msg, wParam, lParam);
}

class ArrivalWindow {
public:
    explicit ArrivalWindow(std::initializer_list<GUID> classes) {
        g_arrivals.clear();
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
    // Pumps messages until an arrival of `guid` is seen or `labMs` of lab time pass.
    std::string waitFor(const GUID& guid, DWORD labMs = 60000) {
        const DWORD start = GetTickCount();
        for (;;) {
            MSG m;
            while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
            for (const auto& [g, name] : g_arrivals)
                if (IsEqualGUID(g, guid)) return name;
            const DWORD elapsed = GetTickCount() - start;
            if (elapsed >= labMs) return {};
            MsgWaitForMultipleObjects(0, nullptr, FALSE, labMs - elapsed, QS_ALLINPUT);
        }
    }

private:
    HWND window_ = nullptr;
    std::vector<HDEVNOTIFY> notifications_;
};

std::string serviceOf(const std::string& interfacePath, const GUID& guid) {
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

TEST_F(UsbPc, ControllersHubsAndTheirPorts) {
    EXPECT_EQ(interfacePaths(GUID_DEVINTERFACE_USB_HOST_CONTROLLER).size(), 3u);
    const auto hubs = interfacePaths(GUID_DEVINTERFACE_USB_HUB);
    ASSERT_EQ(hubs.size(), 4u) << "three root hubs and the external one";
    // The external hub: four ports, a reader on 2 and 3, nothing on 1 and 4.
    HANDLE hub = INVALID_HANDLE_VALUE;
    for (const std::string& p : hubs)
        if (p.find("Vid_1209") != std::string::npos) hub = open(p);
    ASSERT_NE(hub, INVALID_HANDLE_VALUE);
    USB_NODE_INFORMATION node{};
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(hub, IOCTL_USB_GET_NODE_INFORMATION, &node, 76, &node, 76, &returned, nullptr));
    EXPECT_EQ(returned, 76u);
    EXPECT_EQ(node.u.HubInformation.HubDescriptor.bNumberOfPorts, 4);
    for (ULONG port = 1; port <= 4; ++port) {
        uint8_t buffer[46] = {};
        auto* info = reinterpret_cast<USB_NODE_CONNECTION_INFORMATION*>(buffer);
        info->ConnectionIndex = port;
        ASSERT_TRUE(DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, buffer, 46, buffer, 46, &returned, nullptr));
        const bool occupied = port == 2 || port == 3;
        EXPECT_EQ(info->ConnectionStatus, occupied ? DeviceConnected : NoDeviceConnected) << port;
        EXPECT_EQ(info->CurrentConfigurationValue, occupied ? 1 : 0) << port;
    }
    uint8_t buffer[46] = {};
    reinterpret_cast<USB_NODE_CONNECTION_INFORMATION*>(buffer)->ConnectionIndex = 5;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, buffer, 46, buffer, 46, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(hub);
}

TEST_F(UsbPc, ReadersByInterfaceClassWithTheirDescriptorsAndReplies) {
    const auto functional = interfacePaths(tarn::kFunctionalInterface);
    ASSERT_EQ(functional.size(), 1u) << "only the reader on its own driver";
    EXPECT_EQ(functional[0].find("\\\\?\\USB#Vid_04cc&Pid_2000#12345678#"), 0u) << functional[0];
    HANDLE h = open(functional[0]);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const auto device = descriptor(h, tarn::kDescriptorDevice, 0, 18);
    ASSERT_EQ(device.size(), 18u);
    EXPECT_EQ(device[8] | device[9] << 8, 0x04CC);
    EXPECT_EQ(device[16], 5) << "iSerialNumber";
    const auto serial = descriptor(h, tarn::kDescriptorString, device[16], 260);
    ASSERT_EQ(serial.size(), 18u);
    EXPECT_EQ(std::string(serial.begin() + 2, serial.end()), std::string("1\0002\0003\0004\0005\0006\0007\0008\0", 16));
    EXPECT_EQ(vendorIn(h, tarn::kReqUpgradeType, 1), std::vector<uint8_t>{0});
    EXPECT_EQ(vendorIn(h, tarn::kReqDeviceType, 2), (std::vector<uint8_t>{7, 0}));
    EXPECT_EQ(vendorIn(h, tarn::kReqFirmwareVersion, 2), (std::vector<uint8_t>{5, 1}));
    uint32_t nt = 0, usbd = 0;
    EXPECT_TRUE(vendorIn(h, tarn::kReqPlexHighestSlot, 1, &nt, &usbd).empty()) << "not a Plex monitor";
    EXPECT_EQ(tarn::usbCondition(usbd), tarn::kUsbStall);
    CloseHandle(h);

    // The reader on the mass-storage driver is a USB device whose service is USBSTOR, with the
    // mass-storage class first among its compatible IDs and a disk with a Tarn hardware ID.
    bool found = false;
    for (const std::string& p : interfacePaths(GUID_DEVINTERFACE_USB_DEVICE))
        if (serviceOf(p, GUID_DEVINTERFACE_USB_DEVICE) == "USBSTOR") found = true;
    EXPECT_TRUE(found);
    EXPECT_EQ(GetDriveTypeA("G:\\"), static_cast<UINT>(DRIVE_REMOVABLE));
    EXPECT_EQ(GetDriveTypeA("H:\\"), static_cast<UINT>(DRIVE_REMOVABLE));
}

TEST_F(UsbPc, EnvelopesADriverRefuses) {
    const auto functional = interfacePaths(tarn::kFunctionalInterface);
    ASSERT_EQ(functional.size(), 1u);
    HANDLE h = open(functional[0]);
    struct Case {
        const char* what;
        std::function<void(Envelope&)> change;
        DWORD inSize, outSize;  // 0: the envelope's own size
        DWORD error;
    };
    const Case cases[] = {
        {"a header without its spare byte", nullptr, 26, 0, ERROR_INVALID_PARAMETER},
        {"an unknown kind", [](Envelope& e) { e.header().kind = 3; }, 0, 0, ERROR_INVALID_PARAMETER},
        {"an unknown direction", [](Envelope& e) { e.header().direction = 3; }, 0, 0, ERROR_INVALID_PARAMETER},
        {"wLength other than the length", [](Envelope& e) { e.header().wLength = 1; }, 0, 0, ERROR_INVALID_PARAMETER},
        {"a hub port request to a reader", [](Envelope& e) { e.header().urbFunction = tarn::kUrbClassOther; }, 0, 0,
         ERROR_INVALID_PARAMETER},
        {"a bulk transfer naming a URB function", [](Envelope& e) { e.header().kind = tarn::kKindBulk; }, 0, 0,
         ERROR_INVALID_PARAMETER},
        {"an output too short for the data", nullptr, 0, 27, ERROR_INSUFFICIENT_BUFFER},
    };
    for (const Case& c : cases) {
        Envelope e = control(tarn::kUrbVendorInterface, tarn::kDirectionIn, tarn::kVendorIn, tarn::kReqDeviceType, 0, 2);
        if (c.change) c.change(e);
        DWORD returned = 0;
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(DeviceIoControl(h, tarn::kIoctlUrbPassThrough, e.bytes.data(),
                                     c.inSize ? c.inSize : static_cast<DWORD>(e.bytes.size()), e.bytes.data(),
                                     c.outSize ? c.outSize : static_cast<DWORD>(e.bytes.size()), &returned, nullptr))
            << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    // A request without data phase: 27 bytes, direction and length 0.
    Envelope probe = control(tarn::kUrbVendorInterface, tarn::kDirectionNone, tarn::kVendorOut, tarn::kReqPlexProbe, 0, 0);
    ASSERT_EQ(probe.bytes.size(), 27u);
    EXPECT_TRUE(pass(h, probe));
    EXPECT_NE(probe.header().ntStatus, 0u) << "not a Plex monitor: the probe stalls";
    CloseHandle(h);
}

TEST_F(UsbPc, DetachUploadDownloadAndBack) {
    ArrivalWindow window({tarn::kUpgradeInterface, GUID_DEVINTERFACE_USB_DEVICE, tarn::kFunctionalInterface});
    ASSERT_TRUE(window.registered());
    HANDLE h = open(interfacePaths(tarn::kFunctionalInterface).at(0));
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(h, tarn::kIoctlDfuDetach, nullptr, 0, nullptr, 0, &returned, nullptr));
    CloseHandle(h);
    const std::string dfuPath = window.waitFor(tarn::kUpgradeInterface);
    ASSERT_FALSE(dfuPath.empty()) << "the reader arrives in upgrade mode";
    // The USB device interface arrives before the driver's class interface.
    ASSERT_GE(g_arrivals.size(), 2u);
    EXPECT_TRUE(IsEqualGUID(g_arrivals[g_arrivals.size() - 2].first, GUID_DEVINTERFACE_USB_DEVICE));
    EXPECT_TRUE(interfacePaths(tarn::kFunctionalInterface).empty());

    HANDLE dfu = open(dfuPath);
    ASSERT_NE(dfu, INVALID_HANDLE_VALUE);
    std::vector<uint8_t> image(65536);
    ASSERT_TRUE(DeviceIoControl(dfu, tarn::kIoctlDfuUploadAll, nullptr, 0, image.data(), 65536, &returned, nullptr));
    EXPECT_EQ(returned, 65536u);
    EXPECT_EQ(std::memcmp(image.data() + 65536 - 8, "DFUVALID", 8), 0);
    // The same image with another version goes down; the reader comes back running it.
    const auto capab = std::search(image.begin(), image.end(), std::begin("CAPAB"), std::end("CAPAB") - 1);
    ASSERT_NE(capab, image.end());
    capab[9] = 2;
    capab[10] = 10;
    ASSERT_TRUE(DeviceIoControl(dfu, tarn::kIoctlDfuDownloadAll, image.data(), 65536, nullptr, 0, &returned, nullptr));
    g_arrivals.clear();
    ASSERT_TRUE(DeviceIoControl(dfu, tarn::kIoctlDfuDetach, nullptr, 0, nullptr, 0, &returned, nullptr));
    CloseHandle(dfu);
    const std::string back = window.waitFor(tarn::kFunctionalInterface);
    ASSERT_FALSE(back.empty());
    h = open(back);
    EXPECT_EQ(vendorIn(h, tarn::kReqFirmwareVersion, 2), (std::vector<uint8_t>{10, 2}));
    CloseHandle(h);
}

TEST_F(UsbPc, ADfuType3ReaderComesBackUnderItsOwnIdentifiers) {
    // The reader on the mass-storage driver has no driver of its own to detach it: the test
    // sends the DFU class request through the kernel, as a helper driver would.
    lab::Hardware& hw = lab::Lab::current().hardware();
    ArrivalWindow window({tarn::kUpgradeInterface});
    lab::DevInst node = 0;
    for (const auto& n : hw.nodes())
        if (n.present && hw.physicalIdOf(n.devInst) == "tarn-2" && n.instanceId.rfind("USB\\", 0) == 0) node = n.devInst;
    ASSERT_NE(node, 0u);
    PDEVICE_OBJECT top = hw.referenceTop(node);
    ASSERT_NE(top, nullptr);
    URB urb{};
    UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0,
                          tarn::kDfuDetach, 1000, 0, nullptr, nullptr, 0, nullptr);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, top, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    if (IoCallDriver(top, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(top);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    const std::string path = window.waitFor(tarn::kUpgradeInterface);
    EXPECT_NE(path.find("Vid_04e6&Pid_04e9"), std::string::npos) << path;
}

}  // namespace
