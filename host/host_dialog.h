// What every host dialog shares: the help and About items in place of the system menu, and the
// program's icon.
#pragma once
#include <ui/dialog.h>

namespace zelfin {

class HostDialog : public ui::Dialog {
public:
    HostDialog(UINT templateId, bool helpAllowed);

protected:
    // Call from onInitDialog: adds the help item (string 33) unless help is switched off, and
    // the About item (string 13), and sets the window's icon.
    void addSystemItems();
    void onHelp() override;
    void onAbout() override;
    // Sets a control's text to library string `id`.
    void setItemString(int control, UINT id);
    void setTitleString(UINT id);
    // Shares the list's width among its columns by the longest text each holds (its heading
    // too), so that a long reader name is not cut while a column of short labels has room.
    void fitColumnsToContent(int list);

    bool helpAllowed_;
};

// Opens the program's manual (ZELFIN.HTM beside the program) with the desktop's viewer.
void showHelp();

}  // namespace zelfin
