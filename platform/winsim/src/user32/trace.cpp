// The user32 trace channel: WINSIM_DEBUG names channels, separated by commas ("all" for every one).
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "user32.h"

namespace winsim::user32 {

namespace {

bool channelOn() {
    static const bool on = [] {
        const char* v = std::getenv("WINSIM_DEBUG");
        if (!v) return false;
        const std::string list = std::string(",") + v + ",";
        return list.find(",user32,") != std::string::npos || list.find(",all,") != std::string::npos;
    }();
    return on;
}

}  // namespace

void traceRefused(const char* function, const char* what, uint64_t value) {
    if (!channelOn()) return;
    char line[256];
    const int n = std::snprintf(line, sizeof line, "winsim user32: %s refused: %s 0x%" PRIx64 "\n", function, what, value);
    if (n > 0) std::fwrite(line, 1, std::min(static_cast<size_t>(n), sizeof line - 1), stderr);
}

}  // namespace winsim::user32
