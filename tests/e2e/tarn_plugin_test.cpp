// The Tarn plug-in beside the SCSI plug-in, as an installation lays them out: the host binds both,
// a configured run scans with both (the Tarn scan opening with its I/O layer: the helper driver's
// image, the DFU package), the SCSI readers are still updated, and the helper driver's image is
// gone again when the host has ended. On a PC with Tarn readers the device information lists
// them, and a configured run picks a reader by its device path or by the product type a reader
// in upgrade mode keeps.
#include <algorithm>
#include <initializer_list>
#include <map>

#include <nlohmann/json.hpp>

#include "zelfin_fixture.h"

namespace {

using namespace e2e;

class TarnBeside : public Zelfin {
protected:
    std::string scenario() const override { return "default"; }
    void SetUp() override {
        Zelfin::SetUp();
        for (const char* file : {"KPLMORA.DLL", "KPLTARN.DLL", "TARNDFU.INF", "TARNDFU.SYS"})
            fs::copy_file(binPath(file), work_ / file);
        const auto r = runCommand(binPath("zelfin-image") + " build " + (work_ / "fw.bin").string() +
                                  " --family scsi --type 0 --version 2.10 --feature 1");
        ASSERT_EQ(r.exitCode, 0) << r.output;
    }
};

TEST_F(TarnBeside, BothPluginsAreBoundAndScanAndTheHelperImageIsGoneAfterwards) {
    writeConfig("--option GUI=no --download fw.bin");
    const auto r = zelfin();
    EXPECT_EQ(r.exitCode, 255) << r.output;
    const std::string text = log();
    EXPECT_NE(text.find("SCSI Card Reader Firmware Plug-in"), std::string::npos) << text;
    EXPECT_NE(text.find("Tarn USB Card Reader Firmware Plug-in"), std::string::npos) << text;
    EXPECT_NE(text.find("Initializing IO Layer..."), std::string::npos) << text;
    EXPECT_NE(text.find("OS Type = 1"), std::string::npos) << text;
    EXPECT_EQ(text.find("InitializeIOLayer failed."), std::string::npos) << text;
    EXPECT_EQ(occurrences(text, "Download Completed Successfully"), 2u) << "both SCSI readers are still updated";
    bool package = false, helper = false;
    for (const auto& f : fs::recursive_directory_iterator(lab_ / "drive_c" / "WINDOWS")) {
        package = package || f.path().filename() == "TARNDFU.SYS";
        helper = helper || f.path().filename() == "DMHLP.SYS";
    }
    EXPECT_TRUE(package) << "the package's driver stays installed";
    EXPECT_FALSE(helper) << "the helper driver's image goes with the plug-in";
}

// A PC with the Tarn plug-in beside zelfin and the DFU driver's service already there (as on a PC
// that had the package installed, so that readers in upgrade mode find their driver), and the
// devices `zelfin-lab attach` is given.
class TarnPc : public Zelfin {
protected:
    void attachAll(std::initializer_list<const char*> attachments) {
        for (const char* file : {"KPLTARN.DLL", "TARNDFU.INF", "TARNDFU.SYS"}) fs::copy_file(binPath(file), work_ / file);
        ASSERT_EQ(runCommand(binPath("zelfin-lab") + " reg " + lab_.string() +
                             " set 'HKLM\\SYSTEM\\CurrentControlSet\\Services\\TARNDFU' Type REG_DWORD 1")
                      .exitCode,
                  0);
        for (const char* attach : attachments) {
            const auto r = runCommand(binPath("zelfin-lab") + " attach " + lab_.string() + " " + attach, true);
            ASSERT_EQ(r.exitCode, 0) << attach << ": " << r.output;
        }
    }
};

// Tarn readers on their own driver (G:) and on the mass-storage driver (H:) behind an external
// hub, and two KV7 readers in upgrade mode that keep product types 23 and 24.
class TarnReaders : public TarnPc {
protected:
    void SetUp() override {
        Zelfin::SetUp();
        attachAll({
            "usb-hub --port 1",
            "tarn-reader --hub usb-hub-1 --port 2 --drive G --serial 12345678",
            "tarn-reader --hub usb-hub-1 --port 3 --driver usbstor --drive H",
            "kv7-reader --port 2 --mode upgrade --dfu-type 7 --eeprom-type 23 --drive none",
            "kv7-reader --hub usb-hub-1 --port 4 --mode upgrade --dfu-type 7 --eeprom-type 24 --drive none",
        });
    }
    void image(const std::string& name, const std::string& arguments) const {
        const auto r = runCommand(binPath("zelfin-image") + " build " + (work_ / name).string() + " --family tarn " + arguments, true);
        ASSERT_EQ(r.exitCode, 0) << r.output;
    }
    testsupport::ProcessResult play(const std::string& args, const std::string& script) const {
        std::ofstream(dir_ / "script.txt") << script;
        return zelfin(args, "ZELFIN_UI_SCRIPT_TIMEOUT=20 ZELFIN_UI_SCRIPT=" + (dir_ / "script.txt").string());
    }
};

TEST_F(TarnReaders, DeviceInformationShowsWhatEachReaderReports) {
    const auto r = play("/di",
                        "expect-text 1013 G: Card Reader\n"
                        "expect-item 1006 1 1 Card Reader\n"
                        "expect-item 1006 2 1 04CC\n"
                        "expect-item 1006 5 1 12345678\n"
                        "select 1013 1\n"
                        "expect-text 1013 H: Card Reader\n"
                        "expect-item 1006 0 1 Quorvex\n"
                        "select 1013 2\n"
                        "expect-text 1013 KV7X DFU Device [Hub:1] [Port:2]\n"
                        "expect-item 1006 1 1 Not Known\n"
                        "click 1\n");
    EXPECT_EQ(r.exitCode, 0) << r.output << log();
    EXPECT_NE(log().find("Serial No: 12345678"), std::string::npos) << log();
}

// The two narrowing variants of a configured run, against the same readers: the device path (the
// own-driver reader's carries its serial number), and the product type in a KV7 reader's memory.
TEST_F(TarnReaders, AConfiguredRunPicksTheReaderByItsPathOrByTheTypeInItsMemory) {
    image("tarn.bin", "--type 0 --product-type 1");
    image("kv7.bin", "--type 7 --product-type 24");
    // The list: G: (0), the KV7 readers keeping 24 (1) and 23 (2), H: (3).
    struct Case {
        const char* config;
        const char* selected;
        const char* passedOver;
    };
    const Case cases[] = {
        {"--option MATCHBYSYMLINK=yes --symlink 12345678 --download tarn.bin", "Selected device is device 0",
         "Selected device is device 3"},
        {"--option MATCHDFUDEVBYPRODTYPE=yes --download kv7.bin", "Selected device is device 1",
         "Selected device is device 2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.config);
        writeConfig(std::string("--option GUI=no ") + c.config);
        fs::remove(labLog());
        zelfin();
        const std::string text = log();
        EXPECT_NE(text.find(c.selected), std::string::npos) << text;
        EXPECT_NE(text.find("Finding match for the device..."), std::string::npos) << text;
        EXPECT_EQ(text.find(c.passedOver), std::string::npos) << text;
    }
}

// An unattended run writes the image into both Tarn readers in functional mode: each keeps its
// serial number, its old firmware is in the backups, and it comes back running the new version.
TEST_F(TarnReaders, AConfiguredRunUpdatesTheReadersAndKeepsTheirSerials) {
    image("tarn.bin", "--type 0 --version 2.00");
    const std::string oldG = readFile(lab_ / "devices" / "tarn-reader-1" / "flash.bin");
    const std::string oldH = readFile(lab_ / "devices" / "tarn-reader-2" / "flash.bin");
    writeConfig("--option GUI=no --option BACKUP=yes --download tarn.bin");
    const auto r = zelfin();
    EXPECT_EQ(r.exitCode, 255) << r.output;
    const std::string text = log();
    EXPECT_EQ(occurrences(text, "Download Completed Successfully"), 2u) << text;
    const auto shown = runCommand(binPath("zelfin-lab") + " show " + lab_.string() + " --json", true);
    const auto devices = nlohmann::json::parse(shown.output)["devices"];
    for (const auto& d : devices) {
        if (d["kind"] != "tarn-reader") continue;
        SCOPED_TRACE(d["id"].get<std::string>());
        EXPECT_EQ(d["mode"], "functional");
        EXPECT_EQ(d["firmware"]["version"], "02.00");
        if (d["id"] == "tarn-reader-1") {
            EXPECT_EQ(d["firmware"]["serial"], "12345678");
        }
    }
    std::vector<std::string> backups;
    for (const auto& e : fs::directory_iterator(lab_ / "drive_c" / "WINDOWS" / "TEMP" / "Zelfin"))
        backups.push_back(readFile(e.path()));
    std::vector<std::string> old = {oldG.substr(0, 65536), oldH.substr(0, 65536)};
    std::sort(backups.begin(), backups.end());
    std::sort(old.begin(), old.end());
    EXPECT_TRUE(backups == old) << "the backups are the old flashes";
}

// The operator picks a reader in the main dialog and writes the image into it.
TEST_F(TarnReaders, TheMainDialogWritesIntoTheChosenReader) {
    image("tarn.bin", "--type 0 --version 2.00");
    const std::string path = "Z:" + (work_ / "tarn.bin").string();
    const auto r = play("/iv",
                        "wait-enabled 1003\n"
                        "file " + path + "\n"
                        "click 1003\n"
                        "wait-enabled 1010\n"
                        "select 1006 0\n"
                        "click 1010\n"
                        "wait-text 2 Close\n"
                        "expect-text 1035 Download completed successfully.\n"
                        "close\n");
    EXPECT_EQ(r.exitCode, 0) << r.output << log();
    EXPECT_NE(log().find("Download Completed Successfully"), std::string::npos) << log();
}

// Every form of serial number through a whole unattended run: a string carried into a string
// image (a reader behind the composite-device driver), a number changing the image's form, and a
// blank reader getting a random serial of its own form.
using TarnSerialForms = TarnPc;

TEST_F(TarnSerialForms, EachReaderComesOutWithItsOwnSerial) {
    attachAll({
        "usb-hub --port 1",
        "tarn-reader --hub usb-hub-1 --port 1 --driver composite --drive K --serial-string QX0042AB17C9",
        "tarn-reader --hub usb-hub-1 --port 2 --drive G --serial 12345678",
        "tarn-reader --hub usb-hub-1 --port 3 --drive L --serial-string 000000000000",
    });
    const auto built = runCommand(binPath("zelfin-image") + " build " + (work_ / "tarn.bin").string() +
                                      " --family tarn --type 0 --version 2.00 --serial string:000000000000",
                                  true);
    ASSERT_EQ(built.exitCode, 0) << built.output;
    writeConfig("--option GUI=no --download tarn.bin");
    const auto r = zelfin();
    EXPECT_EQ(r.exitCode, 255) << r.output;
    EXPECT_EQ(occurrences(log(), "Download Completed Successfully"), 3u) << log();
    const auto shown = runCommand(binPath("zelfin-lab") + " show " + lab_.string() + " --json", true);
    std::map<std::string, std::string> serials;
    const nlohmann::json devices = nlohmann::json::parse(shown.output)["devices"];
    for (const auto& d : devices) {
        if (d["kind"] != "tarn-reader") continue;
        EXPECT_EQ(d["firmware"]["version"], "02.00") << d["id"];
        EXPECT_EQ(d["mode"], "functional") << d["id"];
        serials[d["id"].get<std::string>()] = d["firmware"]["serial"].get<std::string>();
    }
    EXPECT_EQ(serials["tarn-reader-1"], "QX0042AB17C9");
    EXPECT_EQ(serials["tarn-reader-2"], "12345678");
    const std::string random = serials["tarn-reader-3"];
    EXPECT_EQ(random.size(), 12u) << random;
    EXPECT_EQ(random.substr(0, 4), "0000") << random;
    EXPECT_NE(random, "000000000000") << "a random serial for the blank one";
}

}  // namespace
