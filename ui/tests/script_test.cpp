// Whole programs driven by ZELFIN_UI_SCRIPT: the test dialog in ui_test_app, with a worker
// thread updating it while the script waits; every way a script fails ends the program with
// exit code 3 and a line that says why.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "child_process.h"
#include "headless_env.h"
#include "test_dialog.h"

namespace {

struct ScriptCase {
    const char* name;
    const char* script;  // nullptr: no script
    std::vector<std::string> env;
    int exitCode;
    std::vector<std::string> errHas;
    std::vector<std::string> outHas;
};

std::ostream& operator<<(std::ostream& os, const ScriptCase& c) { return os << c.name; }

class UiScript : public ::testing::TestWithParam<ScriptCase> {};

TEST_P(UiScript, RunsTheDialogProgram) {
    const ScriptCase& c = GetParam();
    std::vector<std::string> env = c.env;
    std::filesystem::path file;
    if (c.script) {
        file = std::filesystem::path(testsupport::testLabDir()).parent_path() / (std::string(c.name) + ".script");
        std::ofstream(file) << c.script;
        env.push_back("ZELFIN_UI_SCRIPT=" + file.string());
    }
    uitest::ChildProcess app(ZELFIN_UI_TEST_APP, {"dialog"}, env);
    ASSERT_TRUE(app.started());
    EXPECT_EQ(app.wait(uitest::kCap), c.exitCode) << app.err();
    for (const std::string& s : c.errHas) EXPECT_NE(app.err().find(s), std::string::npos) << s << "\n" << app.err();
    for (const std::string& s : c.outHas) EXPECT_NE(app.out().find(s), std::string::npos) << s << "\n" << app.out();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UiScript,
    ::testing::Values(
        // The worker steps the bar for a second of lab time (50 ms here) while the script
        // waits for OK to be enabled.
        ScriptCase{"Transfer",
                   "# choose a reader and an image, then run the transfer\n"
                   "select 1010 2\n"
                   "check 1011 1\n"
                   "uncheck 1006\n"
                   "text 1007 5\n"
                   "expect-text 1007 5\n"
                   "\n"
                   "select 1011 1\n"
                   "expect-item 1011 1 0 fw_b.bin\n"
                   "click 1016\n"
                   "wait-pos 1014 100\n"
                   "wait-enabled 1\n"
                   "expect-text 1015 Done.\n"
                   "expect-text 1010 Reader C (E:)\n"
                   "click 1\n"
                   "wait-closed\n",
                   {"ZELFIN_TIME_SCALE=20"},
                   IDOK,
                   {},
                   {"event command 1010 1", "event notify 1011 -101 1 1000 2000", "event command 1006 0",
                    "event command 1016 0", "result 1"}},
        ScriptCase{"ExpectationFails", "expect-text 1015 Busy\n", {}, 3,
                   {"ExpectationFails.script:1: \"expect-text 1015 Busy\": control 1015 shows \"Ready.\", not \"Busy\""},
                   {}},
        ScriptCase{"WaitTimesOut", "wait-enabled 1\n", {"ZELFIN_UI_SCRIPT_TIMEOUT=1"}, 3,
                   {"nothing happened within 1 s (waiting for control 1 to be enabled)"}, {}},
        ScriptCase{"BarNeverGetsThere", "wait-pos 1014 50\n", {"ZELFIN_UI_SCRIPT_TIMEOUT=1"}, 3,
                   {"waiting for progress bar 1014 to stand at 50 (it stands at 0)"}, {}},
        ScriptCase{"WaitPosOnText", "wait-pos 1015 0\n", {}, 3, {"the dialog has no progress bar 1015"}, {}},
        ScriptCase{"ClickOnDisabledButton", "click 1\n", {}, 3, {"control 1 is disabled"}, {}},
        ScriptCase{"UnknownAction", "click 2\npress 1\n", {}, 3, {"line 2: unknown action \"press\""}, {}},
        ScriptCase{"ProgramEndsFirst", "click 2\nclick 1016\n", {}, 3,
                   {":2: \"click 1016\": the program ended first"}, {"result 2"}},
        ScriptCase{"CloseHelpAbout", "help\nabout\nclose\nwait-closed\n", {}, IDCANCEL, {},
                   {"event help\nevent about\nevent close\nevent command 2 0"}},
        // Without a script, or once it is used up, the dialog is closed as the operator would.
        ScriptCase{"NoScript", nullptr, {}, IDCANCEL, {}, {"event close\nevent command 2 0\nresult 2"}},
        ScriptCase{"UsedUp", "select 1010 1\n", {}, IDCANCEL, {}, {"event command 1010 1\nevent close"}}),
    [](const ::testing::TestParamInfo<ScriptCase>& info) { return std::string(info.param.name); });

}  // namespace
