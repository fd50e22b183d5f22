// The plug-in's side of the DFU driver package on the lab's USB side: the package copied where
// the system finds it, the identifiers of its QVX.Section read into the plug-in's table, and the
// package forced onto a boot loader that came back on the generic mass-storage driver.
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <devaccess/sysutil.h>
#include <plugin-api/kpl.h>

#include "dfu_package.h"
#include "io_layer.h"
#include "log_capture.h"
#include "plugin_state.h"
#include "tarn_log.h"
#include "usb_lab.h"

namespace {

namespace fs = std::filesystem;
using namespace usbtest;

fs::path installedDriver() { return lab::Lab::current().windowsFolder() / "System32" / "Drivers" / "TARNDFU.SYS"; }

// The plug-in's folder, as the host's current directory: the package beside it.
class Package : public UsbPc {
protected:
    void SetUp() override {
        UsbPc::SetUp();
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kDfuService);
        char pattern[] = "/tmp/zelfin-package-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        for (const char* file : {"TARNDFU.INF", "TARNDFU.SYS"}) fs::copy_file(fs::path(ZELFIN_BIN_DIR) / file, dir_ / file);
        previous_ = fs::current_path();
        fs::current_path(dir_);
        char current[MAX_PATH];
        GetCurrentDirectoryA(sizeof current, current);
        const std::string inf = std::string(current) + "\\TARNDFU.INF";
        ASSERT_LT(inf.size(), sizeof tarn::plugin().packagePath);
        std::memcpy(tarn::plugin().packagePath, inf.c_str(), inf.size() + 1);
        testsupport::logged().clear();
        tarn::setLogger(testsupport::captureLog);
    }
    void TearDown() override {
        tarn::setLogger(nullptr);
        tarn::plugin().packagePath[0] = '\0';
        tarn::plugin().hwIdCount = 0;
        fs::current_path(previous_);
        fs::remove_all(dir_);
        UsbPc::TearDown();
    }
    static std::string windows() {
        char w[MAX_PATH];
        EXPECT_TRUE(GetWindowsDir(w));
        return w;
    }
    static bool logged(const std::string& message) { return testsupport::loggedMessage(message); }

    fs::path dir_, previous_;
};

TEST_F(Package, IsCopiedWhereTheSystemFindsItAReadOnlyDriverReplaced) {
    fs::create_directories(installedDriver().parent_path());
    std::ofstream(installedDriver()) << "an old driver";
    fs::permissions(installedDriver(), fs::perms::owner_read, fs::perm_options::replace);
    ASSERT_EQ(tarn::InstallDfuPackage(windows().c_str()), KPL_OK);
    EXPECT_EQ(fs::file_size(installedDriver()), fs::file_size(dir_ / "TARNDFU.SYS"));
    bool inStore = false;
    for (const auto& e : fs::directory_iterator(lab::Lab::current().windowsFolder() / "Inf"))
        inStore = inStore || e.path().filename().string().rfind("oem", 0) == 0;
    EXPECT_TRUE(inStore);

    fs::remove(dir_ / "TARNDFU.SYS");
    EXPECT_EQ(tarn::InstallDfuPackage(windows().c_str()), KPL_E_DRIVER_PACKAGE);
    EXPECT_TRUE(logged("Failed to copy SYS file TARNDFU.SYS to " + windows() + "\\System32\\Drivers\\TARNDFU.SYS. Error: 2h"));
    tarn::plugin().packagePath[0] = '\0';
    EXPECT_EQ(tarn::InstallDfuPackage(windows().c_str()), KPL_E_DRIVER_PACKAGE);
    EXPECT_TRUE(logged("Path of the Tarndfu.inf file is not known"));
}

TEST_F(Package, ItsIdentifiersAreReadAfreshEveryScanAtMostTwentyFive) {
    tarn::plugin().hwIdCount = 3;  // what an earlier scan left
    tarn::ReadPackageHwIds();
    ASSERT_EQ(tarn::plugin().hwIdCount, 17);
    EXPECT_STREQ(tarn::plugin().hwIds[0], "USB\\Vid_04cc&Pid_2f00");
    EXPECT_STREQ(tarn::plugin().hwIds[16], "USB\\Vid_04e6&Pid_03f7");
    for (const std::string& l : testsupport::logged()) EXPECT_EQ(l.find("Error"), std::string::npos) << l;

    // A package that lists more than the table holds.
    std::ofstream inf(dir_ / "TARNDFU.INF");
    inf << "[Version]\nSignature=\"$Windows NT$\"\n[QVX.Section]\n";
    for (int i = 0; i < 30; ++i) inf << "%D% = I, USB\\Vid_1234&Pid_" << 1000 + i << "\n";
    inf.close();
    tarn::ReadPackageHwIds();
    EXPECT_EQ(tarn::plugin().hwIdCount, tarn::kMaxHwIds);
    EXPECT_STREQ(tarn::plugin().hwIds[24], "USB\\Vid_1234&Pid_1024");
    EXPECT_TRUE(logged("QVX.Section lists more than 25 identifiers; the rest are ignored"));
}

TEST_F(Package, AnEntryMatchesEveryIdentifierThatContainsItInAnyCase) {
    tarn::PluginState& s = tarn::plugin();
    s.hwIdCount = 2;
    std::snprintf(s.hwIds[0], MAX_PATH, "USB\\Vid_04cc&Pid_2f06");
    std::snprintf(s.hwIds[1], MAX_PATH, "USB\\Vid_05e3&Pid_0760");
    auto list = std::make_unique<tarn::CollectedIds>();
    std::snprintf(list->id[0], MAX_PATH, "usb\\vid_1234&pid_0001&rev_0100");
    EXPECT_EQ(tarn::HwIdTableMatches(*list, 1), 0);
    std::snprintf(list->id[1], MAX_PATH, "usb\\vid_05E3&PID_0760&REV_0001");
    EXPECT_EQ(tarn::HwIdTableMatches(*list, 2), 1);
    EXPECT_STREQ(list->id[1], "USB\\VID_05E3&PID_0760&REV_0001") << "compared upper-cased, in place";
}

// A boot loader that came back on the generic mass-storage driver is moved to the DFU driver by a
// scan; with newdev.dll gone its fallback nnewdev.dll does it; a reader that arrives in upgrade
// mode first stops the updates.
TEST_F(Package, AScanForcesTheDriverOntoABootLoaderOnTheMassStorageDriver) {
    ArrivalWindow window({tarn::kUpgradeInterface, GUID_DEVINTERFACE_USB_DEVICE});
    const std::string usb = bootLoaderOnMassStorage(window);
    ASSERT_FALSE(usb.empty()) << "the boot loader came back on the mass-storage driver";
    ASSERT_EQ(tarn::InstallDfuPackage(windows().c_str()), KPL_OK);
    tarn::ReadPackageHwIds();

    // A reader already arrived: nothing is updated.
    tarn::arrival().dfuArrived = 1;
    auto list = std::make_unique<tarn::CollectedIds>();
    const int count = tarn::CollectServiceHwIds(*list, "usbstor");
    EXPECT_EQ(count, 2) << "the loader and the reader that always runs on it";
    tarn::UpdateDfuDriver(*list, count, nullptr);
    EXPECT_TRUE(logged("Stopping updating drivers."));
    EXPECT_EQ(serviceOf(usb, GUID_DEVINTERFACE_USB_DEVICE), "USBSTOR");

    lab::Lab& lab = lab::Lab::current();
    const fs::path system = lab.windowsFolder() / "System32";
    fs::rename(system / "newdev.dll", system / "nnewdev.dll");
    tarn::ForceDfuDriverOnListedDevices();
    fs::rename(system / "nnewdev.dll", system / "newdev.dll");
    EXPECT_TRUE(logged("Unable to load NEWDEV.DLL. Error: 7eh"));
    EXPECT_TRUE(logged("USBSTOR loaded for HwID: USB\\Vid_04cc&Pid_2f06&Rev_0001"));
    EXPECT_TRUE(logged("updated driver for HWID USB\\VID_04CC&PID_2F06"));
    EXPECT_FALSE(window.waitFor(tarn::kUpgradeInterface, kArrivalCapMs, "Vid_04cc&Pid_2f06").empty());
    EXPECT_EQ(serviceOf(usb, GUID_DEVINTERFACE_USB_DEVICE), "TARNDFU");
}

// The update thread's one pass: it signals its end on the event the wait gave it, and does
// nothing more once a reader has arrived in upgrade mode.
TEST_F(Package, TheUpdateThreadSignalsItsEnd) {
    tarn::ReadPackageHwIds();
    tarn::arrival().dfuArrived = 1;
    tarn::WaitContext context(&tarn::arrival().dfuArrived);
    ResetEvent(context.updateDone);
    EXPECT_EQ(tarn::UpdateThread(context), 0u);
    EXPECT_EQ(WaitForSingleObject(context.updateDone, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(context.updateRunning, 0);
    EXPECT_TRUE(logged("Notifying update thread termination"));
    EXPECT_FALSE(logged("Stopping updating drivers.")) << "it did not start on the readers";
    tarn::arrival().dfuArrived = 0;
}

// Without the helper driver's image among its resources the I/O layer stops at that step.
TEST_F(Package, AResourceThatIsNotThereIsReported) {
    EXPECT_FALSE(tarn::ExtractResource(4711, "DMHLP", "C:\\WINDOWS\\TEMP\\X.SYS"));
    EXPECT_TRUE(logged("Unable to get KPLTARN.DLL's handle. Error: 7eh"));
}

}  // namespace
