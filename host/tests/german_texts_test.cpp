// A German user sees German: every dialog of the host, as it opens and after the steps that set
// texts at run time, shows no text that only the English table holds.
#include <gtest/gtest.h>

#include <devaccess/sysutil.h>
#include <ui/dialog_template.h>
#include <ui/driver.h>

#include <set>
#include <string>
#include <vector>

#include "about_dialog.h"
#include "cfg_mode_dialog.h"
#include "config_editor.h"
#include "device_info_dialog.h"
#include "main_dialog.h"
#include "modal_run.h"
#include "plugin_fixture.h"
#include "resource.h"
#include "text.h"
#include "wait_dialog.h"

using namespace zelfin;
using namespace hosttest;
using testsupport::kUiCap;
using testsupport::ModalRun;

namespace {

class GermanTexts : public PluginFolder {
protected:
    void SetUp() override {
        PluginFolder::SetUp();
        theApp.uiLanguage = 0x0407;
        // Texts that differ between the tables: shown to a German user, they are a slip.
        for (UINT id = 0; id < 1000; ++id) {
            char en[kTextSize] = {}, de[kTextSize] = {};
            LoadResString(theApp.stringLibrary, id, 0x0409, en, sizeof en);
            LoadResString(theApp.stringLibrary, id, 0x0407, de, sizeof de);
            if (!*de && *en) missingInGerman_.push_back(id);
            if (*en && std::string(en) != de) englishOnly_.insert(en);
        }
        copyInto(theApp.tempDir, windowsPath("work").c_str());
        setEnv("ZELFIN_TEST_A_DEVICES", "Reader One");
        setEnv("ZELFIN_TEST_A_ACCEPT", ".bin");
        setEnv("ZELFIN_TEST_A_DLL_INFO_1", "");
        setEnv("ZELFIN_TEST_A_DLL_INFO_2", "");
        bindAndList({"plugin_a"});
        writeBytes(dir_ / "fw.bin", "image");
    }

    // Every text the host gives `d`: title, the controls of its template (statics as the
    // template has them), list columns, drop-down items. List rows hold what the plug-in reports
    // (reader names, its display rows), which is the plug-in's to translate.
    void expectGerman(const ui::Dialog& d, UINT templateId, const std::string& when) {
        SCOPED_TRACE(when);
        const auto tmpl = ui::loadDialogTemplate(nullptr, templateId);
        ASSERT_TRUE(tmpl.has_value()) << templateId;
        auto check = [&](const std::string& text, const std::string& where) {
            EXPECT_EQ(englishOnly_.count(text), 0u) << where << " shows the English \"" << text << "\"";
        };
        check(d.title(), "the title");
        for (const ui::DialogItem& item : tmpl->items) {
            const int id = static_cast<int>(item.id);
            const std::string where = "control " + std::to_string(id);
            if (item.id == 0xFFFF || item.id == 0xFFFFFFFF || !d.hasItem(id)) {
                check(item.text, "a fixed text of the template");
                continue;
            }
            if (d.isItemVisible(id)) check(d.itemText(id), where);
            for (int c = 0; c < d.listGetColumnCount(id); ++c) check(d.listGetColumnText(id, c), where + " column");
            for (int i = 0; i < d.comboGetCount(id); ++i) check(d.comboGetText(id, i), where + " item");
        }
    }

    std::vector<UINT> missingInGerman_;
    std::set<std::string> englishOnly_;
};

TEST_F(GermanTexts, EveryDialogShowsOnlyGerman) {
    EXPECT_TRUE(missingInGerman_.empty()) << missingInGerman_.size() << " strings have no German text, the first "
                                          << (missingInGerman_.empty() ? 0 : missingInGerman_[0]);
    ASSERT_FALSE(englishOnly_.empty());
    {
        WaitDlg wait;
        wait.show();
        expectGerman(wait, IDD_WAIT, "wait window");
        wait.close();
    }
    for (bool withChoice : {true, false}) {
        ZelfinDlg dlg(withChoice, true);
        ModalRun run(dlg);
        ASSERT_TRUE(run.waitOpen());
        const UINT id = withChoice ? IDD_MAIN : IDD_MAIN_DOWNLOAD_ONLY;
        expectGerman(dlg, id, "main dialog");
        ui::headless::queueFileAnswer(windowsPath("fw.bin"));
        ASSERT_TRUE(ui::user::click(dlg, IDC_BROWSE));
        ASSERT_TRUE(ui::waitUntil([&] { return dlg.isItemEnabled(IDC_START); }, kUiCap));
        expectGerman(dlg, id, "main dialog with an image chosen");
        {
            ASSERT_TRUE(ui::user::click(dlg, IDC_MAIN_DEVICE_INFO));
            ui::Dialog* info = testsupport::dialogOnTopOf(dlg);
            ASSERT_NE(info, nullptr);
            expectGerman(*info, IDD_DEVICE_INFO, "device information of the chosen reader");
            ASSERT_TRUE(ui::user::close(*info));
            ASSERT_TRUE(ui::waitUntil([&] { return ui::topModalDialog() == &dlg; }, kUiCap));
        }
        ASSERT_TRUE(ui::user::click(dlg, IDC_START));
        // Ended: the cancel button is the close button again.
        char closeText[kTextSize];
        loadString(11, closeText);
        ASSERT_TRUE(ui::waitUntil([&] { return !dlg.busy() && dlg.itemText(IDCANCEL) == closeText; }, kUiCap));
        expectGerman(dlg, id, "main dialog after the download");
        ASSERT_TRUE(ui::user::chooseAbout(dlg));
        ui::Dialog* about = testsupport::dialogOnTopOf(dlg);
        ASSERT_NE(about, nullptr);
        expectGerman(*about, IDD_ABOUT, "About");
        ASSERT_TRUE(ui::user::click(*about, IDOK));
        ASSERT_TRUE(ui::waitUntil([&] { return ui::topModalDialog() == &dlg; }, kUiCap));
        ASSERT_TRUE(ui::user::click(dlg, IDCANCEL));
        EXPECT_TRUE(run.waitClosed()) << __LINE__;
    }
    {
        DevInfo info(true);
        ModalRun run(info);
        ASSERT_TRUE(run.waitOpen());
        expectGerman(info, IDD_DEVICE_INFO, "device information of every reader");
        ASSERT_TRUE(ui::user::close(info));
        EXPECT_TRUE(run.waitClosed()) << __LINE__;
    }
    {
        CfgEdtDlg editor;
        ModalRun run(editor);
        ASSERT_TRUE(run.waitOpen());
        expectGerman(editor, IDD_CONFIG_EDITOR, "configuration editor");
        ASSERT_TRUE(ui::user::click(editor, IDC_ADD_OPTION));
        ui::Dialog* option = testsupport::dialogOnTopOf(editor);
        ASSERT_NE(option, nullptr);
        expectGerman(*option, IDD_OPTION, "option dialog");
        ASSERT_TRUE(ui::user::click(*option, IDCANCEL));
        ASSERT_TRUE(ui::waitUntil([&] { return ui::topModalDialog() == &editor; }, kUiCap));
        ui::headless::setMessageBoxAnswers("no");
        ASSERT_TRUE(ui::user::click(editor, IDCANCEL));
        EXPECT_TRUE(run.waitClosed()) << __LINE__;
    }
    {
        copyInto(theApp.downloads[0].fileName, "fw.bin");
        theApp.downloads[0].pluginIndex = 0;
        theApp.downloads[0].deviceIndex = 0;
        theApp.downloadCount = 1;
        CfgModeDlg run;
        ModalRun modal(run);
        ASSERT_TRUE(modal.waitOpen());
        expectGerman(run, IDD_CFG_MODE, "configured run");
        ASSERT_TRUE(ui::user::click(run, IDC_RUN_START));
        ASSERT_TRUE(ui::waitUntil([&] { return !run.busy() && run.runResult() != CfgModeDlg::kNotFinished; }, kUiCap));
        expectGerman(run, IDD_CFG_MODE, "configured run after the download");
        ASSERT_TRUE(ui::user::close(run));
        EXPECT_TRUE(modal.waitClosed()) << __LINE__;
    }
}

}  // namespace
