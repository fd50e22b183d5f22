#include "text.h"

#include <cstdarg>
#include <cstdio>

namespace zelfin {

bool formatInto(char* out, size_t size, const char* format, ...) {
    if (!out || size == 0) return false;
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(out, size, format, args);
    va_end(args);
    return n >= 0 && static_cast<size_t>(n) < size;
}

}  // namespace zelfin
