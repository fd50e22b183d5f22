#include "wait_dialog.h"

#include "app.h"
#include "resource.h"

namespace zelfin {

WaitDlg::WaitDlg() : ui::Dialog(nullptr, IDD_WAIT) {}

BOOL WaitDlg::onInitDialog() {
    char text[kTextSize];
    loadString(kStrWait, text);
    setItemText(IDC_WAIT_TEXT, text);
    loadString(kStrCaption, text);
    setTitle(text);
    setIcon(nullptr, MAKEINTRESOURCEA(IDI_ZELFIN));
    return TRUE;
}

void WaitDlg::show() {
    if (!isOpen()) create();
}

void WaitDlg::close() {
    if (isOpen()) destroy();
}

}  // namespace zelfin
