#include "arrival_state.h"

#include <mutex>
#include <vector>

#include "tarn_log.h"

namespace tarn {

namespace {

// A worker that may outlast the wait: how long StopWorkerThreads waits for one to end. A port
// power cycle takes three seconds; a walk stops between ports once told to.
constexpr DWORD kWorkerEndMs = 30000;

struct Worker {
    std::shared_ptr<WaitContext> context;
    HANDLE thread;
};
struct Workers {
    std::mutex mutex;
    std::vector<Worker> running;
};
// Made before, and so gone after, the object that joins the workers when the plug-in is unloaded.
Workers g_workers;
Workers& workers() { return g_workers; }

struct WorkerStart {
    std::shared_ptr<WaitContext> context;
    WorkerBody body;
};

// A worker must not outlive the code it runs: unloading the plug-in waits for the workers.
const struct StopWorkersAtUnload {
    ~StopWorkersAtUnload() { StopWorkerThreads(); }
} stopWorkersAtUnload;

DWORD WINAPI workerMain(LPVOID parameter) {
    std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(parameter));
    return start->body(*start->context);
}

}  // namespace

ArrivalState& arrival() {
    static ArrivalState state;
    return state;
}

WaitContext::WaitContext(const std::atomic<int32_t>* arrivedFlag)
    : arrived(arrivedFlag),
      powerCycleDone(CreateEventA(nullptr, TRUE, TRUE, nullptr)),
      updateDone(CreateEventA(nullptr, TRUE, TRUE, nullptr)) {}

WaitContext::~WaitContext() {
    if (powerCycleDone) CloseHandle(powerCycleDone);
    if (updateDone) CloseHandle(updateDone);
}

bool StartWorker(const std::shared_ptr<WaitContext>& context, std::atomic<int32_t>& running, HANDLE done,
                 WorkerBody body) {
    ResetEvent(done);
    running = 1;
    auto* start = new WorkerStart{context, body};
    HANDLE thread = CreateThread(nullptr, 0, workerMain, start, 0, nullptr);
    if (!thread) {
        delete start;
        running = 0;
        SetEvent(done);
        return false;
    }
    Workers& w = workers();
    std::lock_guard<std::mutex> lock(w.mutex);
    // Threads that have ended are let go of here.
    std::erase_if(w.running, [](const Worker& worker) {
        if (WaitForSingleObject(worker.thread, 0) != WAIT_OBJECT_0) return false;
        CloseHandle(worker.thread);
        return true;
    });
    w.running.push_back({context, thread});
    return true;
}

void StopWorkerThreads() {
    std::vector<Worker> running;
    {
        Workers& w = workers();
        std::lock_guard<std::mutex> lock(w.mutex);
        running.swap(w.running);
    }
    for (const Worker& worker : running) worker.context->stop = 1;
    for (const Worker& worker : running) {
        if (WaitForSingleObject(worker.thread, kWorkerEndMs) != WAIT_OBJECT_0)
            TARN_LOG_AT("tarnDFU", "%s(%i) :A worker thread did not end in time");
        CloseHandle(worker.thread);
    }
}

}  // namespace tarn
