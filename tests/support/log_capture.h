// Collects what a module logs through a plug-in's log callback, formatted as the host formats
// it, so that tests compare exact lines.
#pragma once
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

namespace testsupport {

inline std::vector<std::string>& logged() {
    static std::vector<std::string> lines;
    return lines;
}

// A LoggerCallback: one line per call, at most 2,047 characters as the host's buffer holds.
inline void captureLog(const char* format, ...) {
    char line[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    logged().push_back(line);
}

// The line's text after the "unit(line) :" prefix, which carries no meaning.
inline std::string messageOf(const std::string& line) {
    const auto colon = line.find(") :");
    return colon == std::string::npos ? line : line.substr(colon + 3);
}

inline bool loggedMessage(const std::string& message) {
    const auto& l = logged();
    return std::any_of(l.begin(), l.end(), [&](const std::string& s) { return messageOf(s) == message; });
}

inline std::string allLogged() {
    std::string all;
    for (const auto& s : logged()) all += s + "\n";
    return all;
}

}  // namespace testsupport
