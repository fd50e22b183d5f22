// Dialog templates: what a DIALOGEX resource holds, decoded (winsim::parseDialogTemplate), or
// built in code with the helpers below, which read like the statements of a resource script.
// Positions and sizes are dialog units; texts are UTF-8.
#pragma once
#include <optional>
#include <string>

#include <ui/win32.h>
#include <winsim/dialog_template.h>

namespace ui {

using DialogTemplate = winsim::DialogTemplate;
using DialogItem = winsim::DialogItem;

// The RT_DIALOG resource `id` of `module` (nullptr: the program), decoded; nullopt with the
// thread's last error set when it is missing or malformed.
std::optional<DialogTemplate> loadDialogTemplate(HMODULE module, UINT id);

// A modal-frame dialog with a caption and system menu in "MS Shell Dlg", 8 points.
DialogTemplate makeDialog(const std::string& title, int cx, int cy,
                          DWORD style = DS_MODALFRAME | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU);

// The controls, with the styles a resource compiler gives the statements of the same name.
DialogItem control(const std::string& text, int id, const std::string& className, DWORD style, int x, int y,
                   int cx, int cy, DWORD exStyle = 0);
DialogItem pushButton(const std::string& text, int id, int x, int y, int cx, int cy, DWORD style = 0);
DialogItem defPushButton(const std::string& text, int id, int x, int y, int cx, int cy, DWORD style = 0);
DialogItem autoCheckBox(const std::string& text, int id, int x, int y, int cx, int cy, DWORD style = 0);
DialogItem autoRadioButton(const std::string& text, int id, int x, int y, int cx, int cy, DWORD style = 0);
DialogItem groupBox(const std::string& text, int id, int x, int y, int cx, int cy, DWORD style = 0);
DialogItem lText(const std::string& text, int id, int x, int y, int cx, int cy, DWORD style = 0);
DialogItem cText(const std::string& text, int id, int x, int y, int cx, int cy, DWORD style = 0);
DialogItem editText(int id, int x, int y, int cx, int cy, DWORD style = ES_AUTOHSCROLL);
DialogItem comboBox(int id, int x, int y, int cx, int cy, DWORD style = CBS_DROPDOWNLIST);
DialogItem listView(int id, int x, int y, int cx, int cy, DWORD style = LVS_REPORT | LVS_SINGLESEL);
DialogItem progressBar(int id, int x, int y, int cx, int cy, DWORD style = 0);
// `icon` names an RT_GROUP_ICON resource of the dialog's module: "#128" or a name.
DialogItem iconControl(const std::string& icon, int id, int x, int y);

}  // namespace ui
