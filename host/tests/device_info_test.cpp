// The device information dialog against the test plug-ins, headless: the "/DI" reader list and
// its report, failures of the plug-in, and the opening for a row of the download table.
#include <gtest/gtest.h>

#include <future>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "device_info_dialog.h"
#include "plugin_fixture.h"
#include "resource.h"

using namespace zelfin;
using namespace hosttest;
using testsupport::kUiCap;
using testsupport::ModalRun;

namespace {

using Rows = std::vector<std::vector<std::string>>;

class DeviceInfo : public PluginFolder {
protected:
    static std::vector<std::string> readers(const DevInfo& d) {
        std::vector<std::string> names;
        for (int i = 0; i < d.comboGetCount(IDC_INFO_READERS); ++i) names.push_back(d.comboGetText(IDC_INFO_READERS, i));
        return names;
    }
    static std::string shown() { return testing::internal::GetCapturedStderr(); }
    static std::vector<std::string> lines(const std::string& text) {
        std::vector<std::string> out;
        size_t start = 0;
        for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
            out.push_back(text.substr(start, end - start));
        EXPECT_EQ(start, text.size()) << "every line ends in CR LF";
        return out;
    }
};

TEST_F(DeviceInfo, EveryReaderThatCanBeToldApartAndTheReportAppendedTwice) {
    // Equal names within a plug-in are left out; the same name in two plug-ins is two readers.
    setEnv("ZELFIN_TEST_A_DEVICES", "Reader B,Dup,Dup,Reader A");
    setEnv("ZELFIN_TEST_C_DEVICES", "Reader B");
    bindAndList({"plugin_a", "plugin_c"});
    DevInfo info(true);
    ModalRun run(info);
    ASSERT_TRUE(run.waitOpen());
    EXPECT_EQ(info.title(), libraryString(49));
    EXPECT_EQ(info.itemText(IDC_INFO_READERS_LABEL), libraryString(48));
    EXPECT_FALSE(info.isItemVisible(IDC_INFO_HEADING));
    EXPECT_EQ(info.itemText(IDC_INFO_SAVE), libraryString(40));
    EXPECT_EQ(info.itemText(IDOK), libraryString(11));
    EXPECT_EQ(readers(info), (std::vector<std::string>{"Reader A", "Reader B", "Reader B"}));
    EXPECT_EQ(info.comboGetCurSel(IDC_INFO_READERS), 0);
    EXPECT_EQ(info.rows(), (Rows{{"Product", "Reader A"}, {"Firmware version", "1.03"}}));
    EXPECT_EQ(trace("KPLGetDisplayInfo"), (std::vector<std::string>{"A:KPLGetDisplayInfo(3,-)"}));

    // Each "Reader B" is its own reader.
    std::set<std::string> asked;
    for (int entry : {1, 2}) {
        fs::remove(dir_ / "trace.txt");
        ASSERT_TRUE(ui::user::select(info, IDC_INFO_READERS, entry));
        settle(info);
        ASSERT_EQ(trace("KPLGetDisplayInfo").size(), 1u);
        asked.insert(trace("KPLGetDisplayInfo")[0]);
        EXPECT_EQ(info.rows(), (Rows{{"Product", "Reader B"}, {"Firmware version", "1.00"}}));
    }
    EXPECT_EQ(asked, (std::set<std::string>{"A:KPLGetDisplayInfo(0,-)", "C:KPLGetDisplayInfo(0,-)"}));

    // Saved twice into one file: the second report follows the first (the overwrite question of
    // the file dialog is answered yes; the report still appends).
    ui::headless::setMessageBoxAnswers("yes");
    for (int i = 0; i < 2; ++i) {
        ui::headless::queueFileAnswer(windowsPath("DevInfo.txt"));
        ASSERT_TRUE(ui::user::click(info, IDC_INFO_SAVE));
        settle(info);
    }
    const std::vector<std::string> report = lines(readBytes(dir_ / "DevInfo.txt"));
    ASSERT_EQ(report.size(), 8u);
    const std::regex heading(R"(Zelfin - Device Information Display \d\d-\d\d-\d{4} \d\d:\d\d:\d\d)");
    for (size_t at : {0u, 4u}) {
        EXPECT_TRUE(std::regex_match(report[at], heading)) << report[at];
        EXPECT_EQ(report[at + 1], std::string(report[at].size() + 2, '-'));
        EXPECT_EQ(report[at + 2], "Product = Reader B");
        EXPECT_EQ(report[at + 3], "Firmware version = 1.00");
    }

    // A file that cannot be made: the system's message, and nothing written.
    ui::headless::queueFileAnswer(windowsPath("missing\\DevInfo.txt"));
    testing::internal::CaptureStderr();
    ASSERT_TRUE(ui::user::click(info, IDC_INFO_SAVE));
    settle(info);
    EXPECT_NE(shown().find("\nZelfin: "), std::string::npos);
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
    ASSERT_TRUE(ui::user::click(info, IDOK));
    EXPECT_EQ(run.result(), IDOK);
}

// What the plug-in reports is shown as far as its fields go: all 30 rows, and a value that fills
// its field without an end is cut at the field's end.
TEST_F(DeviceInfo, ThirtyRowsAndAFieldWithoutItsEnd) {
    setEnv("ZELFIN_TEST_A_DEVICES", "Reader");
    setEnv("ZELFIN_TEST_A_DISPLAY_ROWS", "30");
    setEnv("ZELFIN_TEST_A_DISPLAY_LONG", "1");
    bindAndList({"plugin_a"});
    DevInfo info(true);
    ModalRun run(info);
    ASSERT_TRUE(run.waitOpen());
    const Rows rows = info.rows();
    ASSERT_EQ(rows.size(), 30u);
    EXPECT_EQ(rows[0][1], std::string(KPL_TEXT_SIZE, 'x'));
    EXPECT_EQ(rows[29], (std::vector<std::string>{"Item 29", "value 29"}));
    ui::headless::queueFileAnswer(windowsPath("report.txt"));
    ASSERT_TRUE(ui::user::click(info, IDC_INFO_SAVE));
    settle(info);
    const std::vector<std::string> report = lines(readBytes(dir_ / "report.txt"));
    ASSERT_EQ(report.size(), 32u);
    EXPECT_EQ(report[2], "Product = " + std::string(KPL_TEXT_SIZE, 'x'));
    ASSERT_TRUE(ui::user::click(info, IDOK));
    EXPECT_EQ(run.result(), IDOK);
}

// No reader to show, or a plug-in that cannot answer for the first one: the message, and the
// dialog goes.
TEST_F(DeviceInfo, NothingToShowClosesTheDialog) {
    struct Case {
        const char* devices;
        const char* failing;
        std::string message;
    };
    const Case cases[] = {
        {"Dup,Dup", "", libraryString(kNoDevices)},
        {"Only", "0", "Test plug-in A status 611"},
    };
    setEnv("ZELFIN_TEST_A_DEVICES", "Dup,Dup,Only");
    bindAndList({"plugin_a"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.devices);
        // The list made at binding is replaced by the case's.
        destroyDeviceLists();
        setEnv("ZELFIN_TEST_A_DEVICES", c.devices);
        setEnv("ZELFIN_TEST_A_DISPLAY_FAIL", c.failing);
        ASSERT_EQ(createDeviceLists().code, 0);
        testing::internal::CaptureStderr();
        DevInfo info(true);
        EXPECT_EQ(info.doModal(), IDCANCEL);
        EXPECT_EQ(shown(), libraryString(kStrCaption) + ": " + c.message + "\n");
    }
}

// A reader whose plug-in cannot answer: its message, and both the lines and the choice stay
// with the reader shown before.
TEST_F(DeviceInfo, ChangingToAReaderThatCannotAnswer) {
    setEnv("ZELFIN_TEST_A_DEVICES", "One,Two");
    setEnv("ZELFIN_TEST_A_DISPLAY_FAIL", "1");
    bindAndList({"plugin_a"});
    DevInfo info(true);
    ModalRun run(info);
    ASSERT_TRUE(run.waitOpen());
    const Rows before = info.rows();
    EXPECT_EQ(before[0], (std::vector<std::string>{"Product", "One"}));
    testing::internal::CaptureStderr();
    ASSERT_TRUE(ui::user::select(info, IDC_INFO_READERS, 1));
    settle(info);
    EXPECT_EQ(shown(), libraryString(kStrCaption) + ": Test plug-in A status 611\n");
    EXPECT_EQ(info.rows(), before);
    EXPECT_EQ(info.comboGetCurSel(IDC_INFO_READERS), 0);
    EXPECT_EQ(theApp.currentDevice, 0);
    ASSERT_TRUE(ui::user::click(info, IDOK));
    EXPECT_EQ(run.result(), IDOK);
}

// The configured run opens the dialog for a row of its table: that row's reader, plug-in and
// image become current and are shown in three columns. A row without a reader opens nothing.
TEST_F(DeviceInfo, OpenedForARowOfTheDownloadTable) {
    setEnv("ZELFIN_TEST_A_DEVICES", "First,Second");
    setEnv("ZELFIN_TEST_C_DEVICES", "Third");
    bindAndList({"plugin_a", "plugin_c"});
    theApp.downloadCount = 3;
    theApp.downloads[0] = DownloadEntry{"a.bin", 0, 1, ""};
    theApp.downloads[1] = DownloadEntry{"c.bin", 1, 0, ""};
    theApp.downloads[2] = DownloadEntry{"skipped.bin", kNoIndex, kNoIndex, ""};
    for (const int row : {1, 0}) {
        SCOPED_TRACE(row);
        fs::remove(dir_ / "trace.txt");
        auto shown = std::async(std::launch::async, [row] { runDeviceInfoForDownloadRow(row, nullptr, true); });
        ui::Dialog* top = nullptr;
        ASSERT_TRUE(ui::waitUntil([&] { return (top = ui::topModalDialog()) != nullptr; }, kUiCap));
        auto* info = dynamic_cast<DevInfo*>(top);
        ASSERT_NE(info, nullptr);
        const std::string name = row == 0 ? "Second" : "Third";
        EXPECT_EQ(info->rows(), (Rows{{"Product", name, ""}, {"Firmware version", row == 0 ? "1.01" : "1.00", "2.00"}}));
        EXPECT_EQ(info->itemText(IDC_INFO_HEADING), libraryString(6));
        EXPECT_EQ(trace("KPLGetDisplayInfo"), (std::vector<std::string>{row == 0 ? "A:KPLGetDisplayInfo(1,a.bin)"
                                                                                 : "C:KPLGetDisplayInfo(0,c.bin)"}));
        EXPECT_EQ(theApp.currentDownload, row);
        EXPECT_EQ(theApp.currentPluginIndex, row == 0 ? 0 : 1);
        EXPECT_EQ(theApp.currentDevice, row == 0 ? 1 : 0);
        ASSERT_TRUE(ui::user::click(*info, IDOK));
        ASSERT_EQ(shown.wait_for(kUiCap), std::future_status::ready);
    }
    for (const int row : {2, 3, -1}) {
        fs::remove(dir_ / "trace.txt");
        runDeviceInfoForDownloadRow(row, nullptr, true);  // returns at once
        EXPECT_TRUE(trace().empty()) << row;
    }
}

}  // namespace
