// The other shapes a Tarn reader takes on the PC, as a client finds them through the Win32
// calls: a Plex monitor with modules in its slots, a reader behind the composite-device driver,
// a reader attached by another process, and readers moving to the companion controllers when the
// EHCI controller is disabled.
#include <strings.h>

#include <cstring>
#include <string>

#include <winsim/cfgmgr32.h>
#include <winsim/winioctl.h>

#include "run_process.h"
#include "usb_lab.h"

namespace {

using namespace usbtest;

std::string hardwareIdOf(DEVINST node) {
    char buffer[512] = {};
    ULONG size = sizeof buffer;
    if (CM_Get_DevNode_Registry_PropertyA(node, CM_DRP_HARDWAREID, nullptr, buffer, &size, 0) != CR_SUCCESS) return {};
    return buffer;  // the first identifier
}

class PlexPc : public UsbPc {
protected:
    void SetUp() override {
        UsbPc::SetUp();
        lab::Lab& lab = lab::Lab::current();
        lab.attachDevice({{"kind", "plex-monitor"}, {"id", "plex-1"}, {"hub", "hub-1"}, {"port", 4}, {"slots", 4},
                          {"serial", "00000A11"}});
        lab.attachDevice({{"kind", "plex-module"}, {"id", "module-1"}, {"monitor", "plex-1"}, {"slot", 2}, {"drive", "K"},
                          {"serial", "00000B22"}, {"product-type", 21}});
        lab.hardware().refresh();
    }
};

TEST_F(PlexPc, AMonitorAnswersForTheModulesInItsSlots) {
    const std::string monitorPath = pathWith(tarn::kFunctionalInterface, "00000A11");
    const std::string modulePath = pathWith(tarn::kFunctionalInterface, "00000B22");
    ASSERT_FALSE(monitorPath.empty());
    ASSERT_FALSE(modulePath.empty()) << "the module is a reader on its own driver too";
    HANDLE monitor = open(monitorPath);
    HANDLE module = open(modulePath);

    // The probe only a monitor answers, and its highest slot (a request sent with 41h that
    // reads one byte).
    for (HANDLE h : {monitor, module}) {
        Envelope probe = control(tarn::kUrbVendorInterface, tarn::kDirectionNone, tarn::kVendorOut, tarn::kReqPlexProbe, 0, 0);
        ASSERT_TRUE(pass(h, probe));
        EXPECT_EQ(probe.header().ntStatus == 0, h == monitor);
    }
    Envelope slots = control(tarn::kUrbVendorInterface, tarn::kDirectionIn, tarn::kVendorOut, tarn::kReqPlexHighestSlot, 0, 1);
    ASSERT_TRUE(pass(monitor, slots));
    EXPECT_EQ(slots.ntStatus(), 0u);
    EXPECT_EQ(slots.data()[0], 3) << "four slots";

    // The slot's device path, as UTF-16 text naming the module's functional interface.
    uint8_t slot = 2;
    std::vector<uint8_t> reply(tarn::kSlotPathMax, 0);
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(monitor, tarn::kIoctlPlexSlotPath, &slot, 1, reply.data(), static_cast<DWORD>(reply.size()),
                                &returned, nullptr));
    std::string text;
    for (DWORD i = 0; i + 1 < returned && reply[i]; i += 2) text += static_cast<char>(reply[i]);
    const size_t usb = text.find("USB");
    ASSERT_NE(usb, std::string::npos) << text;
    EXPECT_EQ(strcasecmp(("\\\\?\\" + text.substr(usb)).c_str(), modulePath.c_str()), 0) << text;
    slot = 3;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DeviceIoControl(monitor, tarn::kIoctlPlexSlotPath, &slot, 1, reply.data(), 1024, &returned, nullptr))
        << "an empty slot";

    // The slot's drive letter.
    uint8_t drive[6] = {0x47, 0x44, 0x54, 0x53, 2, 0};
    ASSERT_TRUE(DeviceIoControl(monitor, tarn::kIoctlPlexSlotDrive, drive, 6, drive, 6, &returned, nullptr));
    EXPECT_EQ(std::memcmp(drive, tarn::kSlotDriveReply, 4), 0);
    EXPECT_EQ(drive[tarn::kSlotDriveLetter], 'K');
    EXPECT_EQ(GetDriveTypeA("K:\\"), static_cast<UINT>(DRIVE_REMOVABLE));
    uint8_t wrongKey[6] = {0x53, 0x54, 0x44, 0x47, 2, 0};
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DeviceIoControl(monitor, tarn::kIoctlPlexSlotDrive, wrongKey, 6, wrongKey, 6, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DeviceIoControl(monitor, tarn::kIoctlPlexSlotDrive, drive, 5, drive, 6, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "five bytes in";

    // Telling the monitor that a module goes: a slot with a module, and one without.
    slot = 2;
    EXPECT_TRUE(DeviceIoControl(monitor, tarn::kIoctlPlexModuleAddRemove, &slot, 1, nullptr, 0, &returned, nullptr));
    slot = 4;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DeviceIoControl(monitor, tarn::kIoctlPlexModuleAddRemove, &slot, 1, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // The module answers as a reader of its own.
    EXPECT_EQ(vendorIn(module, tarn::kReqDeviceType, 2), (std::vector<uint8_t>{21, 0}));
    CloseHandle(module);
    CloseHandle(monitor);
}

TEST_F(UsbPc, AReaderBehindTheCompositeDriverHasItsStorageOnTheGenericDriver) {
    lab::Lab& lab = lab::Lab::current();
    lab.attachDevice({{"kind", "tarn-reader"}, {"id", "tarn-5"}, {"hub", "hub-1"}, {"port", 4}, {"drive", "L"},
                      {"driver", "composite"}, {"serial", "00000C33"}});
    lab.hardware().refresh();
    std::string composite;
    for (const std::string& p : interfacePaths(GUID_DEVINTERFACE_USB_DEVICE))
        if (serviceOf(p, GUID_DEVINTERFACE_USB_DEVICE) == "TESSORA") composite = p;
    ASSERT_NE(composite.find("00000C33"), std::string::npos) << composite;
    EXPECT_TRUE(pathWith(tarn::kFunctionalInterface, "00000C33").empty()) << "no reader driver of its own";
    // Its first child is the mass-storage interface on the generic driver, whose disk is the
    // reader's storage unit.
    DEVINST function = 0, disk = 0;
    ASSERT_EQ(CM_Get_Child(&function, devInstOf(composite, GUID_DEVINTERFACE_USB_DEVICE), 0), CR_SUCCESS);
    char service[64] = {};
    ULONG size = sizeof service;
    ASSERT_EQ(CM_Get_DevNode_Registry_PropertyA(function, CM_DRP_SERVICE, nullptr, service, &size, 0), CR_SUCCESS);
    EXPECT_STREQ(service, "USBSTOR");
    ASSERT_EQ(CM_Get_Child(&disk, function, 0), CR_SUCCESS);
    EXPECT_NE(hardwareIdOf(disk).find("Tarn"), std::string::npos) << hardwareIdOf(disk);
    EXPECT_EQ(GetDriveTypeA("L:\\"), static_cast<UINT>(DRIVE_REMOVABLE));
}

TEST_F(UsbPc, AReaderAttachedByAnotherProcessArrivesAsAUsbDeviceThenAsAReader) {
    ArrivalWindow window({GUID_DEVINTERFACE_USB_DEVICE, tarn::kFunctionalInterface});
    const std::string tool = testsupport::binPath("zelfin-lab") + " ";
    const std::string lab = lab::Lab::current().root().string();
    const auto attached =
        testsupport::runCommand(tool + "attach " + lab + " tarn-reader --hub hub-1 --port 4 --serial 00C0FFEE --drive none");
    ASSERT_EQ(attached.exitCode, 0) << attached.output;
    ASSERT_FALSE(window.waitFor(tarn::kFunctionalInterface).empty());
    std::vector<std::string> order;
    for (const Heard& h : heard())
        if (h.name.find("00C0FFEE") != std::string::npos)
            order.push_back(IsEqualGUID(h.cls, tarn::kFunctionalInterface) ? "reader" : "usb");
    EXPECT_EQ(order, (std::vector<std::string>{"usb", "reader"}));

    std::string id = attached.output;
    while (!id.empty() && (id.back() == '\n' || id.back() == '\r')) id.pop_back();
    ASSERT_EQ(testsupport::runCommand(tool + "detach " + lab + " " + id).exitCode, 0);
    EXPECT_FALSE(window.waitForRemoval(tarn::kFunctionalInterface, kArrivalCapMs, "00C0FFEE").empty());
}

// Disabling the EHCI controller, as a program that wants full speed only does: its devices
// leave, the companion controllers find them after a while, and their drive letters come back
// later still; enabled again, the devices go back to it.
TEST_F(UsbPc, WithoutTheEhciControllerTheCompanionsTakeTheDevicesOver) {
    auto setEhci = [](bool enable) {
        HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_USB_HOST_CONTROLLER, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
        SP_DEVINFO_DATA dev{};
        dev.cbSize = sizeof dev;
        bool done = false;
        for (DWORD i = 0; !done && SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
            char service[32] = {};
            if (!SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_SERVICE, nullptr, reinterpret_cast<BYTE*>(service),
                                                   sizeof service, nullptr) ||
                strcasecmp(service, "usbehci") != 0)
                continue;
            SP_PROPCHANGE_PARAMS p{};
            p.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
            p.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
            p.StateChange = enable ? DICS_ENABLE : DICS_DISABLE;
            p.Scope = DICS_FLAG_GLOBAL;
            done = SetupDiSetClassInstallParamsA(set, &dev, &p.ClassInstallHeader, sizeof p) &&
                   SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &dev);
        }
        SetupDiDestroyDeviceInfoList(set);
        return done;
    };
    // The root hub a reader's USB device hangs under.
    auto rootHubOf = [](const std::string& physicalId) {
        DEVINST node = static_cast<DEVINST>(usbNodeOf(physicalId)), parent = 0;
        while (node && CM_Get_Parent(&parent, node, 0) == CR_SUCCESS) {
            const std::string id = hardwareIdOf(parent);
            if (id.rfind("USB\\ROOT_HUB", 0) == 0) return id;
            node = parent;
        }
        return std::string();
    };
    EXPECT_EQ(rootHubOf("tarn-1").rfind("USB\\ROOT_HUB20", 0), 0u);

    ArrivalWindow window({tarn::kFunctionalInterface, GUID_DEVINTERFACE_VOLUME});
    ASSERT_TRUE(setEhci(false));
    EXPECT_FALSE(window.waitForRemoval(tarn::kFunctionalInterface).empty());
    EXPECT_FALSE(window.waitFor(tarn::kFunctionalInterface).empty());
    const std::string companion = rootHubOf("tarn-1");
    EXPECT_EQ(companion.rfind("USB\\ROOT_HUB&", 0), 0u) << companion;
    // The drive letters come back after the devices.
    EXPECT_FALSE(window.waitFor(GUID_DEVINTERFACE_VOLUME).empty());
    EXPECT_EQ(GetDriveTypeA("G:\\"), static_cast<UINT>(DRIVE_REMOVABLE));

    heard().clear();
    ASSERT_TRUE(setEhci(true));
    EXPECT_FALSE(window.waitFor(tarn::kFunctionalInterface).empty());
    EXPECT_EQ(rootHubOf("tarn-1").rfind("USB\\ROOT_HUB20", 0), 0u);
}

}  // namespace
