// The Quoll reader as a client reaches it through the Win32 calls: the reader of product type
// 16 on USB, and its storage unit, the Quoll unit, on its drive, whose external firmware is read
// and written whole with the vendor commands through SCSI pass-through; two such readers in one
// PC, and a write that takes longer than the caller waits.
#include <protocol/reader_commands.h>
#include <winsim/ntddscsi.h>

#include "usb_lab.h"

namespace {

using namespace usbtest;

constexpr uint32_t kSize = readercmd::kQuollFirmwareSize;

// The default PC with a Quoll reader on root port 2 (drive Q:).
class QuollPc : public hwtest::DefaultPc {
protected:
    void SetUp() override {
        DefaultPc::SetUp();
        attach("quoll-1", 2, "Q");
    }
    static void attach(const char* id, int port, const char* drive) {
        lab::Lab& lab = lab::Lab::current();
        lab.attachDevice({{"kind", "quoll-reader"}, {"id", id}, {"port", port}, {"drive", drive}});
        lab.hardware().refresh();
        lab.hardware().reenumerate(lab.hardware().root());
    }
    struct Result {
        BOOL ok = FALSE;
        DWORD error = 0;
        UCHAR scsiStatus = 0xFF;
    };
    // One command on the drive's volume, with the time-out the system gives vendor commands.
    static Result command(char drive, const std::vector<uint8_t>& cdb, std::vector<uint8_t>& data, bool in) {
        Result r;
        const std::string path = std::string("\\\\.\\") + drive + ":";
        HANDLE volume = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
        if (volume == INVALID_HANDLE_VALUE) return r;
        SCSI_PASS_THROUGH_DIRECT spt{};
        spt.Length = sizeof spt;
        spt.CdbLength = static_cast<UCHAR>(cdb.size());
        std::copy(cdb.begin(), cdb.end(), spt.Cdb);
        spt.DataIn = in ? SCSI_IOCTL_DATA_IN : SCSI_IOCTL_DATA_OUT;
        spt.DataTransferLength = static_cast<ULONG>(data.size());
        spt.DataBuffer = data.data();
        spt.TimeOutValue = 10;
        DWORD returned = 0;
        SetLastError(0xdeadbeef);
        r.ok = DeviceIoControl(volume, IOCTL_SCSI_PASS_THROUGH_DIRECT, &spt, sizeof spt, &spt, sizeof spt, &returned,
                               nullptr);
        r.error = GetLastError();
        r.scsiStatus = spt.ScsiStatus;
        CloseHandle(volume);
        return r;
    }
    static std::vector<uint8_t> read(char drive) {
        std::vector<uint8_t> data(kSize, 0);
        const Result r = command(drive, {0xFC, 0x00, readercmd::kQuollRead, 0, 0, 0, 0, 0, 0, 0}, data, true);
        if (!r.ok || r.scsiStatus != 0) data.clear();
        return data;
    }
    static Result write(char drive, std::vector<uint8_t> data, bool withSequence = true) {
        std::vector<uint8_t> cdb = {0xFC, 0x00, readercmd::kQuollWrite};
        for (uint8_t b : readercmd::kQuollWriteSequence) cdb.push_back(withSequence ? b : 0);
        cdb.push_back(0);
        return command(drive, cdb, data, false);
    }
    static std::vector<uint8_t> pattern(uint8_t seed) {
        std::vector<uint8_t> p(kSize);
        for (uint32_t i = 0; i < kSize; ++i) p[i] = static_cast<uint8_t>(i * 7 + seed);
        return p;
    }
};

TEST_F(QuollPc, TheReaderIsOfType16AndItsStorageUnitIsTheQuollUnit) {
    const auto readers = interfacePaths(tarn::kFunctionalInterface);
    ASSERT_EQ(readers.size(), 1u);
    HANDLE h = open(readers[0]);
    EXPECT_EQ(vendorIn(h, tarn::kReqDeviceType, 2), (std::vector<uint8_t>{16, 0}));
    CloseHandle(h);
    std::vector<uint8_t> inquiry(36, 0);
    ASSERT_TRUE(command('Q', {0x12, 0, 0, 0, 36, 0}, inquiry, true).ok);
    EXPECT_EQ(std::string(inquiry.begin() + 8, inquiry.begin() + 24), std::string(readercmd::kInquiryQuoll));
}

TEST_F(QuollPc, ItsExternalFirmwareIsReadAndWrittenWhole) {
    const std::vector<uint8_t> factory = read('Q');
    ASSERT_EQ(factory.size(), kSize);
    const Result refused = write('Q', pattern(1), false);
    ASSERT_TRUE(refused.ok);
    EXPECT_EQ(refused.scsiStatus, 0x02) << "CHECK CONDITION: a write without the unit's sequence";
    EXPECT_EQ(read('Q'), factory);
    const Result written = write('Q', pattern(1));
    ASSERT_TRUE(written.ok);
    EXPECT_EQ(written.scsiStatus, 0);
    EXPECT_EQ(read('Q'), pattern(1));
}

TEST_F(QuollPc, TwoReadersKeepTheirOwnFirmware) {
    attach("quoll-2", 3, "R");
    ASSERT_TRUE(write('Q', pattern(1)).ok);
    ASSERT_TRUE(write('R', pattern(2)).ok);
    EXPECT_EQ(read('Q'), pattern(1));
    EXPECT_EQ(read('R'), pattern(2));
}

// A slow write within the caller's time-out completes late; one past it times out and leaves the
// unit half written.
TEST_F(QuollPc, ASlowWrite) {
    lab::Lab::current().applyFault("quoll-1", "slow:FC0091:5000:1");
    const DWORD start = GetTickCount();
    EXPECT_TRUE(write('Q', pattern(3)).ok);
    EXPECT_GE(GetTickCount() - start, 5000u) << "lab milliseconds";
    EXPECT_EQ(read('Q'), pattern(3));

    lab::Lab::current().applyFault("quoll-1", "slow:FC0091:15000:1");
    const Result late = write('Q', pattern(4));
    EXPECT_FALSE(late.ok);
    EXPECT_EQ(late.error, static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    const std::vector<uint8_t> earlier = pattern(3);
    std::vector<uint8_t> expected = pattern(4);
    std::copy(earlier.begin() + kSize / 2, earlier.end(), expected.begin() + kSize / 2);
    EXPECT_EQ(read('Q'), expected) << "the first half of the cut-off write";
}

}  // namespace
