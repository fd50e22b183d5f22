// zelfin-lab's device commands from the command line: attach, show --json, fault, dump, detach,
// and scenario files with devices.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "run_process.h"

namespace fs = std::filesystem;
using nlohmann::json;
using testsupport::binPath;
using testsupport::runCommand;

namespace {

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class LabHardware : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/lab-hw-tool-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        lab_ = dir_ + "/lab";
    }
    void TearDown() override { fs::remove_all(dir_); }
    testsupport::ProcessResult tool(const std::string& args) {
        return runCommand("cd " + dir_ + " && " + binPath("zelfin-lab") + " " + args, true);
    }
    json devices() {
        const auto shown = runCommand(binPath("zelfin-lab") + " show " + lab_ + " --json");
        EXPECT_EQ(shown.exitCode, 0);
        return json::parse(shown.output)["devices"];
    }
    json device(const std::string& id) {
        for (const json& d : devices())
            if (d["id"] == id) return d;
        return nullptr;
    }
    std::string dir_, lab_;
};

TEST_F(LabHardware, AttachShowDumpFaultDetach) {
    ASSERT_EQ(tool("init " + lab_ + " --scenario empty").exitCode, 0);
    std::ofstream(dir_ + "/old.bin", std::ios::binary) << "OLD FIRMWARE";
    auto attached = tool("attach " + lab_ + " scsi-reader --drive g --memory flash=old.bin --inquiry 'SCSI    Secure X'");
    ASSERT_EQ(attached.exitCode, 0) << attached.output;
    EXPECT_EQ(attached.output, "scsi-reader-1\n");

    json d = device("scsi-reader-1");
    EXPECT_EQ(d["kind"], "scsi-reader");
    EXPECT_EQ(d["drive"], "G");
    EXPECT_EQ(d["inquiry"], "SCSI    Secure X            ");
    const std::string flash = d["memories"]["flash"];
    EXPECT_EQ(flash, lab_ + "/devices/scsi-reader-1/flash.bin");
    EXPECT_EQ(tool("attach " + lab_ + " cdrom --drive none").output, "cdrom-1\n");
    EXPECT_TRUE(device("cdrom-1")["drive"].is_null());
    EXPECT_TRUE(device("cdrom-1")["memories"].empty());

    ASSERT_EQ(tool("dump " + lab_ + " scsi-reader-1 flash " + dir_ + "/out.bin").exitCode, 0);
    const std::string dumped = readFile(dir_ + "/out.bin");
    ASSERT_EQ(dumped.size(), 65536u);
    EXPECT_EQ(dumped.substr(0, 12), "OLD FIRMWARE");
    EXPECT_EQ(dumped.substr(12), std::string(65536 - 12, '\xFF')) << "the rest of the preloaded flash is erased";

    ASSERT_EQ(tool("fault " + lab_ + " scsi-reader-1 fail:ac00a0:3 stall:FD0082 unplug").exitCode, 0);
    d = device("scsi-reader-1");
    EXPECT_EQ(d["faults"], json({"fail:AC00A0:3", "stall:FD0082"}));
    EXPECT_EQ(d["plugged"], false);
    ASSERT_EQ(tool("fault " + lab_ + " scsi-reader-1 clear").exitCode, 0);
    d = device("scsi-reader-1");
    EXPECT_TRUE(d["faults"].empty());
    EXPECT_EQ(d["plugged"], true);

    ASSERT_EQ(tool("detach " + lab_ + " scsi-reader-1").exitCode, 0);
    EXPECT_TRUE(device("scsi-reader-1").is_null());
    EXPECT_FALSE(fs::exists(flash)) << "its memories went with it";

    struct Bad {
        std::string args;
        int exitCode;
        const char* message;
    };
    const Bad bad[] = {
        {"attach " + lab_ + " toaster", 1, "unknown device kind"},
        {"attach " + lab_ + " cdrom --drive", 2, "needs a value"},
        {"attach " + lab_ + " scsi-reader --memory flash", 2, "NAME=FILE"},
        {"attach " + lab_ + " cdrom --colour red", 2, "unknown option"},
        {"detach " + lab_ + " nobody", 1, "no device nobody"},
        {"fault " + lab_ + " cdrom-1 explode:12", 2, "unknown fault"},  // wrong usage, found before the lab is touched
        {"fault " + lab_ + " cdrom-1", 2, "at least one fault"},
        {"dump " + lab_ + " cdrom-1 flash x.bin", 1, "no memory 'flash'"},
        {"dump " + lab_ + " nobody flash x.bin", 1, "no device nobody"},
    };
    for (const Bad& b : bad) {
        const auto r = tool(b.args);
        EXPECT_EQ(r.exitCode, b.exitCode) << b.args << "\n" << r.output;
        EXPECT_NE(r.output.find(b.message), std::string::npos) << b.args << "\n" << r.output;
    }
    const auto help = tool("--help");
    EXPECT_NE(help.output.find("sense:CMD:KK/AA/QQ"), std::string::npos) << "the fault language is documented";
}

TEST_F(LabHardware, ScenarioDevicesUseTheAttachVocabulary) {
    std::string external(65536, '\0');
    external.replace(65536 - 8, 8, "DM3VALID");
    std::ofstream(dir_ + "/ext.bin", std::ios::binary) << external;
    std::ofstream(dir_ + "/scenario.json") << R"({
        "settings": {"os": {"platformId": 1, "major": 4, "minor": 10}},
        "devices": [
            {"kind": "quoll-unit", "drive": "J", "memory": {"external": "ext.bin"}},
            {"kind": "scsi-reader", "id": "stuck", "mode": "upgrade", "fault": ["fail:AC0090"]}
        ]})";
    const auto created = runCommand(binPath("zelfin-lab") + " init " + lab_ + " --scenario " + dir_ + "/scenario.json", true);
    ASSERT_EQ(created.exitCode, 0) << created.output;
    const json d = devices();
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0]["id"], "quoll-unit-1");
    EXPECT_EQ(d[0]["drive"], "J");
    EXPECT_EQ(readFile(d[0]["memories"]["external"].get<std::string>()), external);
    EXPECT_EQ(d[1]["inquiry"], "SCSI    DFU Reader      1.00");
    EXPECT_EQ(d[1]["faults"], json({"fail:AC0090"}));
    EXPECT_EQ(d[1]["drive"], "E");

    std::ofstream(dir_ + "/bad.json") << R"({"devices": [{"kind": "cdrom", "drive": "C"}]})";
    const auto refused = runCommand(binPath("zelfin-lab") + " init " + dir_ + "/other --scenario " + dir_ + "/bad.json", true);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.output.find("devices[0]"), std::string::npos) << refused.output;
}

TEST_F(LabHardware, UsbHubsAndTarnReadersFromTheCommandLineAndAScenario) {
    ASSERT_EQ(tool("init " + lab_ + " --scenario empty").exitCode, 0);
    ASSERT_EQ(tool("attach " + lab_ + " usb-hub --port 1 --ports 7").output, "usb-hub-1\n");
    auto attached = tool("attach " + lab_ + " tarn-reader --hub usb-hub-1 --port 5 --drive G --version 2.10 "
                         "--product-type 9 --serial 00ABCDEF");
    ASSERT_EQ(attached.exitCode, 0) << attached.output;
    ASSERT_EQ(tool("attach " + lab_ + " tarn-reader --dfu-type 3 --mode upgrade --driver usbstor --hub usb-hub-1 --port 6")
                  .exitCode,
              0);
    json reader = device("tarn-reader-1");
    EXPECT_EQ(reader["hub"], "usb-hub-1");
    EXPECT_EQ(reader["port"], 5);
    EXPECT_EQ(reader["mode"], "functional");
    EXPECT_EQ(reader["usbIds"], "04cc:2000");
    EXPECT_EQ(reader["firmware"]["version"], "02.10");
    EXPECT_EQ(reader["firmware"]["productType"], 9);
    EXPECT_EQ(reader["firmware"]["serial"], "00ABCDEF");
    const json loader = device("tarn-reader-2");
    EXPECT_EQ(loader["mode"], "upgrade");
    EXPECT_EQ(loader["usbIds"], "04e6:04e9") << "a type-3 boot loader's own identifiers";
    const auto table = tool("show " + lab_);
    EXPECT_NE(table.output.find("tarn-reader-1  tarn-reader  G:     functional 04cc:2000  USB usb-hub-1:5"),
              std::string::npos)
        << table.output;

    // Mistakes are named: a port taken, a port the hub lacks, a hub the lab lacks, an option of
    // another kind.
    struct Mistake {
        const char* args;
        int exitCode;
        const char* says;
    };
    for (const Mistake& m : {Mistake{"tarn-reader --hub usb-hub-1 --port 5", 1, "port 5 of usb-hub-1 is taken"},
                             Mistake{"tarn-reader --hub usb-hub-1 --port 8", 1, "port"},
                             Mistake{"tarn-reader --port 5", 1, "port"},
                             Mistake{"tarn-reader --hub hub-9", 1, "names no usb-hub of the lab: hub-9"},
                             Mistake{"plex-module --monitor usb-hub-1", 1, "names no plex-monitor of the lab"},
                             Mistake{"tarn-reader --slots 4", 2, "slots"}}) {
        const auto r = tool("attach " + lab_ + " " + m.args);
        EXPECT_EQ(r.exitCode, m.exitCode) << m.args << ": " << r.output;
        EXPECT_NE(r.output.find(m.says), std::string::npos) << m.args << ": " << r.output;
    }

    // A scenario holds hubs, readers, a monitor with a module, and their faults.
    std::ofstream(dir_ + "/usb.json") << R"({
        "devices": [
            {"kind": "usb-hub", "id": "hub", "port": 2, "low-power": true},
            {"kind": "tarn-reader", "hub": "hub", "port": 1, "driver": "composite", "fault": ["stuck:leave:detach:1"]},
            {"kind": "plex-monitor", "id": "monitor", "hub": "hub", "port": 2, "slots": 2},
            {"kind": "plex-module", "monitor": "monitor", "slot": 2, "drive": "M"}
        ]})";
    const auto created = runCommand(binPath("zelfin-lab") + " init " + dir_ + "/usb --scenario " + dir_ + "/usb.json", true);
    ASSERT_EQ(created.exitCode, 0) << created.output;
    const json d = json::parse(runCommand(binPath("zelfin-lab") + " show " + dir_ + "/usb --json").output)["devices"];
    ASSERT_EQ(d.size(), 4u);
    EXPECT_EQ(d[0]["low-power"], true);
    EXPECT_EQ(d[1]["driver"], "composite");
    EXPECT_EQ(d[1]["faults"], json({"stuck:leave:detach:1"}));
    EXPECT_EQ(d[2]["slots"], 2);
    EXPECT_EQ(d[3]["hub"], "monitor") << "a module's monitor is its hub, its slot its port";
    EXPECT_EQ(d[3]["port"], 2);
    EXPECT_EQ(d[3]["drive"], "M");
}

// A KRD50N unit comes with its three readers and goes with them; a Quoll reader is one device
// with both memories.
TEST_F(LabHardware, AKrd50nUnitAndAQuollReader) {
    ASSERT_EQ(tool("init " + lab_ + " --scenario empty").exitCode, 0);
    const auto unit = tool("attach " + lab_ + " krd50n --port 1 --pid 1123");
    ASSERT_EQ(unit.exitCode, 0) << unit.output;
    EXPECT_EQ(unit.output, "krd50n-1\n") << "the unit's id; its readers are named after it";
    EXPECT_EQ(device("krd50n-1")["pid"], "1123");
    EXPECT_EQ(device("krd50n-1")["ports"], 3);
    for (int port = 1; port <= 3; ++port) {
        const json reader = device("krd50n-1-" + std::to_string(port));
        ASSERT_FALSE(reader.is_null()) << port;
        EXPECT_EQ(reader["hub"], "krd50n-1");
        EXPECT_EQ(reader["port"], port);
        EXPECT_EQ(reader["firmware"]["productType"], port == 1 ? 18 : port == 2 ? 17 : 11) << port;
    }
    EXPECT_EQ(tool("fault " + lab_ + " krd50n-1-2 empty:port:1").exitCode, 0);
    EXPECT_EQ(device("krd50n-1-2")["faults"], json({"empty:port:1"}));
    EXPECT_EQ(tool("attach " + lab_ + " krd50n --port 2 --pid 1124").exitCode, 1);

    const auto quoll = tool("attach " + lab_ + " quoll-reader --port 2 --drive Q");
    ASSERT_EQ(quoll.exitCode, 0) << quoll.output;
    const json q = device("quoll-reader-1");
    EXPECT_EQ(q["firmware"]["productType"], 16);
    EXPECT_EQ(q["inquiry"], "Tarn    SD-MS-SM Unit   1.00");
    EXPECT_TRUE(q["memories"].contains("external")) << q.dump();
    EXPECT_EQ(tool("fault " + lab_ + " quoll-reader-1 slow:FC0091:15000:1").exitCode, 0);
    EXPECT_EQ(device("quoll-reader-1")["faults"], json({"slow:FC0091:15000:1"}));

    // Detached, the unit takes its readers along and names them; its port and their ids are free.
    const auto detached = tool("detach " + lab_ + " krd50n-1");
    ASSERT_EQ(detached.exitCode, 0) << detached.output;
    EXPECT_EQ(detached.output, "krd50n-1-1\nkrd50n-1-2\nkrd50n-1-3\n");
    for (const json& d : devices()) EXPECT_NE(d.value("hub", ""), "krd50n-1") << d.dump();
    EXPECT_FALSE(device("quoll-reader-1").is_null());
    EXPECT_EQ(tool("attach " + lab_ + " krd50n --port 1").output, "krd50n-1\n");
    EXPECT_EQ(device("krd50n-1-2")["hub"], "krd50n-1");

    const auto help = tool("--help");
    for (const char* text : {"krd50n", "quoll-reader", "empty:port", "slow:CMD:MS"})
        EXPECT_NE(help.output.find(text), std::string::npos) << text;
}

TEST_F(LabHardware, TheDefaultPcHasItsReadersAndDrives) {
    ASSERT_EQ(tool("init " + lab_).exitCode, 0);
    const json d = devices();
    ASSERT_EQ(d.size(), 4u);
    std::vector<std::string> summary;
    for (const json& e : d) summary.push_back(e["kind"].get<std::string>() + ":" + e["drive"].get<std::string>());
    EXPECT_EQ(summary, (std::vector<std::string>{"disk:C", "cdrom:D", "scsi-reader:E", "scsi-reader:F"}));
    EXPECT_EQ(d[2]["mode"], "normal");
    EXPECT_EQ(d[3]["mode"], "upgrade");
}

}  // namespace
