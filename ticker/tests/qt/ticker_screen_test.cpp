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

// The text is the script's, so a German installation script gives a German window; its texts
// run longer.
TEST(TickerScreen, TextBarAndIconAtItsSize) {
    ASSERT_STREQ(ui::backendName(), "qt");
    struct Case {
        const char* commandLine;
        const char* shot;
    } cases[] = {
        {"\"Installing the reader drivers, please wait...\" 1 -50,20", "ticker.png"},
        {"\"Die Treiber der Kartenleser werden installiert, bitte warten...\" 1 -50,20", "ticker_de.png"},
    };
    for (const Case& c : cases) {
        ticker::CTickerApp app;
        ASSERT_TRUE(app.parseCommandLine(c.commandLine));
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
        testsupport::saveScreenshot(dlg, c.shot);
        ASSERT_TRUE(ui::user::close(dlg));
        EXPECT_EQ(run.result(), IDCANCEL);
    }
}

}  // namespace
