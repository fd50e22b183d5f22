// FORCEFS: at the host's start KPLTARN takes the high-speed (EHCI) controllers out, so that the
// readers run on the full-speed companions, and waits for them there; at the host's exit it puts
// the controllers back. Driven through KPLTARN.DLL on the lab's USB side.
#include <filesystem>
#include <fstream>
#include <string>

#include <plugin-api/kpl.h>
#include <winsim/cfgmgr32.h>

#include "log_capture.h"
#include "usb_lab.h"

namespace {

namespace fs = std::filesystem;
using usbtest::UsbPc;

// The host controllers by their service: whether each is started.
std::vector<std::pair<std::string, bool>> controllers() {
    std::vector<std::pair<std::string, bool>> out;
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_USB_HOST_CONTROLLER, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
        char service[64] = "";
        SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_SERVICE, nullptr, reinterpret_cast<BYTE*>(service),
                                          sizeof service, nullptr);
        ULONG status = 0, problem = 0;
        CM_Get_DevNode_Status(&status, &problem, dev.DevInst, 0);
        out.push_back({service, (status & DN_STARTED) != 0});
    }
    SetupDiDestroyDeviceInfoList(set);
    return out;
}

bool started(const char* service) {
    for (const auto& [s, on] : controllers())
        if (s == service && !on) return false;
    return true;
}

class ForceFs : public UsbPc {
protected:
    void SetUp() override {
        UsbPc::SetUp();
        module_ = LoadLibraryA(KPLTARN_DLL);
        ASSERT_NE(module_, nullptr);
        startStop_ = reinterpret_cast<KPLStartStop_t>(reinterpret_cast<void*>(GetProcAddress(module_, "KPLStartStop")));
        reinterpret_cast<KPLInitializeLogger_t>(reinterpret_cast<void*>(GetProcAddress(module_, "KPLInitializeLogger")))(
            testsupport::captureLog);
        testsupport::logged().clear();
        // A configuration file whose "Options" section holds FORCEFS=YES.
        config_ = fs::temp_directory_path() / ("zelfin-forcefs-" + std::to_string(::getpid()) + ".cfg");
        std::string bytes(4, '\0');
        for (auto [name, value] : {std::pair<const char*, const char*>{"Options", "1"}, {"FORCEFS", "Yes"}}) {
            std::string r(520, '\0');
            std::memcpy(r.data(), name, std::strlen(name));
            std::memcpy(r.data() + 260, value, std::strlen(value));
            bytes += r;
        }
        std::ofstream(config_, std::ios::binary) << bytes;
    }
    void TearDown() override {
        if (module_) FreeLibrary(module_);
        fs::remove(config_);
        UsbPc::TearDown();
    }
    bool logged(const std::string& line) {
        const auto& l = testsupport::logged();
        return std::find(l.begin(), l.end(), line) != l.end();
    }

    HMODULE module_ = nullptr;
    KPLStartStop_t startStop_ = nullptr;
    fs::path config_;
};

TEST_F(ForceFs, TheReadersComeBackOnTheCompanionsAndTheControllersReturnAtExit) {
    ASSERT_TRUE(started("usbehci"));
    EXPECT_EQ(startStop_(1, config_.c_str()), KPL_OK);
    EXPECT_TRUE(logged("FORCEFS option enabled."));
    EXPECT_TRUE(logged("Wait for enumeration after disabling EHCI"));
    EXPECT_FALSE(started("usbehci"));
    EXPECT_TRUE(started("usbuhci"));
    EXPECT_FALSE(usbtest::pathWith(tarn::kFunctionalInterface, "12345678").empty()) << "the reader is back";

    testsupport::logged().clear();
    EXPECT_EQ(startStop_(0, config_.c_str()), KPL_OK);
    EXPECT_TRUE(started("usbehci"));
    EXPECT_FALSE(logged("Wait for enumeration after disabling EHCI")) << "enabling does not wait";
    bool enabled = false;
    for (const std::string& l : testsupport::logged()) enabled = enabled || l.rfind("Enable of controller ", 0) == 0;
    EXPECT_TRUE(enabled);
}

// A reader whose storage unit no longer answers when it starts again comes back without its
// drive: after sixty pauses every controller gets a fresh start, and the high-speed one runs again.
TEST_F(ForceFs, DrivesThatDoNotComeBackRestartEveryController) {
    lab::Lab::current().applyFault("tarn-1", "stall:usb:A1.FE");  // Get Max LUN, at its next start
    lab::Lab::current().hardware().refresh();
    EXPECT_EQ(startStop_(1, config_.c_str()), KPL_E_DEVICES_NOT_BACK);
    EXPECT_TRUE(logged("Get device count : Iteration 60%"));
    EXPECT_FALSE(logged("Get device count : Iteration 61%"));
    for (const auto& [service, on] : controllers()) EXPECT_TRUE(on) << service;
}

}  // namespace
