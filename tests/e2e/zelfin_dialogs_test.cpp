// The zelfin program's dialogs driven as an operator drives them, by a script against a headless
// zelfin in a lab of its own: the main dialog without a configuration, the device information
// with "/DI", and the help command.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "zelfin_fixture.h"

namespace {

using namespace e2e;

// Zelfin in a working folder with test plug-in A, on a lab made from the default scenario.
class ZelfinDialogs : public Zelfin {
protected:
    std::string scenario() const override { return "default"; }
    void SetUp() override {
        Zelfin::SetUp();
        installPlugin("plugin_a", "KPLTESTA.DLL");
    }

    // Runs zelfin with `args`, playing `script` (when given) on its dialogs.
    testsupport::ProcessResult play(const std::string& args, const std::string& script,
                                    const std::string& extraEnv = "") const {
        std::string env = "ZELFIN_UI_SCRIPT_TIMEOUT=20 ZELFIN_TEST_A_TRACE=" + (dir_ / "trace.txt").string() + " " +
                          extraEnv + " ";
        if (!script.empty()) {
            std::ofstream(dir_ / "script.txt") << script;
            env += "ZELFIN_UI_SCRIPT=" + (dir_ / "script.txt").string() + " ";
        }
        return zelfin(args, env);
    }
    // A file of the working folder as the program names it.
    std::string windowsPath(const std::string& name) const { return "Z:" + (work_ / name).string(); }
    std::string trace() const { return readFile(dir_ / "trace.txt"); }
};

TEST_F(ZelfinDialogs, WithoutAConfigurationTheMainDialogWritesIntoTheChosenReader) {
    std::ofstream(work_ / "fw.bin") << "image";
    const std::string readers = "ZELFIN_TEST_A_DEVICES='Reader [Hub:1],Reader' ZELFIN_TEST_A_ACCEPT=.bin";
    // "/IV" lets the plug-in skip its check that the image is newer.
    const auto r = play("/iv",
                          "wait-enabled 1003\n"
                          "file " + windowsPath("fw.bin") + "\n"
                          "click 1003\n"
                          "wait-enabled 1010\n"
                          "expect-text 1002 " + windowsPath("fw.bin") + "\n"
                          "select 1006 1\n"
                          "click 1010\n"
                          "wait-text 2 Close\n"
                          "expect-text 1035 Done\n"
                          "close\n",
                          readers);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(trace().find("A:KPLFilterDeviceInfoSet(" + windowsPath("fw.bin") + ",0,1)"), std::string::npos) << trace();
    EXPECT_NE(trace().find("A:KPLDownloadFirmware(1,C:\\WINDOWS\\TEMP\\Zelfin\\"), std::string::npos) << trace();
    const std::string log = readFile(lab_ / "drive_c" / "Zelfin.log");
    EXPECT_NE(log.find("ZelfinDlg(201) :Selected device is device 1"), std::string::npos) << log;
    EXPECT_NE(log.find("********** Firmware Download Complete **********"), std::string::npos) << log;

    // Closed at once, without an operation: exit code 1.
    EXPECT_EQ(play("", "", readers).exitCode, 1);
}

TEST_F(ZelfinDialogs, DeviceInformationReportSavedTwice) {
    const std::string report = windowsPath("DevInfo.txt");
    const auto r = play("/di",
                          "expect-item 1006 0 1 Second\n"
                          "file " + report + "\nclick 1017\n"
                          "file " + report + "\nclick 1017\n"
                          "click 1\n",
                          "ZELFIN_TEST_A_DEVICES=Second,Twin,Twin ZELFIN_UI_ANSWERS=yes");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    const std::string text = readFile(work_ / "DevInfo.txt");
    const std::string one = R"(Zelfin - Device Information Display \d\d-\d\d-\d{4} \d\d:\d\d:\d\d\r\n-{57}\r\n)"
                            R"(Product = Second\r\nFirmware version = 1\.00\r\n)";
    EXPECT_TRUE(std::regex_match(text, std::regex(one + one))) << text;
}

TEST_F(ZelfinDialogs, HelpOpensTheManualBesideTheProgram) {
    const fs::path said = dir_ / "opened";
    ASSERT_EQ(::mkfifo(said.c_str(), 0600), 0);
    const fs::path opener = dir_ / "opener.sh";
    // It lets go of zelfin's output at once, so that zelfin's end is seen while it waits.
    std::ofstream(opener) << "#!/bin/sh\nexec >/dev/null 2>&1\nprintf '%s' \"$1\" > '" << said.string() << "'\n";
    fs::permissions(opener, fs::perms::owner_all);
    const auto r = play("/di", "help\nclick 1\n", "ZELFIN_TEST_A_DEVICES=Reader ZELFIN_OPENER=" + opener.string());
    EXPECT_EQ(r.exitCode, 0) << r.output;

    // The opener runs on its own; it says what it was given once the test listens.
    const int fd = ::open(said.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 20000), 1) << "the manual was never opened";
    char buf[1024];
    std::string opened;
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) opened.append(buf, static_cast<size_t>(n));
    ::close(fd);
    EXPECT_TRUE(fs::equivalent(opened, binPath("ZELFIN.HTM"))) << opened;
    EXPECT_NE(readFile(binPath("ZELFIN.HTM")).find("Device information"), std::string::npos);
}

}  // namespace
