// What our tools say when they cannot do their job: one plain line on standard error naming the
// file and the reason, and the exit code their --help documents.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "run_process.h"

namespace fs = std::filesystem;
using testsupport::binPath;
using testsupport::runCommand;

namespace {

class ToolErrors : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tool-errors-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        lab_ = dir_ + "/lab";
        ASSERT_EQ(runCommand(binPath("zelfin-lab") + " init " + lab_ + " --scenario empty").exitCode, 0);
    }
    void TearDown() override { fs::remove_all(dir_); }
    // Only what the tool writes on standard error.
    testsupport::ProcessResult errors(const std::string& command) const {
        return runCommand("cd " + dir_ + " && ZELFIN_LAB=" + lab_ + " " + command + " 2>&1 >/dev/null");
    }
    static std::string lineCount(const std::string& text) {
        size_t n = 0;
        for (char c : text) n += c == '\n';
        return std::to_string(n) + " lines";
    }
    std::string dir_, lab_;
};

TEST_F(ToolErrors, MissingFolderEmptyAndRandomInputsGiveOnePlainLine) {
    fs::create_directories(dir_ + "/folder");
    std::ofstream(dir_ + "/nothing");
    {
        std::mt19937 bytes(7);
        std::ofstream random(dir_ + "/random", std::ios::binary);
        for (int i = 0; i < 3000; ++i) random.put(static_cast<char>(bytes()));
    }
    const std::string config = binPath("zelfin-config") + " show ";
    const std::string image = binPath("zelfin-image") + " info ";
    const std::string scenario = binPath("zelfin-lab") + " init new --scenario ";
    struct Case {
        std::string command;
        int exitCode;
        const char* says;  // nullptr: no error at all
    } cases[] = {
        {config + "missing", 1, "zelfin-config: cannot open missing: no such file"},
        {config + "folder", 1, "zelfin-config: cannot open folder: is a folder, not a file"},
        {config + "nothing", 0, nullptr},  // 0 bytes: a valid configuration that configures nothing
        {config + "random", 1, "zelfin-config: random is not a usable configuration file: wrong checksum"},
        {image + "missing", 1, "zelfin-image: cannot read missing: no such file"},
        {image + "folder", 1, "zelfin-image: cannot read folder: is a folder, not a file"},
        {image + "nothing", 1, "zelfin-image: cannot read nothing: the file is empty"},
        {image + "random", 3, "zelfin-image: random is not a firmware image of either family"},
        {image + "random --family scsi", 3, "zelfin-image: random is not a firmware image of the scsi family"},
        {scenario + "missing", 1, "zelfin-lab: no such scenario: missing (use default, empty or a JSON file)"},
        {scenario + "folder", 1, "zelfin-lab: scenario folder is a folder, not a file"},
        {scenario + "nothing", 1, "zelfin-lab: scenario nothing is empty"},
        {scenario + "random", 1, "zelfin-lab: scenario random is not JSON (error at byte 1)"},
    };
    for (const Case& c : cases) {
        const auto r = errors(c.command);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.command << "\n" << r.output;
        if (c.says)
            EXPECT_EQ(r.output, std::string(c.says) + "\n") << c.command << " (" << lineCount(r.output) << ")";
        else
            EXPECT_EQ(r.output, "") << c.command;
    }
}

TEST_F(ToolErrors, WritingAndMakingNeedAPlaceTheyMayUse) {
    std::ofstream(dir_ + "/plain") << "x";
    const std::string write = binPath("zelfin-config") + " write ";
    struct Case {
        std::string command;
        int exitCode;
        std::string says;
    } cases[] = {
        {write + "nowhere/run.cfg --option GUI=no", 1,
         "zelfin-config: cannot write nowhere/run.cfg: the folder nowhere does not exist (--mkdir creates it)"},
        {write + "plain/run.cfg --mkdir --option GUI=no", 1,
         "zelfin-config: cannot write plain/run.cfg: cannot create the folder plain: a file of that name is in the way"},
        {write + "lab --option GUI=no", 1, "zelfin-config: cannot write lab: is a folder, not a file"},
        {binPath("zelfin-lab") + " init lab", 1,
         "zelfin-lab: lab already holds a lab; init --force resets it (its devices' memories are lost)"},
        {binPath("zelfin-lab") + " init plain/lab", 1, "zelfin-lab: cannot use "},
        {binPath("zelfin-lab") + " fault lab dev fail:ZZ", 2, "zelfin-lab: bad command byte 'ZZ' in fault 'fail:ZZ'"},
        {binPath("zelfin-bench") + " --bogus", 2, "zelfin-bench: unknown argument '--bogus'"},
        {binPath("zelfin-bench") + " --repeat", 2, "zelfin-bench: no value after '--repeat'"},
    };
    for (const Case& c : cases) {
        const auto r = errors(c.command);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.command << "\n" << r.output;
        EXPECT_EQ(r.output.rfind(c.says, 0), 0u) << c.command << "\n" << r.output;
        EXPECT_EQ(r.output.find("filesystem error"), std::string::npos) << r.output;
    }
    // What was refused is not half done, and the asked-for folder is made.
    EXPECT_FALSE(fs::exists(dir_ + "/nowhere"));
    EXPECT_EQ(errors(write + "made/deeper/run.cfg --mkdir --option GUI=no").exitCode, 0);
    EXPECT_TRUE(fs::exists(dir_ + "/made/deeper/run.cfg"));
    EXPECT_EQ(errors(binPath("zelfin-lab") + " init lab --force").exitCode, 0);
}

TEST_F(ToolErrors, ShowWritesNoRawControlBytes) {
    ASSERT_EQ(errors(binPath("zelfin-config") + " write run.cfg --option \"$(printf 'GUI=n\\033[2Jo')\" --download \"$(printf 'caf\\303\\251\\007.bin')\"")
                  .exitCode,
              0);
    const auto shown = runCommand("cd " + dir_ + " && ZELFIN_LAB=" + lab_ + " " + binPath("zelfin-config") + " show run.cfg");
    EXPECT_EQ(shown.exitCode, 0);
    EXPECT_NE(shown.output.find("GUI = n\\x1B[2Jo"), std::string::npos) << shown.output;
    EXPECT_NE(shown.output.find("caf\xc3\xa9\\x07.bin"), std::string::npos) << "UTF-8 text stays as it is\n" << shown.output;
    for (char c : shown.output) EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << int(c);
}

TEST_F(ToolErrors, EveryToolHasAVersion) {
    for (const char* tool : {"zelfin-config", "zelfin-image", "zelfin-lab", "zelfin-bench", "ticker"}) {
        const auto r = runCommand("ZELFIN_LAB=" + lab_ + " " + binPath(tool) + " --version");
        EXPECT_EQ(r.exitCode, 0) << tool;
        EXPECT_EQ(r.output, std::string(tool) + " 1.0.0\n");
    }
}

// A mistyped ZELFIN_LAB is refused by every program, before it does anything; only the default
// place is made on first use.
TEST_F(ToolErrors, MistypedLabIsRefusedByEveryProgram) {
    fs::create_directories(dir_ + "/nolab");
    const std::string programs[] = {binPath("zelfin") + " --version", binPath("zelfin-config") + " show x.cfg",
                                    binPath("zelfin-image") + " info x.bin",
                                    "ZELFIN_UI=headless " + binPath("ticker") + " '\"Busy\"'"};
    struct Case {
        std::string lab;
        const char* says;
    } cases[] = {
        {dir_ + "/typo", ", which does not exist (make a lab there with: zelfin-lab init "},
        {dir_ + "/nolab", ", which holds no lab (no lab.json; make one with: zelfin-lab init "},
    };
    for (const Case& c : cases) {
        for (const std::string& program : programs) {
            const auto r = runCommand("cd " + dir_ + " && ZELFIN_LAB=" + c.lab + " " + program + " 2>&1 >/dev/null");
            EXPECT_EQ(r.exitCode, 70) << program;
            EXPECT_EQ(r.output, "winsim: cannot use the lab: ZELFIN_LAB names " + c.lab + c.says + c.lab + ")\n")
                << program;
        }
        EXPECT_FALSE(fs::exists(c.lab + "/lab.json")) << "no lab was made in " << c.lab;
    }
    const auto r = runCommand("cd " + dir_ + " && env -u ZELFIN_LAB XDG_DATA_HOME=" + dir_ + "/data " +
                              binPath("zelfin") + " --version");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(fs::exists(dir_ + "/data/zelfin/lab/lab.json")) << "the default lab is made on first use";
}

}  // namespace
