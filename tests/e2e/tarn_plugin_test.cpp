// The Tarn plug-in beside the SCSI plug-in, as an installation lays them out: the host binds both,
// a configured run scans with both (the Tarn scan opening with its I/O layer: the helper driver's
// image, the DFU package), the SCSI readers are still updated, and the helper driver's image is
// gone again when the host has ended.
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
    size_t done = 0;
    for (size_t at = text.find("Download Completed Successfully"); at != std::string::npos;
         at = text.find("Download Completed Successfully", at + 1))
        ++done;
    EXPECT_EQ(done, 2u) << "both SCSI readers are still updated";
    bool package = false, helper = false;
    for (const auto& f : fs::recursive_directory_iterator(lab_ / "drive_c" / "WINDOWS")) {
        package = package || f.path().filename() == "TARNDFU.SYS";
        helper = helper || f.path().filename() == "DMHLP.SYS";
    }
    EXPECT_TRUE(package) << "the package's driver stays installed";
    EXPECT_FALSE(helper) << "the helper driver's image goes with the plug-in";
}

}  // namespace
