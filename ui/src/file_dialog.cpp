// The Open and Save As dialogs: Qt's with windows; without them the answer is taken from the
// queued answers and printed as "<title>: <path>" (or "<title>: cancelled").
#include <ui/file_dialog.h>

#include <filesystem>

#include "answers.h"
#include "paths.h"
#include "toolkit.h"

namespace ui {

using detail::Toolkit;

std::vector<std::pair<std::string, std::string>> splitFilter(const std::string& filter) {
    // '|' separates MFC-style filters; lpstrFilter uses NUL characters.
    const char sep = filter.find('|') != std::string::npos ? '|' : '\0';
    std::vector<std::string> parts;
    size_t start = 0;
    while (start < filter.size()) {
        size_t end = filter.find(sep, start);
        if (end == std::string::npos) end = filter.size();
        parts.push_back(filter.substr(start, end - start));
        start = end + 1;
    }
    std::vector<std::pair<std::string, std::string>> pairs;
    for (size_t i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].empty() && parts[i + 1].empty()) break;  // the closing "||" or "\0\0"
        pairs.emplace_back(parts[i], parts[i + 1]);
    }
    return pairs;
}

namespace {

std::string titleOf(const FileDialogRequest& r) {
    if (!r.title.empty()) return r.title;
    return r.save ? "Save As" : "Open";
}

bool exists(const std::string& windowsPath) { return GetFileAttributesA(windowsPath.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Without an operator: the queued answers, each confirmed or refused as the flags ask.
std::optional<std::string> answerHeadless(const FileDialogRequest& r) {
    const std::string title = titleOf(r);
    for (;;) {
        auto answer = detail::takeFileAnswer();
        if (!answer || !*answer) {
            detail::reportLine(title + ": cancelled");
            return std::nullopt;
        }
        const std::string path = **answer;
        detail::reportLine(title + ": " + path);
        if (!r.save && (r.flags & OFN_FILEMUSTEXIST) && !exists(path)) {
            detail::reportLine(title + ": " + path + " does not exist");
            continue;
        }
        if (r.save && (r.flags & OFN_OVERWRITEPROMPT) && exists(path)) {
            detail::reportLine(title + ": " + path + " already exists. Do you want to replace it?");
            if (detail::takeMessageBoxAnswer(MB_YESNO) != IDYES) continue;
        }
        return path;
    }
}

// The folder part of a Windows path, for the current directory.
std::string folderOf(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos) return {};
    return slash == 2 && path[1] == ':' ? path.substr(0, 3) : path.substr(0, slash);
}

}  // namespace

std::optional<std::string> fileDialog(const FileDialogRequest& request) {
    Toolkit* tk = Toolkit::instance();
    std::optional<std::string> chosen;
    if (!tk || tk->headless()) {
        chosen = answerHeadless(request);
    } else {
        const std::string hostDir = detail::hostPathOf(request.initialDir).value_or(std::string());
        auto host = tk->call([&] { return tk->backend().fileDialog(request, hostDir); });
        if (host) chosen = detail::windowsPathOf(*host);
    }
    if (chosen && !(request.flags & OFN_NOCHANGEDIR)) {
        const std::string folder = folderOf(*chosen);
        if (!folder.empty()) SetCurrentDirectoryA(folder.c_str());
    }
    return chosen;
}

}  // namespace ui
