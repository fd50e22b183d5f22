// An unattended update of the lab's SCSI-family readers with the real plug-in, as an
// installation script runs it: afterwards the readers' flash holds the new firmware, and the
// backups hold the old firmware byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "zelfin_fixture.h"

namespace {

using namespace e2e;

class ScsiUpdate : public Zelfin {
protected:
    std::string scenario() const override { return "default"; }  // readers on E: (normal) and F: (boot loader)
    void SetUp() override {
        Zelfin::SetUp();
        fs::copy_file(binPath("KPLMORA.DLL"), work_ / "KPLMORA.DLL");
        for (const char* id : {"scsi-reader-1", "scsi-reader-2"}) oldFlash_.push_back(flash(id));
        const auto r = runCommand(binPath("zelfin-image") + " build " + (work_ / "fw.bin").string() +
                                  " --family scsi --type 0 --version 2.10 --feature 1");
        ASSERT_EQ(r.exitCode, 0) << r.output;
        image_ = readFile(work_ / "fw.bin");
    }
    std::string flash(const std::string& id) const { return readFile(lab_ / "devices" / id / "flash.bin"); }
    // What a reader holds after the image went in: the image, but its own boot block (the first
    // 4 KB) and its own signature area (E000h-EFFFh) kept.
    std::string expectedFlash(const std::string& old) const {
        std::string want = image_;
        want.replace(0, 0x1000, old.substr(0, 0x1000));
        want.replace(0xE000, 0x1000, old.substr(0xE000, 0x1000));
        return want;
    }
    std::vector<std::string> backups() const {
        std::vector<std::string> found;
        const fs::path dir = lab_ / "drive_c" / "WINDOWS" / "TEMP" / "Zelfin";
        if (fs::exists(dir))
            for (const auto& e : fs::directory_iterator(dir)) found.push_back(readFile(e.path()));
        std::sort(found.begin(), found.end());
        return found;
    }

    std::vector<std::string> oldFlash_;
    std::string image_;
};

TEST_F(ScsiUpdate, BothReadersTakeTheImageAndTheirOldFirmwareIsKept) {
    ASSERT_EQ(image_.size(), 0x10000u);
    writeConfig("--option GUI=no --option BACKUP=yes --download fw.bin");
    const auto r = zelfin();
    EXPECT_EQ(r.exitCode, 255) << r.output;
    EXPECT_TRUE(flash("scsi-reader-1") == expectedFlash(oldFlash_[0])) << "flash of scsi-reader-1";
    EXPECT_TRUE(flash("scsi-reader-2") == expectedFlash(oldFlash_[1])) << "flash of scsi-reader-2";
    std::vector<std::string> old = oldFlash_;
    std::sort(old.begin(), old.end());
    EXPECT_TRUE(backups() == old) << "backups are not the old flashes";
    const std::string text = log();
    EXPECT_EQ(occurrences(text, "Download Completed Successfully"), 2u) << text;
}

TEST_F(ScsiUpdate, AFailingReaderShowsOnlyTheFailureAndTheOtherIsStillUpdated) {
    ASSERT_EQ(runCommand(binPath("zelfin-lab") + " fault " + lab_.string() + " scsi-reader-1 fail:write").exitCode, 0);
    writeConfig("--option GUI=no --option REPORTSTATUS=yes --option BACKUP=yes --download fw.bin");
    const auto r = zelfin();
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.output,
              "Zelfin: The firmware update failed, or the configuration file names no usable firmware image. See "
              "Zelfin.log for details.\n");
    EXPECT_TRUE(flash("scsi-reader-2") == expectedFlash(oldFlash_[1])) << "flash of scsi-reader-2";
    // The failing reader's old firmware is in a backup whatever its flash holds now.
    const auto kept = backups();
    EXPECT_TRUE(std::find(kept.begin(), kept.end(), oldFlash_[0]) != kept.end());
}

// Without a configuration the operator picks the image and the reader in the main dialog.
TEST_F(ScsiUpdate, TheMainDialogUpdatesTheChosenReader) {
    const std::string image = "Z:" + (work_ / "fw.bin").string();
    std::ofstream(dir_ / "script.txt") << "wait-enabled 1003\n"
                                          "file " + image + "\n"
                                          "click 1003\n"
                                          "wait-enabled 1010\n"
                                          "select 1006 0\n"
                                          "expect-text 1006 E: Quorvex CR-210 Card Reader\n"
                                          "click 1010\n"
                                          "wait-text 2 Close\n"
                                          "close\n";
    const auto r = zelfin("", "ZELFIN_UI_SCRIPT=" + (dir_ / "script.txt").string());
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(flash("scsi-reader-1") == expectedFlash(oldFlash_[0])) << "flash of scsi-reader-1";
    EXPECT_TRUE(flash("scsi-reader-2") == oldFlash_[1]) << "flash of scsi-reader-2";  // the other reader is left alone
    EXPECT_TRUE(backups() == std::vector<std::string>{oldFlash_[0]}) << backups().size() << " backups";
}

// Writing a backup back: a backup is the reader's raw flash, and a flash written by an update
// holds the reader's own boot block and signature area, so it need not pass the image check;
// "/IV" lets the plug-in take it, for one image and one reader.
class BackupRestore : public Zelfin {
protected:
    void SetUp() override {
        Zelfin::SetUp();  // an empty lab: one reader, so that "/IV" has one reader to go to
        fs::copy_file(binPath("KPLMORA.DLL"), work_ / "KPLMORA.DLL");
        const auto r = runCommand(binPath("zelfin-lab") + " attach " + lab_.string() + " scsi-reader --drive E");
        ASSERT_EQ(r.exitCode, 0) << r.output;
        id_ = r.output.substr(0, r.output.find('\n'));
    }
    std::string flash() const { return readFile(lab_ / "devices" / id_ / "flash.bin"); }
    // Runs one unattended download of `image` and returns the backup it left.
    std::string update(const std::string& image, const std::string& switches = "") {
        const fs::path backups = lab_ / "drive_c" / "WINDOWS" / "TEMP" / "Zelfin";
        fs::remove_all(backups);
        writeConfig("--option GUI=no --option BACKUP=yes --option REPORTSTATUS=yes --download " + image);
        const auto r = zelfin(switches);
        EXPECT_EQ(r.output, "Zelfin: The firmware update finished successfully.\n") << image << "\n" << log();
        std::string kept;
        if (fs::exists(backups))
            for (const auto& e : fs::directory_iterator(backups)) kept = readFile(e.path());
        return kept;
    }
    void build(const std::string& name, const std::string& version) const {
        const auto r = runCommand(binPath("zelfin-image") + " build " + (work_ / name).string() +
                                  " --family scsi --type 0 --version " + version);
        ASSERT_EQ(r.exitCode, 0) << r.output;
    }
    std::string id_;
};

TEST_F(BackupRestore, EachBackupWrittenBackGivesTheFlashItWasTakenFrom) {
    build("v2.bin", "2.10");
    build("v3.bin", "2.20");
    const std::string factory = flash();
    const std::string firstBackup = update("v2.bin");
    ASSERT_TRUE(firstBackup == factory) << "the backup is the flash before the update";
    const std::string afterFirst = flash();
    ASSERT_FALSE(afterFirst == factory);
    const std::string secondBackup = update("v3.bin");
    ASSERT_TRUE(secondBackup == afterFirst);

    // The flash of an updated reader is not an image the plug-in takes as it is...
    std::ofstream(work_ / "second.bin", std::ios::binary) << secondBackup;
    std::ofstream(work_ / "first.bin", std::ios::binary) << firstBackup;
    const auto judged = runCommand(binPath("zelfin-image") + " info " + (work_ / "second.bin").string() +
                                   " --family scsi --json");
    EXPECT_NE(judged.output.find("\"status\": 208"), std::string::npos) << judged.output;
    // ... but with "/IV" it goes back in, and so does the factory backup, older than the reader's.
    update("second.bin", "/IV");
    EXPECT_TRUE(flash() == afterFirst) << "restoring the second backup";
    update("first.bin", "/IV");
    EXPECT_TRUE(flash() == factory) << "restoring the first backup";
}

}  // namespace
