// The zelfin program started as an operator or a script starts it: its start-up, its log, the
// single-instance rule and its command-line help.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "zelfin_fixture.h"

namespace fs = std::filesystem;
using testsupport::binPath;
using testsupport::runCommand;

extern char** environ;

namespace {

using namespace e2e;

TEST_F(Zelfin, WithoutPluginsItShowsCode120AndEnds) {
    const auto r = zelfin();
    EXPECT_EQ(r.exitCode, 0);
    // Headless, the message box reaches stderr as "<caption>: <text>".
    EXPECT_NE(r.output.find("Zelfin: No firmware plug-in (KPL*.DLL) was found."), std::string::npos) << r.output;
    // The run ends at binding, before the log is opened.
    EXPECT_FALSE(fs::exists(labLog()));
}

TEST_F(Zelfin, KeepsItsLogWithHeaderAndClosingRecord) {
    installPlugin("plugin_a", "KPLTESTA.DLL");
    const auto first = zelfin();
    EXPECT_EQ(first.exitCode, 0) << first.output;
    const auto second = zelfin();
    EXPECT_EQ(second.exitCode, 0) << second.output;
    const std::string log = readFile(labLog());
    const std::string stamp = R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d )";
    const std::regex header(stamp + R"(Zelfin Integrated Firmware Update Utility (\d\d-\d\d-\d{4} \d\d:\d\d:\d\d)\r\n)" +
                            stamp + R"(-+\r\n)" + stamp +
                            R"(Zelfin - Integrated Firmware Update Utility Version 1\.0\.0\.0\r\n)");
    EXPECT_EQ(std::distance(std::sregex_iterator(log.begin(), log.end(), header), std::sregex_iterator()), 2)
        << "one header per run, appended\n"
        << log;
    const std::regex closing(stamp + R"(Zelfin Quits the current session\.\r\n\r\n)");
    EXPECT_EQ(std::distance(std::sregex_iterator(log.begin(), log.end(), closing), std::sregex_iterator()), 2) << log;
    EXPECT_TRUE(log.size() >= 4 && log.substr(log.size() - 4) == "\r\n\r\n");
    // What a plug-in logs while it is bound comes before the log is open; it is kept and written
    // after the header of its own run.
    const std::regex ready(R"(Version 1\.0\.0\.0\r\n(?:)" + stamp + R"([^\r]*\r\n)*)" + stamp + R"(testplugin\(1\) :Test plug-in A ready)");
    EXPECT_EQ(std::distance(std::sregex_iterator(log.begin(), log.end(), ready), std::sregex_iterator()), 2) << log;
}

TEST_F(Zelfin, LogGoesToTheCurrentFolderWhenTheSystemDriveIsProtected) {
    const fs::path scenario = dir_ / "protected.json";
    std::ofstream(scenario) << R"({"settings":{"systemDriveWritable":false}})";
    ASSERT_EQ(runCommand(binPath("zelfin-lab") + " init " + lab_.string() + " --force --scenario " + scenario.string()).exitCode, 0);
    installPlugin("plugin_a", "KPLTESTA.DLL");
    EXPECT_EQ(zelfin().exitCode, 0);
    EXPECT_FALSE(fs::exists(labLog()));
    EXPECT_NE(readFile(work_ / "Zelfin.log").find("Zelfin Quits the current session."), std::string::npos);
}

TEST_F(Zelfin, DisabledLogWritesNothing) {
    installPlugin("plugin_a", "KPLTESTA.DLL");
    writeConfig("--option DISABLELOG=yes --option GUI=no");
    const auto r = zelfin();
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_FALSE(fs::exists(labLog()));
    EXPECT_FALSE(fs::exists(work_ / "Zelfin.log"));
}

TEST_F(Zelfin, SecondCopyRaisesTheFirstAndEnds) {
    installPlugin("plugin_a", "KPLTESTA.DLL");
    const fs::path entered = dir_ / "entered", release = dir_ / "release", firstErr = dir_ / "first.err";
    ASSERT_EQ(::mkfifo(entered.c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(release.c_str(), 0600), 0);
    // The first copy stops in the middle of its start-up, wait window shown, until released.
    const std::string first = "cd " + work_.string() + " && " +
                              env("ZELFIN_TEST_A_START_ENTERED=" + entered.string() +
                                  " ZELFIN_TEST_A_START_RELEASE=" + release.string()) +
                              binPath("zelfin") + " 2>" + firstErr.string();
    pid_t pid = 0;
    const char* argv[] = {"/bin/sh", "-c", first.c_str(), nullptr};
    ASSERT_EQ(posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    ASSERT_TRUE(awaitFifo(entered)) << "the first copy never started its plug-ins";

    const auto second = zelfin();
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.output, "") << "the second copy ends silently";

    { std::ofstream(release) << "go"; }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(readFile(firstErr).find("Zelfin: brought to the front"), std::string::npos) << readFile(firstErr);
}

TEST_F(Zelfin, HelpAndVersion) {
    const auto help = runCommand(binPath("zelfin") + " --help");
    EXPECT_EQ(help.exitCode, 0);
    for (const char* word : {"/CFG", "/CE", "/DI", "/IV", "ZELFIN_LAB", "ZELFIN_UI_SCRIPT"})
        EXPECT_NE(help.output.find(word), std::string::npos) << word;
    const auto version = runCommand(binPath("zelfin") + " --version");
    EXPECT_EQ(version.output, "Zelfin - Integrated Firmware Update Utility 1.0.0.0\n");
}

}  // namespace
