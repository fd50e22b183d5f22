// What Ticker makes of its command line, and where it puts its window.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "ticker_app.h"
#include "ticker_dlg.h"

using ticker::CTickerApp;
using ticker::CTickerDlg;

namespace {

struct ParseCase {
    const char* name;
    const char* line;  // after the program name
    bool opens;
    const char* text;
    int interval, x, y;
};

std::ostream& operator<<(std::ostream& os, const ParseCase& c) { return os << c.name; }

class TickerCommandLine : public ::testing::TestWithParam<ParseCase> {};

TEST_P(TickerCommandLine, Parses) {
    const ParseCase& c = GetParam();
    CTickerApp app;
    EXPECT_EQ(app.parseCommandLine(c.line), c.opens);
    if (!c.opens) return;
    EXPECT_EQ(app.text, c.text);
    EXPECT_EQ(app.interval, c.interval);
    EXPECT_EQ(app.xOffset, c.x);
    EXPECT_EQ(app.yOffset, c.y);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TickerCommandLine,
    ::testing::Values(
        ParseCase{"OnlyText", "\"Busy\"", true, "Busy", 30, 0, 0},
        ParseCase{"TextWithBlanksIsTakenWhole", "\"Copying files, please wait\" 5", true, "Copying files, please wait", 5, 0, 0},
        ParseCase{"IntervalNotANumberIsZero", "\"Busy\" soon", true, "Busy", 0, 0, 0},
        ParseCase{"BothOffsets", "\"Busy\" 10 -50,20", true, "Busy", 10, -50, 20},
        ParseCase{"LoneOffsetIsY", "\"Busy\" 10 20", true, "Busy", 10, 0, 20},
        // The first character and the one after the closing quote are skipped, not tested.
        ParseCase{"FirstCharacterNotTested", "XBusy\" 7", true, "Busy", 7, 0, 0},
        ParseCase{"AnySeparator", "\"Busy\"x7", true, "Busy", 7, 0, 0},
        // The interval ends at the first blank, even when that is the first character.
        ParseCase{"SecondBlankEndsAnEmptyInterval", "\"Busy\"  5", true, "Busy", 0, 0, 5},
        ParseCase{"EmptyText", "\"\" 3", true, "", 3, 0, 0},
        ParseCase{"EmptyLine", "", false, "", 0, 0, 0},
        ParseCase{"NoClosingQuote", "\"Busy 5 -50,20", false, "", 0, 0, 0},
        ParseCase{"UnquotedWord", "Busy", false, "", 0, 0, 0}),
    [](const ::testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

TEST(TickerCommandLine, TailFollowsTheProgramNameQuotedOrNot) {
    EXPECT_STREQ(ticker::commandTail("/opt/zelfin/ticker \"a b\" 5"), "\"a b\" 5");
    EXPECT_STREQ(ticker::commandTail("\"C:\\My Tools\\ticker\"   \"a\"x"), "\"a\"x");
    EXPECT_STREQ(ticker::commandTail("ticker"), "");
    EXPECT_STREQ(ticker::commandTail("ticker\t\"a\""), "\"a\"");
}

TEST(TickerPlacement, CentredOnTheClientAreaLessTheIconThenMovedByTheOffsets) {
    const ui::Size client{301, 150};
    const CTickerDlg::Position at = CTickerDlg::placement(client, 32, 32, 0, 0);
    EXPECT_EQ(at.x, 135);  // (301 - 32 + 1) / 2
    EXPECT_EQ(at.y, 59);   // (150 - 32 + 1) / 2, rounded down
    const CTickerDlg::Position moved = CTickerDlg::placement(client, 32, 32, -50, 20);
    EXPECT_EQ(moved.x, at.x - 50);
    EXPECT_EQ(moved.y, at.y + 20);
    // Whatever atoi gave, the sum wraps instead of overflowing.
    EXPECT_EQ(CTickerDlg::placement(client, 32, 32, INT_MAX, 0).x, INT_MIN + 134);
}

}  // namespace
