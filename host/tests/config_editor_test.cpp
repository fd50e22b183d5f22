// The configuration editor and its option dialog, driven by control id as an operator would
// drive them, in the headless backend.
#include <gtest/gtest.h>

#include <ui/driver.h>

#include <string>
#include <vector>

#include "config_editor.h"
#include "config_fixture.h"
#include "modal_run.h"
#include "resource.h"
#include "run_process.h"

using namespace zelfin;
using namespace hosttest;
using testsupport::kUiCap;
using testsupport::ModalRun;

namespace {

using Rows = std::vector<std::pair<std::string, std::string>>;

struct ImageRow {
    std::string name;
    bool checked;
    bool operator==(const ImageRow&) const = default;
};

class ConfigEditor : public HostFolder {
protected:
    void SetUp() override {
        HostFolder::SetUp();
        ui::headless::setAutoClose(false);  // the test is the operator
        ui::headless::setMessageBoxAnswers("");
        acceptBinImages();
        writeBytes(dir_ / "a.bin", imageWithType(1));
        writeBytes(dir_ / "c.sig", "sig");
        writeBytes(dir_ / "d.bin", imageWithType(2));
        writeBytes(dir_ / "notes.txt", "not an image");
        outside_ = dir_.string() + "-far.bin";  // accepted, but not in the current folder
        writeBytes(outside_, imageWithType(1));
        original_ = configBytes({{"Options", "2"},
                                 {"GUI", "NO"},
                                 {"RETRIES", "3"},
                                 {"Download", "2"},
                                 {"a.bin", " "},
                                 {outside_, " "},
                                 {"SymLink", "\\\\?\\usb#vid_0001&pid_0002#7&1"}});
        writeBytes(dir_ / "Zelfin.cfg", original_);
    }
    void TearDown() override {
        fs::remove(outside_);
        HostFolder::TearDown();
    }

    static Rows options(const CfgEdtDlg& d) { return d.optionRows(); }
    static std::vector<ImageRow> images(const CfgEdtDlg& d) {
        std::vector<ImageRow> rows;
        for (int i = 0; i < d.listGetItemCount(IDC_DOWNLOAD_LIST); ++i)
            rows.push_back({d.listGetItemText(IDC_DOWNLOAD_LIST, i, 0), d.listGetCheck(IDC_DOWNLOAD_LIST, i)});
        return rows;
    }
    // Returns once the handlers of the last action on `d` have run: any call served on the
    // interface thread is served after them.
    static void settle(const ui::Dialog& d) { (void)d.hasItem(IDCANCEL); }
    static std::string shown() { return testing::internal::GetCapturedStderr(); }

    std::string outside_;
    std::string original_;
};

TEST_F(ConfigEditor, ShowsWhatTheFileHoldsAndLeavesItAloneWhenNothingChanged) {
    CfgEdtDlg editor;
    ModalRun run(editor);
    ASSERT_TRUE(run.waitOpen());
    EXPECT_EQ(options(editor), (Rows{{"GUI", "NO"}, {"RETRIES", "3"}}));
    // The configured images first and checked, wherever they lie; then the folder's other
    // images (".bin" and ".sig") unchecked.
    EXPECT_EQ(images(editor), (std::vector<ImageRow>{{"a.bin", true}, {outside_, true}, {"c.sig", false}, {"d.bin", false}}));
    EXPECT_FALSE(editor.modified());
    EXPECT_EQ(editor.itemText(IDC_SAVE), libraryString(40));

    testing::internal::CaptureStderr();
    ASSERT_TRUE(ui::user::click(editor, IDCANCEL));
    EXPECT_EQ(run.result(), IDCANCEL);
    EXPECT_EQ(shown(), "");  // no question without a change
    EXPECT_EQ(readBytes(dir_ / "Zelfin.cfg"), original_);
}

TEST_F(ConfigEditor, OptionsAreAddedEditedAndDeleted) {
    CfgEdtDlg editor;
    ModalRun run(editor);
    ASSERT_TRUE(run.waitOpen());

    // Add a yes/no key: GUI is in the list already and is not offered again.
    ASSERT_TRUE(ui::user::click(editor, IDC_ADD_OPTION));
    ui::Dialog* add = testsupport::dialogOnTopOf(editor);
    ASSERT_NE(add, nullptr);
    EXPECT_EQ(add->comboFindString(IDC_OPTION_KEYS, -1, "GUI"), CB_ERR);
    EXPECT_EQ(add->comboFindString(IDC_OPTION_KEYS, -1, "MATCHBYSYMLINK"), CB_ERR);
    const int backup = add->comboFindString(IDC_OPTION_KEYS, -1, "BACKUP");
    ASSERT_NE(backup, CB_ERR);
    ASSERT_TRUE(ui::user::select(*add, IDC_OPTION_KEYS, backup));
    ASSERT_TRUE(ui::user::select(*add, IDC_OPTION_YESNO, 1));
    ASSERT_TRUE(ui::user::click(*add, IDOK));
    ASSERT_TRUE(ui::waitUntil([&] { return options(editor).size() == 3; }, kUiCap));
    EXPECT_EQ(options(editor).back(), (std::pair<std::string, std::string>{"BACKUP", "NO"}));
    EXPECT_TRUE(editor.modified());

    // Numeric keys take digits only: a letter shows code 114 and empties the field.
    ASSERT_TRUE(ui::user::click(editor, IDC_ADD_OPTION));
    add = testsupport::dialogOnTopOf(editor);
    ASSERT_NE(add, nullptr);
    ASSERT_TRUE(ui::user::click(*add, IDC_KIND_NUMBER));
    EXPECT_EQ(add->comboFindString(IDC_OPTION_KEYS, -1, "RETRIES"), CB_ERR);
    const int address = add->comboFindString(IDC_OPTION_KEYS, -1, "DEVICE_ADDRESS");
    ASSERT_NE(address, CB_ERR);
    ASSERT_TRUE(ui::user::select(*add, IDC_OPTION_KEYS, address));
    testing::internal::CaptureStderr();
    ASSERT_TRUE(ui::user::type(*add, IDC_OPTION_NUMBER, "1x"));
    EXPECT_EQ(add->itemText(IDC_OPTION_NUMBER), "");
    EXPECT_NE(shown().find(libraryString(kNotANumber)), std::string::npos);
    ASSERT_TRUE(ui::user::type(*add, IDC_OPTION_NUMBER, "42"));
    ASSERT_TRUE(ui::user::click(*add, IDOK));
    ASSERT_TRUE(ui::waitUntil([&] { return options(editor).size() == 4; }, kUiCap));
    EXPECT_EQ(options(editor).back(), (std::pair<std::string, std::string>{"DEVICE_ADDRESS", "42"}));

    // Edit and delete act on the selected row; without one they show code 109.
    for (int button : {IDC_EDIT_OPTION, IDC_DELETE_OPTION}) {
        testing::internal::CaptureStderr();
        ASSERT_TRUE(ui::user::click(editor, button));
        settle(editor);
        EXPECT_NE(shown().find(libraryString(kNoRowSelected)), std::string::npos);
    }
    ASSERT_TRUE(ui::user::select(editor, IDC_OPTION_LIST, 0));
    ASSERT_TRUE(ui::user::click(editor, IDC_EDIT_OPTION));
    ui::Dialog* edit = testsupport::dialogOnTopOf(editor);
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(edit->itemText(IDC_OPTION_KEY_TEXT), "GUI");
    EXPECT_TRUE(edit->isItemVisible(IDC_OPTION_YESNO));  // "NO" is edited in the drop-down
    EXPECT_FALSE(edit->isItemVisible(IDC_OPTION_NUMBER));
    ASSERT_TRUE(ui::user::select(*edit, IDC_OPTION_YESNO, 0));
    ASSERT_TRUE(ui::user::click(*edit, IDOK));
    ASSERT_TRUE(ui::waitUntil([&] { return options(editor).front().second == "YES"; }, kUiCap));

    ASSERT_TRUE(ui::user::select(editor, IDC_OPTION_LIST, 1));
    ASSERT_TRUE(ui::user::click(editor, IDC_DELETE_OPTION));
    EXPECT_EQ(options(editor), (Rows{{"GUI", "YES"}, {"BACKUP", "NO"}, {"DEVICE_ADDRESS", "42"}}));

    ui::headless::setMessageBoxAnswers("no");  // close without saving
    ASSERT_TRUE(ui::user::close(editor));
    EXPECT_EQ(run.result(), IDCANCEL);
    EXPECT_EQ(readBytes(dir_ / "Zelfin.cfg"), original_);
}

TEST_F(ConfigEditor, RowsMoveWithTheirCheckBoxes) {
    CfgEdtDlg editor;
    ModalRun run(editor);
    ASSERT_TRUE(run.waitOpen());
    // Nothing selected, and the ends: nothing moves.
    ASSERT_TRUE(ui::user::click(editor, IDC_MOVE_UP));
    ASSERT_TRUE(ui::user::select(editor, IDC_DOWNLOAD_LIST, 0));
    ASSERT_TRUE(ui::user::click(editor, IDC_MOVE_UP));
    EXPECT_EQ(images(editor).front(), (ImageRow{"a.bin", true}));

    ASSERT_TRUE(ui::user::click(editor, IDC_MOVE_DOWN));
    ASSERT_TRUE(ui::user::click(editor, IDC_MOVE_DOWN));
    EXPECT_EQ(images(editor), (std::vector<ImageRow>{{outside_, true}, {"c.sig", false}, {"a.bin", true}, {"d.bin", false}}));
    EXPECT_EQ(editor.listGetNextSelected(IDC_DOWNLOAD_LIST), 2);
    EXPECT_TRUE(editor.modified());
}

// What the editor saves is exactly what zelfin-config writes for the same content, SymLink
// record included; the save asks first, and No leaves the file as it was.
TEST_F(ConfigEditor, SavesTheFileTheToolWould) {
    CfgEdtDlg editor;
    ModalRun run(editor);
    ASSERT_TRUE(run.waitOpen());
    ASSERT_TRUE(ui::user::checkRow(editor, IDC_DOWNLOAD_LIST, 0, false));  // a.bin out
    ASSERT_TRUE(ui::user::checkRow(editor, IDC_DOWNLOAD_LIST, 3, true));   // d.bin in

    ui::headless::setMessageBoxAnswers("no");
    testing::internal::CaptureStderr();
    ASSERT_TRUE(ui::user::click(editor, IDC_SAVE));
    settle(editor);
    EXPECT_NE(shown().find(libraryString(115)), std::string::npos);
    EXPECT_EQ(readBytes(dir_ / "Zelfin.cfg"), original_);
    EXPECT_TRUE(editor.modified());

    ui::headless::setMessageBoxAnswers("yes");
    ASSERT_TRUE(ui::user::click(editor, IDC_SAVE));
    settle(editor);
    EXPECT_FALSE(editor.modified());
    ASSERT_TRUE(ui::user::click(editor, IDCANCEL));  // saved: closes without asking
    EXPECT_EQ(run.result(), IDCANCEL);

    const fs::path byTool = dir_ / "tool.cfg";
    const auto r = testsupport::runCommand(testsupport::binPath("zelfin-config") + " write " + byTool.string() +
                                               " --option GUI=NO --option RETRIES=3 --download '" + outside_ +
                                               "' --download d.bin --symlink '\\\\?\\usb#vid_0001&pid_0002#7&1'",
                                           true);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(readBytes(dir_ / "Zelfin.cfg"), readBytes(byTool));
    EXPECT_FALSE(fs::exists(dir_ / "Zelfin.cfg.tmp"));
}

TEST_F(ConfigEditor, AFileWithAWrongChecksumClosesTheEditor) {
    writeBytes(dir_ / "Zelfin.cfg", configBytes({{"Options", "1"}, {"GUI", "NO"}}, 7));
    CfgEdtDlg editor;
    testing::internal::CaptureStderr();
    ModalRun run(editor);
    EXPECT_EQ(run.result(), IDCANCEL);
    EXPECT_NE(shown().find(libraryString(kConfigCrcMismatch)), std::string::npos);
}

TEST_F(ConfigEditor, OpeningWithoutAFileMakesAnEmptyOne) {
    fs::remove(dir_ / "Zelfin.cfg");
    CfgEdtDlg editor;
    ModalRun run(editor);
    ASSERT_TRUE(run.waitOpen());
    EXPECT_TRUE(options(editor).empty());
    EXPECT_EQ(images(editor), (std::vector<ImageRow>{{"a.bin", false}, {"c.sig", false}, {"d.bin", false}}));
    ASSERT_TRUE(ui::user::click(editor, IDCANCEL));
    EXPECT_EQ(run.result(), IDCANCEL);
    EXPECT_EQ(fs::file_size(dir_ / "Zelfin.cfg"), 0u);
}

}  // namespace
