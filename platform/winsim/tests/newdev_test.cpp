// Installing the Tarn DFU driver package as a program does it: the INF into the PC's store, then
// newdev.dll's UpdateDriverForPlugAndPlayDevicesA for a boot loader's hardware identifier, which
// copies the package's driver TARNDFU.SYS into the drivers folder and brings the reader up on
// it; and which driver serves the DFU service with and without that file.
#include <filesystem>
#include <string>

#include <lab/lab.h>
#include <protocol/kv7.h>
#include <winsim/newdev.h>
#include <winsim/winreg.h>
#include <winsim/winsvc.h>

#include "fixtures/fixture_support.h"
#include "usb_lab.h"

namespace fs = std::filesystem;

namespace {

using namespace usbtest;

// The package as the build ships it, beside the plug-ins.
std::string packageInf() {
    std::string p = std::string("Z:") + ZELFIN_BIN_DIR + "/TARNDFU.INF";
    for (char& c : p)
        if (c == '/') c = '\\';
    return p;
}

constexpr const char* kNewdev = "C:\\WINDOWS\\system32\\newdev.dll";

// The package's driver as the build ships it beside the INF, and where an installation puts it.
fs::path builtDriver() { return fs::path(ZELFIN_BIN_DIR) / "TARNDFU.SYS"; }
fs::path installedDriver() { return lab::Lab::current().windowsFolder() / "System32" / "Drivers" / "TARNDFU.SYS"; }

bool dfuServiceKeyExists() {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDfuService, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// The USB side with the DFU package not installed yet, and newdev.dll loaded from the system
// folder as the plug-in loads it.
class DriverPackage : public UsbPc {
protected:
    void SetUp() override {
        UsbPc::SetUp();
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kDfuService);
        library_ = LoadLibraryA(kNewdev);
        ASSERT_NE(library_, nullptr);
        update_ = reinterpret_cast<UpdateDriverForPlugAndPlayDevicesA_t>(
            GetProcAddress(library_, "UpdateDriverForPlugAndPlayDevicesA"));
        ASSERT_NE(update_, nullptr);
    }
    void TearDown() override {
        FreeLibrary(library_);
        lab::Lab& lab = lab::Lab::current();
        lab.setSettings(settings_);
        UsbPc::TearDown();
        // The package's driver goes once the devices it served are gone, and its file with it:
        // the next test finds a PC where nothing was installed.
        lab::Hardware& hw = lab.hardware();
        hw.refresh();
        hw.reenumerate(hw.root());
        hw.unloadDriver("TARNDFU");
        fs::remove(installedDriver());
    }
    // A reader attached in its boot loader, on the hub's port 4; its loader's identifiers are
    // its upgrade type's own, so that no other test's node remembers a driver for them.
    void attachLoader(int dfuType, const char* driver) {
        lab::Lab& lab = lab::Lab::current();
        lab.attachDevice({{"kind", "tarn-reader"}, {"id", "loader"}, {"hub", "hub-1"}, {"port", 4}, {"drive", "none"},
                          {"mode", "upgrade"}, {"dfu-type", dfuType}, {"driver", driver}});
        lab.hardware().refresh();
        lab.hardware().reenumerate(lab.hardware().root());
    }

public:
    BOOL update(const char* hardwareId, BOOL* reboot, DWORD flags = INSTALLFLAG_FORCE) {
        const std::string inf = packageInf();
        SetLastError(0xdeadbeef);
        return update_(nullptr, hardwareId, inf.c_str(), flags, reboot);
    }

protected:
    HMODULE library_ = nullptr;
    UpdateDriverForPlugAndPlayDevicesA_t update_ = nullptr;
    lab::Settings settings_ = lab::Lab::current().settings();
};

TEST_F(DriverPackage, ABootLoaderWithoutItsDriverComesUpOnTheDfuDriver) {
    attachLoader(4, "own");
    const std::string usb = pathWith(GUID_DEVINTERFACE_USB_DEVICE, "Vid_04cc&Pid_2f04");
    ASSERT_FALSE(usb.empty());
    EXPECT_EQ(serviceOf(usb, GUID_DEVINTERFACE_USB_DEVICE), "");
    EXPECT_TRUE(interfacePaths(tarn::kUpgradeInterface).empty());

    const std::string inf = packageInf();
    char stored[MAX_PATH] = "";
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(SetupCopyOEMInfA(inf.c_str(), nullptr, SPOST_PATH, 0, stored, sizeof stored, nullptr, nullptr))
        << std::hex << GetLastError();
    ArrivalWindow window({tarn::kUpgradeInterface});
    BOOL reboot = TRUE;
    // The plug-in passes the identifier as it upper-cased it.
    ASSERT_TRUE(update("USB\\VID_04CC&PID_2F04", &reboot)) << std::hex << GetLastError();
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_FALSE(reboot);
    EXPECT_TRUE(dfuServiceKeyExists()) << "AddService made the service";
    EXPECT_FALSE(window.waitFor(tarn::kUpgradeInterface, kArrivalCapMs, "Vid_04cc&Pid_2f04").empty());
    EXPECT_EQ(serviceOf(usb, GUID_DEVINTERFACE_USB_DEVICE), "TARNDFU");
}

TEST_F(DriverPackage, ABootLoaderOnTheMassStorageDriverIsMovedToTheDfuDriver) {
    ArrivalWindow window({tarn::kUpgradeInterface, GUID_DEVINTERFACE_USB_DEVICE});
    const std::string usb = bootLoaderOnMassStorage(window);
    ASSERT_FALSE(usb.empty()) << "the boot loader came back on the mass-storage driver";

    BOOL reboot = TRUE;
    ASSERT_TRUE(update("USB\\Vid_04cc&Pid_2f06", &reboot)) << std::hex << GetLastError();
    EXPECT_FALSE(reboot);
    EXPECT_FALSE(window.waitFor(tarn::kUpgradeInterface, kArrivalCapMs, "Vid_04cc&Pid_2f06").empty());
    EXPECT_EQ(serviceOf(usb, GUID_DEVINTERFACE_USB_DEVICE), "TARNDFU");
}

TEST_F(DriverPackage, RefusedCallsSayWhy) {
    attachLoader(4, "own");
    BOOL reboot = FALSE;
    struct Case {
        const char* what;
        const char* id;
        DWORD flags;
        DWORD error;
    } const cases[] = {
        {"no present device has it", "USB\\Vid_04cc&Pid_2f03", INSTALLFLAG_FORCE, ERROR_NO_SUCH_DEVINST},
        {"a device has it, the package has no driver for it", "USB\\VID_04CC&PID_2F04&REV_0001", INSTALLFLAG_FORCE,
         ERROR_NO_MORE_ITEMS},
        {"no identifier", "", INSTALLFLAG_FORCE, ERROR_INVALID_PARAMETER},
        {"another flag", "USB\\Vid_04cc&Pid_2f04", INSTALLFLAG_FORCE | INSTALLFLAG_NONINTERACTIVE, ERROR_INVALID_FLAGS},
        {"an unknown flag", "USB\\Vid_04cc&Pid_2f04", 0x100, ERROR_INVALID_FLAGS},
        {"ranking against the installed driver", "USB\\Vid_04cc&Pid_2f04", 0, ERROR_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(update(c.id, &reboot, c.flags)) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(update_(nullptr, "USB\\Vid_04cc&Pid_2f04", "C:\\nowhere\\TARNDFU.INF", INSTALLFLAG_FORCE, &reboot));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    // The INF without the driver it copies: nothing of the package is installed.
    fixture::TempDir bare("newdev-bare");
    fs::copy_file(fs::path(ZELFIN_BIN_DIR) / "TARNDFU.INF", bare.path() / "TARNDFU.INF");
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(update_(nullptr, "USB\\Vid_04cc&Pid_2f04", fixture::windowsPath(bare.path() / "TARNDFU.INF").c_str(),
                         INSTALLFLAG_FORCE, &reboot));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(fs::exists(installedDriver()));
    EXPECT_FALSE(dfuServiceKeyExists()) << "nothing was installed";
}

// The package's driver is a file of its own: installed, it lies in the drivers folder, and the
// boot loader runs on the image Plug and Play loaded from there (a service that can be stopped,
// unlike the lab's own drivers) and answers DFU requests through it.
TEST_F(DriverPackage, TheBootLoaderRunsOnTheInstalledDriverImage) {
    attachLoader(0, "own");
    const std::string inf = packageInf();
    ASSERT_TRUE(SetupCopyOEMInfA(inf.c_str(), nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr)) << GetLastError();
    ArrivalWindow window({tarn::kUpgradeInterface});
    BOOL reboot = TRUE;
    ASSERT_TRUE(update("USB\\Vid_04cc&Pid_2f00", &reboot)) << std::hex << GetLastError();
    ASSERT_TRUE(fs::exists(installedDriver()));
    EXPECT_EQ(fixture::readFile(installedDriver()), fixture::readFile(builtDriver()));
    const std::string dfu = window.waitFor(tarn::kUpgradeInterface, kArrivalCapMs, "Vid_04cc&Pid_2f00");
    ASSERT_FALSE(dfu.empty());

    lab::Lab& lab = lab::Lab::current();
    lab::Hardware& hw = lab.hardware();
    EXPECT_EQ(hw.serviceState("TARNDFU"), lab::Hardware::ServiceState::Loaded);
    PDEVICE_OBJECT top = hw.referenceTop(usbNodeOf("loader"));
    ASSERT_NE(top, nullptr);
    EXPECT_NE(top->DriverObject->DriverUnload, nullptr) << "the image's driver object, with its unload routine";
    ObDereferenceObject(top);
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceA(manager, "TARNDFU", SERVICE_QUERY_STATUS | SERVICE_STOP);
    ASSERT_NE(service, nullptr) << GetLastError();
    SERVICE_STATUS status{};
    ASSERT_TRUE(QueryServiceStatus(service, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(status.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP));

    // A DFU request through the image reaches the boot loader: its whole flash comes back.
    const std::vector<uint8_t> flash = fixture::readFile(lab.deviceDir("loader") / "flash.bin");
    ASSERT_FALSE(flash.empty());
    HANDLE h = open(dfu);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::vector<uint8_t> image(flash.size());
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(h, tarn::kIoctlDfuUploadAll, nullptr, 0, image.data(), static_cast<DWORD>(image.size()),
                                &returned, nullptr))
        << GetLastError();
    EXPECT_EQ(returned, image.size());
    EXPECT_EQ(image, flash);
    CloseHandle(h);

    // It stays while it has the reader, and stops once the reader is gone.
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
    lab.detachDevice("loader");
    hw.refresh();
    hw.reenumerate(hw.root());
    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

// Which driver serves a boot loader whose service is TARNDFU: the package's image when the
// service names one that is there, the lab's own model of the driver when it names none or the
// file is missing (a PC where nothing was installed), and none when the file is no driver.
TEST_F(DriverPackage, TheDfuServiceRunsOnItsImageWhenThereIsOne) {
    using State = lab::Hardware::ServiceState;
    enum class File { None, Driver, Text };
    struct Case {
        const char* what;
        bool registered;  // Type and ImagePath, as the INF's AddService writes them
        File file;
        State state;
        ULONG problem;
    } const cases[] = {
        {"the service's key alone", false, File::None, State::Builtin, 0},
        {"the image registered and there", true, File::Driver, State::Loaded, 0},
        {"the image registered, its file missing", true, File::None, State::Builtin, 0},
        {"the image registered, its file no driver", true, File::Text, State::Stopped, CM_PROB_FAILED_INSTALL},
    };
    lab::Lab& lab = lab::Lab::current();
    lab::Hardware& hw = lab.hardware();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kDfuService, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
        if (c.registered) {
            const DWORD kernelDriver = SERVICE_KERNEL_DRIVER;
            const char image[] = "system32\\DRIVERS\\TARNDFU.SYS";
            RegSetValueExA(key, "Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&kernelDriver), sizeof kernelDriver);
            RegSetValueExA(key, "ImagePath", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(image), sizeof image);
        }
        RegCloseKey(key);
        if (c.file == File::Driver) fs::copy_file(builtDriver(), installedDriver(), fs::copy_options::overwrite_existing);
        if (c.file == File::Text) fixture::writeFile(installedDriver(), "not a driver");

        // The PC may remember another driver for the loader's identifiers: the service is bound
        // to it as the class installer binds it, and the node restarted.
        attachLoader(5, "own");
        const lab::DevInst node = usbNodeOf("loader");
        ASSERT_NE(node, 0u);
        bool reboot = false;
        ASSERT_EQ(hw.setProperty(node, SPDRP_SERVICE, lab::PropertyValue::text("TARNDFU")), 0u);
        ASSERT_EQ(hw.changeState(node, lab::StateChange::Restart, &reboot), 0u);
        ASSERT_FALSE(reboot);
        ULONG status = 0, problem = 0;
        ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, node, 0), CR_SUCCESS);
        EXPECT_EQ(problem, c.problem);
        EXPECT_EQ(hw.serviceState("TARNDFU"), c.state);
        EXPECT_EQ(pathWith(tarn::kUpgradeInterface, "Vid_04cc&Pid_2f05").empty(), c.problem != 0);

        lab.detachDevice("loader");
        hw.refresh();
        hw.reenumerate(hw.root());
        if (c.state == State::Loaded) {
            EXPECT_EQ(hw.unloadDriver("TARNDFU"), STATUS_SUCCESS);
        }
        EXPECT_EQ(hw.serviceState("TARNDFU"), State::Stopped);
        fs::remove(installedDriver());
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kDfuService);
    }
}

TEST_F(DriverPackage, TheLabCanAskForARestartAndMakeTheCallSlow) {
    attachLoader(4, "own");
    lab::Lab& lab = lab::Lab::current();
    lab::Settings s = settings_;
    s.driverUpdateNeedsReboot = true;
    s.driverUpdateDelayMs = 600000;  // ten lab minutes: far beyond the five seconds
    lab.setSettings(s);

    struct Call {
        DriverPackage* test;
        BOOL ok = FALSE;
        BOOL reboot = FALSE;
    } call{this};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* c = static_cast<Call*>(p);
            c->ok = c->test->update("USB\\Vid_04cc&Pid_2f04", &c->reboot);
            return 0;
        },
        &call, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    // A caller that joins the call for five seconds gives up on it; the call goes on.
    EXPECT_EQ(WaitForSingleObject(thread, 5000), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(thread);
    EXPECT_TRUE(call.ok);
    EXPECT_TRUE(call.reboot);
}

// The plug-in takes the identifiers it may force the driver onto from string field 2 of the
// package's QVX.Section: the boot loaders of every upgrade type and the KV7 boot ROMs.
TEST(DriverPackageFile, ListsEveryBootLoader) {
    HINF inf = SetupOpenInfFileA(packageInf().c_str(), nullptr, INF_STYLE_WIN4, nullptr);
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);
    std::vector<std::string> ids;
    INFCONTEXT line;
    for (BOOL ok = SetupFindFirstLineA(inf, "QVX.Section", nullptr, &line); ok; ok = SetupFindNextLine(&line, &line)) {
        char id[260] = "";
        EXPECT_TRUE(SetupGetStringFieldA(&line, 2, id, sizeof id, nullptr));
        ids.push_back(id);
    }
    SetupCloseInfFile(inf);
    std::vector<std::string> loaders;
    for (int type = 0; type <= 6; ++type) loaders.push_back("USB\\Vid_04cc&Pid_2f0" + std::to_string(type));
    loaders.push_back("USB\\Vid_04e6&Pid_04e9");
    for (const kv7::TypeEntry& e : kv7::kTypes) {
        if (!e.vendor) break;
        char id[32];
        std::snprintf(id, sizeof id, "USB\\Vid_%04x&Pid_%04x", e.vendor, e.product);
        loaders.push_back(id);
    }
    EXPECT_EQ(ids, loaders);
}

TEST(DriverInstaller, APcWithoutItFailsToLoadIt) {
    const fs::path file = lab::Lab::current().windowsFolder() / "System32" / "newdev.dll";
    const fs::path kept = file.string() + ".kept";
    ASSERT_TRUE(fs::exists(file)) << "every lab gets it";
    fs::rename(file, kept);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(LoadLibraryA(kNewdev), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    fs::rename(kept, file);
}

}  // namespace
