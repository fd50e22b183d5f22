// The plug-in's USB requests against the lab's readers: control requests in the envelope, the
// descriptor request, and vendor SCSI commands over the bulk-only transport of a KV7 reader of
// type 9 in upgrade mode, with the ways that transport goes wrong.
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include <protocol/kv7.h>

#include "usb_lab.h"
#include "usb_requests.h"

namespace {

using namespace usbtest;

constexpr const char* kReader = "kv7-9";

class Type9Pc : public UsbPc {
protected:
    void SetUp() override {
        UsbPc::SetUp();
        lab::Lab& lab = lab::Lab::current();
        lab.attachDevice({{"kind", "kv7-reader"}, {"id", kReader}, {"port", 3}, {"dfu-type", 9}, {"serial", "9B9B9B9B"},
                          {"drive", "none"}});
        lab.hardware().refresh();
        ArrivalWindow arrivals({tarn::kUpgradeInterface});
        HANDLE own = open(pathWith(tarn::kFunctionalInterface, "9B9B9B9B"));
        ASSERT_TRUE(tarn::ControlRequest(own, tarn::requests::kv7PrepareForDfu()));
        CloseHandle(own);
        const std::string path = arrivals.waitFor(tarn::kUpgradeInterface);
        ASSERT_FALSE(path.empty());
        boot = open(path);
        ASSERT_NE(boot, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        CloseHandle(boot);
        UsbPc::TearDown();
    }

    // The 64-byte block read of a type 9 reader in upgrade mode.
    int32_t readBlock(std::vector<uint8_t>* data, uint32_t* nt = nullptr, uint8_t lun = 0) {
        data->assign(64, 0xEE);
        SCSI_PASS_THROUGH_DIRECT r{};
        r.Length = sizeof r;
        r.CdbLength = 6;
        r.Lun = lun;
        r.DataIn = SCSI_IOCTL_DATA_IN;
        r.DataTransferLength = 64;
        r.TimeOutValue = 10;
        r.DataBuffer = data->data();
        const uint8_t cdb[6] = {kv7::kOpReadBlock, kv7::kReadBlockSub, 0x01, 0x00, 64, 0};
        std::memcpy(r.Cdb, cdb, sizeof cdb);
        uint32_t ntStatus = 0, usbStatus = 0;
        const int32_t result = tarn::BulkOnlyCommand(boot, &r, &ntStatus, &usbStatus);
        if (nt) *nt = ntStatus;
        data->resize(r.DataTransferLength);
        return result;
    }

    HANDLE boot = INVALID_HANDLE_VALUE;
};

TEST_F(Type9Pc, AVendorCommandTravelsInBulkOnlyWrappers) {
    std::vector<uint8_t> first, again;
    ASSERT_EQ(readBlock(&first), 1);
    EXPECT_EQ(first.size(), 64u);
    ASSERT_EQ(readBlock(&again), 1);
    EXPECT_EQ(again, first);
    EXPECT_EQ(tarn::BulkOnlyCommand(INVALID_HANDLE_VALUE, nullptr, nullptr, nullptr), 0);
}

// Whatever goes wrong, the status wrapper is still read so that the next command finds device
// and pipes in step; only a whole data phase with a good, meaningful wrapper counts.
TEST_F(Type9Pc, ACommandFailsUnlessDataAndStatusAreWhole) {
    struct Case {
        const char* fault;
        int32_t result;
        size_t moved;
    } cases[] = {
        {"fail:bulk:in:1", 0, 64},   // the data phase stalls: lost, its pipe reset
        {"short:E402:10:1", 0, 10},  // what arrived is copied, the command still failed
        {"csw:E402:12:1", 1, 64},    // the status comes whole on the second read
        {"csw:E402:14:1", 0, 64},
        {"csw:E402:tag:1", 0, 64},   // a wrapper of another command
        {"fail:E402:1", 0, 0},       // status 1, and no data with it
        {"csw:E402:phase:1", 0, 64}, // status 2
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        lab::Lab::current().applyFault(kReader, c.fault);
        std::vector<uint8_t> data;
        EXPECT_EQ(readBlock(&data), c.result);
        EXPECT_EQ(data.size(), c.moved);
        ASSERT_EQ(readBlock(&data), 1) << "the next command starts afresh";
    }
}

TEST_F(Type9Pc, ControlAndDescriptorRequestsOfTheDrivers) {
    // The reader on its own driver (tarn-1): identity through the envelope and the descriptor
    // request.
    HANDLE h = open(pathWith(tarn::kFunctionalInterface, "12345678"));
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    uint8_t version[2] = {};
    ASSERT_TRUE(tarn::ControlRequest(h, tarn::requests::firmwareVersion(), version, sizeof version));
    EXPECT_EQ(version[1], 1);
    EXPECT_EQ(version[0], 5);
    uint8_t device[tarn::kDeviceDescriptorRequest] = {};
    ASSERT_TRUE(tarn::GetDescriptor(h, tarn::kDescriptorDevice, 0, device, sizeof device));
    EXPECT_EQ(device[1], 1);
    uint8_t serial[tarn::kStringDescriptorRequest] = {};
    ASSERT_TRUE(tarn::GetDescriptor(h, tarn::kDescriptorString, device[16], serial, sizeof serial));
    char text[MAX_PATH];
    tarn::DescriptorText(serial, sizeof serial, text, sizeof text);
    EXPECT_STREQ(text, "12345678");
    tarn::DescriptorText(serial, 6, text, sizeof text);
    EXPECT_STREQ(text, "12") << "no more text than the buffer holds";
    EXPECT_FALSE(tarn::GetDescriptor(h, tarn::kDescriptorString, 1, serial, 3));

    uint32_t nt = 0;
    lab::Lab::current().applyFault("tarn-1", "ntstatus:usb:C1.01:C00002B6:1");
    EXPECT_FALSE(tarn::ControlRequest(h, tarn::requests::firmwareVersion(), version, sizeof version, &nt));
    EXPECT_EQ(nt, tarn::kStatusDeviceRemoved);
    CloseHandle(h);
}

}  // namespace
