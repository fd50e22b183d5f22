// zelfin-image from the command line: images of every type built, then judged by info as the
// plug-ins would judge them; the faulty images asked for; usage and failures.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "run_process.h"

namespace fs = std::filesystem;
using nlohmann::json;
using testsupport::binPath;
using testsupport::runCommand;

namespace {

class ImageTool : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/image-tool-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        // The tool opens files through winsim; a lab of its own keeps it off the user's.
        ASSERT_EQ(runCommand(binPath("zelfin-lab") + " init " + dir_ + "/lab --scenario empty").exitCode, 0);
    }
    void TearDown() override { fs::remove_all(dir_); }

    testsupport::ProcessResult tool(const std::string& args, bool withStderr = true) {
        return runCommand("ZELFIN_LAB=" + dir_ + "/lab " + binPath("zelfin-image") + " " + args, withStderr);
    }
    // Runs a command that prints JSON and parses it; fails the test on another exit code.
    json toolJson(const std::string& args, int exitCode = 0) {
        const auto r = tool(args, false);
        EXPECT_EQ(r.exitCode, exitCode) << args;
        return json::parse(r.output, nullptr, false);
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::string dir_;
};

TEST_F(ImageTool, EveryTypeBuiltIsDecidedAsBuiltAndAccepted) {
    struct Case {
        const char* family;
        int type;
        uint32_t length;
        const char* trailer;
    };
    const Case cases[] = {
        {"tarn", 0, 32768, "DFUVALID"}, {"tarn", 1, 32768, "DFUVALID"}, {"tarn", 2, 65536, "DM3VALID"},
        {"tarn", 3, 65536, "DFUVALID"}, {"tarn", 4, 57344, "DFUVALID"}, {"tarn", 5, 65536, "DFUVALID"},
        {"tarn", 7, 32768, nullptr},    {"tarn", 8, 32768, nullptr},    {"tarn", 9, 49152, nullptr},
        {"tarn", 10, 49152, nullptr},   {"scsi", 0, 65536, "ROVA_DFU"}, {"scsi", 1, 65536, "ROVA_DFU"},
        {"scsi", 2, 65536, "ROVA_DFU"},
    };
    for (const Case& c : cases) {
        const std::string name = std::string(c.family) + " type " + std::to_string(c.type);
        const std::string file = path(std::string(c.family) + std::to_string(c.type) + ".bin");
        const auto built = tool("build " + file + " --family " + c.family + " --type " + std::to_string(c.type));
        ASSERT_EQ(built.exitCode, 0) << name << "\n" << built.output;
        EXPECT_NE(built.output.find("accepted"), std::string::npos) << built.output;

        const json j = toolJson("info " + file + " --family " + c.family + " --json");
        ASSERT_TRUE(j.contains(c.family)) << name << j.dump();
        const json& f = j[c.family];
        EXPECT_EQ(f["type"], c.type) << name;
        EXPECT_EQ(f["length"], c.length) << name;
        EXPECT_EQ(f["trailer"], c.trailer ? json(c.trailer) : json(nullptr)) << name;
        EXPECT_EQ(f["integrity"]["valid"], true) << name;
        EXPECT_EQ(f["status"], 0) << name;
        EXPECT_EQ(fs::file_size(file), c.length) << name;
    }
    // Without --family both families judge the image: a Tarn image is no SCSI-family type.
    const json both = toolJson("info " + path("tarn3.bin") + " --json");
    EXPECT_EQ(both["tarn"]["status"], 0);
    EXPECT_EQ(both["scsi"]["type"], 3);
    EXPECT_EQ(both["scsi"]["status"], 207);
}

TEST_F(ImageTool, InfoReportsTheBlocksThatWereAskedFor) {
    const std::string file = path("full.bin");
    ASSERT_EQ(tool("build " + file +
                   " --family tarn --type 7 --product-type 26 --feature 3 --version 5.12 --vid 1a2b --pid 0x3C4D"
                   " --manufacturer 'Maker Co' --product 'Bay Module' --serial dword:12345678")
                  .exitCode,
              0);
    const json f = toolJson("info " + file + " --family tarn --json")["tarn"];
    EXPECT_EQ(f["markers"], json::parse(R"([{"offset":54,"text":"DFU_07"}])"));
    EXPECT_EQ(f["capab"]["productType"], 26);
    EXPECT_EQ(f["capab"]["feature"], 3);
    EXPECT_EQ(f["capab"]["version"], "05.12");
    EXPECT_EQ(f["csed"]["idVendor"], 0x1A2B);
    EXPECT_EQ(f["csed"]["idProduct"], 0x3C4D);
    EXPECT_EQ(f["csed"]["iSerialNumber"], 5);
    EXPECT_EQ(f["desc"]["addressShift"], "DFU_07");
    EXPECT_EQ(f["desc"]["manufacturer"], "Maker Co");
    EXPECT_EQ(f["desc"]["product"], "Bay Module");
    EXPECT_EQ(f["serial"]["type"], "number");
    EXPECT_EQ(f["serial"]["number"], 0x12345678u);
    EXPECT_EQ(f["serial"]["check"], 0xEDCBA988u);
    EXPECT_EQ(f["integrity"]["kind"], "crc");

    const std::string ext = path("ext.bin");
    ASSERT_EQ(tool("build " + ext + " --family tarn --type 2 --version 2.7 --serial string:SN01").exitCode, 0);
    const json e = toolJson("info " + ext + " --family tarn --json")["tarn"];
    EXPECT_EQ(e["externalVersion"]["text"], "02.07");
    EXPECT_EQ(e["serial"]["text"], "SN01");
}

TEST_F(ImageTool, FaultyImagesAreJudgedAsThePluginsWould) {
    struct Case {
        const char* build;
        const char* family;
        int type;
        uint32_t length;
        int status;
    };
    const Case cases[] = {
        {"--family tarn --type 7 --size 40000", "tarn", 11, 40448, 207},
        {"--family tarn --type 1 --omit trailer", "tarn", 11, 32768, 207},
        {"--family tarn --type 0 --crc-length 0", "tarn", 0, 32768, 208},
        {"--family tarn --type 4 --unbalanced", "tarn", 4, 57344, 208},
        {"--family tarn --type 8 --integrity chksum", "tarn", 8, 32768, 208},
        {"--family tarn --type 9 --integrity none", "tarn", 9, 49152, 208},
        {"--family scsi --type 1 --omit capab", "scsi", 1, 65536, 208},
        {"--family scsi --type 0 --size 65500", "scsi", 3, 65536, 207},
    };
    for (const Case& c : cases) {
        const std::string file = path("faulty.bin");
        const auto built = tool("build " + file + " " + c.build);
        ASSERT_EQ(built.exitCode, 0) << c.build << "\n" << built.output;
        EXPECT_NE(built.output.find("refused with status " + std::to_string(c.status)), std::string::npos)
            << c.build << "\n" << built.output;
        // Refused by the only family asked: exit code 3.
        const json f = toolJson("info " + file + " --family " + c.family + " --json", 3)[c.family];
        EXPECT_EQ(f["type"], c.type) << c.build;
        EXPECT_EQ(f["length"], c.length) << c.build;
        EXPECT_EQ(f["status"], c.status) << c.build;
    }
    // The trailer of a 65,500-byte file is no longer the last eight bytes once rounded to 65,536.
    const auto text = tool("info " + path("faulty.bin") + " --family scsi");
    EXPECT_NE(text.output.find("type        3 (unknown)"), std::string::npos) << text.output;
    EXPECT_NE(text.output.find("trailer     (none)"), std::string::npos) << text.output;
}

TEST_F(ImageTool, UsageErrorsAndFailures) {
    std::ofstream(path("empty.bin")).close();
    struct Case {
        std::string args;
        int exitCode;
        const char* says;
    };
    const Case cases[] = {
        {"", 2, "no command"},
        {"frob", 2, "unknown command"},
        {"info", 2, "needs a file"},
        {"info " + path("a") + " --family usb", 2, "tarn or scsi"},
        {"build " + path("x.bin") + " --family tarn", 2, "--type"},
        {"build " + path("x.bin") + " --family tarn --type 6", 2, "no Tarn type"},
        {"build " + path("x.bin") + " --family scsi --type 4", 2, "no SCSI type"},
        {"build " + path("x.bin") + " --family scsi --type 1 --serial none", 2, "tarn family only"},
        {"build " + path("x.bin") + " --family tarn --type 1 --version 1", 2, "MAJOR.MINOR"},
        {"build " + path("x.bin") + " --family tarn --type 1 --vid 10000", 2, "--vid"},
        {"build " + path("x.bin") + " --family tarn --type 1 --omit capab,nothing", 2, "--omit"},
        {"build " + path("x.bin") + " --family tarn --type 1 --size 100", 1, "no room"},
        {"build " + path("no/such/x.bin") + " --family tarn --type 1", 1, "x.bin: no such file"},
        {"info " + path("missing.bin"), 1, "missing.bin: no such file"},
        {"info " + path("empty.bin"), 1, "empty.bin: the file is empty"},
    };
    for (const Case& c : cases) {
        const auto r = tool(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args << "\n" << r.output;
        EXPECT_EQ(r.output.rfind("zelfin-image: ", 0), 0u) << c.args << "\n" << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << c.args << "\n" << r.output;
    }
    for (const char* help : {"--help", "info --help", "build --help"}) {
        const auto r = tool(help);
        EXPECT_EQ(r.exitCode, 0) << help;
        EXPECT_EQ(r.output.rfind("Usage: zelfin-image", 0), 0u) << help;
    }
}

}  // namespace
