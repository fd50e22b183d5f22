// Runs that cannot do what they were asked: each says why on standard error (headless) and in
// the log, and ends with the exit code the README gives.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "zelfin_fixture.h"

namespace {

using namespace e2e;

class SilentRun : public Zelfin {
protected:
    void SetUp() override {
        Zelfin::SetUp();
        installPlugin("plugin_a", "KPLTESTA.DLL");
    }
    // The test plug-in: one reader, images ending in ".bin" accepted.
    static std::string plugin() { return "ZELFIN_TEST_A_DEVICES='Reader One' ZELFIN_TEST_A_ACCEPT=.bin "; }
};

// A "/CFG" file that cannot be used: the run goes on interactively (the headless main dialog
// closes at once, with its Close result 1) and both the operator and the log learn why.
TEST_F(SilentRun, UnusableConfigurationFileIsNamedWithItsReason) {
    fs::create_directories(work_ / "folder.cfg");
    std::ofstream(work_ / "plain.txt") << "x";
    struct Case {
        const char* path;
        const char* box;
        const char* logged;
    } cases[] = {
        {"missing.cfg", "The configuration file MISSING.CFG does not exist.", "MISSING.CFG: no such file"},
        {"folder.cfg", "The configuration file FOLDER.CFG is a folder, not a file.", "FOLDER.CFG: is a folder"},
        {"plain.txt\\inner.cfg", "The configuration file PLAIN.TXT\\INNER.CFG does not exist.",
         "PLAIN.TXT\\INNER.CFG: no such file"},
    };
    for (const Case& c : cases) {
        fs::remove(labLog());
        const auto r = zelfin(std::string("/CFG '") + c.path + "'", plugin());
        EXPECT_EQ(r.exitCode, 1) << c.path << "\n" << r.output;
        EXPECT_NE(r.output.find(std::string("Zelfin: ") + c.box + " Zelfin goes on without it."), std::string::npos)
            << c.path << "\n" << r.output;
        EXPECT_NE(log().find(std::string("Zelfin(130) :Cannot use the configuration file ") + c.logged),
                  std::string::npos)
            << c.path << "\n" << log();
    }
}

// What goes wrong while the configuration is read happens before the log is open; it still
// reaches the log, after the header and in order, with why each unused image was left out.
TEST_F(SilentRun, WhatTheConfigurationReaderFoundReachesTheLog) {
    std::ofstream(work_ / "fw.sig") << "not for this plug-in";
    writeConfig("--option GUI=no --option NOSUCHKEY=yes --download gone.sig --download fw.sig");
    const auto r = zelfin("", plugin());
    EXPECT_EQ(r.exitCode, 0) << r.output;
    const std::string text = log();
    const size_t header = text.find("Zelfin - Integrated Firmware Update Utility Version");
    const size_t unknown = text.find("CfgEdtDlg(105) :Option NOSUCHKEY is not known and is skipped");
    const size_t gone = text.find("CfgEdtDlg(205) :Image gone.sig is not used: file not found");
    const size_t refused = text.find("CfgEdtDlg(206) :Image fw.sig is not used: KPLTESTA.DLL refuses it with status 207, ");
    const size_t empty = text.find("Download files section of the Zelfin.cfg file is empty/has no valid file");
    ASSERT_NE(header, std::string::npos) << text;
    EXPECT_LT(header, unknown) << text;
    EXPECT_LT(unknown, gone) << text;
    EXPECT_LT(gone, refused) << text;
    EXPECT_NE(refused, std::string::npos) << text;
    EXPECT_LT(refused, empty) << text;
    // Each kept line carries its own date and time, like every other record.
    EXPECT_NE(text.find(" CfgEdtDlg(205) :"), std::string::npos);
    EXPECT_EQ(text.find("\r\nCfgEdtDlg"), std::string::npos) << text;
}

TEST_F(SilentRun, ChecksumErrorIsLoggedAsWellAsShown) {
    writeConfig("--option GUI=no --download fw.bin");
    {
        std::fstream f(work_ / "Zelfin.cfg", std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(0);
        f.put('\x55');
    }
    const auto r = zelfin("", plugin());
    EXPECT_NE(r.output.find("Zelfin: The configuration file is damaged"), std::string::npos) << r.output;
    EXPECT_NE(log().find("Zelfin(111) Cfg file has invalid CRC"), std::string::npos) << log();
}

TEST_F(SilentRun, UnknownOwnOptionPrintsTheUsageAndEndsWithTwo) {
    for (const char* args : {"--bogus", "/DI --help-me"}) {
        const auto r = zelfin(args, plugin());
        EXPECT_EQ(r.exitCode, 2) << args;
        EXPECT_NE(r.output.find(std::string("zelfin: unknown option ") + (args[0] == '/' ? "--help-me" : "--bogus")),
                  std::string::npos)
            << r.output;
        EXPECT_NE(r.output.find("Usage: zelfin"), std::string::npos) << r.output;
        EXPECT_FALSE(fs::exists(labLog())) << "nothing ran";
    }
    // After "/CFG" everything is the path, dashes and all.
    const auto r = zelfin("/CFG --odd.cfg", plugin());
    EXPECT_NE(r.output.find("The configuration file --ODD.CFG does not exist."), std::string::npos) << r.output;
}

}  // namespace
