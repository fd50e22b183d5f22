// The script language of ZELFIN_UI_SCRIPT: one action per line, applied to the modal dialog on
// top; '#' starts a comment line, blank lines are skipped. IDs and numbers are decimal or 0x hex.
//
//   click ID                    click a button (auto check boxes and radio buttons change)
//   check ID / uncheck ID       click a check box or radio button unless it already is so
//   check ID ROW / uncheck ID ROW   a list view's check box
//   select ID INDEX             pick an item of a drop-down list or a list-view row
//   text ID VALUE               type VALUE (the rest of the line) over an edit's text
//   enter                       the Enter key
//   close / help / about        system-menu close (or Escape), F1, the About item
//   wait-enabled ID             wait until the control is enabled (and shown)
//   wait-disabled ID            wait until it is disabled
//   wait-text ID TEXT           wait until the control shows TEXT
//   wait-pos ID POS             wait until the progress bar stands at POS
//   wait-closed                 wait until the dialog the previous line worked on has closed
//   expect-text ID TEXT         the control shows TEXT now, or the script fails
//   expect-item ID ROW COL TEXT a list-view cell holds TEXT now, or the script fails
//   file PATH / file-cancel     the answer of the next file dialog
#pragma once
#include <optional>
#include <string>
#include <vector>

namespace ui::detail {

struct ScriptLine {
    enum class Op {
        Click, Check, Uncheck, CheckRow, UncheckRow, Select, Text, Enter, Close, Help, About,
        WaitEnabled, WaitDisabled, WaitText, WaitPos, WaitClosed, ExpectText, ExpectItem, File, FileCancel,
    };
    int number = 0;       // in the file, from 1
    std::string source;   // the line as written
    Op op = Op::Click;
    int id = 0;
    int row = 0;          // row or item index; the position of wait-pos
    int column = 0;
    std::string text;     // VALUE, TEXT or PATH
};

// The lines of a script, or the first problem ("line 3: ...") in *error.
std::optional<std::vector<ScriptLine>> parseScript(const std::string& content, std::string* error);

}  // namespace ui::detail
