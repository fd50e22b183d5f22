// Answers for the boxes of a run without an operator, and the lines that report them.
#pragma once
#include <optional>
#include <string>

#include <ui/win32.h>

namespace ui::detail {

// The button a box of `type` (MB_OK, MB_YESNO, ...) gets from the next answer of
// ZELFIN_UI_ANSWERS (or setMessageBoxAnswers); its first button once they are used up.
int takeMessageBoxAnswer(UINT type);
// The next queued file-dialog answer: a path, or an empty optional to cancel; nullopt when
// nothing is queued (ZELFIN_UI_FILES, the script's "file" lines, queueFileAnswer).
std::optional<std::optional<std::string>> takeFileAnswer();

// Writes one line to standard error, whole, even when threads report at the same time.
void reportLine(const std::string& line);

}  // namespace ui::detail
