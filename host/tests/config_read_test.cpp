// Reading Zelfin.cfg at start-up: what a file applies to the application record, which images
// end up in the download table and in what order, and how damaged files end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config_fixture.h"
#include "config_reader.h"
#include "flows.h"
#include "text.h"

using namespace zelfin;
using namespace hosttest;

namespace {

using ConfigRead = HostFolder;

std::vector<std::string> downloadTable() {
    std::vector<std::string> names;
    for (int i = 0; i < theApp.downloadCount; ++i) names.emplace_back(theApp.downloads[i].fileName);
    return names;
}

TEST_F(ConfigRead, ChecksumDecidesWhetherAFileIsReadAtAll) {
    struct Case {
        const char* what;
        std::string bytes;
        int32_t result;
        bool crcBox;  // host code 110 shown
    };
    const std::string body = recordBytes({{"Options", "1"}, {"GUI", "no"}});
    const std::vector<Case> cases = {
        {"empty file", "", 1, false},
        {"checksum of no data", std::string(4, '\0'), 1, false},
        {"one byte", "\x01", 0, true},
        {"three bytes", std::string(3, '\0'), 0, true},
        {"right checksum", configBytes({{"Options", "1"}, {"GUI", "no"}}), 1, false},
        {"wrong checksum", configBytes({{"Options", "1"}, {"GUI", "no"}}, 0x12345678u), 0, true},
    };
    const std::string crcText = libraryString(kConfigCrcMismatch);
    ASSERT_FALSE(crcText.empty());
    for (const Case& c : cases) {
        theApp.noGui = 0;
        theApp.configRead = 0;
        writeBytes(dir_ / "Zelfin.cfg", c.bytes);
        testing::internal::CaptureStderr();
        EXPECT_EQ(readStartupConfiguration(), c.result) << c.what;
        const std::string shown = testing::internal::GetCapturedStderr();
        EXPECT_EQ(shown.find(crcText) != std::string::npos, c.crcBox) << c.what << ": " << shown;
        // A file that fails its checksum configures nothing.
        EXPECT_EQ(theApp.configRead, c.crcBox ? 0 : 1) << c.what;
        EXPECT_EQ(theApp.noGui, c.what == std::string("right checksum") ? 1 : 0) << c.what;
        EXPECT_EQ(theApp.configFile, INVALID_HANDLE_VALUE) << c.what;
    }
}

TEST_F(ConfigRead, OptionsSetTheirFlagsAndUnknownKeysAreSkipped) {
    writeBytes(dir_ / "Zelfin.cfg", configBytes({{"Options", "7"},
                                                  {"GUI", "No"},
                                                  {"BACKUP", "nope"},
                                                  {"REPORTSTATUS", "yEs"},
                                                  {"MATCHBYSYMLINK", "YES"},
                                                  {"gui", "yes"},  // keys are compared exactly
                                                  {"RETRIES", "3"},
                                                  {"NOSUCHKEY", "yes"}}));
    EXPECT_EQ(readStartupConfiguration(), 1);
    EXPECT_EQ(theApp.noGui, 1);
    EXPECT_EQ(theApp.backup, 0);
    EXPECT_EQ(theApp.reportStatus, 1);
    EXPECT_EQ(theApp.matchBySymLink, 1);
    EXPECT_EQ(theApp.disableLog, 0);
}

TEST_F(ConfigRead, ImagesKeepTheirOrderWithoutGapsAndMerrowImagesGoLast) {
    acceptBinImages();
    writeBytes(dir_ / "first-merrow.bin", imageWithType(32));
    writeBytes(dir_ / "a.bin", imageWithType(2));
    writeBytes(dir_ / "last-merrow.bin", imageWithType(32));
    writeBytes(dir_ / "b.bin", imageWithType(1));
    writeBytes(dir_ / "Zelfin.cfg", configBytes({{"Download", "6"},
                                                  {"first-merrow.bin", " "},
                                                  {"a.bin", " "},
                                                  {"rejected.sig", " "},  // no plug-in takes it
                                                  {"last-merrow.bin", " "},
                                                  {"b.bin", " "},
                                                  {"missing.bin", " "}}));
    EXPECT_EQ(readStartupConfiguration(), 1);
    // Of two Merrow images only the last survives, and it runs after every other image.
    EXPECT_EQ(downloadTable(), (std::vector<std::string>{"a.bin", "b.bin", "missing.bin", "last-merrow.bin"}));
    for (int i = 0; i < theApp.downloadCount; ++i) {
        EXPECT_EQ(theApp.downloads[i].pluginIndex, 0);
        EXPECT_EQ(theApp.downloads[i].deviceIndex, kNoIndex);
    }
    EXPECT_NE(logText().find("IsMerrow(100) :Is a Merrow Binary"), std::string::npos) << logText();
}

TEST_F(ConfigRead, TheDownloadTableNeverGrowsPastThirtyRows) {
    acceptBinImages();
    // A count of 40 reads 30 records; the 31st is then taken for a header and ends the read.
    Records forty = {{"Download", "40"}};
    for (int i = 0; i < 40; ++i) forty.emplace_back("img" + std::to_string(i) + ".bin", " ");
    writeBytes(dir_ / "Zelfin.cfg", configBytes(forty));
    EXPECT_EQ(readStartupConfiguration(), 0);
    ASSERT_EQ(theApp.downloadCount, 30);
    EXPECT_EQ(downloadTable().back(), "img29.bin");

    // Two sections of twenty: the table holds thirty, the rest is left out with a log line.
    // Reading again starts from an empty table.
    Records twice;
    for (int s = 0; s < 2; ++s) {
        twice.emplace_back("Download", "20");
        for (int i = 0; i < 20; ++i) twice.emplace_back("s" + std::to_string(s) + "-" + std::to_string(i) + ".bin", " ");
    }
    writeBytes(dir_ / "Zelfin.cfg", configBytes(twice));
    EXPECT_EQ(readStartupConfiguration(), 1);
    ASSERT_EQ(theApp.downloadCount, 30);
    EXPECT_EQ(downloadTable().front(), "s0-0.bin");
    EXPECT_EQ(downloadTable().back(), "s1-9.bin");
    EXPECT_NE(logText().find("Download table is full; s1-10.bin is left out"), std::string::npos) << logText();
}

TEST_F(ConfigRead, TruncatedSectionsFailButKeepWhatWasRead) {
    acceptBinImages();
    const std::string readError = "CfgEdtDlg(120) :Error reading from Zelfin.cfg";
    // "Options" promises three records and the file holds two: both are applied, the read fails.
    writeBytes(dir_ / "Zelfin.cfg", configBytes({{"Options", "3"}, {"GUI", "no"}, {"BACKUP", "no"}}));
    EXPECT_EQ(readStartupConfiguration(), 0);
    EXPECT_EQ(theApp.noGui, 1);
    EXPECT_EQ(theApp.backup, 0);
    EXPECT_NE(logText().find(readError), std::string::npos) << logText();

    // "Download" cut short keeps its rows; a record cut off at the end of the file is a read error.
    std::string cut = recordBytes({{"Download", "3"}, {"a.bin", " "}, {"b.bin", " "}}) + std::string(100, 'x');
    const uint32_t sum = config::configCrc(cut.data(), cut.size());
    writeBytes(dir_ / "Zelfin.cfg", std::string(reinterpret_cast<const char*>(&sum), 4) + cut);
    EXPECT_EQ(readStartupConfiguration(), 0);
    EXPECT_EQ(downloadTable(), (std::vector<std::string>{"a.bin", "b.bin"}));
}

TEST_F(ConfigRead, OddRecordsAreReadWithinTheirFields) {
    acceptBinImages();
    // A name that fills its field without a terminator is read as 259 characters; a count that is
    // no number counts 0; an unknown header ends the read quietly.
    const std::string longName = std::string(255, 'n') + ".binX";  // 260 characters
    writeBytes(dir_ / "Zelfin.cfg",
               configBytes({{"Options", "abc"}, {"Download", "1"}, {longName, " "}, {"Strange", "1"}, {"GUI", "no"}}));
    EXPECT_EQ(readStartupConfiguration(), 0);
    ASSERT_EQ(theApp.downloadCount, 1);
    EXPECT_EQ(std::string(theApp.downloads[0].fileName), longName.substr(0, 259));
    EXPECT_EQ(theApp.noGui, 0);
}

TEST_F(ConfigRead, AGivenPathIsTheOnlyFileTried) {
    writeBytes(dir_ / "Zelfin.cfg", configBytes({{"Options", "1"}, {"GUI", "no"}}));
    copyInto(theApp.configPath, "elsewhere.cfg");
    EXPECT_EQ(readStartupConfiguration(), 0);
    EXPECT_EQ(theApp.configRead, 0);
    EXPECT_EQ(theApp.noGui, 0);

    writeBytes(dir_ / "elsewhere.cfg", configBytes({{"Options", "1"}, {"GUI", "no"}}));
    EXPECT_EQ(readStartupConfiguration(), 1);
    EXPECT_EQ(theApp.noGui, 1);
}

}  // namespace
