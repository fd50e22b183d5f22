// The zelfin-lab tool from the command line.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "run_process.h"

namespace fs = std::filesystem;
using testsupport::binPath;
using testsupport::runCommand;

namespace {

class LabTool : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/lab-tool-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        lab_ = dir_ + "/lab";
    }
    void TearDown() override { fs::remove_all(dir_); }
    testsupport::ProcessResult tool(const std::string& args) {
        return runCommand(binPath("zelfin-lab") + " " + args, true);
    }
    std::string dir_, lab_;
};

TEST_F(LabTool, InitThenShowJson) {
    ASSERT_EQ(tool("init " + lab_).exitCode, 0);
    const auto shown = runCommand(binPath("zelfin-lab") + " show " + lab_ + " --json");
    ASSERT_EQ(shown.exitCode, 0);
    const auto j = nlohmann::json::parse(shown.output);
    EXPECT_TRUE(j.at("settings").is_object());
    EXPECT_TRUE(j.at("devices").is_array());
    EXPECT_EQ(j["settings"]["os"]["major"], 5);
    // Each reader carries what its flash holds, as its firmware reports it.
    for (const auto& d : j["devices"]) {
        if (d["id"] == "scsi-reader-1") {
            EXPECT_EQ(d["firmware"], nlohmann::json({{"family", "scsi"}, {"type", 0}, {"productType", 1},
                                                     {"feature", 1}, {"version", "1.00"}}));
        }
        if (d["kind"] == "cdrom") {
            EXPECT_TRUE(d["firmware"].is_null());
        }
    }
    // For people: one row per device with its firmware and faults.
    ASSERT_EQ(tool("fault " + lab_ + " scsi-reader-2 fail:AC0090:2").exitCode, 0);
    const auto table = tool("show " + lab_);
    EXPECT_NE(table.output.find("ID             KIND         DRIVE  MODE     PORT      FIRMWARE"), std::string::npos)
        << table.output;
    EXPECT_NE(table.output.find("scsi-reader-2  scsi-reader  F:     upgrade  SCSI 3:0  scsi type 1 product 1 v1.00  "
                                "fail:AC0090:2"),
              std::string::npos)
        << table.output;
    // Without a folder, show uses the lab named by ZELFIN_LAB.
    const auto viaEnv = runCommand("ZELFIN_LAB=" + lab_ + " " + binPath("zelfin-lab") + " show --json");
    EXPECT_EQ(nlohmann::json::parse(viaEnv.output)["path"], lab_);
}

TEST_F(LabTool, ServicesListsTheLabsDriversAndTheRegisteredOnes) {
    ASSERT_EQ(tool("init " + lab_ + " --scenario empty").exitCode, 0);
    const std::string key = "'HKLM\\SYSTEM\\CurrentControlSet\\Services\\MYDRV' ";
    ASSERT_EQ(tool("reg " + lab_ + " set " + key + "Type REG_DWORD 1").exitCode, 0);
    ASSERT_EQ(tool("reg " + lab_ + " set " + key + "Start REG_DWORD 3").exitCode, 0);
    ASSERT_EQ(tool("reg " + lab_ + " set " + key + "ImagePath REG_EXPAND_SZ 'System32\\Drivers\\MYDRV.SYS'").exitCode, 0);
    const auto listed = tool("services " + lab_);
    ASSERT_EQ(listed.exitCode, 0) << listed.output;
    EXPECT_NE(listed.output.find("MYDRV    kernel driver       demand  System32\\Drivers\\MYDRV.SYS"), std::string::npos)
        << listed.output;
    EXPECT_NE(listed.output.find("TARNDFU  built into the lab"), std::string::npos) << listed.output;
    EXPECT_EQ(tool("services").exitCode, 2);
}

TEST_F(LabTool, RegistryValuesFromTheCommandLine) {
    ASSERT_EQ(tool("init " + lab_ + " --scenario empty").exitCode, 0);
    const std::string key = "'HKLM\\SOFTWARE\\Quorvex\\KRDMgmt\\KRDConf'";
    EXPECT_EQ(tool("reg " + lab_ + " set " + key + " LogFileLimitKB REG_DWORD 0x102").exitCode, 0);
    auto got = tool("reg " + lab_ + " get " + key + " logfilelimitkb");
    EXPECT_EQ(got.exitCode, 0);
    EXPECT_EQ(got.output, "REG_DWORD\t0x00000102 (258)\n");
    EXPECT_EQ(tool("reg " + lab_ + " set " + key + " Name REG_SZ 'a b'").exitCode, 0);
    got = tool("reg " + lab_ + " get " + key);
    EXPECT_NE(got.output.find("Name\tREG_SZ\ta b"), std::string::npos) << got.output;
    EXPECT_EQ(tool("reg " + lab_ + " delete " + key + " Name").exitCode, 0);
    EXPECT_EQ(tool("reg " + lab_ + " get " + key + " Name").exitCode, 1);

    struct Bad {
        std::string args;
        int exitCode;
    };
    const Bad bad[] = {
        {"reg " + lab_ + " set " + key + " X REG_DWORD twelve", 2},
        {"reg " + lab_ + " set " + key + " X REG_BINARY 0g", 2},
        {"reg " + lab_ + " set " + key + " X REG_FOO 1", 2},
        {"reg " + lab_ + " frob " + key, 2},
        {"show " + dir_ + "/missing", 1},
        {"init " + dir_ + "/other --scenario nowhere.json", 1},
        {"", 2},
    };
    for (const Bad& b : bad) {
        const auto r = tool(b.args);
        EXPECT_EQ(r.exitCode, b.exitCode) << b.args << "\n" << r.output;
        EXPECT_NE(r.output.find("zelfin-lab: "), std::string::npos) << b.args;
    }
}

}  // namespace
