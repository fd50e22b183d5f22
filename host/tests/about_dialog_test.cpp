// The About box, reached from a host dialog's system menu: the program's version line, the bound
// plug-ins, the first plug-in's own texts, and the address opened in the user's browser.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "about_dialog.h"
#include "device_info_dialog.h"
#include "plugin_fixture.h"
#include "resource.h"

using namespace zelfin;
using namespace hosttest;
using testsupport::kUiCap;
using testsupport::ModalRun;

namespace {

class About : public PluginFolder {
protected:
    // The desktop's opener: a script that tells the test what it was asked to open.
    fs::path installOpener() {
        const fs::path said = makeFifo("opened");
        const fs::path script = dir_ / "opener.sh";
        std::ofstream(script) << "#!/bin/sh\nexec >/dev/null 2>&1\nprintf '%s' \"$1\" > '" << said.string() << "'\n";
        fs::permissions(script, fs::perms::owner_all);
        setEnv("ZELFIN_OPENER", script.string());
        return said;
    }
};

TEST_F(About, ShowsTheVersionThePluginsAndTheirTextsAndOpensTheLink) {
    setEnv("ZELFIN_TEST_A_DEVICES", "Reader");
    bindAndList({"plugin_a", "plugin_c"});
    struct Case {
        const char* info1;
        const char* info2;
        std::string notice;
        std::string link;
    };
    const Case cases[] = {
        {"", "", "Copyright (C) 2026 Zelfin developers", "https://zelfin.example.org/support"},
        {"Made for the Quoll reader family", "https://quoll.example.com/help", "Made for the Quoll reader family",
         "https://quoll.example.com/help"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.link);
        setEnv("ZELFIN_TEST_A_DLL_INFO_1", c.info1);
        setEnv("ZELFIN_TEST_A_DLL_INFO_2", c.info2);
        const fs::path opened = installOpener();
        // Any host dialog's system menu leads to it.
        DevInfo owner(true);
        ModalRun run(owner);
        ASSERT_TRUE(run.waitOpen());
        ASSERT_TRUE(ui::user::chooseAbout(owner));
        ui::Dialog* top = nullptr;
        ASSERT_TRUE(ui::waitUntil([&] { return (top = ui::topModalDialog()) != nullptr && top != &owner; }, kUiCap));
        auto* about = dynamic_cast<AboutDlg*>(top);
        ASSERT_NE(about, nullptr);
        EXPECT_EQ(about->title(), libraryString(46));
        EXPECT_EQ(about->itemText(IDOK), libraryString(12));
        EXPECT_EQ(about->itemText(IDC_ABOUT_VERSION), "Zelfin - Integrated Firmware Update Utility Version 1.0.0.0");
        EXPECT_EQ(about->itemText(IDC_ABOUT_NOTICE), c.notice);
        EXPECT_EQ(about->itemText(IDC_ABOUT_PLUGINS),
                  std::string(theApp.plugins[0].description) + "\n\n" + theApp.plugins[1].description);
        EXPECT_EQ(std::string(theApp.plugins[1].description), "Test Reader Plug-in Version 2.1.0.0");
        EXPECT_EQ(about->itemText(IDC_ABOUT_LINK), c.link);
        ASSERT_TRUE(ui::user::click(*about, IDC_ABOUT_LINK));
        EXPECT_EQ(awaitFifo(opened), c.link);
        ASSERT_TRUE(ui::user::click(*about, IDOK));
        ASSERT_TRUE(ui::waitUntil([&] { return ui::topModalDialog() == &owner; }, kUiCap));
        ASSERT_TRUE(ui::user::click(owner, IDOK));
        EXPECT_EQ(run.result(), IDOK);
        fs::remove(opened);
    }
}

}  // namespace
