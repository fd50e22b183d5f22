// The main dialog (both layouts), the About box and the device information dialog on real Qt
// widgets (offscreen platform), in English and in German, saved as screenshots under the build
// folder so that a person can check that every text fits.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <ui/driver.h>

#include <filesystem>
#include <future>
#include <cstdlib>
#include <string>

#include "../plugin_fixture.h"
#include "about_dialog.h"
#include "device_info_dialog.h"
#include "main_dialog.h"
#include "resource.h"
#include "screenshot.h"
#include "text.h"

// The program's other source includes qt_offscreen.h, which puts the whole program on Qt's
// offscreen platform.

using namespace zelfin;
using namespace hosttest;
using testsupport::kUiCap;
using testsupport::ModalRun;

namespace {

// The main dialog with the file dialog answered in code: a real one cannot be worked offscreen.
class ChosenFileDlg : public ZelfinDlg {
public:
    ChosenFileDlg(bool withModeChoice, std::string path) : ZelfinDlg(withModeChoice, true), path_(std::move(path)) {}

protected:
    std::optional<std::string> chooseFile(const ui::FileDialogRequest&) override { return path_; }

private:
    std::string path_;
};

struct Language {
    int32_t id;
    const char* suffix;
};
const Language kLanguages[] = {{0x0409, ""}, {0x0407, "_de"}};

class UpdateScreens : public PluginFolder {
protected:
    void SetUp() override {
        PluginFolder::SetUp();
        ::setenv("ZELFIN_UI", "qt", 1);  // the folder fixture asks for headless
        ASSERT_STREQ(ui::backendName(), "qt");
        setEnv("ZELFIN_TEST_A_ACCEPT", ".bin");
        setEnv("ZELFIN_TEST_A_DEVICES", "Quoll SD/MMC Reader [Hub:2],Quoll SD/MMC Reader [Hub:3],Tarn CF Reader");
        setEnv("ZELFIN_TEST_A_MATCH", "reader-v2.bin:0,1");
        setEnv("ZELFIN_TEST_A_DISPLAY_ROWS", "6");
        setEnv("ZELFIN_TEST_A_DLL_INFO_1", "Plug-in texts may replace this line");
        bindAndList({"plugin_a", "plugin_c"});
        copyInto(theApp.tempDir, windowsPath("work").c_str());
        writeBytes(dir_ / "reader-v2.bin", "image");
    }
    void TearDown() override {
        theApp.uiLanguage = 0x0409;
        PluginFolder::TearDown();
    }
};

// Layout 102 with an image chosen, and the device information of its reader on top.
TEST_F(UpdateScreens, MainDialogWithTheChoiceAndTheReaderInformation) {
    for (const Language& lang : kLanguages) {
        theApp.uiLanguage = lang.id;
        ChosenFileDlg dlg(true, windowsPath("reader-v2.bin"));
        ModalRun run(dlg);
        ASSERT_TRUE(run.waitOpen());
        ASSERT_TRUE(ui::user::click(dlg, IDC_BROWSE));
        ASSERT_TRUE(ui::waitUntil([&] { return dlg.isItemEnabled(IDC_START); }, kUiCap));
        EXPECT_EQ(dlg.comboGetCount(IDC_DEVICE_CHOICE), 2);
        testsupport::saveScreenshot(dlg, std::string("main_dialog") + lang.suffix + ".png");

        ASSERT_TRUE(ui::user::click(dlg, IDC_MAIN_DEVICE_INFO));
        ui::Dialog* info = testsupport::dialogOnTopOf(dlg);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->listGetColumnCount(IDC_INFO_ROWS), 3);
        ASSERT_TRUE(ui::user::click(*info, IDOK));
        ASSERT_TRUE(ui::waitUntil([&] { return ui::topModalDialog() == &dlg; }, kUiCap));
        ASSERT_TRUE(ui::user::click(dlg, IDCANCEL));
        EXPECT_EQ(run.result(), IDCANCEL);
    }
}

// Layout 152 after a download that went through.
TEST_F(UpdateScreens, MainDialogWithoutTheChoiceAfterADownload) {
    for (const Language& lang : kLanguages) {
        theApp.uiLanguage = lang.id;
        ChosenFileDlg dlg(false, windowsPath("reader-v2.bin"));
        ModalRun run(dlg);
        ASSERT_TRUE(run.waitOpen());
        ASSERT_TRUE(ui::user::click(dlg, IDC_BROWSE));
        ASSERT_TRUE(ui::waitUntil([&] { return dlg.isItemEnabled(IDC_START); }, kUiCap));
        ASSERT_TRUE(ui::user::click(dlg, IDC_START));
        ASSERT_TRUE(ui::waitUntil([&] { return !dlg.busy() && dlg.itemText(IDCANCEL) == libraryString(11); }, kUiCap));
        EXPECT_EQ(dlg.mainResult(), 0);
        testsupport::saveScreenshot(dlg, std::string("main_dialog_download_only") + lang.suffix + ".png");
        ASSERT_TRUE(ui::user::click(dlg, IDCANCEL));
        EXPECT_EQ(run.result(), IDCANCEL);
    }
}

// "/DI": every reader, and the About box from its system menu (the screenshots of both come from
// the real plug-in, below).
TEST_F(UpdateScreens, DeviceInformationAndAbout) {
    for (const Language& lang : kLanguages) {
        theApp.uiLanguage = lang.id;
        DevInfo info(true);
        ModalRun run(info);
        ASSERT_TRUE(run.waitOpen());
        EXPECT_EQ(info.listGetItemCount(IDC_INFO_ROWS), 6);

        ASSERT_TRUE(ui::user::chooseAbout(info));
        ui::Dialog* about = testsupport::dialogOnTopOf(info);
        ASSERT_NE(about, nullptr);
        ASSERT_TRUE(ui::user::click(*about, IDOK));
        ASSERT_TRUE(ui::waitUntil([&] { return ui::topModalDialog() == &info; }, kUiCap));
        ASSERT_TRUE(ui::user::click(info, IDOK));
        EXPECT_EQ(run.result(), IDOK);
    }
}

// What a user sees: the SCSI plug-in KPLMORA on the lab's readers (E: in normal mode, F: in its
// boot loader), its own texts in the device information and the About box.
class RealReaderScreens : public HostFolder {
protected:
    void SetUp() override {
        HostFolder::SetUp();
        ::setenv("ZELFIN_UI", "qt", 1);
        ASSERT_STREQ(ui::backendName(), "qt");
        ui::headless::setAutoClose(false);
        // The plug-in loads the string library by its bare name, from the current folder.
        for (const char* file : {"KPLMORA.DLL", "ZELFNRES.DLL"})
            fs::copy_file(fs::path(ZELFIN_BIN_DIR) / file, dir_ / file);
        ASSERT_EQ(bindPlugins(), 0);
        ASSERT_EQ(createDeviceLists().code, 0);
        theApp.currentPlugin = nullptr;
        copyInto(theApp.tempDir, ("Z:" + (dir_ / "work").string()).c_str());
        const std::string build = std::string(ZELFIN_BIN_DIR) + "/zelfin-image build " + (dir_ / "cr210-2.10.bin").string() +
                                  " --family scsi --type 0 --version 2.10 --feature 1 >/dev/null";
        ASSERT_EQ(std::system(build.c_str()), 0);
    }
    void TearDown() override {
        destroyDeviceLists();
        unloadPlugins();
        theApp.uiLanguage = 0x0409;
        HostFolder::TearDown();
    }
};

TEST_F(RealReaderScreens, DeviceInformationAndAbout) {
    for (const Language& lang : kLanguages) {
        theApp.uiLanguage = lang.id;
        {
            ChosenFileDlg dlg(true, "Z:" + (dir_ / "cr210-2.10.bin").string());
            ModalRun run(dlg);
            ASSERT_TRUE(run.waitOpen());
            ASSERT_TRUE(ui::user::click(dlg, IDC_BROWSE));
            ASSERT_TRUE(ui::waitUntil([&] { return dlg.isItemEnabled(IDC_START); }, kUiCap));
            ASSERT_TRUE(ui::user::click(dlg, IDC_MAIN_DEVICE_INFO));
            ui::Dialog* info = testsupport::dialogOnTopOf(dlg);
            ASSERT_NE(info, nullptr);
            EXPECT_EQ(info->listGetColumnCount(IDC_INFO_ROWS), 3);
            EXPECT_GT(info->listGetItemCount(IDC_INFO_ROWS), 1);
            // The reader's name gets the room the short labels leave.
            EXPECT_GT(info->listGetColumnWidth(IDC_INFO_ROWS, 1), info->listGetColumnWidth(IDC_INFO_ROWS, 0));
            testsupport::saveScreenshot(*info, std::string("device_info_download") + lang.suffix + ".png");
            ASSERT_TRUE(ui::user::click(*info, IDOK));
            ASSERT_TRUE(ui::waitUntil([&] { return ui::topModalDialog() == &dlg; }, kUiCap));
            ASSERT_TRUE(ui::user::click(dlg, IDCANCEL));
            EXPECT_EQ(run.result(), IDCANCEL);
        }
        DevInfo info(true);
        ModalRun run(info);
        ASSERT_TRUE(run.waitOpen());
        EXPECT_EQ(info.comboGetCount(IDC_INFO_READERS), 2);
        EXPECT_EQ(info.comboGetText(IDC_INFO_READERS, 0), "E: Quorvex CR-210 Card Reader");
        testsupport::saveScreenshot(info, std::string("device_info") + lang.suffix + ".png");
        ASSERT_TRUE(ui::user::chooseAbout(info));
        ui::Dialog* about = testsupport::dialogOnTopOf(info);
        ASSERT_NE(about, nullptr);
        EXPECT_NE(about->itemText(IDC_ABOUT_PLUGINS).find("SCSI Card Reader Firmware Plug-in"), std::string::npos)
            << about->itemText(IDC_ABOUT_PLUGINS);
        testsupport::saveScreenshot(*about, std::string("about") + lang.suffix + ".png");
        ASSERT_TRUE(ui::user::click(*about, IDOK));
        ASSERT_TRUE(ui::waitUntil([&] { return ui::topModalDialog() == &info; }, kUiCap));
        ASSERT_TRUE(ui::user::click(info, IDOK));
        EXPECT_EQ(run.result(), IDOK);
    }
}

}  // namespace
