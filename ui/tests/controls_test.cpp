// The controls' own behaviour, as the Win32 controls have it: typing into edits, sorted
// drop-down lists and their search, list views with check boxes and their notifications,
// progress bars, bitmap buttons.
#include <gtest/gtest.h>

#include <ui/ui.h>

#include "headless_env.h"
#include "test_dialog.h"

namespace {

using uitest::ModalRun;
using uitest::TestDialog;

class UiControls : public ::testing::Test {
protected:
    void SetUp() override {
        run_ = std::make_unique<ModalRun>(d);
        ASSERT_TRUE(run_->waitOpen());
        d.clearEvents();
    }
    void TearDown() override {
        d.endDialog(IDCANCEL);
        run_.reset();
    }
    TestDialog d;
    std::unique_ptr<ModalRun> run_;
};

// Typing reports every stroke; the field's handler empties it on anything but digits, and the
// next stroke lands in the emptied field.
TEST_F(UiControls, TypingReportsEachKeystroke) {
    ASSERT_TRUE(ui::user::type(d, IDC_RETRIES, "12a5"));
    EXPECT_EQ(d.itemText(IDC_RETRIES), "5");
    // Deleting "3", then 1, 12, 12a (emptied by the handler: one more EN_CHANGE), 5.
    EXPECT_EQ(d.countEvents("command 1007 768"), 6u);
    EXPECT_EQ(ui::user::type(d, IDC_PATH, "x").error, "edit 1008 is read-only");
    EXPECT_EQ(ui::user::type(d, IDC_READERS, "x").error, "drop-down list 1010 takes no typing");
    // The program's own text reports EN_CHANGE too, as WM_SETTEXT does.
    d.clearEvents();
    ASSERT_TRUE(d.setItemText(IDC_RETRIES, "7"));
    EXPECT_EQ(d.events(), std::vector<std::string>{"command 1007 768"});
}

TEST_F(UiControls, DropDownListSortsSearchesAndReportsOnlyTheOperatorsChoice) {
    EXPECT_EQ(d.comboGetCount(IDC_READERS), 3);
    EXPECT_EQ(d.comboGetText(IDC_READERS, 0), "reader A (F:)");
    EXPECT_EQ(d.comboGetText(IDC_READERS, 1), "Reader B (G:)");
    EXPECT_EQ(d.comboAddString(IDC_READERS, "Reader AA (H:)"), 1);  // sorted without regard to case
    EXPECT_EQ(d.comboGetCurSel(IDC_READERS), 0);
    struct Find {
        int startAfter;
        const char* prefix;
        int expected;
    };
    for (const Find& f : {Find{-1, "READER", 0}, Find{0, "reader", 1}, Find{3, "reader", 0}, Find{-1, "reader b", 2},
                          Find{-1, "Reader Z", CB_ERR}, Find{1, "", 2}}) {
        SCOPED_TRACE(f.prefix);
        EXPECT_EQ(d.comboFindString(IDC_READERS, f.startAfter, f.prefix), f.expected);
    }
    EXPECT_EQ(d.comboSetCurSel(IDC_READERS, 2), 2);
    EXPECT_EQ(d.itemText(IDC_READERS), "Reader B (G:)");
    EXPECT_EQ(d.comboSetCurSel(IDC_READERS, 9), CB_ERR);
    EXPECT_EQ(d.comboGetCurSel(IDC_READERS), -1);
    EXPECT_TRUE(d.events().empty());  // the program's choices are not reported
    ASSERT_TRUE(ui::user::select(d, IDC_READERS, 3));
    EXPECT_EQ(d.itemText(IDC_READERS), "Reader C (E:)");
    EXPECT_EQ(d.events(), std::vector<std::string>{"command 1010 1"});
    EXPECT_EQ(d.comboDeleteString(IDC_READERS, 0), 3);
    EXPECT_EQ(d.comboGetCurSel(IDC_READERS), 2);  // the chosen item moved up
    d.comboResetContent(IDC_READERS);
    EXPECT_EQ(d.comboGetCount(IDC_READERS), 0);
    EXPECT_EQ(d.itemText(IDC_READERS), "");
    EXPECT_FALSE(ui::user::select(d, IDC_READERS, 0));
}

// Every change of a row's selection or check box is reported, whoever made it, rows losing the
// selection first; a click adds NM_CLICK.
TEST_F(UiControls, ListViewReportsSelectionAndCheckChanges) {
    const std::string unchecked = "1000", checked = "2000";
    ASSERT_TRUE(d.listSelectItem(IDC_LIST, 1));
    ASSERT_TRUE(ui::user::select(d, IDC_LIST, 2));
    ASSERT_TRUE(ui::user::checkRow(d, IDC_LIST, 2, true));
    ASSERT_TRUE(d.listSetCheck(IDC_LIST, 0, false));
    ASSERT_TRUE(d.listSetCheck(IDC_LIST, 0, false));  // no change, no report
    EXPECT_EQ(d.events(), (std::vector<std::string>{
                              "notify 1011 -101 1 " + unchecked + " " + "1003",   // row 1 selected and focused
                              "notify 1011 -101 1 1003 " + unchecked,             // row 1 loses it
                              "notify 1011 -101 2 " + unchecked + " 1003",        // row 2 gains it
                              "notify 1011 -2 2 0 0",                             // the click
                              "notify 1011 -101 2 1003 2003",                     // checked
                              "notify 1011 -101 0 " + checked + " " + unchecked,  // unchecked by the program
                          }));
    EXPECT_EQ(d.listGetNextSelected(IDC_LIST), 2);
    EXPECT_EQ(d.listGetNextSelected(IDC_LIST, 2), -1);
    EXPECT_TRUE(d.listGetCheck(IDC_LIST, 2));
    EXPECT_FALSE(d.listGetCheck(IDC_LIST, 0));
    EXPECT_FALSE(ui::user::select(d, IDC_LIST, 3));
    EXPECT_FALSE(ui::user::checkRow(d, IDC_LIST, -1, true));
}

TEST_F(UiControls, ListViewRowsAndColumnsAreEditedInPlace) {
    EXPECT_EQ(d.listInsertItem(IDC_LIST, 99, "fw_d.bin"), 3);  // past the end: appended
    EXPECT_EQ(d.listInsertItem(IDC_LIST, 0, "fw_0.bin"), 0);
    EXPECT_EQ(d.listGetItemText(IDC_LIST, 1, 0), "fw_a.bin");
    EXPECT_TRUE(d.listGetCheck(IDC_LIST, 1));  // the check box moved with its row
    EXPECT_FALSE(d.listSetItemText(IDC_LIST, 0, 2, "no such column"));
    EXPECT_EQ(d.listInsertColumn(IDC_LIST, 1, "Size", 40), 1);
    EXPECT_EQ(d.listGetItemText(IDC_LIST, 1, 2), "1.20");  // cells moved right with the new column
    EXPECT_TRUE(d.listSetItemText(IDC_LIST, 1, 1, "64 KB"));
    EXPECT_EQ(d.listGetItemText(IDC_LIST, 1, 1), "64 KB");
    EXPECT_TRUE(d.listDeleteItem(IDC_LIST, 1));
    EXPECT_EQ(d.listGetItemText(IDC_LIST, 1, 0), "fw_b.bin");
    EXPECT_FALSE(d.listDeleteItem(IDC_LIST, 9));
    EXPECT_TRUE(d.listDeleteAllItems(IDC_LIST));
    EXPECT_EQ(d.listGetItemCount(IDC_LIST), 0);
    EXPECT_TRUE(d.events().empty());
}

TEST_F(UiControls, ProgressBarClampsAndStartsOverPastItsEnd) {
    struct Case {
        int low, high, step, start, steps;
        int expected;
    };
    for (const Case& c : {Case{0, 100, 10, 0, 3, 30}, Case{0, 100, 10, 95, 1, 0}, Case{0, 100, 1, 99, 1, 100},
                          Case{0, 100, 1, 100, 1, 0}, Case{10, 20, -5, 12, 1, 20}, Case{0, 50, 0, 7, 4, 7}}) {
        SCOPED_TRACE(testing::Message() << c.low << ".." << c.high << " step " << c.step << " from " << c.start);
        ASSERT_TRUE(d.progressSetRange(IDC_PROGRESS, c.low, c.high));
        d.progressSetStep(IDC_PROGRESS, c.step);
        d.progressSetPos(IDC_PROGRESS, c.start);
        for (int i = 0; i < c.steps; ++i) d.progressStepIt(IDC_PROGRESS);
        EXPECT_EQ(d.progressGetPos(IDC_PROGRESS), c.expected);
    }
    d.progressSetRange(IDC_PROGRESS, 0, 100);
    EXPECT_EQ(d.progressSetPos(IDC_PROGRESS, 250), 7);  // the old position
    EXPECT_EQ(d.progressGetPos(IDC_PROGRESS), 100);
    EXPECT_EQ(d.progressDeltaPos(IDC_PROGRESS, -30), 100);
    EXPECT_EQ(d.progressGetPos(IDC_PROGRESS), 70);
    EXPECT_TRUE(d.progressSetRange(IDC_PROGRESS, 0, 50));  // the position follows a smaller range
    EXPECT_EQ(d.progressGetPos(IDC_PROGRESS), 50);
    EXPECT_EQ(d.progressGetRange(IDC_PROGRESS), std::make_pair(0, 50));
    EXPECT_FALSE(d.progressSetRange(IDC_STATUS, 0, 1));
}

TEST_F(UiControls, BitmapButtonsLoadTheirPairOfBitmaps) {
    EXPECT_TRUE(d.loadButtonBitmaps(IDC_MOVE_UP, "IDB_UP_ARROWU", "IDB_UP_ARROWD"));
    EXPECT_FALSE(d.loadButtonBitmaps(IDC_MOVE_UP, "IDB_UP_ARROWU", "IDB_MISSING"));
    EXPECT_FALSE(d.loadButtonBitmaps(IDC_STATUS, "IDB_UP_ARROWU", "IDB_UP_ARROWD"));  // no button
    ASSERT_TRUE(ui::user::click(d, IDC_MOVE_DOWN));
    EXPECT_EQ(d.events(), std::vector<std::string>{"command 1013 0"});
}

TEST_F(UiControls, EnableShowAndFocus) {
    EXPECT_TRUE(d.enableItem(IDC_BROWSE, false));
    EXPECT_EQ(ui::user::click(d, IDC_BROWSE).error, "control 1009 is disabled");
    EXPECT_TRUE(d.enableItem(IDC_BROWSE));
    EXPECT_TRUE(d.showItem(IDC_BROWSE, false));
    EXPECT_FALSE(d.isItemVisible(IDC_BROWSE));
    EXPECT_EQ(ui::user::click(d, IDC_BROWSE).error, "control 1009 is hidden");
    EXPECT_TRUE(d.setFocusItem(IDC_READERS));
    EXPECT_EQ(d.focusItem(), IDC_READERS);
    EXPECT_FALSE(d.setFocusItem(4242));
    EXPECT_TRUE(d.events().empty());
}

}  // namespace
