// Showing what happened: the status reporter and the system error box.
#pragma once
#include <ui/dialog.h>

#include "app.h"

namespace zelfin {

// The dialog that is the main window now (owner of message boxes), or none.
void setMainWindow(ui::Dialog* dialog);
HWND mainWindow();

// Shows a status in a message box: a plug-in code with the text of the plug-in that produced it
// (the slot `pluginIndex`), a host code with its library string; caption string 14, error icon.
void reportStatusBox(const HostStatus& status);
// Shows `text` the way the reporter shows a status, for host texts formatted with a path or name.
void reportTextBox(const char* text);
// The system's message for the last error in the user's language, caption "Zelfin", no owner:
// for failures before the library strings can be trusted.
void systemErrorBox();

}  // namespace zelfin
