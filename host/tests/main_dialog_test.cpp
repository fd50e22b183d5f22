// The interactive main dialog driven by control id against the test plug-ins, in the headless
// backend: downloads and uploads reach the reader the operator chose, failures, retries, cancel,
// both layouts.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "device_info_dialog.h"
#include "main_dialog.h"
#include "plugin_fixture.h"
#include "resource.h"
#include "text.h"

using namespace zelfin;
using namespace hosttest;
using testsupport::kUiCap;
using testsupport::ModalRun;

namespace {

class MainDialog : public PluginFolder {
protected:
    void SetUp() override {
        PluginFolder::SetUp();
        copyInto(theApp.tempDir, windowsPath("work").c_str());
        setEnv("ZELFIN_TEST_A_ACCEPT", ".bin");
    }
    // Plug-in A with the given readers, bound and listed, and an image fw.bin it accepts.
    void readersAndImage(const char* devices) {
        setEnv("ZELFIN_TEST_A_DEVICES", devices);
        bindAndList({"plugin_a"});
        writeBytes(dir_ / "fw.bin", "image");
    }

    // Chooses `name` of the folder with the browse button.
    void browse(ZelfinDlg& d, const std::string& name) {
        ui::headless::queueFileAnswer(windowsPath(name));
        ASSERT_TRUE(ui::user::click(d, IDC_BROWSE));
        settle(d);
    }
    static std::vector<std::string> deviceChoice(const ZelfinDlg& d) {
        std::vector<std::string> names;
        for (int i = 0; i < d.comboGetCount(IDC_DEVICE_CHOICE); ++i) names.push_back(d.comboGetText(IDC_DEVICE_CHOICE, i));
        return names;
    }
    // Waits until the operation has ended: the cancel button is the close button again.
    static bool awaitEnd(const ZelfinDlg& d) {
        return ui::waitUntil([&] { return !d.busy() && d.itemText(IDCANCEL) == libraryString(11); }, kUiCap);
    }
    static std::string shown() { return testing::internal::GetCapturedStderr(); }
    // The message boxes among what the headless backend printed (it prints file choices too).
    static std::string messageBoxes(const std::string& printed) {
        std::string boxes;
        std::istringstream in(printed);
        for (std::string line; std::getline(in, line);)
            if (line.rfind(libraryString(kStrCaption) + ": ", 0) == 0) boxes += line + "\n";
        return boxes;
    }
    // Library string `id` with its "%s" filled.
    static std::string filled(UINT id, const std::string& arg) {
        std::string text = libraryString(id);
        const size_t at = text.find("%s");
        return at == std::string::npos ? text : text.replace(at, 2, arg);
    }
};

TEST_F(MainDialog, DownloadGoesToTheReaderOfTheChosenRow) {
    // The second name is the start of the first: a reader found by its name would be the wrong one.
    setEnv("ZELFIN_TEST_A_DEVICES", "Tarn DFU Device [Hub:1],Tarn DFU Device,Other Reader");
    setEnv("ZELFIN_TEST_A_MATCH", "fw.bin:0,1");
    bindAndList({"plugin_a"});
    writeBytes(dir_ / "fw.bin", "image");

    struct Case {
        std::vector<int> picks;  // the rows the operator picks, in turn; none: the list as it opens
        int device;
    };
    for (const Case& c : {Case{{}, 0}, Case{{1}, 1}, Case{{1, 0}, 0}}) {
        SCOPED_TRACE(c.picks.size());
        fs::remove(dir_ / "trace.txt");
        ZelfinDlg dlg(true, true);
        ModalRun run(dlg);
        ASSERT_TRUE(run.waitOpen());
        EXPECT_EQ(dlg.isButtonChecked(IDC_MODE_DOWNLOAD), static_cast<UINT>(BST_CHECKED));
        for (int id : {IDC_START, IDC_DEVICE_CHOICE, IDC_MAIN_DEVICE_INFO}) EXPECT_FALSE(dlg.isItemEnabled(id)) << id;
        browse(dlg, "fw.bin");
        EXPECT_EQ(dlg.itemText(IDC_FILE_PATH), windowsPath("fw.bin"));
        EXPECT_EQ(deviceChoice(dlg), (std::vector<std::string>{"Tarn DFU Device [Hub:1]", "Tarn DFU Device"}));
        EXPECT_EQ(dlg.comboGetCurSel(IDC_DEVICE_CHOICE), 0);
        for (int row : c.picks) ASSERT_TRUE(ui::user::select(dlg, IDC_DEVICE_CHOICE, row));
        ASSERT_TRUE(ui::user::click(dlg, IDC_START));
        ASSERT_TRUE(awaitEnd(dlg));
        EXPECT_EQ(dlg.mainResult(), 0);

        const std::vector<std::string> calls = trace("A:KPLDownloadFirmware");
        ASSERT_EQ(calls.size(), 1u);
        const std::regex call("A:KPLDownloadFirmware\\(" + std::to_string(c.device) + "," +
                              std::regex_replace(windowsPath("work"), std::regex(R"(\\)"), R"(\\)") +
                              R"(\\\d\d[^_\\]+\d{4}_\d{1,2}h\d{1,2}m\d{1,2}s\.bin,)" +
                              std::regex_replace(windowsPath("fw.bin"), std::regex(R"(\\)"), R"(\\)") + R"(\))");
        EXPECT_TRUE(std::regex_match(calls[0], call)) << calls[0];
        EXPECT_EQ(trace("A:KPLSwitchToFuncMode").size(), 1u);
        EXPECT_EQ(dlg.progressGetPos(IDC_MAIN_PROGRESS), 100);
        EXPECT_EQ(dlg.itemText(IDC_PROGRESS_TEXT), "Done");
        // A finished operation leaves only closing: the readers have changed since the scan.
        for (int id : {IDC_START, IDC_BROWSE, IDC_DEVICE_CHOICE, IDC_MODE_DOWNLOAD, IDC_MODE_UPLOAD})
            EXPECT_FALSE(dlg.isItemEnabled(id)) << id;
        ASSERT_TRUE(ui::user::click(dlg, IDCANCEL));
        EXPECT_EQ(run.result(), IDCANCEL);
    }
    EXPECT_EQ(exitCode, 0);
    const std::string log = logText();
    EXPECT_NE(log.find("ZelfinDlg(121) :Download Selected, Filename = " + windowsPath("fw.bin")), std::string::npos);
    EXPECT_NE(log.find("********** Firmware  Download  Start **********"), std::string::npos);
    EXPECT_NE(log.find("ZelfinDlg(201) :Selected device is device 1"), std::string::npos);
    EXPECT_NE(log.find("********** Firmware Download Complete **********"), std::string::npos);
}

TEST_F(MainDialog, UploadListsEveryReaderThatCanBeToldApartAndWritesWhereChosen) {
    // Equal names in two plug-ins are two readers; equal names in one plug-in cannot be told apart.
    setEnv("ZELFIN_TEST_A_DEVICES", "Reader,Twin,Twin");
    setEnv("ZELFIN_TEST_A_MATCH", "fw.bin:0");
    setEnv("ZELFIN_TEST_B_DEVICES", "Not Uploadable");
    setEnv("ZELFIN_TEST_C_DEVICES", "Reader");
    bindAndList({"plugin_a", "plugin_b", "plugin_c"});
    writeBytes(dir_ / "fw.bin", "image");
    ZelfinDlg dlg(true, true);
    ModalRun run(dlg);
    ASSERT_TRUE(run.waitOpen());

    // A download image chosen first leaves nothing behind for the upload.
    browse(dlg, "fw.bin");
    ASSERT_TRUE(ui::user::click(dlg, IDC_MODE_UPLOAD));
    settle(dlg);
    EXPECT_EQ(theApp.downloadMode, 0);
    EXPECT_EQ(dlg.itemText(IDC_FILE_PATH), "");
    EXPECT_EQ(deviceChoice(dlg), (std::vector<std::string>{"Reader", "Reader"}));
    EXPECT_TRUE(dlg.isItemEnabled(IDC_DEVICE_CHOICE));
    EXPECT_FALSE(dlg.isItemEnabled(IDC_START)) << "an upload needs its own file";

    ui::headless::queueFileAnswer(windowsPath("up.bin"));
    ASSERT_TRUE(ui::user::click(dlg, IDC_BROWSE));
    EXPECT_TRUE(dlg.isItemEnabled(IDC_START));
    ASSERT_TRUE(ui::user::select(dlg, IDC_DEVICE_CHOICE, 1));
    ASSERT_TRUE(ui::user::click(dlg, IDC_START));
    ASSERT_TRUE(awaitEnd(dlg));
    EXPECT_EQ(dlg.mainResult(), 0);
    EXPECT_EQ(trace("KPLUploadFirmware"), (std::vector<std::string>{"C:KPLUploadFirmware(0," + windowsPath("up.bin") + ")"}));
    ASSERT_TRUE(ui::user::click(dlg, IDCANCEL));
    EXPECT_EQ(run.result(), IDCANCEL);
    EXPECT_NE(logText().find("ZelfinDlg(120) :Upload Selected, Filename = " + windowsPath("up.bin")), std::string::npos);
    EXPECT_NE(logText().find("********** Firmware Upload Complete **********"), std::string::npos);
}

TEST_F(MainDialog, UploadSwitchedBackAndForthAsksForItsFileAgain) {
    readersAndImage("Reader");
    ZelfinDlg dlg(true, true);
    ModalRun run(dlg);
    ASSERT_TRUE(run.waitOpen());
    ASSERT_TRUE(ui::user::click(dlg, IDC_MODE_UPLOAD));
    browse(dlg, "up.bin");
    EXPECT_TRUE(dlg.isItemEnabled(IDC_START));
    ASSERT_TRUE(ui::user::click(dlg, IDC_MODE_DOWNLOAD));
    EXPECT_EQ(dlg.itemText(IDC_FILE_PATH), "");
    EXPECT_EQ(dlg.comboGetCount(IDC_DEVICE_CHOICE), 0);
    EXPECT_FALSE(dlg.isItemEnabled(IDC_START));
    browse(dlg, "fw.bin");
    ASSERT_TRUE(ui::user::click(dlg, IDC_MODE_UPLOAD));
    EXPECT_FALSE(dlg.isItemEnabled(IDC_START)) << "the shown path is empty, so is the target";
    ASSERT_TRUE(ui::user::click(dlg, IDCANCEL));
    EXPECT_EQ(run.result(), IDCANCEL);
    EXPECT_EQ(dlg.mainResult(), 1);
}

TEST_F(MainDialog, UploadWithoutAReaderThatCanBeToldApartShowsCode734) {
    setEnv("ZELFIN_TEST_A_DEVICES", "Twin,Twin");
    setEnv("ZELFIN_TEST_B_DEVICES", "Not Uploadable");
    bindAndList({"plugin_a", "plugin_b"});
    ZelfinDlg dlg(theApp.uploadOffered == 1, true);
    ModalRun run(dlg);
    ASSERT_TRUE(run.waitOpen());
    testing::internal::CaptureStderr();
    ASSERT_TRUE(ui::user::click(dlg, IDC_MODE_UPLOAD));
    settle(dlg);
    EXPECT_NE(shown().find(libraryString(kNoUploadOffered)), std::string::npos);
    EXPECT_FALSE(dlg.isItemEnabled(IDC_BROWSE));
    EXPECT_FALSE(dlg.isItemEnabled(IDC_MODE_UPLOAD));
    EXPECT_EQ(dlg.comboGetCount(IDC_DEVICE_CHOICE), 0);
    ASSERT_TRUE(ui::user::click(dlg, IDC_MODE_DOWNLOAD));
    EXPECT_TRUE(dlg.isItemEnabled(IDC_BROWSE));
    ASSERT_TRUE(ui::user::click(dlg, IDCANCEL));
    EXPECT_EQ(run.result(), IDCANCEL);
}

// An image the plug-ins refuse, one no reader fits, readers that cannot be told apart, a filter
// that fails: each is said once, and nothing can be started.
TEST_F(MainDialog, ImagesThatCannotBeWrittenAreRefused) {
    setEnv("ZELFIN_TEST_A_DEVICES", "Reader One,Twin,Twin");
    setEnv("ZELFIN_TEST_A_MATCH", "one.bin:0;twins.bin:1,2");
    bindAndList({"plugin_a"});
    for (const char* name : {"one.bin", "other.bin", "twins.bin", "notes.txt"}) writeBytes(dir_ / name, "x");
    struct Case {
        const char* file;
        const char* filterResult;
        std::string message;
    };
    const Case cases[] = {
        {"notes.txt", "0", "Test plug-in A status 207"},
        {"other.bin", "0", filled(kNoDeviceMatched, windowsPath("other.bin"))},
        {"twins.bin", "0", filled(kDuplicateDeviceName, "Twin")},
        {"one.bin", "618", "Test plug-in A status 618"},
    };
    ZelfinDlg dlg(true, true);
    ModalRun run(dlg);
    ASSERT_TRUE(run.waitOpen());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        setEnv("ZELFIN_TEST_A_FILTER_RESULT", "0");
        browse(dlg, "one.bin");  // a good choice first, so that the refusal has something to undo
        ASSERT_TRUE(dlg.isItemEnabled(IDC_START));
        setEnv("ZELFIN_TEST_A_FILTER_RESULT", c.filterResult);
        testing::internal::CaptureStderr();
        browse(dlg, c.file);
        const std::string boxes = messageBoxes(shown());
        EXPECT_EQ(boxes, libraryString(kStrCaption) + ": " + c.message + "\n");
        EXPECT_EQ(dlg.itemText(IDC_FILE_PATH), windowsPath(c.file)) << "the file stays shown";
        for (int id : {IDC_START, IDC_DEVICE_CHOICE, IDC_MAIN_DEVICE_INFO}) EXPECT_FALSE(dlg.isItemEnabled(id)) << id;
        EXPECT_EQ(dlg.comboGetCount(IDC_DEVICE_CHOICE), 0);
    }
    ASSERT_TRUE(ui::user::click(dlg, IDCANCEL));
    EXPECT_EQ(run.result(), IDCANCEL);
    EXPECT_NE(logText().find("Zelfin(122) :" + std::string(cases[1].message)), std::string::npos);
    EXPECT_NE(logText().find("ZelfinDlg(123) :" + std::string(cases[2].message)), std::string::npos);
}

// A path the host's 260-byte buffers cannot hold is refused whole: cut, it would name another file.
TEST_F(MainDialog, APathTooLongIsRefusedWhole) {
    readersAndImage("Reader");
    ZelfinDlg dlg(true, true);
    ModalRun run(dlg);
    ASSERT_TRUE(run.waitOpen());
    browse(dlg, "fw.bin");
    const std::string tooLong = windowsPath(std::string(kTextSize, 'p') + ".bin");
    ui::headless::queueFileAnswer(tooLong);
    testing::internal::CaptureStderr();
    ASSERT_TRUE(ui::user::click(dlg, IDC_BROWSE));
    settle(dlg);
    EXPECT_EQ(messageBoxes(shown()).rfind("Zelfin: The filename or extension is too long.", 0), 0u);
    EXPECT_EQ(dlg.itemText(IDC_FILE_PATH), windowsPath("fw.bin")) << "the last good choice stays";
    EXPECT_EQ(std::string(theApp.downloads[0].fileName), windowsPath("fw.bin"));
    EXPECT_TRUE(dlg.isItemEnabled(IDC_START));
    ASSERT_TRUE(ui::user::click(dlg, IDCANCEL));
    EXPECT_EQ(run.result(), IDCANCEL);
}

// A failed download: the plug-in's message (but for 751), the bar back at its start, and start
// available again only for the codes that say the operation may be repeated.
TEST_F(MainDialog, FailedDownloadsAndTheCodesThatMayBeRetried) {
    readersAndImage("Reader");
    struct Case {
        int32_t code;
        bool box;
        bool retry;
    };
    for (const Case c : {Case{214, true, false}, Case{735, true, true}, Case{740, true, true}, Case{751, false, true}}) {
        SCOPED_TRACE(c.code);
        // The download fails with the code once; a second try succeeds.
        setEnv("ZELFIN_TEST_A_DOWNLOAD_RESULT", std::to_string(c.code) + ",0");
        fs::remove(dir_ / "trace.txt");
        ZelfinDlg dlg(true, true);
        ModalRun run(dlg);
        ASSERT_TRUE(run.waitOpen());
        browse(dlg, "fw.bin");
        testing::internal::CaptureStderr();
        ASSERT_TRUE(ui::user::click(dlg, IDC_START));
        ASSERT_TRUE(awaitEnd(dlg));
        const std::string boxes = shown();
        EXPECT_EQ(boxes, c.box ? libraryString(kStrCaption) + ": Test plug-in A status " + std::to_string(c.code) + "\n"
                               : std::string());
        EXPECT_EQ(dlg.mainResult(), 2);
        EXPECT_EQ(dlg.progressGetPos(IDC_MAIN_PROGRESS), 0);
        EXPECT_EQ(dlg.itemText(IDC_PROGRESS_TEXT), "");
        EXPECT_EQ(trace("A:KPLSwitchToFuncMode").size(), 1u) << "the reader goes back to normal after a failure too";
        for (int id : {IDC_START, IDC_BROWSE, IDC_MAIN_DEVICE_INFO}) EXPECT_EQ(dlg.isItemEnabled(id), c.retry) << id;
        if (c.retry) {
            ASSERT_TRUE(ui::user::click(dlg, IDC_START));
            ASSERT_TRUE(awaitEnd(dlg));
            EXPECT_EQ(dlg.mainResult(), 0);
            EXPECT_EQ(trace("A:KPLDownloadFirmware").size(), 2u);
        }
        ASSERT_TRUE(ui::user::click(dlg, IDCANCEL));
        EXPECT_EQ(run.result(), IDCANCEL);
    }
}

// Cancel while the plug-in works: the question, and the dialog stays until the plug-in returns,
// whose answer is the last word.
TEST_F(MainDialog, CancelWhileADownloadRuns) {
    readersAndImage("Reader");
    struct Case {
        const char* answer;
        bool pluginStops;
        int32_t result;
    };
    const Case cases[] = {{"no", true, 0}, {"yes", true, 2}, {"yes", false, 0}};
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.answer) + (c.pluginStops ? " stops" : " goes on"));
        const fs::path entered = makeFifo("entered" + std::to_string(n));
        const fs::path release = makeFifo("release" + std::to_string(n++));
        setEnv("ZELFIN_TEST_A_DOWNLOAD_ENTERED", entered.string());
        setEnv("ZELFIN_TEST_A_DOWNLOAD_RELEASE", release.string());
        if (c.pluginStops)
            ::unsetenv("ZELFIN_TEST_A_IGNORE_ABORT");
        else
            setEnv("ZELFIN_TEST_A_IGNORE_ABORT", "1");
        ZelfinDlg dlg(true, true);
        ModalRun run(dlg);
        ASSERT_TRUE(run.waitOpen());
        browse(dlg, "fw.bin");
        ASSERT_TRUE(ui::user::click(dlg, IDC_START));
        ASSERT_FALSE(awaitFifo(entered).empty()) << "the download never began";
        EXPECT_TRUE(dlg.busy());
        EXPECT_EQ(dlg.itemText(IDCANCEL), libraryString(27));

        ui::headless::setMessageBoxAnswers(c.answer);
        testing::internal::CaptureStderr();
        ASSERT_TRUE(ui::user::click(dlg, IDCANCEL));
        settle(dlg);
        EXPECT_EQ(shown(), libraryString(kStrCaption) + ": " + libraryString(32) + "\n");
        EXPECT_TRUE(dlg.isOpen()) << "the dialog waits for the plug-in";
        if (std::string(c.answer) == "yes") {
            EXPECT_EQ(dlg.mainResult(), 1) << "cancelled, for now";
        }

        ui::headless::setMessageBoxAnswers("");
        { std::ofstream(release) << "go"; }
        ASSERT_TRUE(awaitEnd(dlg));
        EXPECT_EQ(dlg.mainResult(), c.result);
        EXPECT_TRUE(dlg.isOpen());
        ASSERT_TRUE(ui::user::click(dlg, IDCANCEL));
        EXPECT_EQ(run.result(), IDCANCEL);
    }
}

TEST_F(MainDialog, BothLayoutsAndTheirResultWhenClosedUnused) {
    readersAndImage("Reader");
    for (const bool withChoice : {true, false}) {
        SCOPED_TRACE(withChoice);
        {
            ZelfinDlg dlg(withChoice, true);
            ModalRun run(dlg);
            ASSERT_TRUE(run.waitOpen());
            EXPECT_EQ(dlg.title(), libraryString(kStrTitle));
            for (int id : {IDC_MODE_GROUP, IDC_MODE_DOWNLOAD, IDC_MODE_UPLOAD}) {
                EXPECT_EQ(dlg.isItemVisible(id), withChoice) << id;
                EXPECT_EQ(dlg.isItemEnabled(id), withChoice) << id;
            }
            EXPECT_EQ(dlg.itemText(IDC_BROWSE), libraryString(4));
            EXPECT_EQ(dlg.itemText(IDC_START), libraryString(10));
            EXPECT_FALSE(dlg.isItemEnabled(IDC_MAIN_PROGRESS));
            // The download works the same in both.
            browse(dlg, "fw.bin");
            ASSERT_TRUE(ui::user::click(dlg, IDC_START));
            EXPECT_TRUE(dlg.isItemEnabled(IDC_MAIN_PROGRESS));
            ASSERT_TRUE(awaitEnd(dlg));
            EXPECT_EQ(dlg.mainResult(), 0);
            ASSERT_TRUE(ui::user::close(dlg));
            EXPECT_EQ(run.result(), IDCANCEL);
        }
        EXPECT_EQ(exitCode, 0);
        {
            ZelfinDlg dlg(withChoice, true);
            ModalRun run(dlg);
            ASSERT_TRUE(run.waitOpen());
            ASSERT_TRUE(ui::user::close(dlg));
            EXPECT_EQ(run.result(), IDCANCEL);
        }
        EXPECT_EQ(exitCode, 1) << "closed without an operation";
    }
}

TEST_F(MainDialog, DeviceInformationOfTheChosenReader) {
    readersAndImage("First,Second");
    ZelfinDlg dlg(true, true);
    ModalRun run(dlg);
    ASSERT_TRUE(run.waitOpen());
    struct Case {
        bool upload;
        std::vector<std::vector<std::string>> rows;
        std::string heading;
    };
    const Case cases[] = {
        {false, {{"Product", "Second", ""}, {"Firmware version", "1.01", "2.00"}}, libraryString(6)},
        {true, {{"Product", "Second"}, {"Firmware version", "1.01"}}, libraryString(7)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.upload);
        if (c.upload) {
            ASSERT_TRUE(ui::user::click(dlg, IDC_MODE_UPLOAD));
        } else {
            browse(dlg, "fw.bin");
        }
        ASSERT_TRUE(ui::user::select(dlg, IDC_DEVICE_CHOICE, 1));
        fs::remove(dir_ / "trace.txt");
        ASSERT_TRUE(ui::user::click(dlg, IDC_MAIN_DEVICE_INFO));
        ui::Dialog* top = nullptr;
        ASSERT_TRUE(ui::waitUntil([&] { return (top = ui::topModalDialog()) != nullptr && top != &dlg; }, kUiCap));
        auto* info = dynamic_cast<DevInfo*>(top);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->rows(), c.rows);
        EXPECT_EQ(info->itemText(IDC_INFO_HEADING), c.heading);
        EXPECT_FALSE(info->isItemVisible(IDC_INFO_READERS));
        EXPECT_FALSE(info->isItemVisible(IDC_INFO_SAVE));
        EXPECT_EQ(trace("KPLGetDisplayInfo"),
                  (std::vector<std::string>{"A:KPLGetDisplayInfo(1," + (c.upload ? std::string("-") : windowsPath("fw.bin")) + ")"}));
        ASSERT_TRUE(ui::user::click(*info, IDOK));
        ASSERT_TRUE(ui::waitUntil([&] { return ui::topModalDialog() == &dlg; }, kUiCap));
    }
    ASSERT_TRUE(ui::user::click(dlg, IDCANCEL));
    EXPECT_EQ(run.result(), IDCANCEL);
}

// F1 opens the manual beside the program; with help switched off it does nothing. (Beside the
// test program there is no manual, which the help command logs.)
TEST_F(MainDialog, HelpFollowsTheSetting) {
    setEnv("ZELFIN_TEST_A_DEVICES", "Reader");
    bindAndList({"plugin_a"});
    for (const bool helpAllowed : {false, true}) {
        ZelfinDlg dlg(true, helpAllowed);
        ModalRun run(dlg);
        ASSERT_TRUE(run.waitOpen());
        ASSERT_TRUE(ui::user::pressF1(dlg));
        settle(dlg);
        EXPECT_EQ(logText().find("Cannot open the manual") != std::string::npos, helpAllowed);
        ASSERT_TRUE(ui::user::close(dlg));
        EXPECT_EQ(run.result(), IDCANCEL);
    }
    EXPECT_NE(logText().find("ZELFIN.HTM"), std::string::npos);
}

}  // namespace
