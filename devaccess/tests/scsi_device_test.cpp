// Opening devices and running commands on them, through either interface, against the lab's
// readers: what arrives at the reader, what comes back, and what a failure leaves in the record.
#include <protocol/reader_commands.h>
#include <devaccess/scsi.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "reader_lab.h"
#include "scsi_internal.h"

namespace {

using readerlab::memory;
using readerlab::setPc;
using readerlab::typicalDevices;

// The list of the lab as it is now, released at the end of the test.
class DeviceList {
public:
    DeviceList() { first_ = ScsiCreateDeviceInfoList(&options_); }
    ~DeviceList() {
        for (ScsiDevice* d = first_; d; d = d->next) ScsiCloseDevice(d);
        ScsiDestroyDeviceInfoList(first_);
    }
    ScsiDevice* byInquiry(const char* start) const {
        for (ScsiDevice* d = first_; d; d = d->next)
            if (std::strncmp(d->inquiry, start, std::strlen(start)) == 0) return d;
        return nullptr;
    }
    ScsiDevice* first() const { return first_; }

private:
    ScsiListOptions options_{};
    ScsiDevice* first_ = nullptr;
};

// The reader at E: (target 2) on either family.
class Interfaces : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { setPc(typicalDevices(), GetParam()); }
    void TearDown() override { setPc(typicalDevices()); }
};

TEST_P(Interfaces, ReadyMadeCommandsReachTheReaderAndItsFlash) {
    DeviceList list;
    ScsiDevice* reader = list.byInquiry("SCSI    Secure");
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->interfaceType, GetParam() ? kScsiInterfaceAspi : kScsiInterfaceVolume);
    ASSERT_EQ(ScsiOpenDevice(reader), 1);

    char inquiry[kScsiInquiryStringSize];
    ASSERT_EQ(ScsiGetInquiryString(reader, inquiry), 1);
    EXPECT_STREQ(inquiry, "SCSI    Secure Reader   1.00");

    const std::vector<uint8_t> flash = memory("reader-e");
    uint8_t features[6], controller[16];
    ASSERT_EQ(ScsiDiagxGetFeatures(reader, features), 1);
    ASSERT_EQ(ScsiDiagxQueryController(reader, controller), 1);
    EXPECT_EQ(features[readercmd::kFeaturesFeature], 0x01) << "the factory image's feature";
    EXPECT_EQ(controller[readercmd::kQueryControllerMajor], 1);
    EXPECT_EQ(controller[readercmd::kQueryControllerMinor], 0);

    std::vector<uint8_t> all(65536);
    ASSERT_EQ(ScsiRovaUpload(reader, all.data(), 16, 0), 1);
    EXPECT_EQ(all, flash);
    std::vector<uint8_t> two(2 * 4096);
    ASSERT_EQ(ScsiRovaUpload(reader, two.data(), 2, 14), 1);
    EXPECT_TRUE(std::equal(two.begin(), two.end(), flash.begin() + 14 * 4096)) << "blocks 14 and 15";

    // A download takes its blocks from the image at the first block's place.
    std::vector<uint8_t> image(65536);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + i / 4096);
    ASSERT_EQ(ScsiRovaDownload(reader, image.data(), 15, 1), 1);
    const std::vector<uint8_t> now = memory("reader-e");
    EXPECT_TRUE(std::equal(now.begin(), now.begin() + 4096, flash.begin())) << "block 0 untouched";
    EXPECT_TRUE(std::equal(now.begin() + 4096, now.end(), image.begin() + 4096));
    EXPECT_EQ(ScsiCloseDevice(reader), 1);
}

TEST_P(Interfaces, FailedCommandsLeaveTheirSenseInTheRecord) {
    lab::Lab::current().applyFault("reader-e", "sense:FD0080:05/24/00");
    DeviceList list;
    ScsiDevice* reader = list.byInquiry("SCSI    Secure");
    ASSERT_NE(reader, nullptr);
    ASSERT_EQ(ScsiOpenDevice(reader), 1);
    uint8_t features[6] = {};
    EXPECT_EQ(ScsiDiagxGetFeatures(reader, features), 0);
    EXPECT_EQ(reader->sense[0], 0x70);
    EXPECT_EQ(reader->sense[2], 0x05);
    EXPECT_EQ(reader->sense[12], 0x24);
    // ASPI hands over its 14 sense bytes, the pass-through what the driver stored (18 here).
    const size_t kept = GetParam() ? SENSE_LEN : 18;
    EXPECT_EQ(reader->sense[7], 10);
    for (size_t i = kept; i < kScsiSenseSize; ++i) EXPECT_EQ(reader->sense[i], 0) << i;

    // The next command starts with a clean record.
    uint8_t controller[16];
    ASSERT_EQ(ScsiDiagxQueryController(reader, controller), 1);
    EXPECT_EQ(std::vector<uint8_t>(reader->sense, reader->sense + kScsiSenseSize), std::vector<uint8_t>(kScsiSenseSize));

    // A reader pulled out while a command runs.
    lab::Lab::current().applyFault("reader-e", "unplug:FD0050");
    EXPECT_EQ(ScsiDiagxQueryController(reader, controller), 0);
    if (!GetParam()) {
        EXPECT_EQ(reader->lastError, static_cast<uint32_t>(ERROR_DEV_NOT_EXIST));
    }
}

TEST_P(Interfaces, ShortReadsGiveTheCallerExactlyItsBytes) {
    DeviceList list;
    ScsiDevice* reader = list.byInquiry("SCSI    Secure");
    ASSERT_NE(reader, nullptr);
    ASSERT_EQ(ScsiOpenDevice(reader), 1);
    for (uint8_t length : {1, 5, 6, 7}) {
        uint8_t buffer[16];
        std::memset(buffer, 0xEE, sizeof buffer);
        ASSERT_EQ(ScsiInquiry(reader, buffer, length), 1) << int(length);
        EXPECT_EQ(buffer[0], 0x00) << "a direct-access device";
        for (size_t i = length; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], 0xEE) << int(length) << " byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Families, Interfaces, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "NineXAspi" : "NtVolume"; });

TEST(ScsiDevice, OperationsRefuseRecordsThatAreNotDevices) {
    setPc(typicalDevices());
    DeviceList list;
    ScsiDevice* reader = list.byInquiry("SCSI    Secure");
    ASSERT_NE(reader, nullptr);
    ScsiDevice foreign;
    std::memcpy(&foreign, reader, sizeof foreign);
    foreign.tag = 0x12345678;
    uint8_t buffer[65536];
    char text[kScsiInquiryStringSize];
    const uint8_t cdb[6] = {0x12, 0, 0, 0, 36, 0};
    for (ScsiDevice* d : {static_cast<ScsiDevice*>(nullptr), &foreign}) {
        const std::vector<int32_t> results = {ScsiOpenDevice(d),
                                              ScsiSetAddress(d, 1, 2, 3),
                                              ScsiSendCdb(d, 6, cdb, 36, buffer, kScsiDataIn),
                                              ScsiInquiry(d, buffer, 36),
                                              ScsiGetInquiryString(d, text),
                                              ScsiDiagxGetFeatures(d, buffer),
                                              ScsiDiagxQueryController(d, buffer),
                                              ScsiRovaUpload(d, buffer, 1, 0),
                                              ScsiRovaDownload(d, buffer, 1, 0),
                                              ScsiCloseDevice(d)};
        EXPECT_EQ(results, std::vector<int32_t>(results.size(), 0));
    }
    EXPECT_EQ(foreign.flags, 0u);
    EXPECT_EQ(foreign.pathId, 0);
    EXPECT_EQ(std::memcmp(foreign.inquiry, reader->inquiry, sizeof foreign.inquiry), 0) << "nothing touched";
    // A record that is not open, and commands the library cannot send.
    EXPECT_EQ(ScsiSendCdb(reader, 6, cdb, 36, buffer, kScsiDataIn), 0);
    EXPECT_EQ(reader->lastError, static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    ASSERT_EQ(ScsiOpenDevice(reader), 1);
    uint8_t longCdb[17] = {0x12};
    EXPECT_EQ(ScsiSendCdb(reader, 17, longCdb, 36, buffer, kScsiDataIn), 0);
    EXPECT_EQ(ScsiSendCdb(reader, 0, cdb, 36, buffer, kScsiDataIn), 0);
    EXPECT_EQ(ScsiSendCdb(reader, 6, cdb, 36, nullptr, kScsiDataIn), 0);
    EXPECT_EQ(ScsiSendCdb(reader, 6, cdb, 36, buffer, 2), 0);
    EXPECT_EQ(ScsiRovaDownload(reader, nullptr, 1, 1), 0);
    EXPECT_EQ(ScsiSendCdb(reader, 6, cdb, 36, buffer, kScsiDataIn), 1);
}

TEST(ScsiDevice, OpeningTwiceOpensOnceAndClosingTwiceClosesOnce) {
    for (bool nineX : {false, true}) {
        setPc(typicalDevices(), nineX);
        DeviceList list;
        ScsiDevice* reader = list.byInquiry("SCSI    Secure");
        ASSERT_NE(reader, nullptr);
        ASSERT_EQ(ScsiOpenDevice(reader), 1);
        const HANDLE first = reader->handle;
        EXPECT_EQ(reader->flags, kScsiFlagOpen);
        ASSERT_EQ(ScsiOpenDevice(reader), 1);
        EXPECT_EQ(reader->handle, first) << "no second open";
        EXPECT_EQ(ScsiCloseDevice(reader), 1);
        EXPECT_EQ(reader->flags, 0u);
        EXPECT_EQ(ScsiCloseDevice(reader), 1);
        EXPECT_EQ(reader->flags, 0u);
        if (nineX) {
            EXPECT_EQ(reader->handle, INVALID_HANDLE_VALUE) << "a closed ASPI device keeps no library";
        } else {
            EXPECT_FALSE(CloseHandle(first)) << "the volume handle was closed, and only once";
        }
        ASSERT_EQ(ScsiOpenDevice(reader), 1) << "open again after a close";
        EXPECT_EQ(ScsiCloseDevice(reader), 1);
    }
    setPc(typicalDevices(), true, false);
    ScsiDevice* probe = scsi::allocDevice(kScsiInterfaceAspi);
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(ScsiOpenDevice(probe), 0) << "no WNASPI32.DLL";
    EXPECT_EQ(probe->flags, 0u);
    scsi::freeDevice(probe);
    setPc(typicalDevices());
}

TEST(ScsiDevice, FormatUnitWaitsThirtySecondsBeforeItGivesUp) {
    setPc(typicalDevices());
    lab::Lab::current().applyFault("reader-e", "stall:04:1");
    DeviceList list;
    ScsiDevice* reader = list.byInquiry("SCSI    Secure");
    ASSERT_NE(reader, nullptr);
    ASSERT_EQ(ScsiOpenDevice(reader), 1);
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const uint8_t format[6] = {0x04, 0, 0, 0, 0, 0};
    EXPECT_EQ(ScsiSendCdb(reader, 6, format, 0, nullptr, kScsiDataOut), 0);
    QueryPerformanceCounter(&end);
    EXPECT_GE((end.QuadPart - start.QuadPart) / frequency.QuadPart, 30) << "lab seconds";
    EXPECT_EQ(reader->lastError, static_cast<uint32_t>(ERROR_SEM_TIMEOUT));
    setPc(typicalDevices());
}

TEST(ScsiDevice, MediaChangeNotificationStaysOffWhileTheHandleIsOpen) {
    setPc(typicalDevices());
    HANDLE held = ScsiDisableMcn('E' - 'A');
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(readerlab::mediaChangeNotification("reader-e"));
    EXPECT_TRUE(readerlab::mediaChangeNotification("reader-f"));
    CloseHandle(held);
    EXPECT_TRUE(readerlab::mediaChangeNotification("reader-e"));
    // A fixed disk takes no such request, yet its volume is open: the caller still gets a handle.
    HANDLE fixed = ScsiDisableMcn('C' - 'A');
    EXPECT_NE(fixed, INVALID_HANDLE_VALUE);
    CloseHandle(fixed);
    for (int32_t index : {'Q' - 'A', -1, 26}) EXPECT_EQ(ScsiDisableMcn(index), INVALID_HANDLE_VALUE) << index;
}

}  // namespace
