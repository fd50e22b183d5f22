// The kernel calls a driver uses on other drivers' devices, made from the test as kernel-mode
// code makes them: a device object by name with its file object, the target-device relation, a
// PDO's properties, a device deleted while still referenced, work items, and a pool that refuses
// memory on demand.
#include <future>
#include <thread>

#include <winsim/winsim.h>

#include "usb_lab.h"

namespace {

using namespace usbtest;
using hwtest::targetOf;

UNICODE_STRING counted(std::u16string& text) {
    return UNICODE_STRING{static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2), text.data()};
}

// A reader's USB device opened by its PDO's name, as a driver opens it.
NTSTATUS openByPdoName(const std::string& physicalId, std::u16string* wide, PFILE_OBJECT* file, PDEVICE_OBJECT* device) {
    const std::string name = pdoName(physicalId);
    *wide = std::u16string(name.begin(), name.end());
    UNICODE_STRING text = counted(*wide);
    return IoGetDeviceObjectPointer(&text, FILE_ALL_ACCESS, file, device);
}

std::u16string textProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property) {
    char16_t buffer[256] = {};
    ULONG length = 0;
    if (!NT_SUCCESS(IoGetDeviceProperty(pdo, property, sizeof buffer, buffer, &length))) return {};
    return std::u16string(buffer, length / 2 ? length / 2 - 1 : 0);
}

TEST_F(UsbPc, ADeviceObjectByNameAndThePhysicalDeviceObjectUnderIt) {
    std::u16string wide;
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(openByPdoName("tarn-1", &wide, &file, &device), STATUS_SUCCESS);
    UNICODE_STRING text;
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->DeviceObject, device) << "the top of the named device's stack";

    PDEVICE_OBJECT pdo = targetOf(device);
    ASSERT_NE(pdo, nullptr);
    EXPECT_EQ(textProperty(pdo, DevicePropertyPhysicalDeviceObjectName), wide);
    // A list of identifiers: each with its terminator, the list with one more.
    char16_t ids[128] = {};
    ULONG length = 0;
    ASSERT_EQ(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, sizeof ids, ids, &length), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(ids), u"USB\\Vid_04cc&Pid_2000&Rev_0100");
    EXPECT_EQ(ids[length / 2 - 1], 0);
    EXPECT_EQ(ids[length / 2 - 2], 0);
    ULONG address = 0;
    ASSERT_EQ(IoGetDeviceProperty(pdo, DevicePropertyAddress, sizeof address, &address, &length), STATUS_SUCCESS);
    EXPECT_EQ(address, 2u) << "its hub port";
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, 4, ids, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_GT(length, 4u) << "the size it needs";
    EXPECT_EQ(IoGetDeviceProperty(device, DevicePropertyAddress, 4, &address, &length), STATUS_INVALID_PARAMETER)
        << "a function driver's device is no PDO";
    ObDereferenceObject(pdo);
    ObDereferenceObject(file);

    for (std::u16string other : {std::u16string(u"\\DosDevices\\G:"), std::u16string(u"\\??\\G:")}) {
        text = counted(other);
        ASSERT_EQ(IoGetDeviceObjectPointer(&text, FILE_ALL_ACCESS, &file, &device), STATUS_SUCCESS) << "the reader's volume";
        ObDereferenceObject(file);
    }
    std::u16string nothing = u"\\Device\\USBPDO-999";
    text = counted(nothing);
    EXPECT_EQ(IoGetDeviceObjectPointer(&text, FILE_ALL_ACCESS, &file, &device), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(UsbPc, ARequestToADeviceThatWentWhileReferencedIsReportedNotDelivered) {
    std::u16string wide;
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(openByPdoName("tarn-1", &wide, &file, &device), STATUS_SUCCESS);
    ArrivalWindow window({tarn::kFunctionalInterface});
    ASSERT_EQ(setPortPower("hub-1", 2, false), STATUS_SUCCESS);
    ASSERT_FALSE(window.waitForRemoval(tarn::kFunctionalInterface).empty()) << "its stack is gone";

    testing::internal::CaptureStderr();
    URB urb{};
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_INTERFACE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN, 0, tarn::kReqFirmwareVersion, 0, 0, nullptr, nullptr, 0, nullptr);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, device, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_NO_SUCH_DEVICE);
    ObDereferenceObject(file);  // nothing is sent to it any more
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("deleted device object"), std::string::npos) << said;
    EXPECT_EQ(iosb.Status, STATUS_NO_SUCH_DEVICE);
}

TEST_F(UsbPc, AWorkItemRunsOnASystemThreadWithItsDeviceKept) {
    PDEVICE_OBJECT top = lab::Lab::current().hardware().referenceTop(usbNodeOf("tarn-1"));
    ASSERT_NE(top, nullptr);
    struct Ran {
        KEVENT done;
        std::thread::id thread;
        PDEVICE_OBJECT device = nullptr;
    } ran;
    KeInitializeEvent(&ran.done, NotificationEvent, FALSE);
    PIO_WORKITEM item = IoAllocateWorkItem(top);
    ASSERT_NE(item, nullptr);
    IoQueueWorkItem(
        item,
        [](PDEVICE_OBJECT device, PVOID context) {
            auto* r = static_cast<Ran*>(context);
            r->thread = std::this_thread::get_id();
            r->device = device;
            KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);
        },
        DelayedWorkQueue, &ran);
    ASSERT_EQ(KeWaitForSingleObject(&ran.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_NE(ran.thread, std::this_thread::get_id());
    EXPECT_EQ(ran.device, top);
    IoFreeWorkItem(item);
    ObDereferenceObject(top);
}

// A device power request to a hub in its low-power state: the hub's driver powers it up, after
// which its ports take power requests, and the requester hears the outcome once.
TEST_F(UsbPc, APowerRequestReachesTheTopOfTheStackAndReportsBack) {
    lab::Lab::current().attachDevice({{"kind", "usb-hub"}, {"id", "hub-2"}, {"port", 2}, {"low-power", 1}});
    lab::Lab::current().hardware().refresh();
    EXPECT_FALSE(NT_SUCCESS(setPortPower("hub-2", 1, true))) << "asleep";
    std::u16string wide;
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT hub = nullptr;
    ASSERT_EQ(openByPdoName("hub-2", &wide, &file, &hub), STATUS_SUCCESS);
    struct Heard {
        KEVENT done;
        int calls = 0;
        NTSTATUS status = STATUS_PENDING;
        UCHAR minor = 0xFF;
    } heard;
    KeInitializeEvent(&heard.done, NotificationEvent, FALSE);
    auto done = [](PDEVICE_OBJECT, UCHAR minor, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io) {
        auto* h = static_cast<Heard*>(context);
        ++h->calls;
        h->minor = minor;
        h->status = io->Status;
        KeSetEvent(&h->done, IO_NO_INCREMENT, FALSE);
    };
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(PoRequestPowerIrp(hub, IRP_MN_START_DEVICE, d0, done, &heard, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(heard.calls, 0);
    ASSERT_EQ(PoRequestPowerIrp(hub, IRP_MN_SET_POWER, d0, done, &heard, nullptr), STATUS_PENDING);
    ASSERT_EQ(KeWaitForSingleObject(&heard.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(heard.calls, 1);
    EXPECT_EQ(heard.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(heard.status, STATUS_SUCCESS);
    EXPECT_EQ(setPortPower("hub-2", 1, true), STATUS_SUCCESS) << "awake";
    ObDereferenceObject(file);
}

TEST(KernelPool, RefusesTheAllocationsItIsToldTo) {
    WinsimFailPoolAllocations(1, 2);
    void* first = ExAllocatePoolWithTag(NonPagedPool, 16, 0x74736554);
    EXPECT_NE(first, nullptr) << "one more succeeds";
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 16, 0x74736554), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 16, 0x74736554), nullptr);
    void* after = ExAllocatePoolWithTag(NonPagedPool, 16, 0x74736554);
    EXPECT_NE(after, nullptr) << "two failures, then memory again";
    ExFreePool(first);
    ExFreePool(after);
    WinsimFailPoolAllocations(0, 0);
}

}  // namespace
