// DMHLP.SYS as a service and as a function driver: starting and stopping it through the client,
// the hub requests, and the service switch that makes it the function driver of a reader for one
// start, after which the reader comes back in upgrade mode.
#include <cstring>
#include <string>
#include <vector>

#include <plugin-api/kpl.h>
#include <winsim/usbiodef.h>

#include "helper_lab.h"
#include "usb_requests.h"

namespace {

using helpertest::counted;
using helpertest::counter;
using helpertest::HelperPc;
using namespace usbtest;

DWORD serviceState() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceA(manager, dmhlp::kServiceName, SERVICE_QUERY_STATUS);
    SERVICE_STATUS status{};
    const DWORD state = service && QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return state;
}

std::string nodeService(lab::DevInst node) {
    lab::PropertyValue v;
    return lab::Lab::current().hardware().property(node, SPDRP_SERVICE, &v) == 0 ? v.asText() : std::string();
}

TEST_F(HelperPc, TheServiceIsStartedOnceAndStoppedWithItsHandle) {
    EXPECT_EQ(serviceState(), static_cast<DWORD>(SERVICE_RUNNING));
    HANDLE same = helper;
    EXPECT_EQ(tarn::LoadHelperDriver(&same, dmhlp::kImageName, dmhlp::kServiceName), 0);
    EXPECT_EQ(same, helper) << "an open handle is kept";

    // The control device takes one handle at a time: a second one cannot be had.
    HANDLE second = INVALID_HANDLE_VALUE;
    EXPECT_EQ(tarn::LoadHelperDriver(&second, dmhlp::kImageName, dmhlp::kServiceName), KPL_E_HELPER_START);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);

    EXPECT_EQ(tarn::UnloadHelperDriver(), 0);
    EXPECT_EQ(tarn::helperHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(serviceState(), static_cast<DWORD>(SERVICE_STOPPED)) << "stopped, still registered";
    EXPECT_EQ(tarn::UnloadHelperDriver(), 0);

    // Registered but stopped: started again without registering it anew.
    ASSERT_EQ(tarn::LoadHelperDriver(&tarn::helperHandle(), dmhlp::kImageName, dmhlp::kServiceName), 0);
    EXPECT_EQ(serviceState(), static_cast<DWORD>(SERVICE_RUNNING));
    helper = tarn::helperHandle();
}

TEST_F(HelperPc, LoadingFailsWithTheStatusOfWhatWentWrong) {
    tarn::UnloadHelperDriver();
    HANDLE h = INVALID_HANDLE_VALUE;
    EXPECT_EQ(tarn::LoadHelperDriver(&h, "NOSUCH.SYS", "NOSUCHDRV"), KPL_E_HELPER_START) << "registered, not started";
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);

    lab::Settings settings = lab::Lab::current().settings();
    settings.os.platformId = 1;
    lab::Lab::current().setSettings(settings);
    EXPECT_EQ(tarn::LoadHelperDriver(&h, dmhlp::kImageName, dmhlp::kServiceName), KPL_E_OS_FAMILY);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
}

TEST_F(HelperPc, APortOfAHubIsSwitchedOffAndOnAndAHubPoweredUp) {
    const std::string hub = pdoName("hub-1");
    ASSERT_FALSE(hub.empty());
    ArrivalWindow window({GUID_DEVINTERFACE_USB_DEVICE});
    const std::string pdo = pdoName("tarn-2");
    ASSERT_TRUE(tarn::SetPortPower(helper, hub.c_str(), 3, false)) << GetLastError();
    EXPECT_FALSE(window.waitForRemoval(GUID_DEVINTERFACE_USB_DEVICE).empty()) << "the reader on port 3 lost its power";
    ASSERT_TRUE(tarn::SetPortPower(helper, hub.c_str(), 3, true));
    EXPECT_FALSE(window.waitFor(GUID_DEVINTERFACE_USB_DEVICE).empty());
    EXPECT_NE(pdoName("tarn-2"), pdo) << "enumerated afresh";
    EXPECT_FALSE(pdoName("tarn-2").empty());

    // A hub in its low-power state refuses port power until it is powered up.
    lab::Lab::current().attachDevice({{"kind", "usb-hub"}, {"id", "hub-2"}, {"port", 2}, {"low-power", 1}});
    lab::Lab::current().hardware().refresh();
    const std::string sleepy = pdoName("hub-2");
    ASSERT_FALSE(sleepy.empty());
    uint32_t nt = 0;
    dmhlp::HubPortRequest r{};
    std::snprintf(r.hubName, sizeof r.hubName, "%s", sleepy.c_str());
    r.envelope.urbFunction = tarn::kUrbClassOther;
    r.envelope.bRequest = dmhlp::kHubSetFeature;
    r.envelope.wValue = dmhlp::kHubPortPower;
    r.envelope.wIndex = 1;
    const dmhlp::HubPortRequest powerOn = r;
    EXPECT_FALSE(tarn::HubPortRequest(helper, &r, &nt));
    EXPECT_NE(nt, 0u);
    EXPECT_EQ(tarn::usbCondition(r.envelope.usbStatus), tarn::kUsbStall) << "a stall is not tried again";
    ASSERT_TRUE(tarn::HubPowerUp(helper, sleepy.c_str())) << GetLastError();
    r = powerOn;
    EXPECT_TRUE(tarn::HubPortRequest(helper, &r, &nt));
    EXPECT_EQ(nt, 0u);
}

TEST_F(HelperPc, MalformedHubRequestsAreRefused) {
    dmhlp::HubPortRequest r{};
    std::memset(r.hubName, 'H', sizeof r.hubName);
    DWORD returned = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DeviceIoControl(helper, tarn::kIoctlDmhlpHubPortRequest, &r, sizeof r, &r, sizeof r, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "a name without its terminator";
    EXPECT_FALSE(DeviceIoControl(helper, tarn::kIoctlDmhlpHubPortRequest, &r, 200, &r, 200, &returned, nullptr));

    // A name that leads nowhere: the request goes through, the envelope says why nothing was sent.
    r = {};
    std::snprintf(r.hubName, sizeof r.hubName, "\\Device\\NoSuchHub");
    uint32_t nt = 0;
    EXPECT_FALSE(tarn::HubPortRequest(helper, &r, &nt));
    EXPECT_EQ(nt, static_cast<uint32_t>(STATUS_OBJECT_NAME_NOT_FOUND));

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DeviceIoControl(helper, tarn::kIoctlDmhlpHubPowerUp, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    const std::string tooLong(300, 'H');
    EXPECT_FALSE(tarn::HubPowerUp(helper, tooLong.c_str()));
    EXPECT_FALSE(tarn::HubPowerUp(helper, "\\Device\\NoSuchHub"));
}

// The hook: DMHLP becomes the reader's function driver for one start, switches it to upgrade
// mode, and the reader comes back under its upgrade-mode driver.
TEST_F(HelperPc, AHookedReaderIsDetachedAndItsPortCycled) {
    lab::Lab& lab = lab::Lab::current();
    lab.applyFault("tarn-1", counter("usb:21.00"));
    lab.applyFault("tarn-1", counter("usb:41.D3"));
    lab.applyFault("tarn-1", counter("port"));
    ArrivalWindow window({tarn::kUpgradeInterface});
    ASSERT_TRUE(tarn::HookAddDevice(helper, 0));
    DEVINST node = usbNodeOf("tarn-1");
    const std::string ownService = nodeService(node);
    EXPECT_EQ(tarn::ChangeService(&node, &GUID_DEVINTERFACE_USB_DEVICE, dmhlp::kServiceName, "Tarn Upgrade Helper", 1), 1);
    EXPECT_STREQ(tarn::SavedService(), ownService.c_str());
    EXPECT_EQ(tarn::ChangeServiceBack(&node, &GUID_DEVINTERFACE_USB_DEVICE), 1);
    EXPECT_EQ(nodeService(node), ownService) << "the node gets its own driver again";
    EXPECT_FALSE(window.waitFor(tarn::kUpgradeInterface).empty()) << "back in upgrade mode";
    // The lab counts requests the reader received: the detach came once, D3h never. The lab's
    // reader leaves at the detach itself, so the port cycle that follows finds its port empty
    // and never reaches it.
    EXPECT_EQ(counted("tarn-1", "usb:21.00"), 1);
    EXPECT_EQ(counted("tarn-1", "usb:41.D3"), 0);
    EXPECT_EQ(counted("tarn-1", "port"), 0);
}

TEST_F(HelperPc, AHookedKv7ReaderGetsItsOwnRequestOnly) {
    lab::Lab& lab = lab::Lab::current();
    lab.attachDevice({{"kind", "kv7-reader"}, {"id", "kv7-1"}, {"hub", "hub-1"}, {"port", 4}, {"dfu-type", 7},
                      {"serial", "77770001"}, {"drive", "none"}});
    lab.hardware().refresh();
    lab.applyFault("kv7-1", counter("usb:21.00"));
    lab.applyFault("kv7-1", counter("usb:41.D3"));
    lab.applyFault("kv7-1", counter("port"));
    ArrivalWindow window({GUID_DEVINTERFACE_USB_DEVICE});
    ASSERT_TRUE(tarn::HookAddDevice(helper, 1));
    DEVINST node = usbNodeOf("kv7-1");
    ASSERT_NE(node, 0u);
    const std::string pdo = pdoName("kv7-1");
    EXPECT_EQ(tarn::ChangeService(&node, &GUID_DEVINTERFACE_USB_DEVICE, dmhlp::kServiceName, "Tarn Upgrade Helper", 1), 1);
    EXPECT_EQ(tarn::ChangeServiceBack(&node, &GUID_DEVINTERFACE_USB_DEVICE), 1);
    EXPECT_EQ(counted("kv7-1", "usb:41.D3"), 1);
    EXPECT_EQ(counted("kv7-1", "usb:21.00"), 0);
    EXPECT_EQ(counted("kv7-1", "port"), 0);
    // The restart under the helper is an arrival of its own; the reader's re-enumeration in upgrade
    // mode, which it starts by itself, is the one that brings a new device object.
    std::string now = pdoName("kv7-1");
    for (int i = 0; i < 4 && now == pdo; ++i) {
        heard().clear();
        if ((now = pdoName("kv7-1")) != pdo) break;
        window.waitFor(GUID_DEVINTERFACE_USB_DEVICE);
        now = pdoName("kv7-1");
    }
    EXPECT_NE(now, pdo) << "it re-enumerates by itself";
}

// A reader that ignores the request of the hook keeps the helper as its function driver, which
// passes its requests down and goes with it.
TEST_F(HelperPc, AFunctionDeviceAnswersCapabilitiesPassesPowerAndGoesWithItsReader) {
    ASSERT_TRUE(tarn::HookAddDevice(helper, 1));  // a Tarn reader stalls D3h
    DEVINST node = usbNodeOf("tarn-1");
    ASSERT_EQ(tarn::ChangeService(&node, &GUID_DEVINTERFACE_USB_DEVICE, dmhlp::kServiceName, "Helper", 1), 1);
    const std::string pdo = pdoName("tarn-1");
    std::u16string wide(pdo.begin(), pdo.end());
    UNICODE_STRING name{static_cast<USHORT>(wide.size() * 2), static_cast<USHORT>(wide.size() * 2), wide.data()};
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT top = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &top), STATUS_SUCCESS);
    PDRIVER_OBJECT driver = top->DriverObject;
    const std::u16string driverName(driver->DriverName.Buffer, driver->DriverName.Length / 2);
    EXPECT_EQ(driverName, u"\\Driver\\DMHLPDRV");

    auto send = [&](UCHAR major, UCHAR minor, PDEVICE_CAPABILITIES caps) {
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
        s->MajorFunction = major;
        s->MinorFunction = minor;
        if (caps) s->Parameters.DeviceCapabilities.Capabilities = caps;
        if (major == IRP_MJ_POWER) {
            s->Parameters.Power.Type = DevicePowerState;
            s->Parameters.Power.State.DeviceState = PowerDeviceD0;
        }
        const NTSTATUS status = IoCallDriver(top, irp);
        IoFreeIrp(irp);
        return status;
    };
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    send(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, &caps);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
    EXPECT_EQ(send(IRP_MJ_POWER, IRP_MN_SET_POWER, nullptr), STATUS_SUCCESS) << "answered below";
    EXPECT_EQ(send(IRP_MJ_READ, 0, nullptr), STATUS_NOT_SUPPORTED);
    ObDereferenceObject(file);

    // The driver's devices: its control device and the function devices it made.
    auto devices = [&] {
        int n = 0;
        for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice) ++n;
        return n;
    };
    const int before = devices();
    // The node keeps its own service for its next arrival, as after every switch.
    ASSERT_EQ(tarn::ChangeServiceBack(&node, &GUID_DEVINTERFACE_USB_DEVICE), 1);
    ArrivalWindow window({GUID_DEVINTERFACE_USB_DEVICE});
    lab::Lab::current().applyFault("tarn-1", "unplug");
    EXPECT_FALSE(window.waitForRemoval(GUID_DEVINTERFACE_USB_DEVICE).empty());
    EXPECT_EQ(devices(), before - 1) << "removed with its reader";
}

// ---- the service switch ----------------------------------------------------------------------------

TEST_F(HelperPc, AServiceChangeIsUndoneWithTheValuesItReplaced) {
    DEVINST node = usbNodeOf("tarn-1");
    const std::string own = nodeService(node);
    ASSERT_FALSE(own.empty());
    ASSERT_EQ(tarn::ChangeService(&node, &GUID_DEVINTERFACE_USB_DEVICE, "OTHERSVC", "Other", 0), 1);
    EXPECT_EQ(nodeService(node), "OTHERSVC");
    // The saved values passed straight back: the change overwrites them as it reads the node.
    ASSERT_EQ(tarn::ChangeService(&node, &GUID_DEVINTERFACE_USB_DEVICE, tarn::SavedService(), tarn::SavedDescription(), 0), 1);
    EXPECT_EQ(nodeService(node), own);
    EXPECT_STREQ(tarn::SavedService(), "OTHERSVC");

    // Undone once; a second undo has nothing left to do and must not bring back "OTHERSVC".
    ASSERT_EQ(tarn::ChangeService(&node, &GUID_DEVINTERFACE_USB_DEVICE, "OTHERSVC", "Other", 0), 1);
    EXPECT_EQ(tarn::ChangeServiceBack(&node, &GUID_DEVINTERFACE_USB_DEVICE), 1);
    EXPECT_EQ(tarn::ChangeServiceBack(&node, &GUID_DEVINTERFACE_USB_DEVICE), 1);
    EXPECT_EQ(nodeService(node), own);
}

// A reader behind a composite device is switched as the composite device: that is the node whose
// driver decides what the reader gets.
TEST_F(HelperPc, AReaderBehindACompositeDeviceIsChangedThroughItsParent) {
    lab::Lab& lab = lab::Lab::current();
    lab.attachDevice({{"kind", "tarn-reader"}, {"id", "tarn-3"}, {"hub", "hub-1"}, {"port", 4}, {"driver", "composite"},
                      {"serial", "33330003"}});
    lab.hardware().refresh();
    const lab::DevInst composite = usbNodeOf("tarn-3");
    ASSERT_EQ(nodeService(composite), "TESSORA");
    lab::DevInst storage = 0;
    for (const auto& n : lab.hardware().nodes())
        if (n.present && lab.hardware().physicalIdOf(n.devInst) == "tarn-3" && n.instanceId.find("&MI_00") != std::string::npos)
            storage = n.devInst;
    ASSERT_NE(storage, 0u);
    DEVINST node = storage;
    ASSERT_EQ(tarn::ChangeService(&node, &GUID_DEVINTERFACE_USB_DEVICE, "OTHERSVC", "Other", 0), 1);
    EXPECT_EQ(node, composite) << "the record now names the composite device";
    EXPECT_EQ(nodeService(composite), "OTHERSVC");
    EXPECT_STREQ(tarn::SavedService(), "TESSORA");
    ASSERT_EQ(tarn::ChangeServiceBack(&node, &GUID_DEVINTERFACE_USB_DEVICE), 1);
    EXPECT_EQ(nodeService(composite), "TESSORA");
}

TEST_F(HelperPc, AServiceChangeThatFindsNoDeviceChangesNothing) {
    DEVINST nowhere = 0x7FFF;
    EXPECT_EQ(tarn::ChangeService(&nowhere, &GUID_DEVINTERFACE_USB_DEVICE, "OTHERSVC", "Other", 0), 0);
    ASSERT_FALSE(testsupport::logged().empty());
    EXPECT_EQ(testsupport::messageOf(testsupport::logged().back()), "SetupDiEnumDeviceInterfaces failed. Error: 103h.");
    EXPECT_EQ(testsupport::logged().back().rfind("KRD50N(", 0), 0u);
    DEVINST node = usbNodeOf("tarn-1");
    const std::string own = nodeService(node);
    EXPECT_EQ(tarn::ChangeServiceBack(&node, &GUID_DEVINTERFACE_USB_DEVICE), 1);
    EXPECT_EQ(nodeService(node), own);
}

}  // namespace
