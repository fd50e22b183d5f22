// The wait window: a small modeless dialog with one text, shown while a long call runs.
#pragma once
#include <ui/dialog.h>

namespace zelfin {

class WaitDlg : public ui::Dialog {
public:
    WaitDlg();
    // Shows the window and paints it at once, before the caller's long call starts.
    void show();
    void close();

protected:
    BOOL onInitDialog() override;
    void onClose() override {}  // it goes away when the work is done, not before
};

}  // namespace zelfin
