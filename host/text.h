// Formatting into the host's fixed buffers: a text that does not fit is reported, never cut
// silently and never written past the buffer.
#pragma once
#include <cstddef>

namespace zelfin {

// snprintf into out; false when the result had to be cut (out then holds the cut text).
bool formatInto(char* out, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));

template <size_t N>
bool copyInto(char (&out)[N], const char* text) {
    return formatInto(out, N, "%s", text ? text : "");
}

}  // namespace zelfin
