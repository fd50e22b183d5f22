// The Ticker window: the text, a progress bar that keeps cycling and the program's icon, on top
// of every other window until it is closed.
#pragma once
#include <cstdint>

#include <ui/dialog.h>

#include "ticker_app.h"

namespace ticker {

class CTickerDlg : public ui::Dialog {
public:
    static constexpr UINT_PTR kTimerId = 1;
    static constexpr int kWidth = 550;
    static constexpr int kHeight = 200;

    struct Position {
        int32_t x = 0;
        int32_t y = 0;
    };

    explicit CTickerDlg(const CTickerApp& app);

    // Where the window is put when it opens, from its client area before it is resized.
    static Position placement(ui::Size client, int iconCx, int iconCy, int32_t xOffset, int32_t yOffset);

protected:
    BOOL onInitDialog() override;
    void onTimer(UINT_PTR timerId) override;

private:
    const CTickerApp& app_;
    int32_t tick_ = 0;
};

}  // namespace ticker
