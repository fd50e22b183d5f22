// Every fault of the USB side, seen in the request it targets as a client sees it: statuses in
// the envelope, a device that leaves and comes back (or not, or elsewhere, or late), hub ports
// in a failed enumeration until their power goes round, a hub in its low-power state, and the
// ways a device is cycled.
#include <cstdint>
#include <string>

#include "usb_lab.h"

namespace {

using namespace usbtest;

constexpr uint32_t kStatusUnsuccessful = 0xC0000001, kStatusIoTimeout = 0xC00000B5;

std::string functionalPath() { return pathWith(tarn::kFunctionalInterface, "12345678"); }

// A control request is named as the device receives it: the reader drivers send the vendor
// requests to the interface, so the firmware-version request C0h 01h arrives as C1h 01h.
TEST_F(UsbPc, RequestFaultsShowInTheRequestTheyTarget) {
    struct Case {
        const char* fault;
        uint32_t nt, usbd;                 // what the envelope of the hit request carries
        std::vector<uint8_t> reply;        // its data when it succeeds
    };
    const Case cases[] = {
        {"fail:usb:C1.01:1", kStatusUnsuccessful, 0xC0000004, {}},
        {"stall:usb:C1.01:1", kStatusIoTimeout, 0xC0006000, {}},
        {"usbstatus:usb:C1.01:C0000011:1", kStatusUnsuccessful, 0xC0000011, {}},
        {"usbstatus:usb:any:C0000012:1", kStatusUnsuccessful, 0xC0000012, {}},
        {"ntstatus:usb:C1.01:C00002B6:1", tarn::kStatusDeviceRemoved, 0, {}},
        {"ntstatus:usb:C1.01:C000009D:1", tarn::kStatusDeviceNotConnected, 0, {}},
        {"corrupt:usb:C1.01+1:1", 0, 0, {5, 1 ^ 0x5A}},
        {"fail:usb:C1.08:1", 0, 0, {5, 1}},  // another request: this one passes
    };
    HANDLE h = open(functionalPath());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    for (const Case& c : cases) {
        lab::Lab::current().applyFault("tarn-1", c.fault);
        Envelope e = control(tarn::kUrbVendorInterface, tarn::kDirectionIn, tarn::kVendorIn, tarn::kReqFirmwareVersion, 0, 2);
        ASSERT_TRUE(pass(h, e)) << c.fault << ": the driver carries the request, the envelope tells how it went";
        EXPECT_EQ(e.ntStatus(), c.nt) << c.fault;
        if (c.usbd) {
            EXPECT_EQ(e.usbStatus(), c.usbd) << c.fault;
        }
        if (!c.reply.empty()) {
            EXPECT_EQ(std::vector<uint8_t>(e.data(), e.data() + 2), c.reply) << c.fault;
        }
        lab::Lab::current().applyFault("tarn-1", "clear");
        EXPECT_EQ(vendorIn(h, tarn::kReqFirmwareVersion, 2), (std::vector<uint8_t>{5, 1})) << c.fault << ": used up";
    }
    // A bulk transfer: the command wrapper of the mass-storage side.
    lab::Lab::current().applyFault("tarn-1", "usbstatus:bulk:out:C0000011:1");
    Envelope cbw;
    cbw.bytes.assign(tarn::kEnvelopeHeader + 31, 0);
    cbw.header().kind = tarn::kKindBulk;
    cbw.header().direction = tarn::kDirectionOut;
    cbw.header().length = 31;
    ASSERT_TRUE(pass(h, cbw));
    EXPECT_EQ(cbw.usbStatus(), 0xC0000011u);
    CloseHandle(h);
}

TEST_F(UsbPc, ADeviceReplugggedOrUnpluggedDuringARequestLeavesItsHandleBehind) {
    ArrivalWindow window({tarn::kFunctionalInterface});
    const std::string path = functionalPath();
    HANDLE h = open(path);
    lab::Lab::current().applyFault("tarn-1", "replug:usb:C1.01");
    uint32_t nt = 0;
    EXPECT_TRUE(vendorIn(h, tarn::kReqFirmwareVersion, 2, &nt).empty());
    EXPECT_EQ(nt, tarn::kStatusDeviceNotConnected);
    EXPECT_FALSE(window.waitFor(tarn::kFunctionalInterface).empty()) << "back at once as a new instance";
    EXPECT_TRUE(vendorIn(h, tarn::kReqFirmwareVersion, 2).empty()) << "the old handle reaches nothing";
    CloseHandle(h);
    h = open(path);
    EXPECT_EQ(vendorIn(h, tarn::kReqFirmwareVersion, 2), (std::vector<uint8_t>{5, 1}));

    lab::Lab::current().applyFault("tarn-1", "unplug:usb:C1.08");
    EXPECT_TRUE(vendorIn(h, tarn::kReqDeviceType, 2).empty());
    CloseHandle(h);
    EXPECT_TRUE(functionalPath().empty());
    EXPECT_EQ(GetDriveTypeA("G:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
    EXPECT_EQ(connectionStatus("Vid_1209", 2), NoDeviceConnected);
}

// A detach of the reader on its own driver, and where the reader comes back with each fault on
// its leave.
TEST_F(UsbPc, HowADetachedReaderComesBack) {
    for (const char* fault : {static_cast<const char*>(nullptr), "ids:leave:detach:1234.5678:1"}) {
        SCOPED_TRACE(fault ? fault : "no fault");
        hwtest::resetDevices();
        SetUp();
        ArrivalWindow window({tarn::kUpgradeInterface});
        if (fault) lab::Lab::current().applyFault("tarn-1", fault);
        ASSERT_TRUE(detach(functionalPath()));
        EXPECT_NE(window.waitFor(tarn::kUpgradeInterface).find(fault ? "Vid_1234&Pid_5678" : "Vid_04cc&Pid_2f00"),
                  std::string::npos);
    }
}

// The PC remembers the driver it bound to a device's instance ID; a reader of its own here
// (upgrade type 5, whose boot loader has an ID of its own), so that no other test's reader
// finds the generic driver remembered for its boot loader.
TEST_F(UsbPc, ADetachedReaderComesBackOnTheMassStorageDriver) {
    lab::Lab& lab = lab::Lab::current();
    lab.attachDevice({{"kind", "tarn-reader"}, {"id", "tarn-4"}, {"hub", "hub-1"}, {"port", 4}, {"drive", "none"},
                      {"dfu-type", 5}, {"serial", "0000ABCD"}});
    lab.hardware().refresh();
    ArrivalWindow window({tarn::kUpgradeInterface, GUID_DEVINTERFACE_USB_DEVICE});
    lab.applyFault("tarn-4", "usbstor:leave:detach:1");
    ASSERT_TRUE(detach(pathWith(tarn::kFunctionalInterface, "0000ABCD")));
    const std::string usb = window.waitFor(GUID_DEVINTERFACE_USB_DEVICE, kArrivalCapMs, "Vid_04cc&Pid_2f05");
    ASSERT_FALSE(usb.empty()) << "in upgrade mode";
    EXPECT_EQ(serviceOf(usb, GUID_DEVINTERFACE_USB_DEVICE), "USBSTOR");
    EXPECT_TRUE(interfacePaths(tarn::kUpgradeInterface).empty()) << "the DFU driver has not got it";
    EXPECT_TRUE(pathWith(tarn::kFunctionalInterface, "0000ABCD").empty());
}

TEST_F(UsbPc, ASlowReaderComesBackLateAndALostOneOnlyWhenPluggedInAgain) {
    ArrivalWindow window({tarn::kUpgradeInterface});
    lab::Lab::current().applyFault("tarn-1", "slow:leave:detach:3600000:1");
    ASSERT_TRUE(detach(functionalPath()));
    // Its model takes a lab second or two; an hour more with the fault.
    EXPECT_TRUE(window.waitFor(tarn::kUpgradeInterface, 30000).empty());
    const std::string dfu = window.waitFor(tarn::kUpgradeInterface, 2 * kArrivalCapMs);
    ASSERT_FALSE(dfu.empty());

    // Back to functional mode, and gone for good.
    heard().clear();
    lab::Lab::current().applyFault("tarn-1", "lost:leave:detach:1");
    ASSERT_TRUE(detach(dfu));
    ArrivalWindow functional({tarn::kFunctionalInterface});
    EXPECT_EQ(connectionStatus("Vid_1209", 2), NoDeviceConnected);
    EXPECT_EQ(setPortPower("hub-1", 2, false), STATUS_SUCCESS);
    EXPECT_EQ(setPortPower("hub-1", 2, true), STATUS_SUCCESS);
    EXPECT_TRUE(functional.waitFor(tarn::kFunctionalInterface, 60000).empty()) << "a power cycle does not bring it back";
    lab::Lab::current().applyFault("tarn-1", "unplug");
    lab::Lab::current().hardware().refresh();  // the PC notices it gone before it comes back
    lab::Lab::current().applyFault("tarn-1", "plug");
    EXPECT_FALSE(functional.waitFor(tarn::kFunctionalInterface).empty());
}

TEST_F(UsbPc, AStuckPortHoldsItsDeviceUntilItsPowerGoesRound) {
    // Stuck by a leave: the reader detaches and its port shows a failed enumeration.
    {
        ArrivalWindow window({tarn::kUpgradeInterface});
        lab::Lab::current().applyFault("tarn-1", "stuck:leave:detach:1");
        ASSERT_TRUE(detach(functionalPath()));
        EXPECT_TRUE(window.waitFor(tarn::kUpgradeInterface, 30000).empty());
        EXPECT_EQ(connectionStatus("Vid_1209", 2), DeviceFailedEnumeration);
        EXPECT_EQ(connectionStatus("Vid_1209", 3), DeviceConnected) << "the port beside it is fine";
        EXPECT_EQ(setPortPower("hub-1", 2, false), STATUS_SUCCESS);
        EXPECT_EQ(connectionStatus("Vid_1209", 2), NoDeviceConnected);
        EXPECT_EQ(setPortPower("hub-1", 2, true), STATUS_SUCCESS);
        EXPECT_FALSE(window.waitFor(tarn::kUpgradeInterface).empty()) << "it goes on into upgrade mode";
    }
    // Stuck now: the reader on the mass-storage driver drops off until its port's power goes
    // round.
    ArrivalWindow window({GUID_DEVINTERFACE_USB_DEVICE});
    lab::Lab::current().applyFault("tarn-2", "stuck:port:1");
    lab::Lab::current().hardware().reenumerate(lab::Lab::current().hardware().root());
    EXPECT_EQ(connectionStatus("Vid_1209", 3), DeviceFailedEnumeration);
    EXPECT_EQ(usbNodeOf("tarn-2"), 0u);
    EXPECT_EQ(setPortPower("hub-1", 3, false), STATUS_SUCCESS);
    EXPECT_EQ(setPortPower("hub-1", 3, true), STATUS_SUCCESS);
    EXPECT_FALSE(window.waitFor(GUID_DEVINTERFACE_USB_DEVICE, kArrivalCapMs, "Vid_04cc&Pid_2000").empty());
    EXPECT_EQ(connectionStatus("Vid_1209", 3), DeviceConnected);
}

TEST_F(UsbPc, APortCycleAndAPowerCycleBringTheDeviceBackAsANewNode) {
    ArrivalWindow window({tarn::kFunctionalInterface});
    const std::string before = pdoName("tarn-1");
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(kernelRequest(usbNodeOf("tarn-1"), IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr), STATUS_SUCCESS);
    EXPECT_FALSE(window.waitForRemoval(tarn::kFunctionalInterface).empty());
    EXPECT_FALSE(window.waitFor(tarn::kFunctionalInterface).empty());
    const std::string cycled = pdoName("tarn-1");
    EXPECT_FALSE(cycled.empty());
    EXPECT_NE(cycled, before) << "enumerated anew";

    heard().clear();
    EXPECT_EQ(setPortPower("hub-1", 2, false), STATUS_SUCCESS);
    EXPECT_FALSE(window.waitForRemoval(tarn::kFunctionalInterface).empty());
    EXPECT_EQ(connectionStatus("Vid_1209", 2), NoDeviceConnected);
    EXPECT_EQ(setPortPower("hub-1", 2, true), STATUS_SUCCESS);
    EXPECT_FALSE(window.waitFor(tarn::kFunctionalInterface).empty());
    HANDLE h = open(functionalPath());
    EXPECT_EQ(vendorIn(h, tarn::kReqFirmwareVersion, 2), (std::vector<uint8_t>{5, 1}));
    CloseHandle(h);

    // A failing port request: the cycle is refused and the device stays.
    lab::Lab::current().applyFault("tarn-1", "fail:port:1");
    const std::string stays = pdoName("tarn-1");
    EXPECT_EQ(kernelRequest(usbNodeOf("tarn-1"), IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(pdoName("tarn-1"), stays);
    EXPECT_EQ(connectionStatus("Vid_1209", 2), DeviceConnected);
}

TEST_F(UsbPc, AHubInItsLowPowerStateSwitchesNoPortUntilPoweredUp) {
    lab::Lab& lab = lab::Lab::current();
    lab.attachDevice({{"kind", "usb-hub"}, {"id", "hub-2"}, {"port", 2}, {"low-power", true}});
    lab.attachDevice({{"kind", "tarn-reader"}, {"id", "tarn-3"}, {"hub", "hub-2"}, {"port", 1}, {"drive", "none"},
                      {"serial", "ABCDEF01"}});
    lab.hardware().reenumerate(lab.hardware().root());
    ASSERT_NE(usbNodeOf("tarn-3"), 0u);
    EXPECT_NE(setPortPower("hub-2", 1, false), STATUS_SUCCESS);
    EXPECT_EQ(connectionStatus("&0&2#", 1), DeviceConnected);
    // The power-up: a device power request for D0 to the hub's stack, as a helper driver sends it.
    lab::Hardware& hw = lab.hardware();
    PDEVICE_OBJECT top = hw.referenceTop(usbNodeOf("hub-2"));
    ASSERT_NE(top, nullptr);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
    s->MajorFunction = IRP_MJ_POWER;
    s->MinorFunction = IRP_MN_SET_POWER;
    s->Parameters.Power.Type = DevicePowerState;
    s->Parameters.Power.State.DeviceState = PowerDeviceD0;
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_SUCCESS);
    IoFreeIrp(irp);
    ObDereferenceObject(top);
    EXPECT_EQ(setPortPower("hub-2", 1, false), STATUS_SUCCESS);
    EXPECT_EQ(connectionStatus("&0&2#", 1), NoDeviceConnected) << "the hub on root port 2";
}


// Whole images through the DFU driver of a reader whose flash holds 32 KB (upgrade type 2): the
// sizes the driver takes, and a read-back or a download with one byte of the image altered.
TEST_F(UsbPc, TheDfuDriverMovesWholeImagesAndACorruptFaultAltersTheByteItNames) {
    lab::Lab& lab = lab::Lab::current();
    lab.attachDevice({{"kind", "tarn-reader"}, {"id", "tarn-6"}, {"hub", "hub-1"}, {"port", 4}, {"mode", "upgrade"},
                      {"dfu-type", 2}, {"drive", "none"}});
    lab.hardware().refresh();
    HANDLE h = open(pathWith(tarn::kUpgradeInterface, "Pid_2f02"));
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    auto upload = [&](DWORD size, std::vector<uint8_t>* out) {
        out->assign(size, 0);
        DWORD returned = 0;
        SetLastError(0xdeadbeef);
        const BOOL ok = DeviceIoControl(h, tarn::kIoctlDfuUploadAll, nullptr, 0, out->data(), size, &returned, nullptr);
        EXPECT_EQ(returned, ok ? size : 0u);
        return ok;
    };
    std::vector<uint8_t> image, again;
    EXPECT_FALSE(upload(tarn::kUploadFull, &image)) << "the flash holds half of that";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    EXPECT_FALSE(upload(1000, &image)) << "not a whole number of blocks";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(upload(tarn::kUploadHalf, &image));

    lab.applyFault("tarn-6", "corrupt:usb:A1.02+7F00:1");
    ASSERT_TRUE(upload(tarn::kUploadHalf, &again));
    for (size_t i = 0; i < image.size(); ++i)
        ASSERT_EQ(again[i], i == 0x7F00 ? image[i] ^ 0x5A : image[i]) << "byte " << i;
    ASSERT_TRUE(upload(tarn::kUploadHalf, &again));
    EXPECT_EQ(again, image) << "the fault hit one read";

    // Written with a fault on the download requests: the flash keeps the altered byte.
    lab.applyFault("tarn-6", "corrupt:usb:21.01+10:1");
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(h, tarn::kIoctlDfuDownloadAll, image.data(), tarn::kUploadHalf, nullptr, 0, &returned,
                                nullptr));
    ASSERT_TRUE(upload(tarn::kUploadHalf, &again));
    EXPECT_EQ(again[0x10], image[0x10] ^ 0x5A);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DeviceIoControl(h, tarn::kIoctlDfuDownloadAll, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "no image";
    CloseHandle(h);
}


// A download that stopped half-way leaves no trailer: the boot loader keeps the reader in
// upgrade mode until a whole image is in its flash.
TEST_F(UsbPc, AReaderWhoseFlashHoldsNoCompleteImageStaysInUpgradeMode) {
    lab::Lab& lab = lab::Lab::current();
    lab.attachDevice({{"kind", "tarn-reader"}, {"id", "tarn-7"}, {"hub", "hub-1"}, {"port", 4}, {"mode", "upgrade"},
                      {"dfu-type", 1}, {"drive", "none"}, {"serial", "00007777"}});
    lab.hardware().refresh();
    const std::string loader = pathWith(tarn::kUpgradeInterface, "Pid_2f01");
    HANDLE h = open(loader);
    std::vector<uint8_t> image(tarn::kUploadFull);
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(h, tarn::kIoctlDfuUploadAll, nullptr, 0, image.data(), tarn::kUploadFull, &returned, nullptr));
    std::vector<uint8_t> cut = image;
    std::fill(cut.end() - 8, cut.end(), 0xFF);  // "DFUVALID" never written
    ASSERT_TRUE(DeviceIoControl(h, tarn::kIoctlDfuDownloadAll, cut.data(), tarn::kUploadFull, nullptr, 0, &returned, nullptr));
    CloseHandle(h);

    ArrivalWindow window({tarn::kUpgradeInterface, tarn::kFunctionalInterface});
    ASSERT_TRUE(detach(loader));
    EXPECT_FALSE(window.waitForRemoval(tarn::kUpgradeInterface, kArrivalCapMs, "Pid_2f01").empty());
    EXPECT_FALSE(window.waitFor(tarn::kUpgradeInterface, kArrivalCapMs, "Pid_2f01").empty()) << "back in upgrade mode";
    EXPECT_TRUE(pathWith(tarn::kFunctionalInterface, "00007777").empty());

    h = open(loader);
    ASSERT_TRUE(DeviceIoControl(h, tarn::kIoctlDfuDownloadAll, image.data(), tarn::kUploadFull, nullptr, 0, &returned, nullptr));
    CloseHandle(h);
    ASSERT_TRUE(detach(loader));
    EXPECT_FALSE(window.waitFor(tarn::kFunctionalInterface, kArrivalCapMs, "00007777").empty());
}

}  // namespace
