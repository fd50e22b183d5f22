// Moving lab readers into upgrade mode and back, and the waits in between: a reader on each
// driver goes and comes back, its firmware is read in upgrade mode; an abort, a quit message, a
// reader that needs its port power-cycled, a loader with the wrong identifiers, and the window's
// refusals while a transfer runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <atomic>
#include <cstring>
#include <thread>

#include <devaccess/sysutil.h>

#include "arrival.h"
#include "dfu_package.h"
#include "io_layer.h"
#include "power_cycle.h"
#include "scan_fixture.h"
#include "temp_dir.h"

namespace {

using namespace tarntest;
namespace fs = std::filesystem;

class ModeSwitch : public TarnScan {
protected:
    void SetUp() override {
        TarnScan::SetUp();
        ASSERT_EQ(tarn::CreateKpltarnWnd(), KPL_OK);
        ASSERT_EQ(scan(), KPL_OK);
    }
    void TearDown() override {
        tarn::StopWorkerThreads();
        tarn::DestroyKpltarnWnd();
        TarnScan::TearDown();
    }
    static std::vector<uint8_t> flashOf(const std::string& id) {
        std::ifstream in(lab::Lab::current().deviceDir(id) / "flash.bin", std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }
    testsupport::TempDir temp_{"zelfin-switch"};
    volatile int32_t abort_ = 0;
};

// Each driver's way into upgrade mode and back: the reader's own driver detaches it, the helper
// driver detaches a reader on the mass-storage driver and cycles its port (its loader comes back
// under the dfuType-3 identifiers). In upgrade mode its firmware is read whole.
TEST_F(ModeSwitch, AReaderOnEachDriverGoesIntoUpgradeModeAndBack) {
    struct Case {
        const char* name;
        const char* id;
        const char* back;  // what shows it in functional mode again
    };
    for (const Case& c : {Case{"G:", "tarn-1", "12345678"}, Case{"H:", "tarn-2", ""}}) {
        SCOPED_TRACE(c.id);
        DeviceInfoEntry* e = entry(c.name);
        ASSERT_NE(e, nullptr);
        auto* r = static_cast<TarnDeviceRecord*>(e->device);
        ASSERT_EQ(tarn::SwitchToDFU(&list, e, &abort_), KPL_OK) << testsupport::allLogged();
        EXPECT_EQ(r->deviceMode, tarn::kModeUpgrade);
        ASSERT_NE(r->deviceHandle, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(testsupport::loggedMessage("Waiting for arrival of Driver....1"));

        image::BinFile copy(image::BinFamily::Tarn, nullptr);
        const std::string backup = (temp_.path() / (std::string(c.id) + ".bin")).string();
        ASSERT_EQ(tarn::UploadToFile(e, copy, 0, backup.c_str(), true), KPL_OK);
        const std::vector<uint8_t> flash = flashOf(c.id);
        ASSERT_GE(flash.size(), 65536u);
        EXPECT_TRUE(std::equal(copy.data(), copy.data() + 65536, flash.begin())) << "the firmware as the reader holds it";
        EXPECT_EQ(std::filesystem::file_size(backup), 65536u);

        ASSERT_EQ(tarn::SwitchToFunctional(e, &abort_), KPL_OK) << testsupport::allLogged();
        EXPECT_EQ(r->deviceMode, tarn::kModeSwitching);
        EXPECT_EQ(r->deviceHandle, INVALID_HANDLE_VALUE);
        settle();
        if (c.back[0]) {
            EXPECT_FALSE(pathWith(tarn::kFunctionalInterface, c.back).empty());
        }
        EXPECT_EQ(scan(), KPL_OK);
        EXPECT_EQ(listed().size(), 2u) << "both readers in functional mode again";
    }
}

// A reader already in upgrade mode is taken as it is, without a request and without a wait.
TEST_F(ModeSwitch, AReaderAlreadyInUpgradeModeIsTakenAsItIs) {
    lab::Lab::current().attachDevice({{"kind", "tarn-reader"}, {"id", "dfu-1"}, {"hub", "hub-1"}, {"port", 4}, {"mode", "upgrade"}});
    settle();
    ASSERT_EQ(scan(), KPL_OK);
    DeviceInfoEntry* e = entry("Tarn DFU Device");
    ASSERT_NE(e, nullptr);
    const HANDLE before = static_cast<TarnDeviceRecord*>(e->device)->deviceHandle;
    testsupport::logged().clear();
    EXPECT_EQ(tarn::SwitchToDFU(&list, e, &abort_), KPL_OK);
    EXPECT_EQ(static_cast<TarnDeviceRecord*>(e->device)->deviceHandle, before);
    EXPECT_FALSE(testsupport::loggedMessage("Waiting for arrival of Driver....1"));
}

// An abort ends a wait, for either mode, with 212 and leaves the reader where it went: the next
// scan finds it there. A quit message ends it with 210 and stays in the queue for the caller.
TEST_F(ModeSwitch, AnAbortOrAQuitMessageEndsTheWait) {
    ArrivalWindow window({tarn::kUpgradeInterface});
    abort_ = 1;
    EXPECT_EQ(tarn::SwitchToDFU(&list, entry("G:"), &abort_), KPL_E_USER_ABORT);
    EXPECT_TRUE(testsupport::loggedMessage("User Abort..."));
    EXPECT_TRUE(testsupport::loggedMessage("WaitForDevDriver failed. Error: d4h."));
    abort_ = 0;
    ASSERT_FALSE(window.waitFor(tarn::kUpgradeInterface).empty()) << "the reader went on into upgrade mode";
    ASSERT_EQ(scan(), KPL_OK);
    EXPECT_NE(entry("Tarn DFU Device"), nullptr) << "in upgrade mode, ready for another try";

    // The wait for functional mode ends the same way; the reader comes back all the same.
    ASSERT_EQ(tarn::SwitchToDFU(&list, entry("Tarn DFU Device"), &abort_), KPL_OK);
    ArrivalWindow back({tarn::kFunctionalInterface});
    abort_ = 1;
    EXPECT_EQ(tarn::SwitchToFunctional(entry("Tarn DFU Device"), &abort_), KPL_E_USER_ABORT);
    abort_ = 0;
    EXPECT_FALSE(back.waitFor(tarn::kFunctionalInterface, kArrivalCapMs, "12345678").empty());

    PostQuitMessage(7);
    EXPECT_EQ(tarn::SwitchToDFU(&list, entry("H:"), &abort_), KPL_E_TO_UPGRADE_MODE);
    MSG m;
    ASSERT_TRUE(PeekMessageA(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "posted again";
    EXPECT_EQ(m.wParam, 7u);
}

// The window keeps the session and the machine up while a reader is being written.
TEST_F(ModeSwitch, TheWindowRefusesSuspendAndTheEndOfTheSession) {
    const HWND w = tarn::KpltarnWnd();
    EXPECT_EQ(SendMessageA(w, WM_QUERYENDSESSION, 0, 0), 0);
    EXPECT_EQ(SendMessageA(w, WM_POWERBROADCAST, PBT_APMQUERYSUSPEND, 0), BROADCAST_QUERY_DENY);
    EXPECT_EQ(SendMessageA(w, WM_POWERBROADCAST, PBT_APMSUSPEND, 0), BROADCAST_QUERY_DENY);
    EXPECT_EQ(SendMessageA(w, WM_POWERBROADCAST, 7 /* resume */, 0), 1);
}

// A reader that does not come back by itself: after the long wait its hub's port, stuck in a
// failed enumeration, is power-cycled and the reader is taken when it arrives.
TEST_F(ModeSwitch, AReaderThatStaysAwayHasItsPortPowerCycled) {
    lab::Lab::current().applyFault("tarn-1", "stuck:leave:detach:1");
    ASSERT_EQ(tarn::SwitchToDFU(&list, entry("G:"), &abort_), KPL_OK) << testsupport::allLogged();
    for (const char* line : {"Creating a thread to powercycle the ports.", "Enumerate Failed Devices",
                             "PowerCycling Port 2 of Hub \\\\?\\USB#Vid_1209&Pid_4b48#5&32d3d44&0&1#{f18a0e88-c30c-11d0-8815-00a0c906bed8}"})
        EXPECT_TRUE(testsupport::loggedMessage(line)) << line << "\n" << testsupport::allLogged();
    EXPECT_EQ(static_cast<TarnDeviceRecord*>(entry("G:")->device)->deviceMode, tarn::kModeUpgrade);
}

// A reader whose boot loader comes back on the generic mass-storage driver: the wait starts the
// update thread, which forces the DFU package onto it, and the reader is taken on the DFU driver.
TEST_F(ModeSwitch, ALoaderOnTheMassStorageDriverGetsThePackageForced) {
    const fs::path folder = temp_.path();
    for (const char* file : {"TARNDFU.INF", "TARNDFU.SYS"}) fs::copy_file(fs::path(ZELFIN_BIN_DIR) / file, folder / file);
    const fs::path previous = fs::current_path();
    fs::current_path(folder);
    char current[MAX_PATH], windows[MAX_PATH];
    GetCurrentDirectoryA(sizeof current, current);
    const std::string inf = std::string(current) + "\\TARNDFU.INF";
    ASSERT_LT(inf.size(), sizeof tarn::plugin().packagePath);
    std::memcpy(tarn::plugin().packagePath, inf.c_str(), inf.size() + 1);
    ASSERT_TRUE(GetWindowsDir(windows));
    ASSERT_EQ(tarn::InstallDfuPackage(windows), KPL_OK);
    tarn::ReadPackageHwIds();
    lab::Lab::current().applyFault("tarn-1", "usbstor:leave:detach:1");

    EXPECT_EQ(tarn::SwitchToDFU(&list, entry("G:"), &abort_), KPL_OK) << testsupport::allLogged();
    for (const char* line : {"Device arrived has Usbstor loaded.", "Creating a thread to force update driver."})
        EXPECT_TRUE(testsupport::loggedMessage(line)) << line;
    EXPECT_EQ(static_cast<TarnDeviceRecord*>(entry("G:")->device)->deviceMode, tarn::kModeUpgrade);
    tarn::StopWorkerThreads();
    tarn::plugin().packagePath[0] = '\0';
    tarn::plugin().hwIdCount = 0;
    fs::current_path(previous);
}

// The loader of a dfuType-3 reader must come back under its own identifiers: another device in
// upgrade mode is passed over, and the wait goes on until the operator stops it.
std::atomic<bool> g_passedOver{false};
void watchForPassedOver(const char* format, ...) {
    if (std::strncmp(format, "Ignoring DFU device", 19) == 0) g_passedOver = true;
}

TEST_F(ModeSwitch, ADfuType3LoaderUnderOtherIdentifiersIsPassedOver) {
    lab::Lab::current().applyFault("tarn-2", "ids:leave:detach:04cc.2f03:1");
    g_passedOver = false;
    tarn::setLogger(watchForPassedOver);
    std::thread stopper([this] {
        // The operator gives up once the wrong loader was passed over (the wait polls the flag).
        for (int i = 0; i < 600 && !g_passedOver; ++i) Sleep(1000);
        abort_ = 1;
    });
    EXPECT_EQ(tarn::SwitchToDFU(&list, entry("H:"), &abort_), KPL_E_USER_ABORT);
    stopper.join();
    tarn::setLogger(testsupport::captureLog);
    EXPECT_TRUE(g_passedOver);
}

// While a reader is on its way: another reader arriving in functional mode does not end the wait
// for upgrade mode, and the window refuses the end of the session and a suspend, from whichever
// thread they are asked.
TEST_F(ModeSwitch, AnUnrelatedArrivalAndTheSystemsQueriesDuringAWait) {
    lab::Lab::current().applyFault("tarn-1", "slow:leave:detach:20000:1");  // back 20 lab seconds later
    std::atomic<LRESULT> endSession{-1}, suspend{-1};
    std::thread other([&] {
        Sleep(2000);  // lab time: the reader is away
        lab::Lab::current().attachDevice({{"kind", "tarn-reader"}, {"id", "late"}, {"hub", "hub-1"}, {"port", 4},
                                          {"drive", "none"}, {"serial", "0000CAFE"}});
        lab::Lab::current().hardware().refresh();
        endSession = SendMessageA(tarn::KpltarnWnd(), WM_QUERYENDSESSION, 0, 0);
        suspend = SendMessageA(tarn::KpltarnWnd(), WM_POWERBROADCAST, PBT_APMQUERYSUSPEND, 0);
    });
    EXPECT_EQ(tarn::SwitchToDFU(&list, entry("G:"), &abort_), KPL_OK) << testsupport::allLogged();
    other.join();
    EXPECT_EQ(static_cast<TarnDeviceRecord*>(entry("G:")->device)->deviceMode, tarn::kModeUpgrade);
    // The one opened is the reader at port 2, in its loader.
    std::vector<std::string> opened;
    for (const std::string& line : testsupport::logged())
        if (line.rfind("Opening DFU device", 0) == 0) opened.push_back(line);
    ASSERT_EQ(opened.size(), 1u) << testsupport::allLogged();
    EXPECT_NE(opened[0].find("Pid_2f00"), std::string::npos) << opened[0];
    EXPECT_NE(opened[0].find("&0&2#"), std::string::npos) << opened[0];
    EXPECT_EQ(endSession, 0);
    EXPECT_EQ(suspend, BROADCAST_QUERY_DENY);
}

// On Windows 2000 the reader is sent into upgrade mode by the helper driver, made its function
// driver for one start by the service switch; its own service is written back at once.
TEST_F(ModeSwitch, OnWindows2000TheHelperDriverTakesTheReaderIntoUpgradeMode) {
    lab::Lab& lab = lab::Lab::current();
    struct Restore {
        lab::Settings saved = lab::Lab::current().settings();
        ~Restore() { lab::Lab::current().setSettings(saved); }
    } restore;
    lab::Settings w2k = restore.saved;
    w2k.os.minor = 0;
    w2k.os.build = 2195;
    lab.setSettings(w2k);
    lab.applyFault("tarn-1", helpertest::counter("usb:21.00"));
    ASSERT_EQ(tarn::SwitchToDFU(&list, entry("G:"), &abort_), KPL_OK) << testsupport::allLogged();
    EXPECT_EQ(static_cast<TarnDeviceRecord*>(entry("G:")->device)->deviceMode, tarn::kModeUpgrade);
    EXPECT_FALSE(testsupport::loggedMessage("Reverting to old approach..."));
    EXPECT_EQ(helpertest::counted("tarn-1", "usb:21.00"), 1) << "one detach, sent by the helper driver";
    // Back in functional mode it runs on its own driver again.
    ASSERT_EQ(tarn::SwitchToFunctional(entry("G:"), &abort_), KPL_OK);
    settle();
    EXPECT_EQ(serviceOf(pathWith(tarn::kFunctionalInterface, "12345678"), tarn::kFunctionalInterface), "TARNRDR");
}

// A Plex module is announced to its monitor before it leaves; the monitor itself, before it
// leaves, tells the applications and lets go of its modules' handles.
TEST_F(ModeSwitch, PlexModulesAndTheirMonitorAreSwitchedWithCare) {
    lab::Lab& lab = lab::Lab::current();
    lab.attachDevice({{"kind", "plex-monitor"}, {"id", "plex"}, {"hub", "hub-1"}, {"port", 4}, {"slots", 2}});
    lab.attachDevice({{"kind", "plex-module"}, {"id", "mod"}, {"monitor", "plex"}, {"slot", 1}, {"drive", "J"}});
    settle();
    ASSERT_EQ(scan(), KPL_OK);
    DeviceInfoEntry* module = entry("J:");
    ASSERT_NE(module, nullptr);
    ASSERT_EQ(static_cast<TarnDeviceRecord*>(module->device)->isModule, 1);
    const DeviceInfoEntry* monitor = nullptr;
    for (const DeviceInfoEntry& e : list.entries)
        if (e.name[0] && static_cast<const TarnDeviceRecord*>(e.device)->driveLetter == tarn::kPlexMonitorDrive) monitor = &e;
    ASSERT_NE(monitor, nullptr);

    ASSERT_EQ(tarn::SwitchToDFU(&list, module, &abort_), KPL_OK) << testsupport::allLogged();
    const auto slots = lab.hardware().describe(usbNodeOf("plex")).value("informedSlots", nlohmann::json::array());
    EXPECT_EQ(slots, nlohmann::json::array({1})) << slots.dump();
    EXPECT_NE(static_cast<TarnDeviceRecord*>(module->device)->deviceHandle, INVALID_HANDLE_VALUE);

    ASSERT_EQ(tarn::SwitchToDFU(&list, const_cast<DeviceInfoEntry*>(monitor), &abort_), KPL_OK) << testsupport::allLogged();
    EXPECT_EQ(static_cast<TarnDeviceRecord*>(module->device)->deviceHandle, INVALID_HANDLE_VALUE)
        << "the module's handle is let go of";
    EXPECT_EQ(tarn::MerrowHandle(), INVALID_HANDLE_VALUE) << "the monitor's own handle went with it";
}

// A reader that arrives between arming and waiting — while the request that makes it leave is
// still under way — is taken: the notifications are registered before that request. And one
// whose notification was lost is found by the look the wait takes after its first pass.
TEST_F(ModeSwitch, AnArrivalBetweenArmingAndWaitingIsNotMissed) {
    tarn::arrival().checkIds = 0;
    for (bool lost : {false, true}) {
        SCOPED_TRACE(lost ? "notification lost" : "notification queued");
        const std::string id = lost ? "fast-2" : "fast-1";
        tarn::DeviceWait wait(true, false);
        ASSERT_EQ(wait.Arm(), KPL_OK);
        lab::Lab::current().attachDevice({{"kind", "tarn-reader"}, {"id", id}, {"hub", "hub-1"}, {"port", 4},
                                          {"mode", "upgrade"}});
        lab::Lab::current().hardware().refresh();
        if (lost) {
            // Taken while the trap looks away: the notification is gone, the interface is there.
            tarn::arrival().trapArmed = 0;
            MSG m;
            while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
            tarn::arrival().trapArmed = 1;
        }
        EXPECT_EQ(wait.Wait(&abort_), KPL_OK);
        EXPECT_EQ(tarn::arrival().dfuArrived, 1);
        ASSERT_NE(tarn::arrival().arrivedHandle, INVALID_HANDLE_VALUE);
        CloseHandle(tarn::arrival().arrivedHandle);
        tarn::arrival().arrivedHandle = INVALID_HANDLE_VALUE;
        lab::Lab::current().detachDevice(id);
        lab::Lab::current().hardware().refresh();
    }
}

}  // namespace
