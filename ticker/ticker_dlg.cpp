#include "ticker_dlg.h"

#include <cstdint>

#include "resource.h"

namespace ticker {

namespace {

// Offsets come from atoi unchecked; the sums wrap as the 32-bit arithmetic of Windows would
// instead of overflowing.
int32_t wrappingAdd(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

}  // namespace

CTickerDlg::CTickerDlg(const CTickerApp& app) : ui::Dialog(nullptr, IDD_TICKER_DIALOG), app_(app) {}

CTickerDlg::Position CTickerDlg::placement(ui::Size client, int iconCx, int iconCy, int32_t xOffset, int32_t yOffset) {
    Position pt;
    pt.x = wrappingAdd((client.cx - iconCx + 1) / 2, xOffset);
    pt.y = wrappingAdd((client.cy - iconCy + 1) / 2, yOffset);
    return pt;
}

BOOL CTickerDlg::onInitDialog() {
    setIcon(module(), MAKEINTRESOURCEA(IDR_MAINFRAME));
    setItemText(IDC_TEXT, app_.text);
    tick_ = 0;
    progressSetRange(IDC_PROGRESS, 0, 100);
    progressSetStep(IDC_PROGRESS, 1);

    const Position at = placement(clientSize(), GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), app_.xOffset,
                               app_.yOffset);
    moveWindow(at.x, at.y, kWidth, kHeight, true);

    // A period of 0 (an interval that was no number) is raised to the shortest the system
    // allows; a negative interval turns into a very long one, as the unsigned period of
    // SetTimer makes it.
    setTimer(kTimerId, static_cast<UINT>(app_.interval) * 10u);
    return TRUE;
}

void CTickerDlg::onTimer(UINT_PTR timerId) {
    if (timerId != kTimerId) return;
    // Other programs' windows may have been raised since the last tick.
    bringToTop();
    progressSetPos(IDC_PROGRESS, tick_);
    tick_ = (tick_ + 1) % 100;
    setItemText(IDC_TEXT, app_.text);
}

}  // namespace ticker
