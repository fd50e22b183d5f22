// The configured run as installation scripts start it: zelfin in a folder with a configuration
// file and a test plug-in, with and without its dialog, checked by exit code, log, the plug-in's
// trace of calls and the backups it was handed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "zelfin_fixture.h"

namespace {

using namespace e2e;

class ConfiguredRun : public Zelfin {
protected:
    void SetUp() override {
        Zelfin::SetUp();
        installPlugin("plugin_a", "KPLTESTA.DLL");
        trace_ = dir_ / "trace.txt";
    }
    // The test plug-in: two readers, images ending in ".bin" accepted.
    std::string plugin(const std::string& more = "") const {
        return "ZELFIN_TEST_A_DEVICES='Reader One,Reader Two' ZELFIN_TEST_A_ACCEPT=.bin ZELFIN_TEST_A_TRACE=" +
               trace_.string() + " " + more + " ";
    }
    std::vector<std::string> calls(const std::string& prefix) const {
        std::vector<std::string> found;
        std::ifstream in(trace_);
        for (std::string line; std::getline(in, line);)
            if (line.rfind("A:" + prefix, 0) == 0) found.push_back(line.substr(2));
        return found;
    }
    // The backups in the lab's work folder, as "<file name>=<content>".
    std::vector<std::string> backups() const {
        std::vector<std::string> found;
        for (const auto& e : fs::recursive_directory_iterator(lab_ / "drive_c"))
            if (e.path().parent_path().filename() == "Zelfin" && e.path().extension() == ".bin")
                found.push_back(e.path().filename().string() + "=" + readFile(e.path()));
        std::sort(found.begin(), found.end());
        return found;
    }
    void writeScript(const std::string& lines) const { std::ofstream(dir_ / "script.txt") << lines; }
    std::string script() const { return "ZELFIN_UI_SCRIPT=" + (dir_ / "script.txt").string() + " "; }

    fs::path trace_;
};

TEST_F(ConfiguredRun, WithoutWindowsEveryReaderAnImageFitsIsUpdatedAndBackedUp) {
    writeConfig("--option GUI=no --option BACKUP=yes --download fw.bin --download other.sig");
    const auto r = zelfin("", plugin());
    // Every run without windows ends with 255, whatever happened.
    EXPECT_EQ(r.exitCode, 255) << r.output;
    EXPECT_EQ(r.output, "");
    // One image that fits both readers: two rows, one download each, in list order.
    const auto downloads = calls("KPLDownloadFirmware");
    ASSERT_EQ(downloads.size(), 2u);
    EXPECT_EQ(downloads[0].rfind("KPLDownloadFirmware(1,", 0), 0u) << downloads[0];  // the filter's last choice
    EXPECT_EQ(downloads[1].rfind("KPLDownloadFirmware(0,", 0), 0u) << downloads[1];
    const std::regex backupName(R"(KPLDownloadFirmware\(\d,C:\\WINDOWS\\TEMP\\Zelfin\\\d\d[A-Z][a-z]{2}\d{4}_\d+h\d+m\d+s(_\d+)?\.bin,fw\.bin\))");
    for (const std::string& d : downloads) EXPECT_TRUE(std::regex_match(d, backupName)) << d;
    // Two readers within the same second still get a backup each.
    const auto kept = backups();
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_NE(kept[0].find("=old firmware of Reader"), std::string::npos);
    EXPECT_NE(kept[0].substr(kept[0].find('=')), kept[1].substr(kept[1].find('=')));
    const std::string text = log();
    EXPECT_NE(text.find("********** Firmware  Download  Start **********"), std::string::npos) << text;
    EXPECT_NE(text.find("Zelfin(800) :Preparing to download fw.bin"), std::string::npos) << text;
    EXPECT_TRUE(calls("KPLSwitchToFuncMode").empty());  // only the dialog switches back
}

TEST_F(ConfiguredRun, IvWithSeveralImagesStopsBeforeAnyDownload) {
    writeConfig("--option GUI=no --download a.bin --download b.bin");
    const auto r = zelfin("/IV", plugin("ZELFIN_TEST_A_MATCH='a.bin:0'"));
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_NE(log().find("Command line switch \"IV\" is not supported when Zelfin is configured for multiple files."),
              std::string::npos)
        << log();
    EXPECT_TRUE(calls("KPLDownloadFirmware").empty());
    EXPECT_TRUE(calls("KPLFilterDeviceInfoSet").empty());
}

// The other ways of finding the reader: the symbolic link named in the file, the product type
// of readers in upgrade mode, and "/IV" with an image that fits two readers.
TEST_F(ConfiguredRun, MatchingByLinkByProductTypeAndIvWithSeveralReaders) {
    struct Case {
        const char* what;
        std::string config;
        std::string args;
        std::string env;
        std::vector<std::string> downloads;
        const char* logged;
    };
    const std::vector<Case> cases = {
        {"link", "--option MATCHBYSYMLINK=yes --symlink Two", "", "",
         {"KPLDownloadFirmware(1,,fw.bin)"}, "Zelfin(540) :SymLink of Device to download: Two"},
        {"no link record", "--option MATCHBYSYMLINK=yes", "", "", {},
         "Zelfin(530) Symbolic Link Name is missing in Cfg file"},
        {"product type", "--option MATCHDFUDEVBYPRODTYPE=yes", "", "ZELFIN_TEST_A_UPGRADE=1",
         {"KPLDownloadFirmware(1,,fw.bin)"}, "KPLMatchDFUDevByProdType"},
        {"iv, two readers", "", "/IV", "", {},
         "Command line switch \"IV\" is not supported when more than one QVX reader is connected."},
    };
    for (const Case& c : cases) {
        fs::remove(trace_);
        fs::remove(labLog());
        writeConfig("--option GUI=no --option BACKUP=no --download fw.bin " + c.config);
        const auto r = zelfin(c.args, plugin(c.env));
        EXPECT_EQ(r.exitCode, 255) << c.what;
        EXPECT_EQ(calls("KPLDownloadFirmware"), c.downloads) << c.what;
        const std::string text = log() + readFile(trace_);
        EXPECT_NE(text.find(c.logged), std::string::npos) << c.what << "\n" << text;
    }
}

// A plug-in without the matching entry point the options ask for: the image is skipped (620).
TEST_F(ConfiguredRun, MatchingThePlugInCannotDoSkipsTheImage) {
    fs::remove(work_ / "KPLTESTA.DLL");
    installPlugin("plugin_b", "KPLTESTB.DLL");
    const std::string readers = "ZELFIN_TEST_B_DEVICES='Reader One' ZELFIN_TEST_B_ACCEPT=.bin ZELFIN_TEST_B_TRACE=" +
                                trace_.string() + " ";
    struct Case {
        const char* option;
        const char* logged;
    };
    for (const Case& c : {Case{"MATCHBYSYMLINK=yes --symlink One", "KPLMatchDevBySymLink API not supported by this DLL"},
                          Case{"MATCHDFUDEVBYPRODTYPE=yes", "KPLMatchDFUDevByProdType API not supported by this DLL"}}) {
        fs::remove(labLog());
        writeConfig(std::string("--option GUI=no --download fw.bin --option ") + c.option);
        EXPECT_EQ(zelfin("", readers).exitCode, 255);
        EXPECT_NE(log().find(c.logged), std::string::npos) << log();
        EXPECT_EQ(readFile(trace_).find("KPLDownloadFirmware"), std::string::npos);
    }
}

TEST_F(ConfiguredRun, ReportStatusShowsOnlyTheFailureBox) {
    writeConfig("--option GUI=no --option REPORTSTATUS=yes --download a.bin --download b.bin");
    const auto r = zelfin("", plugin("ZELFIN_TEST_A_MATCH='a.bin:0;b.bin:1' ZELFIN_TEST_A_DOWNLOAD_RESULT=0,214"));
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(calls("KPLDownloadFirmware").size(), 2u);
    EXPECT_EQ(r.output,
              "Zelfin: The firmware update failed, or the configuration file names no usable firmware image. See "
              "Zelfin.log for details.\n");

    const auto ok = zelfin("", plugin("ZELFIN_TEST_A_MATCH='a.bin:0;b.bin:1'"));
    EXPECT_EQ(ok.output, "Zelfin: The firmware update finished successfully.\n");
}

// With windows, the dialog lists the rows and downloads them when Start is pressed.
TEST_F(ConfiguredRun, TheDialogDownloadsEveryRowAndEndsWithZero) {
    writeConfig("--download a.bin --download b.bin --option BACKUP=no");
    writeScript(
        "expect-item 1007 0 0 a.bin\n"
        "expect-item 1007 1 1 Reader Two\n"
        "click 1057\n"
        "wait-text 1033 Close\n"
        "expect-text 1049 Firmware update completed.\n"
        "click 1033\n"
        "wait-closed\n");
    const auto r = zelfin("", plugin("ZELFIN_TEST_A_MATCH='a.bin:0;b.bin:1'") + script());
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(calls("KPLDownloadFirmware"),
              (std::vector<std::string>{"KPLDownloadFirmware(0,,a.bin)", "KPLDownloadFirmware(1,,b.bin)"}));
    EXPECT_EQ(calls("KPLSwitchToFuncMode").size(), 1u);  // after the last row
    EXPECT_NE(log().find("CfgModeDlg(100) :Preparing to download b.bin"), std::string::npos) << log();
}

TEST_F(ConfiguredRun, TheOperatorDecidesAfterAFailure) {
    writeConfig("--download a.bin --download b.bin --option BACKUP=no");
    writeScript("click 1057\nwait-text 1033 Close\nclick 1033\nwait-closed\n");
    struct Case {
        const char* answers;  // the plug-in's error box, then question 116
        size_t downloads;
    };
    for (const Case& c : {Case{"ok,yes", 2}, Case{"ok,no", 1}}) {
        fs::remove(trace_);
        const auto r = zelfin("", plugin(std::string("ZELFIN_TEST_A_MATCH='a.bin:0;b.bin:1' ZELFIN_TEST_A_DOWNLOAD_RESULT=214,0 "
                                                     "ZELFIN_UI_ANSWERS=") +
                                         c.answers) +
                                      script());
        // A failed row leaves 2 even when the next one succeeds: not every row was written.
        EXPECT_EQ(r.exitCode, 2) << c.answers << r.output;
        EXPECT_EQ(calls("KPLDownloadFirmware").size(), c.downloads) << c.answers;
        EXPECT_NE(r.output.find("Zelfin: Test plug-in A status 214"), std::string::npos) << r.output;
        EXPECT_NE(r.output.find("Continue with the next card reader?"), std::string::npos) << r.output;
    }
}

TEST_F(ConfiguredRun, CancellingStopsTheRunningTransferAndStartsNoOther) {
    writeConfig("--download a.bin --download b.bin --option BACKUP=no");
    writeScript("click 1057\nwait-text 1038 Downloading\nclose\nwait-text 1033 Close\nclick 1033\nwait-closed\n");
    const auto r = zelfin("", plugin("ZELFIN_TEST_A_MATCH='a.bin:0;b.bin:1' ZELFIN_TEST_A_DOWNLOAD_UNTIL_ABORT=1 "
                                     "ZELFIN_UI_ANSWERS=yes,ok") +
                                  script());
    EXPECT_NE(r.output.find("Do you really want to cancel?"), std::string::npos) << r.output;
    EXPECT_EQ(calls("KPLDownloadFirmware").size(), 1u);
    EXPECT_EQ(r.exitCode, 2) << r.output;  // the aborted transfer counts as a failed one

    // Closed before Start: nothing is written, exit code 1.
    fs::remove(trace_);
    const auto closed = zelfin("", plugin("ZELFIN_TEST_A_MATCH='a.bin:0;b.bin:1'"));
    EXPECT_EQ(closed.exitCode, 1) << closed.output;
    EXPECT_TRUE(calls("KPLDownloadFirmware").empty());
}

// The device information of a row is asked of the row's own reader, with the row's image.
TEST_F(ConfiguredRun, DeviceInformationShowsTheReaderOfTheChosenRow) {
    writeConfig("--download a.bin --download b.bin");
    writeScript(
        "select 1007 1\n"
        "wait-enabled 1004\n"
        "click 1004\n"
        "expect-item 1006 0 1 Reader Two\n"
        "expect-item 1006 1 2 2.00\n"
        "close\n"
        "click 1033\n"
        "wait-closed\n");
    const auto r = zelfin("", plugin("ZELFIN_TEST_A_MATCH='a.bin:0;b.bin:1'") + script());
    EXPECT_EQ(r.exitCode, 1) << r.output;  // closed without Start
    EXPECT_EQ(calls("KPLGetDisplayInfo"), (std::vector<std::string>{"KPLGetDisplayInfo(1,b.bin)"}));
    EXPECT_TRUE(calls("KPLDownloadFirmware").empty());
}

TEST_F(ConfiguredRun, NoImageFitsAndTheRunTurnsInteractive) {
    writeConfig("--download a.bin");
    const auto r = zelfin("", plugin("ZELFIN_TEST_A_MATCH='other.bin:0'"));
    // The run dialog is made first and ended last: 255 whatever the interactive dialog did.
    EXPECT_EQ(r.exitCode, 255) << r.output;
    EXPECT_TRUE(calls("KPLDownloadFirmware").empty());
    EXPECT_NE(log().find("No connected card reader fits the firmware image a.bin."), std::string::npos) << log();
    EXPECT_EQ(calls("KPLDestroyDeviceInfoList").size(), 2u);  // before the interactive dialog, and at the end
}

}  // namespace
