// The ticker program started as a script starts it: headless, driven by ZELFIN_UI_SCRIPT as its
// operator, and closed by another program through its window.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <ui/win32.h>

#include "child_process.h"
#include "run_process.h"
#include "test_lab.h"

namespace fs = std::filesystem;
using uitest::ChildProcess;

namespace {

constexpr std::chrono::seconds kCap{60};
const char kTitle[] = "Zelfin Ticker";

class TickerProgram : public ::testing::Test {
protected:
    // ticker with these arguments, headless in the test's lab, playing `script` when given.
    ChildProcess start(const std::vector<std::string>& args, const std::string& script = "") {
        std::vector<std::string> env{"ZELFIN_UI=headless"};
        if (!script.empty()) {
            const fs::path file = fs::path(testsupport::testLabDir()).parent_path() /
                                  ("ticker-" + std::to_string(::getpid()) + "-" + std::to_string(scripts_++) + ".script");
            std::ofstream(file) << script;
            files_.push_back(file);
            env.push_back("ZELFIN_UI_SCRIPT=" + file.string());
        }
        return ChildProcess(testsupport::binPath("ticker"), args, env);
    }
    void TearDown() override {
        for (const fs::path& f : files_) fs::remove(f);
    }

private:
    int scripts_ = 0;
    std::vector<fs::path> files_;
};

TEST_F(TickerProgram, ShowsTheTextCyclesTheBarAndEndsOnClose) {
    // Ticks of 10 ms of lab time: a turn of the bar takes a tenth of a second here. A wait that
    // misses a position is answered a turn later.
    ChildProcess t = start({"Copying files", "1", "-50,20"},
                           "expect-text 1001 Copying files\n"
                           "wait-pos 1000 50\n"
                           "wait-pos 1000 99\n"
                           "wait-pos 1000 0\n"  // only the wrap brings it back after 99
                           "wait-pos 1000 1\n"
                           "expect-text 1001 Copying files\n"
                           "close\n"
                           "wait-closed\n");
    ASSERT_TRUE(t.started());
    EXPECT_EQ(t.wait(kCap), 0) << t.err();
    EXPECT_EQ(t.err(), "");
}

// From a POSIX shell a one-word text needs a blank, or its quotation marks never reach the program.
TEST_F(TickerProgram, OneWordTextFromAShell) {
    ChildProcess t = start({"Busy "}, "expect-text 1001 Busy \nclose\nwait-closed\n");
    EXPECT_EQ(t.wait(kCap), 0) << t.err();
    EXPECT_EQ(t.err(), "");
}

TEST_F(TickerProgram, EnterEndsItToo) {
    ChildProcess t = start({"Copying files"}, "expect-text 1001 Copying files\nenter\nwait-closed\n");
    EXPECT_EQ(t.wait(kCap), 0) << t.err();
    EXPECT_EQ(t.err(), "");
}

TEST_F(TickerProgram, AnotherProgramClosesItThroughItsWindow) {
    ChildProcess t = start({"Waiting for the installer"}, "expect-text 1001 Waiting for the installer\nwait-closed\n");
    ASSERT_TRUE(t.started());
    // Another process's window announces itself nowhere this one could wait on: look for it a
    // few times a second until it is there.
    HWND h = nullptr;
    const auto deadline = std::chrono::steady_clock::now() + kCap;
    while (!(h = FindWindowA(nullptr, kTitle)) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_NE(h, nullptr) << t.err();
    EXPECT_TRUE(PostMessageA(h, WM_CLOSE, 0, 0));
    EXPECT_EQ(t.wait(kCap), 0) << t.err();
    EXPECT_EQ(t.err(), "");
    EXPECT_FALSE(IsWindow(h));
}

// A window would fail the script, which expects a text that is never shown.
TEST_F(TickerProgram, WithoutAQuotedTextNoWindowOpens) {
    // Without a blank the text reaches the command line without quotation marks.
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, std::vector<std::string>{"Busy"}}) {
        ChildProcess t = start(args, "expect-text 1001 never shown\n");
        EXPECT_EQ(t.wait(kCap), 0) << t.err();
        EXPECT_EQ(t.err(), "");
    }
}

TEST_F(TickerProgram, HelpOnlyAsTheWholeCommandLine) {
    ChildProcess help = start({"--help"});
    EXPECT_EQ(help.wait(kCap), 0);
    EXPECT_EQ(help.out().rfind("Usage: ticker \"text\" [interval [x,y | y]]\n", 0), 0u) << help.out();
    ChildProcess notHelp = start({"--help", "5"}, "expect-text 1001 never shown\n");
    EXPECT_EQ(notHelp.wait(kCap), 0) << notHelp.err();
    EXPECT_EQ(notHelp.out(), "");
}

}  // namespace
