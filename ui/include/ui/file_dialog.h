// The common Open and Save As dialogs.
#pragma once
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <ui/win32.h>

namespace ui {

struct FileDialogRequest {
    bool save = false;
    HWND owner = nullptr;
    std::string title;  // empty: "Open" or "Save As"
    // Pairs of description and pattern list ("*.bin;*.sig"), separated by '|' as the filters of
    // MFC are written ("Bin Files (*.bin)|*.bin|All Files (*.*)|*.*|") or by NUL characters as
    // lpstrFilter has them.
    std::string filter;
    std::string initialDir;   // a Windows path; empty: the current directory
    // A name to propose; a name with wildcards ("*.bin") filters the list instead.
    std::string initialName;
    // Appended (after a dot) to a typed name without an extension, unless the chosen filter
    // names one.
    std::string defaultExt;
    DWORD flags = 0;  // OFN_OVERWRITEPROMPT, OFN_FILEMUSTEXIST, OFN_HIDEREADONLY, OFN_NOCHANGEDIR
};

// The chosen file as a Windows path ("Z:\\tmp\\fw.bin", "C:\\..." inside the lab), or nullopt
// when cancelled. Without OFN_NOCHANGEDIR the current directory becomes the file's folder, as
// Windows does it. Any thread may call it.
std::optional<std::string> fileDialog(const FileDialogRequest& request);

// The pairs of a filter, split: {description, patterns}.
std::vector<std::pair<std::string, std::string>> splitFilter(const std::string& filter);

}  // namespace ui
