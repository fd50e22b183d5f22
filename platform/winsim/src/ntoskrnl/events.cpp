// Kernel events and waits on them. Every KEVENT shares one lock and one condition variable, as
// the Win32 waits do: drivers wait on one object at a time, and one place to signal keeps it
// simple. Time-outs run on the lab clock.
#include <condition_variable>
#include <mutex>

#include "../internal.h"
#include "kernel.h"

namespace {

std::mutex& eventMutex() {
    static auto* m = new std::mutex;
    return *m;
}
std::condition_variable& eventChanged() {
    static auto* cv = new std::condition_variable;
    return *cv;
}

}  // namespace

extern "C" {

VOID KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
    std::lock_guard<std::mutex> lock(eventMutex());
    event->Header.Type = static_cast<UCHAR>(type);
    event->Header.SignalState = state ? 1 : 0;
}

LONG KeSetEvent(PRKEVENT event, KPRIORITY, BOOLEAN) {
    LONG previous;
    {
        std::lock_guard<std::mutex> lock(eventMutex());
        previous = event->Header.SignalState;
        event->Header.SignalState = 1;
    }
    eventChanged().notify_all();
    return previous;
}

VOID KeClearEvent(PRKEVENT event) {
    std::lock_guard<std::mutex> lock(eventMutex());
    event->Header.SignalState = 0;
}

LONG KeReadStateEvent(PRKEVENT event) {
    std::lock_guard<std::mutex> lock(eventMutex());
    return event->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER timeout) {
    auto* event = static_cast<PRKEVENT>(object);
    if (!event) return STATUS_INVALID_PARAMETER;
    if (timeout && timeout->QuadPart > 0) return STATUS_INVALID_PARAMETER;
    std::unique_lock<std::mutex> lock(eventMutex());
    auto take = [&] {
        if (!event->Header.SignalState) return false;
        if (event->Header.Type == SynchronizationEvent) event->Header.SignalState = 0;
        return true;
    };
    if (!timeout) {
        eventChanged().wait(lock, take);
        return STATUS_SUCCESS;
    }
    // 100 ns units of lab time, rounded up to whole lab milliseconds.
    const uint64_t labMs = static_cast<uint64_t>((-timeout->QuadPart + 9999) / 10000);
    const auto deadline = std::chrono::steady_clock::now() + winsim::labClock().realDuration(labMs);
    return eventChanged().wait_until(lock, deadline, take) ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

}  // extern "C"
