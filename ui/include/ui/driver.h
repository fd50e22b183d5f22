// Driving dialogs without an operator: what tests (and the script runner of ZELFIN_UI_SCRIPT) use
// to act as a user would, to wait for the interface to get somewhere, and to answer the boxes of
// the headless backend. Works with both backends.
#pragma once
#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include <ui/dialog.h>

namespace ui {

// "qt" or "headless": ZELFIN_UI when set, otherwise Qt when a display is available (DISPLAY,
// WAYLAND_DISPLAY or QT_QPA_PLATFORM set) and the toolkit was built with it.
const char* backendName();

// Blocks until `condition` holds or `cap` of real time has passed; false on time-out. The
// condition is looked at again whenever the interface changes (a control, a dialog opening or
// closing), never by polling. It may call dialog operations.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds cap);

// The modal dialog on top, once shown: how a test reaches a dialog that another dialog's handler
// opened. The pointer is good until that dialog ends; nullptr when no modal dialog is open.
Dialog* topModalDialog();

// Saves what the dialog shows as a PNG file (Qt only; false headless or when it is not open).
bool saveScreenshot(const Dialog& dialog, const std::string& path);

namespace user {

// The outcome of an action: refused (with the reason) when the dialog is not open or the control
// is missing, hidden, disabled or of the wrong kind, as a person could not do it either.
struct Outcome {
    bool ok = false;
    std::string error;
    explicit operator bool() const { return ok; }
};

// Each action returns once it has been accepted; its handlers then run on the interface thread
// before any later call from the same thread is served there (so a following read sees what the
// handler did), unless a handler opens a modal dialog, whose own loop then serves later calls.
Outcome click(Dialog& dialog, int id);  // buttons: BN_CLICKED (auto boxes toggle); SS_NOTIFY texts
Outcome pressEnter(Dialog& dialog);
Outcome setChecked(Dialog& dialog, int id, bool checked);  // a click when the state differs
Outcome select(Dialog& dialog, int id, int index);      // drop-down item or list-view row
Outcome checkRow(Dialog& dialog, int id, int row, bool checked);  // a list-view check box
// Replaces an edit's text as typing would: the old text is deleted in one stroke, then each
// character is typed, each stroke reporting EN_CHANGE.
Outcome type(Dialog& dialog, int id, const std::string& text);
Outcome close(Dialog& dialog);  // system-menu close
Outcome pressF1(Dialog& dialog);
Outcome chooseAbout(Dialog& dialog);

}  // namespace user

namespace headless {

// Without a script a headless modal dialog closes at once, as if its operator closed it, so that
// an unattended program never waits for a click. A program (a test) that acts as the operator
// itself turns this off.
void setAutoClose(bool on);

// Replaces the answers that message boxes take, in order: a comma list of ok, cancel, yes, no,
// abort, retry, ignore (as ZELFIN_UI_ANSWERS). A box takes its first button when the list is
// used up.
void setMessageBoxAnswers(const std::string& commaList);
// Queues the answer of the next file dialog: a path, or nullopt to cancel it (as the script's
// "file" and "file-cancel" lines and ZELFIN_UI_FILES do). A dialog without a queued answer is
// cancelled.
void queueFileAnswer(std::optional<std::string> path);

}  // namespace headless
}  // namespace ui
