// Trace channels: WINSIM_DEBUG=setupapi,devio,... (or "all") makes winsim log each call of those
// channels and every flag it refuses to standard error, one line each:
//   winsim:CHANNEL: text
//   winsim:CHANNEL: unsupported: text
#pragma once
#include <cstdarg>

namespace winsim {

bool traceOn(const char* channel);
void traceLine(const char* channel, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace winsim

#define TRACE(channel, ...)                                                      \
    do {                                                                         \
        if (::winsim::traceOn(channel)) ::winsim::traceLine(channel, __VA_ARGS__); \
    } while (0)

// A flag or value a caller passed that winsim does not implement; the call then fails with
// ERROR_NOT_SUPPORTED.
#define TRACE_UNSUPPORTED(channel, ...)                                                         \
    do {                                                                                        \
        if (::winsim::traceOn(channel)) ::winsim::traceLine(channel, "unsupported: " __VA_ARGS__); \
    } while (0)
