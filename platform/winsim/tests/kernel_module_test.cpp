// A kernel-mode driver written against wdm.h alone (LABFILT.SYS) in the stack of a lab disk:
// it answers some control codes from user mode itself, holds one pending until another request
// completes it, passes the rest down to the lab's own drivers and sees their completions, and
// goes away again with its node's restart. Last errors are checked the way Windows sets them.
#include <thread>

#include <lab/hardware.h>
#include <winsim/cfgmgr32.h>
#include <winsim/ntddscsi.h>
#include <winsim/setupapi.h>
#include <winsim/wdm.h>
#include <winsim/windows.h>

#include <protocol/reader_commands.h>
#include "hardware_lab.h"

namespace {

constexpr DWORD kCounts = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kHold = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kRelease = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kNotReady = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kSentinel = 0xdeadbeef;

struct Counts {
    ULONG attached, removed, creates, passed, completed;
    NTSTATUS lastStatus;
};

class KernelModule : public hwtest::DefaultPc {
protected:
    void SetUp() override {
        DefaultPc::SetUp();
        lab::Hardware& hw = lab::Lab::current().hardware();
        if (!loaded) {
            ASSERT_EQ(hw.loadDriver("labfilt", ZELFIN_LABFILT_SYS), STATUS_SUCCESS);
            loaded = true;
        }
        disk = diskOf("scsi-reader-1");
        ASSERT_NE(disk, 0u);
    }
    void TearDown() override {
        setFilter("");
        DefaultPc::TearDown();
    }

    static lab::DevInst diskOf(const char* id) {
        lab::Hardware& hw = lab::Lab::current().hardware();
        for (const auto& n : hw.nodes())
            if (hw.physicalIdOf(n.devInst) == id && n.instanceId.rfind("SCSI\\", 0) == 0) return n.devInst;
        return 0;
    }

    // Makes the filter an upper filter of the reader's disk (or none) and restarts the disk.
    void setFilter(const std::string& name) {
        lab::Hardware& hw = lab::Lab::current().hardware();
        disk = diskOf("scsi-reader-1");
        if (!disk) return;
        hw.setProperty(disk, SPDRP_UPPERFILTERS,
                       name.empty() ? lab::PropertyValue{} : lab::PropertyValue::multiText({name}));
        bool reboot = false;
        ASSERT_EQ(hw.changeState(disk, lab::StateChange::Restart, &reboot), 0u);
        ASSERT_FALSE(reboot);
    }

    static std::string diskPath() {
        STORAGE_DEVICE_NUMBER n{};
        HANDLE v = CreateFileA("\\\\.\\E:", 0, 3, nullptr, OPEN_EXISTING, 0, nullptr);
        DWORD got = 0;
        DeviceIoControl(v, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &n, sizeof n, &got, nullptr);
        CloseHandle(v);
        return "\\\\.\\PhysicalDrive" + std::to_string(n.DeviceNumber);
    }

    static HANDLE open(const std::string& path) {
        return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    }

    static Counts counts() {
        Counts c{};
        HANDLE h = open("\\\\.\\LABFILT");
        DWORD got = 0;
        EXPECT_TRUE(DeviceIoControl(h, kCounts, nullptr, 0, &c, sizeof c, &got, nullptr)) << GetLastError();
        EXPECT_EQ(got, sizeof c);
        CloseHandle(h);
        return c;
    }

    static inline bool loaded = false;
    lab::DevInst disk = 0;
};

TEST_F(KernelModule, AnswersFromTheTopOfTheStackAndPassesTheRestDown) {
    const Counts before = counts();
    setFilter("labfilt");
    EXPECT_EQ(counts().attached, before.attached + 1);
    const std::string path = diskPath();
    HANDLE h = open(path);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(counts().creates, before.creates + 1) << "CreateFile is IRP_MJ_CREATE through the filter";

    // Its own code: answered by the filter, with the last error left alone on success.
    char echo[8] = {};
    DWORD got = 0;
    SetLastError(kSentinel);
    ASSERT_TRUE(DeviceIoControl(h, kEcho, nullptr, 0, echo, sizeof echo, &got, nullptr));
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(std::string(echo, 4), "LFLT");
    EXPECT_EQ(GetLastError(), kSentinel);

    // A failure status reaches user mode as the Win32 error Windows gives for it.
    SetLastError(kSentinel);
    EXPECT_FALSE(DeviceIoControl(h, kNotReady, nullptr, 0, nullptr, 0, &got, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
    SetLastError(kSentinel);
    EXPECT_FALSE(DeviceIoControl(h, kEcho, nullptr, 0, echo, 2, &got, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    // Everything else goes down to the lab's disk and SCSI port, and comes back through the
    // filter's completion routine.
    STORAGE_DEVICE_NUMBER number{};
    ASSERT_TRUE(DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number, &got, nullptr));
    EXPECT_EQ(got, sizeof number);
    EXPECT_EQ(number.DeviceType, static_cast<DWORD>(FILE_DEVICE_DISK));
    struct {
        SCSI_PASS_THROUGH_DIRECT spt;
        UCHAR sense[32];
    } p{};
    uint8_t inquiry[36] = {};
    p.spt.Length = sizeof p.spt;
    p.spt.CdbLength = 6;
    p.spt.Cdb[0] = readercmd::kOpInquiry;
    p.spt.Cdb[4] = sizeof inquiry;
    p.spt.DataIn = SCSI_IOCTL_DATA_IN;
    p.spt.DataTransferLength = sizeof inquiry;
    p.spt.DataBuffer = inquiry;
    p.spt.TimeOutValue = 10;
    ASSERT_TRUE(DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH_DIRECT, &p, sizeof p, &p, sizeof p, &got, nullptr))
        << GetLastError();
    EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry + 8), 14), readercmd::kInquirySecure);
    SetLastError(kSentinel);
    EXPECT_FALSE(DeviceIoControl(h, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x9FF, METHOD_BUFFERED, FILE_ANY_ACCESS), nullptr,
                                 0, nullptr, 0, &got, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION)) << "unknown below: the disk refuses it";
    const Counts after = counts();
    EXPECT_EQ(after.passed - before.passed, 3u);
    EXPECT_EQ(after.completed - before.completed, 3u);
    EXPECT_EQ(after.lastStatus, STATUS_INVALID_DEVICE_REQUEST);

    // The volume hands its requests into the disk's stack, so they meet the filter too.
    HANDLE volume = open("\\\\.\\E:");
    ASSERT_TRUE(DeviceIoControl(volume, kEcho, nullptr, 0, echo, sizeof echo, &got, nullptr)) << GetLastError();
    CloseHandle(volume);

    CloseHandle(h);
    setFilter("");
    EXPECT_EQ(counts().removed, before.removed + 1) << "the restart removed the filter's device";
    h = open(path);
    SetLastError(kSentinel);
    EXPECT_FALSE(DeviceIoControl(h, kEcho, nullptr, 0, echo, sizeof echo, &got, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION)) << "no filter, no answer";
    CloseHandle(h);
}

TEST_F(KernelModule, APendingRequestCompletesFromAnotherRequest) {
    setFilter("labfilt");
    const std::string path = diskPath();
    HANDLE h = open(path);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    uint8_t answer = 0;
    DWORD heldGot = 0;
    BOOL heldOk = FALSE;
    std::thread waiter([&] { heldOk = DeviceIoControl(h, kHold, nullptr, 0, &answer, 1, &heldGot, nullptr); });
    DWORD got = 0;
    EXPECT_TRUE(DeviceIoControl(h, kRelease, nullptr, 0, nullptr, 0, &got, nullptr)) << GetLastError();
    waiter.join();
    EXPECT_TRUE(heldOk);
    EXPECT_EQ(heldGot, 1u);
    EXPECT_EQ(answer, 0x5A) << "the completion's buffered output reached the waiting caller";
    CloseHandle(h);
}

TEST_F(KernelModule, LoadingRefusesWhatIsNoDriver) {
    lab::Hardware& hw = lab::Lab::current().hardware();
    EXPECT_EQ(hw.loadDriver("nothere", "/nonexistent/NOTHERE.SYS"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(hw.loadDriver("notelf", ZELFIN_FIXTURE_SOURCES "/fixture.rc"), STATUS_INVALID_IMAGE_FORMAT);
    EXPECT_EQ(hw.loadDriver("noentry", ZELFIN_FIXTURE_DLL), STATUS_PROCEDURE_NOT_FOUND);
    EXPECT_EQ(hw.loadDriver("labfilt", ZELFIN_LABFILT_SYS), STATUS_OBJECT_NAME_COLLISION);
    // A service whose driver is missing leaves its node with a problem, and no handle opens.
    const std::string path = diskPath();
    setFilter("nothere");
    uint32_t status = 0, problem = 0;
    ASSERT_TRUE(hw.status(disk, &status, &problem));
    EXPECT_EQ(problem, static_cast<uint32_t>(CM_PROB_FAILED_INSTALL));
    SetLastError(kSentinel);
    EXPECT_EQ(open(path), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
