// Dialogs at work without windows: made from the resource template, driven by control id, with
// their handlers called as Win32 calls a dialog's, from any thread.
#include <gtest/gtest.h>

#include <ui/ui.h>

#include "headless_env.h"
#include "test_dialog.h"

namespace {

using uitest::kCap;
using uitest::ModalRun;
using uitest::TestDialog;

TEST(UiDialog, IsBuiltFromItsResourceTemplate) {
    TestDialog d;
    ModalRun run(d);
    ASSERT_TRUE(run.waitOpen());
    EXPECT_EQ(d.title(), "Toolkit Test");
    EXPECT_NE(d.hwnd(), nullptr);
    EXPECT_EQ(d.itemText(IDC_HEADING), "Choose an image and a reader, then press Start.");
    EXPECT_EQ(d.itemText(IDC_START), "&Start");
    // What onInitDialog set up.
    EXPECT_EQ(d.isButtonChecked(IDC_DOWNLOAD), static_cast<UINT>(BST_CHECKED));
    EXPECT_EQ(d.isButtonChecked(IDC_UPLOAD), static_cast<UINT>(BST_UNCHECKED));
    EXPECT_EQ(d.itemText(IDC_RETRIES), "3");
    EXPECT_EQ(d.itemText(IDC_READERS), "reader A (F:)");  // sorted, first item chosen
    EXPECT_EQ(d.listGetColumnCount(IDC_LIST), 2);
    EXPECT_EQ(d.listGetItemCount(IDC_LIST), 3);
    EXPECT_EQ(d.listGetItemText(IDC_LIST, 1, 1), "1.31");
    EXPECT_TRUE(d.listGetCheck(IDC_LIST, 0));
    // Styles of the template: disabled, read-only, hidden nothing.
    EXPECT_FALSE(d.isItemEnabled(IDOK));
    EXPECT_TRUE(d.isItemEnabled(IDCANCEL));
    EXPECT_TRUE(d.isItemVisible(IDC_PATH));
    EXPECT_FALSE(d.hasItem(4242));
    // 222 dialog units of a 6-pixel base unit, less the list's frame.
    EXPECT_EQ(d.itemClientWidth(IDC_LIST), 222 * 6 / 4 - 4);
    EXPECT_EQ(d.clientSize().cx, 260 * 6 / 4);
    EXPECT_TRUE(ui::user::click(d, IDCANCEL));
    EXPECT_EQ(run.result(), IDCANCEL);
}

TEST(UiDialog, MissingTemplateFailsLikeDialogBox) {
    ui::Dialog d(GetModuleHandleA(nullptr), 9999);
    EXPECT_EQ(d.doModal(), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_FALSE(d.create());
}

TEST(UiDialog, OperationsOnADialogThatIsNotOpenFail) {
    TestDialog d;
    EXPECT_FALSE(d.isOpen());
    EXPECT_FALSE(d.setItemText(IDC_STATUS, "x"));
    EXPECT_EQ(d.itemText(IDC_STATUS), "");
    EXPECT_EQ(d.comboAddString(IDC_READERS, "x"), CB_ERR);
    EXPECT_EQ(d.listInsertItem(IDC_LIST, 0, "x"), -1);
    EXPECT_EQ(d.hwnd(), nullptr);
    EXPECT_FALSE(ui::user::click(d, IDCANCEL));
}

// Radio buttons of one WS_GROUP exclude each other; check boxes toggle; each click is one
// BN_CLICKED.
TEST(UiDialog, ClicksChangeAutoButtonsAndReportBnClicked) {
    TestDialog d;
    ModalRun run(d);
    ASSERT_TRUE(run.waitOpen());
    d.clearEvents();
    ASSERT_TRUE(ui::user::click(d, IDC_UPLOAD));
    EXPECT_EQ(d.isButtonChecked(IDC_UPLOAD), static_cast<UINT>(BST_CHECKED));
    EXPECT_EQ(d.isButtonChecked(IDC_DOWNLOAD), static_cast<UINT>(BST_UNCHECKED));
    EXPECT_EQ(d.isButtonChecked(IDC_BACKUP), static_cast<UINT>(BST_CHECKED));  // another group
    ASSERT_TRUE(ui::user::click(d, IDC_BACKUP));
    EXPECT_EQ(d.isButtonChecked(IDC_BACKUP), static_cast<UINT>(BST_UNCHECKED));
    // Already so: no click at all.
    ASSERT_TRUE(ui::user::setChecked(d, IDC_BACKUP, false));
    EXPECT_EQ(d.events(), (std::vector<std::string>{"command 1004 0", "command 1006 0"}));
    // A person cannot click what is disabled or is no button.
    EXPECT_EQ(ui::user::click(d, IDOK).error, "control 1 is disabled");
    EXPECT_FALSE(ui::user::click(d, IDC_STATUS));
    EXPECT_FALSE(ui::user::click(d, 4242));
    ASSERT_TRUE(ui::user::click(d, IDCANCEL));
    EXPECT_EQ(run.result(), IDCANCEL);
}

// The close of the system menu (and Escape) goes to onClose, whose default is IDCANCEL; the
// help item answers F1 only when the dialog added it.
TEST(UiDialog, CloseHelpAndAboutReachTheirHandlers) {
    for (bool withMenu : {false, true}) {
        SCOPED_TRACE(withMenu);
        TestDialog d;
        d.withMenu = withMenu;
        ModalRun run(d);
        ASSERT_TRUE(run.waitOpen());
        d.clearEvents();
        EXPECT_TRUE(ui::user::pressF1(d));
        EXPECT_EQ(static_cast<bool>(ui::user::chooseAbout(d)), withMenu);
        ASSERT_TRUE(ui::user::close(d));
        EXPECT_EQ(run.result(), IDCANCEL);
        const std::vector<std::string> expected =
            withMenu ? std::vector<std::string>{"help", "about", "close", "command 2 0"}
                     : std::vector<std::string>{"close", "command 2 0"};
        EXPECT_EQ(d.events(), expected);
    }
}

// A worker thread's calls run on the interface thread and a read after a write sees it; the
// handlers never run on the worker.
TEST(UiDialog, WorkerThreadCallsAreCarriedToTheInterfaceThread) {
    TestDialog d;
    ModalRun run(d);
    ASSERT_TRUE(run.waitOpen());
    ASSERT_TRUE(ui::user::click(d, IDC_BACKUP));
    const std::thread::id interfaceThread = d.handlerThread();
    d.clearEvents();
    std::vector<std::thread> workers;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 3; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                // Each worker owns a row of the list and reads back what it wrote.
                const std::string text = "w" + std::to_string(t) + "-" + std::to_string(i);
                d.listSetItemText(IDC_LIST, t, 1, text);
                if (d.listGetItemText(IDC_LIST, t, 1) != text) ++mismatches;
                d.progressStepIt(IDC_PROGRESS);
            }
            d.setItemText(IDC_RETRIES, "12");  // EN_CHANGE runs its handler on the interface thread
        });
    }
    for (auto& w : workers) w.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(d.handlerThread(), interfaceThread);
    EXPECT_NE(interfaceThread, std::this_thread::get_id());
    EXPECT_EQ(d.countEvents("command 1007 768"), 3u);
    d.endDialog(77);
    EXPECT_EQ(run.result(), 77);
}

// A handler opening a modal dialog runs a nested loop: the outer dialog's handler waits for it,
// other calls are served meanwhile, and nothing deadlocks.
TEST(UiDialog, AHandlerCanRunANestedModalDialog) {
    TestDialog outer;
    ui::Dialog inner(ui::makeDialog("Nested", 120, 40));
    std::atomic<INT_PTR> innerResult{0};
    outer.onBrowse = [&](TestDialog& self) {
        innerResult = inner.doModal(&self);
        self.setItemText(IDC_PATH, "nested closed");  // the outer handler goes on afterwards
    };
    ModalRun run(outer);
    ASSERT_TRUE(run.waitOpen());
    ASSERT_TRUE(ui::user::click(outer, IDC_BROWSE));
    ASSERT_TRUE(ui::waitUntil([&] { return inner.isOpen(); }, kCap));
    EXPECT_EQ(FindWindowA(nullptr, "nested"), inner.hwnd());  // titles match without regard to case
    EXPECT_EQ(outer.itemText(IDC_STATUS), "Ready.");  // served from the nested loop
    inner.endDialog(IDOK);
    ASSERT_TRUE(ui::waitUntil([&] { return outer.itemText(IDC_PATH) == "nested closed"; }, kCap));
    EXPECT_EQ(innerResult.load(), IDOK);
    ASSERT_TRUE(ui::user::close(outer));
    EXPECT_EQ(run.result(), IDCANCEL);
}

// Enter clicks the focused push button, else the default one; a default button that is
// disabled leaves IDOK, as the dialog manager does it. A static with SS_NOTIFY takes clicks.
TEST(UiDialog, EnterAndLinkClicks) {
    TestDialog d;
    ModalRun run(d);
    ASSERT_TRUE(run.waitOpen());
    d.clearEvents();
    ASSERT_TRUE(ui::user::click(d, IDC_LINK));
    EXPECT_EQ(ui::user::click(d, IDC_HEADING).error, "static text 1001 does not take clicks (no SS_NOTIFY)");
    ASSERT_TRUE(d.setFocusItem(IDC_BROWSE));
    ASSERT_TRUE(ui::user::pressEnter(d));
    ASSERT_TRUE(d.setFocusItem(IDC_READERS));
    ASSERT_TRUE(ui::user::pressEnter(d));
    EXPECT_EQ(run.result(), IDOK);
    EXPECT_EQ(d.events(), (std::vector<std::string>{"command 1017 0", "command 1009 0", "command 1 0"}));
}

TEST(UiDialog, TimersTickOnTheLabClockUntilKilled) {
    TestDialog d;
    ModalRun run(d);
    ASSERT_TRUE(run.waitOpen());
    d.clearEvents();
    // 300 ms of lab time: a fraction of a millisecond at the tests' time scale.
    ASSERT_TRUE(d.setTimer(1, 300));
    ASSERT_TRUE(d.setTimer(2, 300));
    EXPECT_TRUE(ui::waitUntil([&] { return d.countEvents("timer 1") >= 3 && d.countEvents("timer 2") >= 3; }, kCap));
    EXPECT_TRUE(d.killTimer(1));
    EXPECT_FALSE(d.killTimer(1));
    d.endDialog(IDOK);
    EXPECT_EQ(run.result(), IDOK);
    EXPECT_FALSE(d.killTimer(2));  // timers end with the dialog
}

TEST(UiDialog, ModelessDialogIsOpenWhenCreateReturns) {
    ui::DialogTemplate t = ui::makeDialog("Please wait", 186, 44, DS_MODALFRAME | WS_POPUP | WS_CAPTION);
    t.items.push_back(ui::iconControl("#301", IDC_STATIC, 10, 12));
    t.items.push_back(ui::lText("Looking for readers...", 1100, 40, 12, 136, 20));
    t.items.push_back(ui::lText("", IDC_STATIC, 40, 30, 136, 8));  // a second IDC_STATIC
    ui::Dialog wait(t);
    ASSERT_TRUE(wait.create());
    EXPECT_TRUE(wait.isOpen());
    EXPECT_EQ(wait.itemText(1100), "Looking for readers...");
    EXPECT_EQ(FindWindowA(nullptr, "Please wait"), wait.hwnd());
    EXPECT_EQ(FindWindowA("#32770", "Please wait"), wait.hwnd());
    EXPECT_EQ(FindWindowA("Shell_TrayWnd", "Please wait"), nullptr);
    wait.setTitle("Still waiting");
    EXPECT_EQ(FindWindowA(nullptr, "Please wait"), nullptr);
    char title[8];
    EXPECT_EQ(GetWindowTextA(wait.hwnd(), title, sizeof title), 7);
    EXPECT_STREQ(title, "Still w");
    const HWND h = wait.hwnd();
    wait.destroy();
    EXPECT_FALSE(wait.isOpen());
    EXPECT_FALSE(IsWindow(h));
    EXPECT_EQ(FindWindowA(nullptr, "Still waiting"), nullptr);
}

TEST(UiDialog, EndDialogDuringInitNeverShowsIt) {
    struct Quick : ui::Dialog {
        Quick() : ui::Dialog(ui::makeDialog("Quick", 50, 20)) {}
        BOOL onInitDialog() override {
            endDialog(5);
            return TRUE;
        }
    } d;
    EXPECT_EQ(d.doModal(), 5);
    EXPECT_FALSE(d.create());
}

}  // namespace
