// The Ticker window on real Qt widgets (offscreen platform), saved as a screenshot under the
// build folder so that a person can look at it.
#include <gtest/gtest.h>

#include <ui/driver.h>

#include "modal_run.h"
#include "qt_offscreen.h"
#include "resource.h"
#include "screenshot.h"
#include "test_lab.h"
#include "ticker_app.h"
#include "ticker_dlg.h"

namespace {

TEST(TickerScreen, TextBarAndIconAtItsSize) {
    ASSERT_STREQ(ui::backendName(), "qt");
    ticker::CTickerApp app;
    ASSERT_TRUE(app.parseCommandLine("\"Installing the reader drivers, please wait...\" 1 -50,20"));
    ticker::CTickerDlg dlg(app);
    testsupport::ModalRun run(dlg);
    ASSERT_TRUE(run.waitOpen());
    EXPECT_EQ(dlg.itemText(IDC_TEXT), app.text);
    ASSERT_TRUE(ui::waitUntil([&] { return dlg.progressGetPos(IDC_PROGRESS) >= 40; }, testsupport::kUiCap));
    const ui::Size client = dlg.clientSize();
    EXPECT_GT(client.cx, 500);
    EXPECT_LE(client.cx, ticker::CTickerDlg::kWidth);
    EXPECT_GT(client.cy, 150);
    EXPECT_LE(client.cy, ticker::CTickerDlg::kHeight);
    // A still picture: the bar stopped at a fixed place.
    dlg.killTimer(ticker::CTickerDlg::kTimerId);
    dlg.progressSetPos(IDC_PROGRESS, 40);
    testsupport::saveScreenshot(dlg, "ticker.png");
    ASSERT_TRUE(ui::user::close(dlg));
    EXPECT_EQ(run.result(), IDCANCEL);
}

}  // namespace
