// Time on the lab clock: lab time passes `timeScale` times faster than real time.
#include <ctime>
#include <thread>

#include "internal.h"

using namespace winsim;

namespace {

void toSystemTime(std::chrono::system_clock::time_point tp, bool local, SYSTEMTIME* st) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(tp.time_since_epoch()).count();
    const time_t secs = static_cast<time_t>(ms / 1000);
    struct tm tmv {};
    if (local) {
        localtime_r(&secs, &tmv);
    } else {
        gmtime_r(&secs, &tmv);
    }
    st->wYear = static_cast<WORD>(tmv.tm_year + 1900);
    st->wMonth = static_cast<WORD>(tmv.tm_mon + 1);
    st->wDayOfWeek = static_cast<WORD>(tmv.tm_wday);
    st->wDay = static_cast<WORD>(tmv.tm_mday);
    st->wHour = static_cast<WORD>(tmv.tm_hour);
    st->wMinute = static_cast<WORD>(tmv.tm_min);
    st->wSecond = static_cast<WORD>(tmv.tm_sec);
    st->wMilliseconds = static_cast<WORD>(ms % 1000);
}

// The performance counter ticks in 100 ns units of lab time.
constexpr LONGLONG kCounterFrequency = 10'000'000;

}  // namespace

extern "C" {

void WINAPI GetLocalTime(LPSYSTEMTIME st) {
    if (st) toSystemTime(labClock().labNow(), true, st);
}

void WINAPI GetSystemTime(LPSYSTEMTIME st) {
    if (st) toSystemTime(labClock().labNow(), false, st);
}

DWORD WINAPI GetTickCount(void) { return static_cast<DWORD>(labClock().labElapsedNs() / 1'000'000); }

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* f) {
    if (!f) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    f->QuadPart = kCounterFrequency;
    return TRUE;
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* c) {
    if (!c) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    c->QuadPart = labClock().labElapsedNs() / 100;
    return TRUE;
}

void WINAPI Sleep(DWORD ms) {
    if (ms == INFINITE) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
    if (ms == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(labClock().realDuration(ms));
}

DWORD WINAPI SleepEx(DWORD ms, BOOL) {
    // No asynchronous procedure calls are ever queued here, so an alertable sleep is a full one.
    Sleep(ms);
    return 0;
}

}  // extern "C"
