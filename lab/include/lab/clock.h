// The lab clock: lab time passes `timeScale` times faster than real time, so that a test can run
// a 180-second wait in milliseconds. Every wait, pause and time-out of winsim goes through here.
#pragma once
#include <chrono>
#include <cstdint>

namespace lab {

class Clock {
public:
    explicit Clock(double scale);
    double scale() const { return scale_; }
    // Real time that a lab duration of `labMs` milliseconds takes.
    std::chrono::nanoseconds realDuration(uint64_t labMs) const;
    // Lab time elapsed since this clock started, in nanoseconds.
    int64_t labElapsedNs() const;
    // Lab wall clock: the real time when the clock started plus the scaled elapsed time.
    std::chrono::system_clock::time_point labNow() const;

private:
    double scale_;
    std::chrono::steady_clock::time_point realStart_;
    std::chrono::system_clock::time_point wallStart_;
};

}  // namespace lab
