// Driver services through the service control manager, as a program installs its own driver: a
// kernel-mode module (SVCTEST.SYS) written into the system's driver folder, registered, started,
// opened by its link, made the function driver of a device by a service change and restart,
// stopped and unloaded; and what the manager refuses, with the errors Windows gives.
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <string>

#include <lab/hardware.h>
#include <lab/lab.h>
#include <winsim/cfgmgr32.h>
#include <winsim/devguid.h>
#include <winsim/wdm.h>
#include <winsim/setupapi.h>
#include <winsim/windows.h>
#include <winsim/winioctl.h>
#include <winsim/winsvc.h>

#include "hardware_lab.h"

namespace fs = std::filesystem;

namespace {

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr DWORD kCounts = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kFail = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct Counts {
    ULONG added, started, capabilities, removed, opened;
};

class Services : public hwtest::DefaultPc {
protected:
    void SetUp() override {
        DefaultPc::SetUp();
        manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(manager, nullptr);
    }
    void TearDown() override {
        CloseServiceHandle(manager);
        DefaultPc::TearDown();
    }

    // Puts `file` into C:\WINDOWS\System32\Drivers as `name`, as an installing program writes it.
    static void install(const fs::path& file, const std::string& name) {
        const fs::path drivers = lab::Lab::current().windowsFolder() / "System32" / "Drivers";
        fs::create_directories(drivers);
        fs::copy_file(file, drivers / name, fs::copy_options::overwrite_existing);
    }

    SC_HANDLE create(const char* name, const char* image) {
        const std::string path = std::string("C:\\WINDOWS\\System32\\Drivers\\") + image;
        return CreateServiceA(manager, name, name, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                              SERVICE_ERROR_IGNORE, path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    }

    static DWORD state(SC_HANDLE service) {
        SERVICE_STATUS s{};
        return QueryServiceStatus(service, &s) ? s.dwCurrentState : 0;
    }

    static Counts counts() {
        Counts c{};
        HANDLE h = CreateFileA("\\\\.\\SVCTEST", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        DWORD got = 0;
        EXPECT_TRUE(DeviceIoControl(h, kCounts, nullptr, 0, &c, sizeof c, &got, nullptr)) << GetLastError();
        CloseHandle(h);
        return c;
    }

    // The reader's disk with another service, restarted through the class installer as a
    // program switches a device's driver.
    static bool setDiskService(const char* service) {
        HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_DISKDRIVE, nullptr, nullptr, DIGCF_PRESENT);
        SP_DEVINFO_DATA dev{};
        dev.cbSize = sizeof dev;
        bool done = false;
        for (DWORD i = 0; !done && SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
            if (lab::Lab::current().hardware().physicalIdOf(dev.DevInst) != "scsi-reader-1") continue;
            SP_PROPCHANGE_PARAMS p{};
            p.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
            p.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
            p.StateChange = DICS_PROPCHANGE;
            p.Scope = DICS_FLAG_CONFIGSPECIFIC;
            done = SetupDiSetDeviceRegistryPropertyA(set, &dev, SPDRP_SERVICE, reinterpret_cast<const BYTE*>(service),
                                                     static_cast<DWORD>(std::strlen(service) + 1)) &&
                   SetupDiSetClassInstallParamsA(set, &dev, &p.ClassInstallHeader, sizeof p) &&
                   SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &dev);
        }
        SetupDiDestroyDeviceInfoList(set);
        return done;
    }

    static lab::DevInst diskNode() {
        lab::Hardware& hw = lab::Lab::current().hardware();
        for (const auto& n : hw.nodes())
            if (n.present && hw.physicalIdOf(n.devInst) == "scsi-reader-1" && n.instanceId.rfind("SCSI\\", 0) == 0)
                return n.devInst;
        return 0;
    }

    SC_HANDLE manager = nullptr;
};

TEST_F(Services, ADriverIsRegisteredStartedMadeAFunctionDriverStoppedAndDeleted) {
    install(ZELFIN_SVCTEST_SYS, "SVCTEST.SYS");
    SetLastError(kSentinel);
    EXPECT_EQ(OpenServiceA(manager, "SVCTEST", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    SC_HANDLE service = create("SVCTEST", "SVCTEST.SYS");
    ASSERT_NE(service, nullptr);
    SetLastError(kSentinel);
    EXPECT_EQ(create("svctest", "SVCTEST.SYS"), nullptr) << "names are the same without regard to case";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_EXISTS));
    EXPECT_EQ(state(service), static_cast<DWORD>(SERVICE_STOPPED));

    SetLastError(kSentinel);
    ASSERT_TRUE(StartServiceA(service, 0, nullptr));
    EXPECT_EQ(GetLastError(), kSentinel) << "success leaves the last error alone";
    EXPECT_EQ(state(service), static_cast<DWORD>(SERVICE_RUNNING));
    SetLastError(kSentinel);
    EXPECT_FALSE(StartServiceA(service, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));

    // Its control device by its link: one handle at a time.
    HANDLE first = CreateFileA("\\\\.\\SVCTEST", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    SetLastError(kSentinel);
    EXPECT_EQ(CreateFileA("\\\\.\\SVCTEST", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(first);
    EXPECT_EQ(counts().added, 0u);

    // A device whose service now names the driver gets it as its function driver when it
    // restarts: its disk stack is the driver's device on the PDO, started from below.
    ASSERT_TRUE(setDiskService("SVCTEST"));
    Counts c = counts();
    EXPECT_EQ(c.added, 1u);
    EXPECT_EQ(c.started, 1u);
    EXPECT_EQ(GetDriveTypeA("E:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR)) << "no disk driver, no volume";
    SERVICE_STATUS status{};
    SetLastError(kSentinel);
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << "it still has a device";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

    // Its device reports itself failed when the system asks again: the node stops with a problem.
    {
        HANDLE h = CreateFileA("\\\\.\\SVCTEST", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        DWORD got = 0;
        ASSERT_TRUE(DeviceIoControl(h, kFail, nullptr, 0, nullptr, 0, &got, nullptr));
        CloseHandle(h);
        lab::Hardware& hw = lab::Lab::current().hardware();
        const lab::DevInst disk = diskNode();
        // Its PDO by the name the node shows, as a driver finds it.
        lab::PropertyValue name;
        ASSERT_EQ(hw.property(disk, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME, &name), 0u);
        const std::string pdoName = name.asText();
        std::u16string wide(pdoName.begin(), pdoName.end());
        UNICODE_STRING text{static_cast<USHORT>(wide.size() * 2), static_cast<USHORT>(wide.size() * 2), wide.data()};
        PFILE_OBJECT file = nullptr;
        PDEVICE_OBJECT top = nullptr;
        ASSERT_EQ(IoGetDeviceObjectPointer(&text, FILE_ALL_ACCESS, &file, &top), STATUS_SUCCESS) << pdoName;
        // The PDO under the stack, by the target-device relation, as a driver asks for it.
        PDEVICE_OBJECT pdo = hwtest::targetOf(top);
        ASSERT_NE(pdo, nullptr);
        IoInvalidateDeviceState(pdo);
        ObDereferenceObject(pdo);
        ObDereferenceObject(file);
        // The PnP manager's thread runs what is due in order: once this has run, so has the query.
        std::promise<void> after;
        hw.schedule(0, [&after] { after.set_value(); });
        after.get_future().wait();
        ULONG status = 0, problem = 0;
        ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, disk, 0), CR_SUCCESS);
        EXPECT_EQ(problem, static_cast<ULONG>(CM_PROB_FAILED_POST_START));
        EXPECT_EQ(counts().removed, 1u);
    }

    ASSERT_TRUE(setDiskService("disk"));
    EXPECT_EQ(counts().removed, 1u);
    EXPECT_EQ(GetDriveTypeA("E:\\"), static_cast<UINT>(DRIVE_REMOVABLE));
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    SetLastError(kSentinel);
    EXPECT_EQ(CreateFileA("\\\\.\\SVCTEST", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "unloaded, its link is gone";
    SetLastError(kSentinel);
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));

    // Started again from the same file (which a program may rewrite while its driver runs).
    ASSERT_TRUE(StartServiceA(service, 0, nullptr));
    install(ZELFIN_SVCTEST_SYS, "SVCTEST.SYS");
    EXPECT_EQ(counts().added, 0u) << "a fresh copy of the driver";
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));

    ASSERT_TRUE(DeleteService(service));
    SetLastError(kSentinel);
    EXPECT_FALSE(DeleteService(service));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    ASSERT_TRUE(CloseServiceHandle(service));
    SetLastError(kSentinel);
    EXPECT_EQ(OpenServiceA(manager, "SVCTEST", SERVICE_ALL_ACCESS), nullptr) << "gone with its last handle";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

// A driver that sets no add-device routine (one written to be started as a legacy service) cannot
// be a device's function driver: the device whose service names it fails to start, with the
// problem Windows shows, whether the service was running already or is loaded for the device.
TEST_F(Services, ADeviceOnADriverWithoutAnAddDeviceRoutineFailsToStart) {
    install(ZELFIN_LEGACY_SYS, "LEGACY.SYS");
    SC_HANDLE service = create("LEGACY", "LEGACY.SYS");
    ASSERT_NE(service, nullptr);
    for (const bool startedFirst : {true, false}) {
        SCOPED_TRACE(startedFirst ? "started as a service first" : "loaded for the device");
        if (startedFirst) {
            ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
        }
        ASSERT_TRUE(setDiskService("LEGACY"));
        ULONG status = 0, problem = 0;
        ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, diskNode(), 0), CR_SUCCESS);
        EXPECT_EQ(problem, static_cast<ULONG>(CM_PROB_FAILED_ADD));
        EXPECT_EQ(status & (DN_HAS_PROBLEM | DN_STARTED), static_cast<ULONG>(DN_HAS_PROBLEM));
        EXPECT_EQ(GetDriveTypeA("E:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR)) << "no disk, no volume";
        SERVICE_STATUS s{};
        ASSERT_TRUE(QueryServiceStatus(service, &s));
        EXPECT_EQ(s.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING)) << "the driver itself loaded";

        ASSERT_TRUE(setDiskService("disk"));
        ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, diskNode(), 0), CR_SUCCESS);
        EXPECT_EQ(problem, 0u);
        EXPECT_EQ(GetDriveTypeA("E:\\"), static_cast<UINT>(DRIVE_REMOVABLE));
        ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &s)) << "it never had a device";
    }
    EXPECT_TRUE(DeleteService(service));
    CloseServiceHandle(service);
}

TEST_F(Services, WhatTheManagerRefuses) {
    install(ZELFIN_FIXTURE_SOURCES "/fixture.rc", "NOTADRV.SYS");
    install(ZELFIN_FIXTURE_DLL, "NOENTRY.SYS");
    struct Case {
        const char* name;
        const char* image;
        DWORD error;
    };
    for (const Case& c : {Case{"NOFILE", "NOFILE.SYS", ERROR_FILE_NOT_FOUND},
                          Case{"NOTADRV", "NOTADRV.SYS", ERROR_BAD_EXE_FORMAT},
                          Case{"NOENTRY", "NOENTRY.SYS", ERROR_BAD_EXE_FORMAT}}) {
        SC_HANDLE s = create(c.name, c.image);
        ASSERT_NE(s, nullptr) << c.name;
        SetLastError(kSentinel);
        EXPECT_FALSE(StartServiceA(s, 0, nullptr)) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
        EXPECT_EQ(state(s), static_cast<DWORD>(SERVICE_STOPPED));
        EXPECT_TRUE(DeleteService(s));
        CloseServiceHandle(s);
    }

    // Handles and rights.
    SC_HANDLE readOnly = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(readOnly, nullptr);
    struct Refusal {
        const char* what;
        std::function<bool()> call;
        DWORD error;
    };
    SERVICE_STATUS status{};
    const Refusal refusals[] = {
        {"another machine", [] { return OpenSCManagerA("\\\\OTHER", nullptr, SC_MANAGER_CONNECT) != nullptr; },
         ERROR_NOT_SUPPORTED},
        {"another database", [] { return OpenSCManagerA(nullptr, "ServicesFailed", SC_MANAGER_CONNECT) != nullptr; },
         ERROR_DATABASE_DOES_NOT_EXIST},
        {"creating without the right",
         [&] {
             return CreateServiceA(readOnly, "X", "X", SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                   SERVICE_ERROR_IGNORE, "C:\\X.SYS", nullptr, nullptr, nullptr, nullptr, nullptr) != nullptr;
         },
         ERROR_ACCESS_DENIED},
        {"a manager handle as a service", [&] { return StartServiceA(reinterpret_cast<SC_HANDLE>(manager), 0, nullptr) != 0; },
         ERROR_INVALID_HANDLE},
        {"a forged handle", [] { return QueryServiceStatus(reinterpret_cast<SC_HANDLE>(0x1234), nullptr) != 0; },
         ERROR_INVALID_HANDLE},
        {"closing twice",
         [] {
             SC_HANDLE h = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
             CloseServiceHandle(h);
             return CloseServiceHandle(h) != 0;
         },
         ERROR_INVALID_HANDLE},
        {"a name with a backslash", [&] { return OpenServiceA(manager, "A\\B", SERVICE_ALL_ACCESS) != nullptr; },
         ERROR_INVALID_NAME},
        {"a user-mode service",
         [&] {
             return CreateServiceA(manager, "APP", "APP", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                   SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, "C:\\APP.EXE", nullptr, nullptr, nullptr,
                                   nullptr, nullptr) != nullptr;
         },
         ERROR_NOT_SUPPORTED},
        {"stopping the PC's own disk driver",
         [&] {
             SC_HANDLE disk = OpenServiceA(manager, "disk", SERVICE_ALL_ACCESS);
             const bool ok = disk && ControlService(disk, SERVICE_CONTROL_STOP, &status);
             CloseServiceHandle(disk);
             return ok;
         },
         ERROR_INVALID_SERVICE_CONTROL},
    };
    // The PC's own drivers are services too.
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\disk", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              0);
    RegCloseKey(key);
    for (const Refusal& r : refusals) {
        SetLastError(kSentinel);
        EXPECT_FALSE(r.call()) << r.what;
        EXPECT_EQ(GetLastError(), r.error) << r.what;
    }
    CloseServiceHandle(readOnly);
}

}  // namespace
