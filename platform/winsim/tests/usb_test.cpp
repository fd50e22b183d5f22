// The USB side of the PC through the Win32 calls a client makes: the host controllers and hubs
// with their node queries, Tarn readers found by interface class, their descriptors and vendor
// replies through the reader driver's envelope, the envelope's checks, the detach into upgrade
// mode seen as an arrival on a hidden window, whole-image upload and download through the DFU
// driver, a port power cycle, and the USB faults in the requests they target.
#include <functional>

#include <winsim/ntddscsi.h>

#include "usb_lab.h"

namespace {

using namespace usbtest;

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
        const USB_CONNECTION_STATUS status = info->ConnectionStatus;  // packed: read by value
        EXPECT_EQ(status, occupied ? DeviceConnected : NoDeviceConnected) << port;
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
    EXPECT_NE(probe.ntStatus(), 0u) << "not a Plex monitor: the probe stalls";
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
    ASSERT_GE(heard().size(), 2u);
    EXPECT_TRUE(IsEqualGUID(heard()[heard().size() - 2].cls, GUID_DEVINTERFACE_USB_DEVICE));
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
    heard().clear();
    ASSERT_TRUE(DeviceIoControl(dfu, tarn::kIoctlDfuDetach, nullptr, 0, nullptr, 0, &returned, nullptr));
    CloseHandle(dfu);
    const std::string back = window.waitFor(tarn::kFunctionalInterface);
    ASSERT_FALSE(back.empty());
    h = open(back);
    EXPECT_EQ(vendorIn(h, tarn::kReqFirmwareVersion, 2), (std::vector<uint8_t>{10, 2}));
    CloseHandle(h);
}

// A USB device node as a client reads it: instance ID, identifiers, address, PDO name; and the
// reader's storage unit under it, answering INQUIRY and the feature diagnostic.
TEST_F(UsbPc, ANodeLooksAsWindowsShowsAUsbDeviceAndItsStorageAnswers) {
    std::string usb;
    for (const std::string& p : interfacePaths(GUID_DEVINTERFACE_USB_DEVICE))
        if (serviceOf(p, GUID_DEVINTERFACE_USB_DEVICE) == "USBSTOR") usb = p;
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_USB_DEVICE, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA itf{};
    itf.cbSize = sizeof itf;
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    ASSERT_TRUE(SetupDiOpenDeviceInterfaceA(set, usb.c_str(), 0, &itf)) << usb;
    SetupDiGetDeviceInterfaceDetailA(set, &itf, nullptr, 0, nullptr, &dev);
    auto property = [&](DWORD spdrp) {
        char buffer[512] = {};
        DWORD type = 0;
        if (!SetupDiGetDeviceRegistryPropertyA(set, &dev, spdrp, &type, reinterpret_cast<BYTE*>(buffer), sizeof buffer, nullptr))
            return std::string();
        if (type == REG_DWORD) return std::to_string(*reinterpret_cast<DWORD*>(buffer));
        std::string text;  // the strings of a multi-string, separated by '|'
        for (const char* at = buffer; *at; at += std::strlen(at) + 1) text += (text.empty() ? "" : "|") + std::string(at);
        return text;
    };
    char instance[256] = {};
    ASSERT_TRUE(SetupDiGetDeviceInstanceIdA(set, &dev, instance, sizeof instance, nullptr));
    EXPECT_EQ(std::string(instance).rfind("USB\\Vid_04cc&Pid_2000\\", 0), 0u) << instance;
    EXPECT_EQ(property(SPDRP_HARDWAREID), "USB\\Vid_04cc&Pid_2000&Rev_0100|USB\\Vid_04cc&Pid_2000");
    EXPECT_EQ(property(SPDRP_COMPATIBLEIDS).rfind("USB\\Class_08&SubClass_06&Prot_50|", 0), 0u);
    EXPECT_EQ(property(SPDRP_ADDRESS), "3") << "the hub port";
    EXPECT_EQ(property(SPDRP_PHYSICAL_DEVICE_OBJECT_NAME).rfind("\\Device\\USBPDO-", 0), 0u);
    SetupDiDestroyDeviceInfoList(set);

    HANDLE volume = CreateFileA("\\\\.\\H:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    auto command = [&](std::initializer_list<uint8_t> cdb, uint8_t* data, ULONG length) {
        SCSI_PASS_THROUGH_DIRECT spt{};
        spt.Length = sizeof spt;
        spt.CdbLength = static_cast<UCHAR>(cdb.size());
        std::copy(cdb.begin(), cdb.end(), spt.Cdb);
        spt.DataIn = SCSI_IOCTL_DATA_IN;
        spt.DataTransferLength = length;
        spt.DataBuffer = data;
        spt.TimeOutValue = 10;
        DWORD returned = 0;
        return DeviceIoControl(volume, IOCTL_SCSI_PASS_THROUGH_DIRECT, &spt, sizeof spt, &spt, sizeof spt, &returned,
                               nullptr) &&
               spt.ScsiStatus == 0;
    };
    uint8_t inquiry[36] = {};
    ASSERT_TRUE(command({0x12, 0, 0, 0, 36, 0}, inquiry, 36));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry) + 8, 16), "Tarn    Card Rea");
    uint8_t features[6] = {};
    ASSERT_TRUE(command({0xFD, 0x00, 0x80, 0x58, 0x54, 0x44, 0x47, 0x00, 0x00, 0x00}, features, 6));
    EXPECT_EQ(features[4], 0) << "the feature byte of its image";
    CloseHandle(volume);
}

// A port reset brings the device to its default state without a new arrival.
TEST_F(UsbPc, APortResetKeepsTheDeviceWhereItIs) {
    const std::string pdo = pdoName("tarn-1");
    EXPECT_EQ(kernelRequest(usbNodeOf("tarn-1"), IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(pdoName("tarn-1"), pdo);
    HANDLE h = open(pathWith(tarn::kFunctionalInterface, "12345678"));
    EXPECT_EQ(vendorIn(h, tarn::kReqFirmwareVersion, 2), (std::vector<uint8_t>{5, 1}));
    CloseHandle(h);
}

TEST_F(UsbPc, ADfuType3ReaderComesBackUnderItsOwnIdentifiers) {
    // The reader on the mass-storage driver has no driver of its own to detach it: the test
    // sends the DFU class request through the kernel, as a helper driver would.
    ArrivalWindow window({tarn::kUpgradeInterface});
    const lab::DevInst node = usbNodeOf("tarn-2");
    ASSERT_NE(node, 0u);
    EXPECT_EQ(kernelControl(node, URB_FUNCTION_CLASS_INTERFACE, tarn::kDfuDetach, 1000, 0), STATUS_SUCCESS);
    const std::string path = window.waitFor(tarn::kUpgradeInterface);
    EXPECT_NE(path.find("Vid_04e6&Pid_04e9"), std::string::npos) << path;
}

}  // namespace
