#include "lab/clock.h"

#include <cmath>

namespace lab {

Clock::Clock(double scale)
    : scale_(scale > 0 ? scale : 1.0),
      realStart_(std::chrono::steady_clock::now()),
      wallStart_(std::chrono::system_clock::now()) {}

std::chrono::nanoseconds Clock::realDuration(uint64_t labMs) const {
    const double ns = static_cast<double>(labMs) * 1e6 / scale_;
    // Long waits (INFINITE is handled by the caller) stay representable.
    if (ns >= 9.0e18) return std::chrono::nanoseconds(INT64_MAX / 2);
    return std::chrono::nanoseconds(static_cast<int64_t>(std::llround(ns)));
}

int64_t Clock::labElapsedNs() const {
    const auto real = std::chrono::steady_clock::now() - realStart_;
    return static_cast<int64_t>(static_cast<double>(real.count()) * scale_);
}

std::chrono::system_clock::time_point Clock::labNow() const {
    return wallStart_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                            std::chrono::nanoseconds(labElapsedNs()));
}

}  // namespace lab
