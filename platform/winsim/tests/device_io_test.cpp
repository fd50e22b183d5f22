// Volumes and devices through CreateFile and DeviceIoControl: device numbers, the SCSI
// pass-through with its checks and sense data, media change notification, and faults seen
// through the volume.
#include <chrono>
#include <cstddef>
#include <cstring>
#include <string>

#include <lab/hardware.h>
#include <winsim/ntddscsi.h>
#include <winsim/setupapi.h>
#include <winsim/windows.h>

#include <protocol/reader_commands.h>
#include "hardware_lab.h"

namespace {

using hwtest::DefaultPc;

// The request block with room for sense data behind it, the way callers lay it out.
struct PassThrough {
    SCSI_PASS_THROUGH_DIRECT spt;
    ULONG filler;
    UCHAR sense[32];
};

HANDLE openVolume(char letter, DWORD access = GENERIC_READ | GENERIC_WRITE) {
    const std::string path = std::string("\\\\.\\") + letter + ":";
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

PassThrough request(std::initializer_list<uint8_t> cdb, void* data, ULONG length, UCHAR direction) {
    PassThrough p{};
    p.spt.Length = sizeof p.spt;
    p.spt.CdbLength = static_cast<UCHAR>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), p.spt.Cdb);
    p.spt.DataIn = direction;
    p.spt.DataTransferLength = length;
    p.spt.DataBuffer = data;
    p.spt.TimeOutValue = 10;
    p.spt.SenseInfoLength = 24;
    p.spt.SenseInfoOffset = offsetof(PassThrough, sense);
    return p;
}

BOOL send(HANDLE h, PassThrough& p, DWORD* returned, DWORD size = sizeof(PassThrough)) {
    return DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH_DIRECT, &p, size, &p, size, returned, nullptr);
}

bool deviceNumber(const char* path, STORAGE_DEVICE_NUMBER* n) {
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, n, sizeof *n, &returned, nullptr);
    CloseHandle(h);
    return ok && returned == sizeof *n;
}

bool mediaChangeNotification(const char* id) {
    lab::Hardware& hw = lab::Lab::current().hardware();
    for (const auto& n : hw.nodes())
        if (hw.physicalIdOf(n.devInst) == id && n.instanceId.rfind("SCSI\\", 0) == 0)
            return hw.describe(n.devInst).value("mediaChangeNotification", true);
    return true;
}

TEST_F(DefaultPc, DrivesVolumesAndTheirDeviceNumbers) {
    EXPECT_EQ(GetLogicalDrives(), (1u << 2) | (1u << 3) | (1u << 4) | (1u << 5) | (1u << 25)) << "C D E F and Z";
    struct Case {
        const char* root;
        UINT type;
    };
    for (const Case& c : {Case{"C:\\", DRIVE_FIXED}, Case{"D:\\", DRIVE_CDROM}, Case{"e:", DRIVE_REMOVABLE},
                          Case{"F:\\", DRIVE_REMOVABLE}, Case{"G:\\", DRIVE_NO_ROOT_DIR}})
        EXPECT_EQ(GetDriveTypeA(c.root), c.type) << c.root;
    WCHAR roots[64];
    ASSERT_EQ(GetLogicalDriveStringsW(64, roots), 20u);
    EXPECT_EQ(std::u16string(roots + 8, 3), u"E:\\");

    // A volume's number is its disk's, with partition 1; the disk itself is partition 0.
    STORAGE_DEVICE_NUMBER c{}, e{}, d{}, disk{};
    ASSERT_TRUE(deviceNumber("\\\\.\\C:", &c));
    ASSERT_TRUE(deviceNumber("\\\\.\\E:", &e));
    ASSERT_TRUE(deviceNumber("\\\\.\\D:", &d));
    EXPECT_EQ(c.DeviceType, static_cast<DWORD>(FILE_DEVICE_DISK));
    EXPECT_EQ(c.DeviceNumber, 0u) << "PhysicalDrive0 is the system disk";
    EXPECT_EQ(c.PartitionNumber, 1u);
    EXPECT_NE(e.DeviceNumber, c.DeviceNumber);
    EXPECT_EQ(d.DeviceType, static_cast<DWORD>(FILE_DEVICE_CD_ROM));
    EXPECT_EQ(d.PartitionNumber, 0xFFFFFFFFu);
    const std::string physical = "\\\\.\\PhysicalDrive" + std::to_string(e.DeviceNumber);
    ASSERT_TRUE(deviceNumber(physical.c_str(), &disk));
    EXPECT_EQ(disk.DeviceNumber, e.DeviceNumber);
    EXPECT_EQ(disk.PartitionNumber, 0u);
    EXPECT_TRUE(deviceNumber("\\\\.\\CdRom0", &d));

    HANDLE h = openVolume('E', 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    BYTE small[11];
    DWORD returned = 99;
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, small, sizeof small, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(returned, 0u);
    EXPECT_FALSE(DeviceIoControl(h, CTL_CODE(FILE_DEVICE_DISK, 0x999, METHOD_BUFFERED, FILE_ANY_ACCESS), nullptr, 0,
                                 nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, nullptr, 12, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
    CloseHandle(h);
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &d, sizeof d, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    for (const char* missing : {"\\\\.\\G:", "\\\\.\\NOSUCHDEV", "\\\\?\\scsi#disk#nothing#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"}) {
        EXPECT_EQ(CreateFileA(missing, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE) << missing;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << missing;
    }
    EXPECT_EQ(CreateFileA("\\\\.\\E:", 0, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

TEST_F(DefaultPc, PassThroughOnTheVolume) {
    HANDLE h = openVolume('E');
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char inquiry[36] = {};
    PassThrough p = request({0x12, 0, 0, 0, 36, 0}, inquiry, sizeof inquiry, SCSI_IOCTL_DATA_IN);
    DWORD returned = 0;
    ASSERT_TRUE(send(h, p, &returned));
    EXPECT_EQ(p.spt.ScsiStatus, 0);
    EXPECT_EQ(p.spt.DataTransferLength, 36u);
    EXPECT_EQ(p.spt.SenseInfoLength, 0);
    EXPECT_EQ(returned, sizeof(SCSI_PASS_THROUGH_DIRECT));
    EXPECT_EQ(std::string(inquiry + 8, 28), "SCSI    Secure Reader   1.00");

    // The whole firmware in one 64 KB read, as the upload does it.
    std::vector<BYTE> firmware(65536);
    p = request({readercmd::kOpRova, 0, readercmd::kRovaRead, 16, 0, 0, 0, 0, 0, 0, 0, 0}, firmware.data(), 65536,
                SCSI_IOCTL_DATA_IN);
    ASSERT_TRUE(send(h, p, &returned));
    EXPECT_EQ(std::string(firmware.end() - 8, firmware.end()), "ROVA_DFU");
    CloseHandle(h);

    h = openVolume('E', GENERIC_READ);
    p = request({0x12, 0, 0, 0, 36, 0}, inquiry, sizeof inquiry, SCSI_IOCTL_DATA_IN);
    EXPECT_FALSE(send(h, p, &returned));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "the request needs read and write access";
    CloseHandle(h);
}

TEST_F(DefaultPc, PassThroughChecksItsRequestBlock) {
    HANDLE h = openVolume('D');
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char data[36];
    struct Case {
        const char* what;
        void (*change)(PassThrough&);
        DWORD size;
        DWORD error;
    };
    const Case cases[] = {
        {"the 32-bit length", [](PassThrough& p) { p.spt.Length = 44; }, sizeof(PassThrough), ERROR_REVISION_MISMATCH},
        {"a CDB of 17 bytes", [](PassThrough& p) { p.spt.CdbLength = 17; }, sizeof(PassThrough), ERROR_INVALID_PARAMETER},
        {"no CDB", [](PassThrough& p) { p.spt.CdbLength = 0; }, sizeof(PassThrough), ERROR_INVALID_PARAMETER},
        {"sense inside the block", [](PassThrough& p) { p.spt.SenseInfoOffset = 8; }, sizeof(PassThrough),
         ERROR_INVALID_PARAMETER},
        {"more than 64 KB", [](PassThrough& p) { p.spt.DataTransferLength = 0x10001; }, sizeof(PassThrough),
         ERROR_INVALID_PARAMETER},
        {"data without a buffer", [](PassThrough& p) { p.spt.DataBuffer = nullptr; }, sizeof(PassThrough),
         ERROR_INVALID_PARAMETER},
        {"a short block", [](PassThrough&) {}, sizeof(SCSI_PASS_THROUGH_DIRECT) - 1, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        PassThrough p = request({0x12, 0, 0, 0, 36, 0}, data, sizeof data, SCSI_IOCTL_DATA_IN);
        c.change(p);
        DWORD returned = 0;
        EXPECT_FALSE(send(h, p, &returned, c.size)) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    CloseHandle(h);
}

// The checks DeviceIoControl makes before any driver sees the request, each with the exact last
// error; a request that succeeds leaves the last error as it was.
TEST_F(DefaultPc, DeviceIoControlChecksItsCallerFirst) {
    constexpr DWORD kSentinel = 0xdeadbeef;
    HANDLE readOnly = openVolume('E', GENERIC_READ);
    HANDLE noAccess = openVolume('E', 0);
    ASSERT_NE(readOnly, INVALID_HANDLE_VALUE);
    ASSERT_NE(noAccess, INVALID_HANDLE_VALUE);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    STORAGE_DEVICE_NUMBER n{};
    DWORD got = 0;
    // winsim has no overlapped I/O, and so no OVERLAPPED structure; only the pointer matters.
    alignas(8) unsigned char overlappedRoom[64] = {};
    auto* overlapped = reinterpret_cast<OVERLAPPED*>(overlappedRoom);
    const DWORD writeCode = CTL_CODE(FILE_DEVICE_DISK, 0x999, METHOD_BUFFERED, FILE_WRITE_ACCESS);
    struct Case {
        const char* what;
        HANDLE h;
        DWORD code;
        void* out;
        DWORD outSize;
        DWORD* returned;
        OVERLAPPED* overlapped;
        DWORD error;
    };
    const Case cases[] = {
        {"a handle that is none", reinterpret_cast<HANDLE>(0x7777), IOCTL_STORAGE_GET_DEVICE_NUMBER, &n, sizeof n, &got, nullptr, ERROR_INVALID_HANDLE},
        {"an event is no device", event, IOCTL_STORAGE_GET_DEVICE_NUMBER, &n, sizeof n, &got, nullptr, ERROR_INVALID_HANDLE},
        {"no byte count", readOnly, IOCTL_STORAGE_GET_DEVICE_NUMBER, &n, sizeof n, nullptr, nullptr, ERROR_INVALID_PARAMETER},
        {"a size without a buffer", readOnly, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, sizeof n, &got, nullptr, ERROR_NOACCESS},
        {"overlapped I/O", readOnly, IOCTL_STORAGE_GET_DEVICE_NUMBER, &n, sizeof n, &got, overlapped, ERROR_NOT_SUPPORTED},
        {"a code that needs write access", readOnly, writeCode, nullptr, 0, &got, nullptr, ERROR_ACCESS_DENIED},
        {"a buffer too small for the answer", noAccess, IOCTL_STORAGE_GET_DEVICE_NUMBER, &n, sizeof n - 1, &got, nullptr, ERROR_INSUFFICIENT_BUFFER},
    };
    for (const Case& c : cases) {
        SetLastError(kSentinel);
        EXPECT_FALSE(DeviceIoControl(c.h, c.code, nullptr, 0, c.out, c.outSize, c.returned, c.overlapped)) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    SetLastError(kSentinel);
    ASSERT_TRUE(DeviceIoControl(noAccess, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &n, sizeof n, &got, nullptr))
        << "FILE_ANY_ACCESS needs no rights on the handle";
    EXPECT_EQ(got, sizeof n);
    EXPECT_EQ(GetLastError(), kSentinel);
    CloseHandle(event);
    CloseHandle(readOnly);
    CloseHandle(noAccess);
}

TEST_F(DefaultPc, PassThroughSenseFitsTheCallersRoom) {
    HANDLE h = openVolume('D');
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    struct Case {
        UCHAR asked;
        DWORD bufferSize;  // of the whole request block
        UCHAR stored;
    };
    // The CD-ROM answers an unknown command with 18 bytes of sense data.
    for (const Case& c : {Case{24, sizeof(PassThrough), 18}, Case{8, sizeof(PassThrough), 8},
                          Case{24, offsetof(PassThrough, sense) + 4, 4}, Case{0, sizeof(PassThrough), 0}}) {
        PassThrough p = request({0xAC, 0, 0xA0, 1, 0, 0, 0, 0, 0, 0, 0, 0}, nullptr, 0, SCSI_IOCTL_DATA_OUT);
        p.spt.SenseInfoLength = c.asked;
        std::memset(p.sense, 0xEE, sizeof p.sense);
        DWORD returned = 0;
        ASSERT_TRUE(send(h, p, &returned, c.bufferSize)) << "a CHECK CONDITION is still a completed request";
        EXPECT_EQ(p.spt.ScsiStatus, 2);
        EXPECT_EQ(p.spt.SenseInfoLength, c.stored);
        EXPECT_EQ(returned, c.stored ? offsetof(PassThrough, sense) + c.stored : sizeof(SCSI_PASS_THROUGH_DIRECT));
        if (c.stored) {
            EXPECT_EQ(p.sense[0], 0x70);
        }
        if (c.stored > 12) {
            EXPECT_EQ(p.sense[12], 0x20) << "invalid command operation code";
        }
        if (c.stored < sizeof p.sense) {
            EXPECT_EQ(p.sense[c.stored], 0xEE) << "nothing past what was stored";
        }
    }
    CloseHandle(h);
}

TEST_F(DefaultPc, FaultsSeenThroughTheVolume) {
    lab::Lab& lab = lab::Lab::current();
    HANDLE h = openVolume('E');
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    BYTE reply[16];
    DWORD returned = 0;

    lab.applyFault("scsi-reader-1", "sense:FD0050:02/04/01:1");
    PassThrough p = request({0xFD, 0, 0x50, 0x58, 0x54, 0x44, 0x47, 0, 0, 0}, reply, sizeof reply, SCSI_IOCTL_DATA_IN);
    ASSERT_TRUE(send(h, p, &returned));
    EXPECT_EQ(p.spt.ScsiStatus, 2);
    EXPECT_EQ(p.sense[2], 0x02);
    EXPECT_EQ(p.sense[12], 0x04);
    EXPECT_EQ(p.sense[13], 0x01);

    // A stalled command costs its time-out on the lab clock: 10 s here, 10 ms of real time.
    lab.applyFault("scsi-reader-1", "stall:FD0050:1");
    p = request({0xFD, 0, 0x50, 0x58, 0x54, 0x44, 0x47, 0, 0, 0}, reply, sizeof reply, SCSI_IOCTL_DATA_IN);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(send(h, p, &returned));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(10));

    p = request({0xFD, 0, 0x50, 0x58, 0x54, 0x44, 0x47, 0, 0, 0}, reply, sizeof reply, SCSI_IOCTL_DATA_IN);
    ASSERT_TRUE(send(h, p, &returned));
    EXPECT_EQ(p.spt.ScsiStatus, 0) << "both faults are used up";

    lab.applyFault("scsi-reader-1", "unplug:FD0050");
    EXPECT_FALSE(send(h, p, &returned));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEV_NOT_EXIST));
    EXPECT_FALSE(GetLogicalDrives() & (1u << 4)) << "E: left with the reader";
    EXPECT_FALSE(send(h, p, &returned));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEV_NOT_EXIST));
    CloseHandle(h);
}

TEST_F(DefaultPc, MediaChangeNotificationStaysOffWhileAHandleHoldsIt) {
    const BYTE prevent = 1;
    DWORD returned = 0;
    HANDLE a = openVolume('E', FILE_READ_ATTRIBUTES), b = openVolume('E', FILE_READ_ATTRIBUTES);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(DeviceIoControl(a, IOCTL_STORAGE_MCN_CONTROL, const_cast<BYTE*>(&prevent), 1, nullptr, 0, &returned, nullptr));
    ASSERT_TRUE(DeviceIoControl(b, IOCTL_STORAGE_MCN_CONTROL, const_cast<BYTE*>(&prevent), 1, nullptr, 0, &returned, nullptr));
    EXPECT_FALSE(mediaChangeNotification("scsi-reader-1"));
    CloseHandle(a);
    EXPECT_FALSE(mediaChangeNotification("scsi-reader-1"));
    CloseHandle(b);
    EXPECT_TRUE(mediaChangeNotification("scsi-reader-1"));

    HANDLE c = openVolume('C', FILE_READ_ATTRIBUTES);
    EXPECT_FALSE(DeviceIoControl(c, IOCTL_STORAGE_MCN_CONTROL, const_cast<BYTE*>(&prevent), 1, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION)) << "a fixed disk has no media to change";
    CloseHandle(c);
    HANDLE e = openVolume('E', FILE_READ_ATTRIBUTES);
    EXPECT_FALSE(DeviceIoControl(e, IOCTL_STORAGE_MCN_CONTROL, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_LENGTH));
    CloseHandle(e);
}

TEST_F(DefaultPc, InterfacePathsOpenTheirDevice) {
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_CDROM, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA itf{};
    itf.cbSize = sizeof itf;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_CDROM, 0, &itf));
    char buffer[512];
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &itf, detail, sizeof buffer, nullptr, nullptr));
    SetupDiDestroyDeviceInfoList(set);
    STORAGE_DEVICE_NUMBER byPath{}, byLetter{};
    ASSERT_TRUE(deviceNumber(detail->DevicePath, &byPath));
    ASSERT_TRUE(deviceNumber("\\\\.\\D:", &byLetter));
    EXPECT_EQ(byPath.DeviceType, byLetter.DeviceType);
    EXPECT_EQ(byPath.DeviceNumber, byLetter.DeviceNumber);
    const std::u16string wide(detail->DevicePath, detail->DevicePath + std::strlen(detail->DevicePath));
    HANDLE h = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

}  // namespace
