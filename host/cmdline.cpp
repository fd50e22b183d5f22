#include "cmdline.h"

#include <cctype>
#include <cstring>

#include "app.h"

namespace zelfin {

void upperCaseCommandLine() {
    for (char* p = GetCommandLineA(); *p; ++p) *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
}

bool switchPresent(const char* upperSwitch) { return std::strstr(GetCommandLineA(), upperSwitch) != nullptr; }

void readConfigPath() { readConfigPathFrom(GetCommandLineA()); }

void readConfigPathFrom(const char* line) {
    theApp.configPath[0] = '\0';
    const char* at = std::strstr(line, "/CFG");
    if (!at) return;
    at += 4;
    while (*at == ' ') ++at;
    // Everything to the end of the line, quotes included, cut at the buffer's 263 characters.
    std::strncpy(theApp.configPath, at, sizeof theApp.configPath - 1);
    theApp.configPath[sizeof theApp.configPath - 1] = '\0';
}

}  // namespace zelfin
