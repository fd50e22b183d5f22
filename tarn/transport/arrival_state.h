// What a mode switch shares between the transfer thread, which waits for the reader to come back
// and runs the arrival handler, and the worker threads the wait starts: the plug-in-wide arrival
// state, and the context of one wait.
//
// A wait's context is reference-counted: the wait and every worker thread it started hold it, so
// the stop flag and the done events stay valid for a thread that outlives the wait's join. The
// running flag of a thread is set by its starter before the thread exists, so no one can see the
// thread as not running while it is about to start.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

#include <winsim/windows.h>

namespace tarn {

struct ArrivalState {
    std::atomic<int32_t> trapArmed{0};          // a wait is in progress: arrivals count
    std::atomic<int32_t> dfuArrived{0};         // an acceptable upgrade-mode reader arrived and was opened
    std::atomic<int32_t> functionalArrived{0};  // a reader came back in functional mode
    std::atomic<int32_t> checkIds{0};           // only the dfuType-3 loader's identifiers are accepted
    std::atomic<int32_t> validateArrival{0};    // an arrival must show the expected product type
    std::atomic<int32_t> switchingKv7{0};       // the reader the wait is for is a KV7 controller
    std::atomic<int32_t> usbstorArrived{0};     // a reader came back on the mass-storage driver
    HANDLE arrivedHandle = INVALID_HANDLE_VALUE;  // the arrived upgrade-mode reader, opened
    std::atomic<uint32_t> dfuDeviceObject{0};   // the helper driver's id of the upgrade-mode reader
    uint16_t expectedType = 0;                  // complement in the low byte, type in the high byte
};
ArrivalState& arrival();

// One wait for a reader, shared with its worker threads.
struct WaitContext {
    WaitContext(const std::atomic<int32_t>* arrivedFlag);
    ~WaitContext();
    WaitContext(const WaitContext&) = delete;
    WaitContext& operator=(const WaitContext&) = delete;

    std::atomic<int32_t> stop{0};
    const std::atomic<int32_t>* arrived;  // the flag the wait waits for (of the arrival state)
    std::atomic<int32_t> powerCycleRunning{0};
    std::atomic<int32_t> updateRunning{0};
    HANDLE powerCycleDone;  // manual reset, created signalled; reset by the thread at its start
    HANDLE updateDone;
};

using WorkerBody = DWORD (*)(WaitContext& context);
// Starts `body` on a worker thread that holds `context`. `running` and `done` (one of the
// context's pairs) are set to "running" first — the flag set, the event reset — and put back when
// the thread cannot be started (false then). The body sets the event and clears the flag at its end.
bool StartWorker(const std::shared_ptr<WaitContext>& context, std::atomic<int32_t>& running, HANDLE done,
                 WorkerBody body);

// Asks every worker thread still running to stop and waits for it to end — for the thread itself,
// so that no code of the plug-in runs on it afterwards (a bounded wait per thread); used before a
// new wait, at the end of a scan and when the plug-in is unloaded.
void StopWorkerThreads();

}  // namespace tarn
