// The zelfin-config tool from the command line, as installation scripts use it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "run_process.h"
#include "test_lab.h"

namespace fs = std::filesystem;
using testsupport::binPath;
using testsupport::runCommand;

namespace {

std::string quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class ConfigTool : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/config-tool-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        file_ = dir_ + "/Zelfin.cfg";
    }
    void TearDown() override { fs::remove_all(dir_); }
    testsupport::ProcessResult tool(const std::string& args, bool withStderr = true) {
        return runCommand(binPath("zelfin-config") + " " + args, withStderr);
    }
    std::string dir_, file_;
};

TEST_F(ConfigTool, WriteThenShowRoundTrips) {
    const std::string image = "E:\\fw dir\\it's.bin";
    const auto written = tool("write " + file_ + " --option GUI=no --option PLUGINKEY=a=b --option RETRIES=3" +
                              " --download " + quoted(image) + " --download b.sig --symlink " +
                              quoted("\\\\?\\usb#vid_0bda&pid_0151"));
    ASSERT_EQ(written.exitCode, 0) << written.output;
    EXPECT_NE(written.output.find("warning: option key 'PLUGINKEY'"), std::string::npos) << written.output;

    const auto shown = tool("show " + file_ + " --json", false);
    ASSERT_EQ(shown.exitCode, 0) << shown.output;
    const auto j = nlohmann::json::parse(shown.output);
    EXPECT_EQ(j["crc"]["ok"], true);
    EXPECT_EQ(j["crc"]["stored"], j["crc"]["computed"]);
    EXPECT_EQ(j["options"], nlohmann::json::parse(R"([{"key":"GUI","value":"no","known":true},
        {"key":"PLUGINKEY","value":"a=b","known":false},{"key":"RETRIES","value":"3","known":true}])"));
    EXPECT_EQ(j["downloads"], nlohmann::json::array({image, "b.sig"}));
    EXPECT_EQ(j["symlink"], "\\\\?\\usb#vid_0bda&pid_0151");
    EXPECT_EQ(j["complete"], true);
    EXPECT_TRUE(j["error"].is_null());

    // Rewritten without a symbolic link, the file has none.
    ASSERT_EQ(tool("write " + file_ + " --download b.sig").exitCode, 0);
    const auto j2 = nlohmann::json::parse(tool("show " + file_ + " --json", false).output);
    EXPECT_TRUE(j2["symlink"].is_null());
    EXPECT_TRUE(j2["options"].empty());
    EXPECT_EQ(j2["sections"][0]["header"], "Download");
}

TEST_F(ConfigTool, DamagedFilesAndRefusedContentExitOne) {
    ASSERT_EQ(tool("write " + file_ + " --option GUI=no").exitCode, 0);
    std::ofstream(file_, std::ios::binary | std::ios::app) << "junk";
    const auto shown = tool("show " + file_ + " --json", false);
    EXPECT_EQ(shown.exitCode, 1);
    const auto j = nlohmann::json::parse(shown.output);
    EXPECT_EQ(j["crc"]["ok"], false);
    EXPECT_EQ(j["options"][0]["key"], "GUI");  // still shown, for diagnosis
    EXPECT_EQ(j["error"]["reason"], "read-failed");

    std::string images;
    for (int i = 0; i < 31; ++i) images += " --download i" + std::to_string(i);
    auto contents = [&] {
        std::ifstream in(file_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    const std::string before = contents();
    const std::string refused[] = {"write " + file_ + images, "write " + file_ + " --symlink " + std::string(260, 's'),
                                   "show " + dir_ + "/missing.cfg"};
    for (const std::string& args : refused) {
        const auto r = tool(args);
        EXPECT_EQ(r.exitCode, 1) << args << "\n" << r.output;
        EXPECT_NE(r.output.find("zelfin-config: "), std::string::npos) << args;
    }
    EXPECT_EQ(contents(), before);
}

TEST_F(ConfigTool, BadUsageExitsTwo) {
    const std::string a = dir_ + "/a.cfg";
    const std::string bad[] = {"",
                               "frob",
                               "show",
                               "show " + a + " " + a,
                               "show " + a + " --xml",
                               "write",
                               "write " + a + " --option",
                               "write " + a + " --option GUI",
                               "write " + a + " --option =no",
                               "write " + a + " --symlink a --symlink b",
                               "write " + a + " --images x"};
    for (const std::string& args : bad) {
        const auto r = tool(args);
        EXPECT_EQ(r.exitCode, 2) << args << "\n" << r.output;
        EXPECT_NE(r.output.find("zelfin-config --help"), std::string::npos) << args;
    }
    EXPECT_FALSE(fs::exists(a));
    const auto help = tool("--help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.output.find("\"symlink\""), std::string::npos);
}

}  // namespace
