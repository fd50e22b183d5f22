#include "trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

namespace winsim {

namespace {

struct Channels {
    bool all = false;
    std::set<std::string> names;
};

const Channels& channels() {
    static const Channels c = [] {
        Channels out;
        const char* env = std::getenv("WINSIM_DEBUG");
        std::string rest = env ? env : "";
        size_t pos = 0;
        while (pos <= rest.size()) {
            const size_t comma = rest.find(',', pos);
            const std::string name = rest.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
            if (name == "all") out.all = true;
            else if (!name.empty()) out.names.insert(name);
            if (comma == std::string::npos) break;
            pos = comma + 1;
        }
        return out;
    }();
    return c;
}

}  // namespace

bool traceOn(const char* channel) {
    const Channels& c = channels();
    return c.all || (!c.names.empty() && c.names.count(channel));
}

void traceLine(const char* channel, const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    std::fprintf(stderr, "winsim:%s: %s\n", channel, text);
}

}  // namespace winsim

#include <exception>
#include <new>

#include <winsim/winbase.h>

#include "internal.h"

namespace winsim {

void exceptionToLastError(const char* function) noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return;
    } catch (const std::exception& e) {
        if (traceOn("seh")) traceLine("seh", "%s: exception: %s", function, e.what());
    } catch (...) {
        if (traceOn("seh")) traceLine("seh", "%s: exception of an unknown kind", function);
    }
    SetLastError(ERROR_INTERNAL_ERROR);
}

}  // namespace winsim
