// Refused flags of the window functions, on the "user32" trace channel.
#include <cinttypes>

#include "../trace.h"
#include "user32.h"

namespace winsim::user32 {

void traceRefused(const char* function, const char* what, uint64_t value) {
    TRACE_UNSUPPORTED("user32", "%s: %s 0x%" PRIx64, function, what, value);
}

}  // namespace winsim::user32
