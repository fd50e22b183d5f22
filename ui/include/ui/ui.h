// The dialog toolkit: dialogs made from templates and worked with by control id, message boxes,
// file dialogs, and the window functions of the single-instance rule.
#pragma once
#include <ui/dialog.h>
#include <ui/dialog_template.h>
#include <ui/driver.h>
#include <ui/file_dialog.h>
#include <ui/win32.h>
