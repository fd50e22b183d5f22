// The host's windows on real Qt widgets (offscreen platform), saved as screenshots under the
// build folder so that a person can look at them: the wait window and the configuration editor.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <ui/driver.h>

#include <filesystem>
#include <future>
#include <string>
#include <utility>

#include "../config_fixture.h"
#include "cfg_mode_dialog.h"
#include "config_editor.h"
#include "modal_run.h"
#include "qt_offscreen.h"
#include "resource.h"
#include "screenshot.h"
#include "text.h"
#include "wait_dialog.h"

using namespace zelfin;
using namespace hosttest;

namespace {

// Each window in English and in German, whose texts run longer.
constexpr std::pair<int32_t, const char*> kLanguages[] = {{0x0409, ""}, {0x0407, "_de"}};

class HostScreens : public HostFolder {
protected:
    void SetUp() override {
        HostFolder::SetUp();
        ::setenv("ZELFIN_UI", "qt", 1);  // the folder fixture asks for headless
        ASSERT_STREQ(ui::backendName(), "qt");
    }
};

TEST_F(HostScreens, WaitWindow) {
    for (const auto& [language, suffix] : kLanguages) {
        theApp.uiLanguage = language;
        WaitDlg wait;
        wait.show();
        ASSERT_TRUE(wait.isOpen());
        EXPECT_EQ(wait.itemText(IDC_WAIT_TEXT), libraryString(kStrWait));
        testsupport::saveScreenshot(wait, std::string("wait_window") + suffix + ".png");
        wait.close();
        EXPECT_FALSE(wait.isOpen());
    }
}

// The editor as "/CE" runs it: the main window of the program.
TEST_F(HostScreens, ConfigurationEditor) {
    acceptBinImages();
    writeBytes(dir_ / "reader-v2.bin", imageWithType(1));
    writeBytes(dir_ / "reader-v1.bin", imageWithType(1));
    writeBytes(dir_ / "Zelfin.cfg", configBytes({{"Options", "3"},
                                                  {"GUI", "NO"},
                                                  {"BACKUP", "YES"},
                                                  {"RETRIES", "3"},
                                                  {"Download", "1"},
                                                  {"reader-v2.bin", " "}}));
    ui::headless::setAutoClose(false);
    for (const auto& [language, suffix] : kLanguages) {
        theApp.uiLanguage = language;
        auto run = std::async(std::launch::async, [] { runConfigEditorDialog(); });
        ui::Dialog* editor = nullptr;
        ASSERT_TRUE(ui::waitUntil([&] { return (editor = ui::topModalDialog()) != nullptr; }, testsupport::kUiCap));
        EXPECT_EQ(editor->listGetItemCount(IDC_OPTION_LIST), 3);
        EXPECT_TRUE(editor->listGetCheck(IDC_DOWNLOAD_LIST, 0));
        testsupport::saveScreenshot(*editor, std::string("config_editor") + suffix + ".png");
        ASSERT_TRUE(ui::user::click(*editor, IDCANCEL));
        EXPECT_EQ(run.wait_for(testsupport::kUiCap), std::future_status::ready);
    }
}

// The configured run's dialog as it opens: one row per image and reader, in English and German.
TEST_F(HostScreens, ConfiguredRunDialog) {
    theApp.pluginCount = 1;
    const char* readers[] = {"E: Quorvex CR-210 Card Reader", "F: Quorvex CR-210 Card Reader"};
    for (int i = 0; i < 2; ++i) {
        copyInto(theApp.plugins[0].devices.entries[i].name, readers[i]);
        DownloadEntry& row = theApp.downloads[theApp.downloadCount++];
        copyInto(row.fileName, "C:\\Zelfin\\cr210-2.10.bin");
        row.pluginIndex = 0;
        row.deviceIndex = i;
    }
    ui::headless::setAutoClose(false);
    for (const auto& [language, suffix] : kLanguages) {
        theApp.uiLanguage = language;
        {
            CfgModeDlg run;
            testsupport::ModalRun modal(run);
            ASSERT_TRUE(modal.waitOpen());
            EXPECT_EQ(run.listGetItemCount(IDC_RUN_LIST), 2);
            EXPECT_FALSE(run.isItemEnabled(IDC_RUN_DEVICE_INFO));
            testsupport::saveScreenshot(run, std::string("configured_run") + suffix + ".png");
            ASSERT_TRUE(ui::user::click(run, IDC_RUN_CLOSE));
            EXPECT_EQ(modal.result(), IDCANCEL);
        }
        EXPECT_EQ(exitCode, CfgModeDlg::kCancelled);  // closed before Start
        exitCode = 0;
    }
}

}  // namespace
