// The helper driver's requests, sent through the client to DMHLP.SYS running in the lab: the
// query record, device ids, pass-through to the selected device, the URB retry rule, and what
// the driver refuses.
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include <lab/physical_device.h>
#include <winsim/winsim.h>
#include <plugin-api/kpl.h>

#include "helper_lab.h"
#include "usb_requests.h"

namespace {

using helpertest::counted;
using helpertest::counter;
using helpertest::HelperPc;
using namespace usbtest;

// The text of the string descriptor the record holds at `offset`.
std::string text(const dmhlp::QueryRecord& r, size_t offset) {
    char out[MAX_PATH];
    tarn::DescriptorText(reinterpret_cast<const uint8_t*>(&r) + offset, dmhlp::kStringDescriptorBytes, out, sizeof out);
    return out;
}

std::string labString(const std::string& id, uint8_t index) {
    const auto s = lab::Lab::current().hardware().physical(id)->usb()->stringDescriptor(index);
    return s ? std::string(s->begin(), s->end()) : std::string();
}

DWORD send(HANDLE h, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned = nullptr) {
    DWORD got = 0;
    SetLastError(0xdeadbeef);
    const BOOL ok = DeviceIoControl(h, code, in, inSize, out, outSize, &got, nullptr);
    if (returned) *returned = got;
    return ok ? 0 : GetLastError();
}

TEST_F(HelperPc, AQueryReadsTheIdentityOfAReaderOnTheMassStorageDriver) {
    const std::vector<uint8_t> device = lab::Lab::current().hardware().physical("tarn-2")->usb()->deviceDescriptor();
    BOOL ok = FALSE;
    const dmhlp::QueryRecord r = query(pdoName("tarn-2"), dmhlp::kQueryFromDeviceList, 1, 0, &ok);
    ASSERT_TRUE(ok) << GetLastError();
    EXPECT_NE(uint32_t{r.deviceObject}, 0u);
    EXPECT_EQ(uint32_t{r.identityRead}, 1u);
    EXPECT_EQ(r.dfuType, 3) << "the upgrade type replaces the caller's FFh";
    // The same answers as the reader gives to the envelope.
    ASSERT_TRUE(tarn::SendDeviceObject(helper, r.deviceObject));
    uint8_t version[2] = {}, type[2] = {};
    ASSERT_TRUE(tarn::ControlRequest(helper, tarn::requests::firmwareVersion(), version, 2));
    ASSERT_TRUE(tarn::ControlRequest(helper, tarn::requests::deviceType(), type, 2));
    EXPECT_EQ(r.versionMajor, version[1]);
    EXPECT_EQ(r.versionMinor, version[0]);
    EXPECT_EQ(r.deviceType, type[0]);
    EXPECT_NE(r.deviceType, 0);
    EXPECT_EQ(int{r.vendorId}, device[8] | device[9] << 8);
    EXPECT_EQ(int{r.productId}, device[10] | device[11] << 8);
    EXPECT_EQ(r.serialIndex, device[16]);
    EXPECT_EQ(text(r, offsetof(dmhlp::QueryRecord, manufacturerLength)), labString("tarn-2", device[14]));
    EXPECT_EQ(text(r, offsetof(dmhlp::QueryRecord, productLength)), labString("tarn-2", device[15]));
    EXPECT_FALSE(text(r, offsetof(dmhlp::QueryRecord, productLength)).empty());
    EXPECT_EQ(uint32_t{query(pdoName("tarn-2")).deviceObject}, uint32_t{r.deviceObject}) << "one device, one id";
    EXPECT_NE(idOf("tarn-1"), uint32_t{r.deviceObject});
}

TEST_F(HelperPc, WhatAQuerySendsAndWhatAFailingStepLeaves) {
    struct Case {
        const char* fault;  // on tarn-2, besides a counter of every request it receives
        uint8_t dfuType;
        bool ok;
        int requests;          // control requests the reader answered (those the fault took aside)
        uint8_t dfuTypeAfter;  // offset 1581, of a query that succeeded
        bool typeRead;         // device type and what follows were filled
    } cases[] = {
        {nullptr, dmhlp::kQueryObjectOnly, true, 0, dmhlp::kQueryObjectOnly, false},
        // D0h, D2h, 08h, 01h, the device descriptor and two strings.
        {nullptr, dmhlp::kQueryFromDeviceList, true, 7, 3, true},
        // An older reader does not answer D2h: its record keeps the caller's byte.
        {"fail:usb:C1.D2", dmhlp::kQueryFromDeviceList, true, 6, dmhlp::kQueryFromDeviceList, true},
        {"fail:usb:C1.08", dmhlp::kQueryFromDeviceList, false, 2, 0, false},
        {"fail:usb:41.D0", dmhlp::kQueryFromDeviceList, false, 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault ? c.fault : "no fault");
        lab::Lab::current().applyFault("tarn-2", "clear");
        if (c.fault) lab::Lab::current().applyFault("tarn-2", c.fault);
        lab::Lab::current().applyFault("tarn-2", counter("usb:any"));
        BOOL ok = FALSE;
        const dmhlp::QueryRecord r = query(pdoName("tarn-2"), c.dfuType, 1, 0, &ok);
        EXPECT_EQ(ok != FALSE, c.ok);
        if (c.ok) {
            EXPECT_NE(uint32_t{r.deviceObject}, 0u);
            EXPECT_EQ(r.dfuType, c.dfuTypeAfter);
            EXPECT_EQ(uint16_t{r.vendorId} != 0, c.typeRead);
        } else {
            // A failed request returns no bytes: the caller keeps the record it sent.
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
            EXPECT_EQ(uint32_t{r.deviceObject}, 0u);
        }
        EXPECT_EQ(counted("tarn-2", "usb:any"), c.requests);
    }
}

TEST_F(HelperPc, MalformedQueriesAreRefused) {
    dmhlp::QueryRecord r;
    tarn::PrepareQuery(&r, pdoName("tarn-2").c_str(), 1, 0, dmhlp::kQueryFromDeviceList);
    dmhlp::QueryRecord bad = r;
    EXPECT_EQ(send(helper, tarn::kIoctlDmhlpQueryDfuCapab, &bad, sizeof bad - 1, &bad, sizeof bad), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(send(helper, tarn::kIoctlDmhlpQueryDfuCapab, &bad, sizeof bad, &bad, sizeof bad - 1), ERROR_INVALID_PARAMETER);
    bad.size = 1582;
    EXPECT_EQ(send(helper, tarn::kIoctlDmhlpQueryDfuCapab, &bad, sizeof bad, &bad, sizeof bad), ERROR_INVALID_PARAMETER);
    bad = r;
    std::memset(bad.deviceName, 'A', sizeof bad.deviceName);
    EXPECT_EQ(send(helper, tarn::kIoctlDmhlpQueryDfuCapab, &bad, sizeof bad, &bad, sizeof bad), ERROR_INVALID_PARAMETER)
        << "a name without its terminator";
    BOOL ok = TRUE;
    EXPECT_EQ(uint32_t{query("\\Device\\NoSuchDevice", dmhlp::kQueryFromDeviceList, 1, 0, &ok).deviceObject}, 0u);
    EXPECT_FALSE(ok);
    EXPECT_EQ(send(helper, 0x221C1C, &r, sizeof r, &r, sizeof r), ERROR_INVALID_PARAMETER) << "an unknown code";
}

TEST_F(HelperPc, PassThroughGoesToTheSelectedDevice) {
    const uint32_t id = idOf("tarn-2");
    ASSERT_TRUE(tarn::SendDeviceObject(helper, id));
    uint8_t type = 0;
    ASSERT_TRUE(tarn::ControlRequest(helper, tarn::requests::upgradeType(), &type, 1));
    EXPECT_EQ(type, 3);

    // What comes back: the header, plus the data of a request from the device.
    tarn::EnvelopeBuffer e = tarn::EnvelopeBuffer::control(tarn::requests::firmwareVersion());
    DWORD returned = 0;
    ASSERT_EQ(send(helper, tarn::kIoctlUrbPassThrough, e.bytes(), 29, e.bytes(), 29, &returned), 0u);
    EXPECT_EQ(returned, 28u);
    EXPECT_EQ(uint32_t{e.header().ntStatus}, 0u);

    struct Bad {
        const char* what;
        uint8_t kind;
        uint32_t direction;
        uint16_t wLength;
        DWORD in, out;
    } bad[] = {
        {"a bulk transfer", tarn::kKindBulk, tarn::kDirectionIn, 2, 29, 29},
        {"a pipe reset", tarn::kKindPipeReset, tarn::kDirectionIn, 0, 27, 27},
        {"data beyond the output", tarn::kKindControl, tarn::kDirectionIn, 200, 29, 29},
        {"data beyond the input", tarn::kKindControl, tarn::kDirectionOut, 200, 29, 300},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.what);
        std::vector<uint8_t> buffer(300, 0);
        tarn::Envelope h{};
        h.kind = b.kind;
        h.urbFunction = tarn::kUrbVendorInterface;
        h.direction = b.direction;
        h.bmRequestType = tarn::kVendorIn;
        h.bRequest = tarn::kReqFirmwareVersion;
        h.wLength = b.wLength;
        std::memcpy(buffer.data(), &h, sizeof h);
        ASSERT_EQ(send(helper, tarn::kIoctlUrbPassThrough, buffer.data(), b.in, buffer.data(), b.out, &returned), 0u)
            << "the envelope tells what went wrong";
        std::memcpy(&h, buffer.data(), sizeof h);
        EXPECT_EQ(uint32_t{h.ntStatus}, static_cast<uint32_t>(STATUS_INVALID_PARAMETER));
        EXPECT_EQ(returned, tarn::kEnvelopeHeader);
    }
    uint8_t tiny[20] = {};
    EXPECT_EQ(send(helper, tarn::kIoctlUrbPassThrough, tiny, sizeof tiny, tiny, sizeof tiny), ERROR_INVALID_PARAMETER);
}

TEST_F(HelperPc, DeviceIdsThatAreUnknownOrStaleAreRefused) {
    const uint32_t id = idOf("tarn-2");
    ASSERT_NE(id, 0u);
    for (uint32_t unknown : {0u, id + 1000, 0xFFFFFFFFu}) {
        SCOPED_TRACE(unknown);
        for (DWORD code : {tarn::kIoctlDmhlpDetach, tarn::kIoctlDmhlpCyclePort, tarn::kIoctlDmhlpDetachAndCycle,
                           tarn::kIoctlDmhlpResetDevice, tarn::kIoctlDmhlpSendDeviceObject})
            EXPECT_EQ(send(helper, code, &unknown, sizeof unknown, nullptr, 0), ERROR_INVALID_PARAMETER) << std::hex << code;
    }
    uint16_t shortId = static_cast<uint16_t>(id);
    EXPECT_EQ(send(helper, tarn::kIoctlDmhlpResetDevice, &shortId, sizeof shortId, nullptr, 0), ERROR_INVALID_PARAMETER);

    // The reader re-enumerates: the id it had names a device that is gone.
    ArrivalWindow window({GUID_DEVINTERFACE_USB_DEVICE});
    const std::string before = pdoName("tarn-2");
    ASSERT_TRUE(tarn::CyclePort(helper, id)) << GetLastError();
    ASSERT_FALSE(window.waitFor(GUID_DEVINTERFACE_USB_DEVICE).empty());
    ASSERT_NE(pdoName("tarn-2"), before);
    EXPECT_EQ(send(helper, tarn::kIoctlDmhlpSendDeviceObject, const_cast<uint32_t*>(&id), sizeof id, nullptr, 0),
              ERROR_INVALID_PARAMETER);
    EXPECT_NE(idOf("tarn-2"), id) << "the new node gets an id of its own";

    // Ids belong to the open handle: after it is closed they are unknown.
    const uint32_t fresh = idOf("tarn-2");
    tarn::UnloadHelperDriver();
    ASSERT_EQ(tarn::LoadHelperDriver(&tarn::helperHandle(), dmhlp::kImageName, dmhlp::kServiceName), 0);
    helper = tarn::helperHandle();
    EXPECT_FALSE(tarn::SendDeviceObject(helper, fresh));
}

// A detach sends the reader into upgrade mode; the detach-and-cycle request cycles its port only
// after a detach that went through.
TEST_F(HelperPc, ADetachedReaderComesBackInUpgradeMode) {
    for (DWORD code : {tarn::kIoctlDmhlpDetach, tarn::kIoctlDmhlpDetachAndCycle}) {
        SCOPED_TRACE(code);
        hwtest::resetDevices();
        UsbPc::SetUp();
        lab::Lab& lab = lab::Lab::current();
        uint32_t id = idOf("tarn-2");
        lab.applyFault("tarn-2", "fail:usb:21.00:1");
        lab.applyFault("tarn-2", counter("port"));
        EXPECT_EQ(send(helper, code, &id, sizeof id, nullptr, 0), RtlNtStatusToDosError(STATUS_UNSUCCESSFUL))
            << "the detach stalls";
        EXPECT_EQ(counted("tarn-2", "port"), 0) << "no port cycle after a failed detach";

        ArrivalWindow window({tarn::kUpgradeInterface});
        EXPECT_EQ(send(helper, code, &id, sizeof id, nullptr, 0), 0u)
            << "the lab's reader leaves at the detach: the cycle after it finds nothing left to do";
        EXPECT_FALSE(window.waitFor(tarn::kUpgradeInterface).empty());
    }
}

TEST_F(HelperPc, AHookWithoutItsFlagIsRefused) {
    uint16_t flag = 1;
    EXPECT_EQ(send(helper, tarn::kIoctlDmhlpHookAddDevice, &flag, sizeof flag, nullptr, 0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(send(helper, tarn::kIoctlDmhlpHookAddDevice, nullptr, 0, nullptr, 0), ERROR_INVALID_PARAMETER);
}

TEST_F(HelperPc, AResetThatFailsIsLogged) {
    const uint32_t id = idOf("tarn-2");
    EXPECT_NE(tarn::ResetHelperDevice(helper, id), 0);
    EXPECT_TRUE(testsupport::logged().empty()) << testsupport::allLogged();
    lab::Lab::current().applyFault("tarn-2", "fail:port:1");
    EXPECT_EQ(tarn::ResetHelperDevice(helper, id), 0);
    ASSERT_EQ(testsupport::logged().size(), 1u);
    EXPECT_EQ(testsupport::messageOf(testsupport::logged()[0]), "IOCTL_DMHLP_RESET_DEVICE failed. Error: 1fh.");
    EXPECT_EQ(testsupport::logged()[0].rfind("kpltarn(", 0), 0u);
    EXPECT_EQ(tarn::ResetHelperDevice(helper, 0), 0) << "an entry without a device object still sends the request";
    EXPECT_EQ(testsupport::messageOf(testsupport::logged().back()), "IOCTL_DMHLP_RESET_DEVICE failed. Error: 57h.");
}

// The retry rule of every URB the driver sends: the retry count and the data-error switch come
// with the last query.
TEST_F(HelperPc, AFailingUrbIsTriedAgainWithinTheRetryCount) {
    struct Case {
        uint32_t retries, retryDataError;
        const char* fault;  // hits the firmware version request 20 times at most
        int sent;
    } cases[] = {
        {2, 0, "usbstatus:usb:C1.01:C0000011", 3},
        {2, 0, "fail:usb:C1.01", 1},  // a stall
        {2, 0, "ntstatus:usb:C1.01:C00002B6", 1},
        {2, 0, "ntstatus:usb:C1.01:C000009D", 1},
        {2, 0, "ntstatus:usb:C1.01:C000009C", 1},
        {2, 1, "ntstatus:usb:C1.01:C000009C", 3},
        {0, 0, "usbstatus:usb:C1.01:C0000011", 11},  // no limit: the driver's own budget
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault + std::string(" retries ") + std::to_string(c.retries));
        lab::Lab::current().applyFault("tarn-2", "clear");
        ASSERT_TRUE(tarn::SendDeviceObject(helper, idOf("tarn-2", c.retries, c.retryDataError)));
        lab::Lab::current().applyFault("tarn-2", std::string(c.fault) + ":20");
        uint32_t nt = 0;
        EXPECT_FALSE(tarn::ControlRequest(helper, tarn::requests::firmwareVersion(), nullptr, 0, &nt));
        EXPECT_NE(nt, 0u);
        const std::vector<std::string> left = helpertest::faultsOf("tarn-2");
        ASSERT_EQ(left.size(), 1u);
        EXPECT_EQ(left[0], std::string(c.fault) + ":" + std::to_string(20 - c.sent));
    }
}

// Each attempt asks for what the caller asked for: the device below writes its status and the
// bytes it moved into the URB of a failed attempt.
TEST_F(HelperPc, ARetriedUrbAsksAgainForTheWholeRequest) {
    ASSERT_TRUE(tarn::SendDeviceObject(helper, idOf("tarn-2", 2)));
    uint8_t expected[2] = {};
    ASSERT_TRUE(tarn::ControlRequest(helper, tarn::requests::firmwareVersion(), expected, 2));
    lab::Lab::current().applyFault("tarn-2", "usbstatus:usb:C1.01:C0000011:2");
    uint8_t version[2] = {0xEE, 0xEE};
    ASSERT_TRUE(tarn::ControlRequest(helper, tarn::requests::firmwareVersion(), version, 2));
    EXPECT_EQ(std::vector<uint8_t>(version, version + 2), std::vector<uint8_t>(expected, expected + 2));
    EXPECT_TRUE(helpertest::faultsOf("tarn-2").empty()) << "both failures were used up by the retries";
}

// Without memory for its URB a request sends nothing: a pass-through says so in its envelope, a
// detach with its own status. Before the URB each request takes two blocks of the pool: the
// converted name its id is checked by, and the answer of the stack to the target relation.
TEST_F(HelperPc, WithoutMemoryForItsUrbARequestSendsNothing) {
    const uint32_t id = idOf("tarn-2");
    ASSERT_TRUE(tarn::SendDeviceObject(helper, id));
    lab::Lab::current().applyFault("tarn-2", counter("usb:any"));
    WinsimFailPoolAllocations(2, 1);
    uint32_t nt = 0;
    EXPECT_FALSE(tarn::ControlRequest(helper, tarn::requests::upgradeType(), nullptr, 0, &nt));
    EXPECT_EQ(nt, static_cast<uint32_t>(STATUS_INSUFFICIENT_RESOURCES));
    WinsimFailPoolAllocations(2, 1);
    EXPECT_FALSE(tarn::DetachDevice(helper, id));
    EXPECT_EQ(GetLastError(), RtlNtStatusToDosError(STATUS_NO_MEMORY));
    WinsimFailPoolAllocations(0, 0);
    EXPECT_EQ(counted("tarn-2", "usb:any"), 0);
    uint8_t type = 0;
    EXPECT_TRUE(tarn::ControlRequest(helper, tarn::requests::upgradeType(), &type, 1));
}

// The plug-in's transfer thread and its power-cycle thread share the handle: requests from two
// threads at once each get their own answer.
TEST_F(HelperPc, RequestsFromTwoThreadsAtOnce) {
    const std::string reader = pdoName("tarn-2");
    const std::string hub = pdoName("hub-1");
    auto queries = std::async(std::launch::async, [&] {
        int good = 0;
        for (int i = 0; i < 40; ++i) {
            dmhlp::QueryRecord r;
            tarn::PrepareQuery(&r, reader.c_str(), 1, 0, dmhlp::kQueryFromDeviceList);
            good += tarn::QueryDevice(helper, &r) && r.dfuType == 3;
        }
        return good;
    });
    auto passes = std::async(std::launch::async, [&] {
        int good = 0;
        for (int i = 0; i < 40; ++i) {
            uint8_t type = 0;
            good += tarn::SendDeviceObject(helper, idOf("tarn-2")) &&
                    tarn::ControlRequest(helper, tarn::requests::upgradeType(), &type, 1) && type == 3 &&
                    tarn::SetPortPower(helper, hub.c_str(), 4, true);
        }
        return good;
    });
    EXPECT_EQ(queries.get(), 40);
    EXPECT_EQ(passes.get(), 40);
}

TEST_F(HelperPc, AScsiRequestGoesToTheVolumeOfItsDriveLetter) {
    auto inquiry = [](HANDLE h, UCHAR status, DWORD size, std::vector<uint8_t>* data) {
        struct {
            SCSI_PASS_THROUGH_DIRECT block;
            uint8_t sense[32];
        } r{};
        data->assign(36, 0);
        r.block.Length = sizeof r.block;
        r.block.ScsiStatus = status;
        r.block.CdbLength = 6;
        r.block.SenseInfoLength = sizeof r.sense;
        r.block.SenseInfoOffset = sizeof r.block;
        r.block.DataIn = SCSI_IOCTL_DATA_IN;
        r.block.DataTransferLength = 36;
        r.block.TimeOutValue = 10;
        r.block.DataBuffer = data->data();
        r.block.Cdb[0] = 0x12;
        r.block.Cdb[4] = 36;
        DWORD returned = 0;
        SetLastError(0xdeadbeef);
        const BOOL ok = DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH_DIRECT, &r, size, &r, size, &returned, nullptr);
        return ok ? 0 : GetLastError();
    };
    HANDLE volume = CreateFileA("\\\\.\\E:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    std::vector<uint8_t> direct, helped;
    ASSERT_EQ(inquiry(volume, 0, sizeof(SCSI_PASS_THROUGH_DIRECT) + 32, &direct), 0u);
    CloseHandle(volume);
    ASSERT_EQ(inquiry(helper, 'E', sizeof(SCSI_PASS_THROUGH_DIRECT) + 32, &helped), 0u);
    EXPECT_EQ(helped, direct);
    EXPECT_NE(direct[8], 0) << "a vendor identification came";

    std::vector<uint8_t> none;
    EXPECT_EQ(inquiry(helper, 0, sizeof(SCSI_PASS_THROUGH_DIRECT) + 32, &none), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(inquiry(helper, 'e', sizeof(SCSI_PASS_THROUGH_DIRECT) + 32, &none), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(inquiry(helper, 'E', sizeof(SCSI_PASS_THROUGH_DIRECT) - 1, &none), ERROR_INVALID_PARAMETER);
    EXPECT_NE(inquiry(helper, 'Q', sizeof(SCSI_PASS_THROUGH_DIRECT) + 32, &none), 0u) << "no drive Q:";
}

}  // namespace
