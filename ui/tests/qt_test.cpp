// The Qt backend with real widgets, on Qt's offscreen platform: the test dialog built from its
// resource template, driven through its widgets (clicks and keystrokes go through Qt's own
// signals), a message box closed from outside, and a screenshot to look at.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <future>

#include <ui/ui.h>

#include "test_dialog.h"
#include "qt_offscreen.h"
#include "test_lab.h"

namespace {

using uitest::kCap;
using uitest::ModalRun;
using uitest::TestDialog;

TEST(UiQtDialog, WorksThroughItsWidgets) {
    ASSERT_STREQ(ui::backendName(), "qt");
    TestDialog d;
    ModalRun run(d);
    ASSERT_TRUE(run.waitOpen());
    d.clearEvents();

    ASSERT_TRUE(ui::user::click(d, IDC_UPLOAD));
    EXPECT_EQ(d.isButtonChecked(IDC_UPLOAD), static_cast<UINT>(BST_CHECKED));
    EXPECT_EQ(d.isButtonChecked(IDC_DOWNLOAD), static_cast<UINT>(BST_UNCHECKED));
    // Keystrokes into the line edit: each reported, the handler's emptying seen by the next.
    ASSERT_TRUE(ui::user::type(d, IDC_RETRIES, "12a5"));
    EXPECT_EQ(d.itemText(IDC_RETRIES), "5");
    EXPECT_EQ(d.countEvents("command 1007 768"), 6u);
    ASSERT_TRUE(ui::user::select(d, IDC_READERS, 2));
    EXPECT_EQ(d.itemText(IDC_READERS), "Reader C (E:)");
    ASSERT_TRUE(ui::user::select(d, IDC_LIST, 1));
    EXPECT_EQ(d.listGetNextSelected(IDC_LIST), 1);

    // The worker updates the bar and the text; OK comes on at the end.
    ASSERT_TRUE(ui::user::click(d, IDC_START));
    EXPECT_FALSE(d.isItemEnabled(IDC_START));
    ASSERT_TRUE(ui::waitUntil([&] { return d.isItemEnabled(IDOK); }, kCap));
    EXPECT_EQ(d.itemText(IDC_STATUS), "Done.");
    EXPECT_EQ(d.progressGetPos(IDC_PROGRESS), 100);
    EXPECT_EQ(d.countEvents("command 1016 0"), 1u);
    EXPECT_NE(d.handlerThread(), std::this_thread::get_id());

    // Dialog units become pixels through the font's base units: the proportions of the
    // template hold (the list is 222 of the dialog's 260 units wide, less its frame).
    const ui::Size size = d.clientSize();
    EXPECT_GT(size.cx, 260);
    EXPECT_GT(size.cy, 221);
    EXPECT_NEAR(static_cast<double>(d.itemClientWidth(IDC_LIST)) / size.cx, 222.0 / 260, 0.02);

    const std::filesystem::path dir = ZELFIN_SCREENSHOT_DIR;
    std::filesystem::create_directories(dir);
    const std::string shot = (dir / "test_dialog.png").string();
    std::filesystem::remove(shot);
    ASSERT_TRUE(ui::saveScreenshot(d, shot));
    EXPECT_GT(std::filesystem::file_size(shot), 1000u);

    ASSERT_TRUE(ui::user::click(d, IDOK));
    EXPECT_EQ(run.result(), IDOK);
}

// A box is a top-level window of its own: found by its caption, closed from outside.
TEST(UiQtDialog, MessageBoxCanBeFoundAndClosed) {
    auto answer = std::async(std::launch::async, [] {
        return MessageBoxA(nullptr, "Do you want to cancel?", "Zelfin Box", MB_YESNOCANCEL | MB_ICONEXCLAMATION);
    });
    HWND box = nullptr;
    ASSERT_TRUE(ui::waitUntil([&] { return (box = FindWindowA(nullptr, "Zelfin Box")) != nullptr; }, kCap));
    EXPECT_TRUE(SetForegroundWindow(box));
    EXPECT_TRUE(PostMessageA(box, WM_CLOSE, 0, 0));
    ASSERT_EQ(answer.wait_for(kCap), std::future_status::ready);
    EXPECT_EQ(answer.get(), IDCANCEL);
}

}  // namespace
