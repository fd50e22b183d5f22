#include "tarn_log.h"

#include <atomic>

namespace tarn {

namespace {
std::atomic<LoggerCallback> current{nullptr};
}

void setLogger(LoggerCallback logger) { current = logger; }
LoggerCallback logger() { return current; }

}  // namespace tarn
