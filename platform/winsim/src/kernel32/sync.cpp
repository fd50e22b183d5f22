// Threads, events and waits. Every waitable object shares one lock and one condition variable:
// the system waits on a handful of objects at a time, and one place to signal keeps the waits
// simple and correct. Time-outs run on the lab clock.
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "internal.h"

using namespace winsim;

namespace {

std::mutex& syncMutex() { return syncLock(); }
std::condition_variable& syncChanged() { return syncCondition(); }

struct Waitable : KernelObject {
    // Called with the sync lock held.
    virtual bool signaled() const = 0;
    virtual void acquire() {}  // what a satisfied wait does to the object (auto-reset events)
};

struct Event : Waitable {
    bool manualReset = false;
    bool state = false;
    bool signaled() const override { return state; }
    void acquire() override {
        if (!manualReset) state = false;
    }
};

struct Thread : Waitable {
    bool finished = false;
    DWORD exitCode = STILL_ACTIVE;
    bool signaled() const override { return finished; }
};

// Named events are shared by name within the process.
std::map<std::string, std::weak_ptr<Event>>& namedEvents() {
    static auto* m = new std::map<std::string, std::weak_ptr<Event>>;
    return *m;
}

// `ready`, when given, is a further condition: satisfied alone it answers WAIT_OBJECT_0 + the
// number of objects; with waitAll it must hold as well as every object.
DWORD waitFor(const std::vector<std::shared_ptr<Waitable>>& objects, bool waitAll, DWORD ms,
              const std::function<bool()>* ready = nullptr) {
    std::unique_lock<std::mutex> lock(syncMutex());
    const bool forever = ms == INFINITE;
    const auto deadline = std::chrono::steady_clock::now() + (forever ? std::chrono::nanoseconds(0)
                                                                      : labClock().realDuration(ms));
    bool timedOut = false;
    for (;;) {
        if (waitAll) {
            bool all = !ready || (*ready)();
            for (const auto& o : objects) all = all && o->signaled();
            if (all) {
                for (const auto& o : objects) o->acquire();
                return WAIT_OBJECT_0;
            }
        } else {
            for (size_t i = 0; i < objects.size(); ++i) {
                if (objects[i]->signaled()) {
                    objects[i]->acquire();
                    return WAIT_OBJECT_0 + static_cast<DWORD>(i);
                }
            }
            if (ready && (*ready)()) return WAIT_OBJECT_0 + static_cast<DWORD>(objects.size());
        }
        if (timedOut) return WAIT_TIMEOUT;
        if (forever) {
            syncChanged().wait(lock);
        } else {
            // After the deadline the objects get one more look: one may have been signalled just
            // as the time ran out.
            timedOut = syncChanged().wait_until(lock, deadline) == std::cv_status::timeout;
        }
    }
}

// Each handle as a waitable object; null (with ERROR_INVALID_HANDLE set) for any that is not.
bool waitables(DWORD count, const HANDLE* handles, std::vector<std::shared_ptr<Waitable>>* out) {
    for (DWORD i = 0; i < count; ++i) {
        auto w = handleAs<Waitable>(handles[i]);
        if (!w) return false;
        out->push_back(std::move(w));
    }
    return true;
}

}  // namespace

std::mutex& winsim::syncLock() {
    static auto* m = new std::mutex;
    return *m;
}

std::condition_variable& winsim::syncCondition() {
    static auto* cv = new std::condition_variable;
    return *cv;
}

DWORD winsim::waitForObjectsOr(DWORD count, const HANDLE* handles, bool waitAll, DWORD ms,
                               const std::function<bool()>& ready) {
    std::vector<std::shared_ptr<Waitable>> objects;
    if (!waitables(count, handles, &objects)) return WAIT_FAILED;
    return waitFor(objects, waitAll, ms, &ready);
}

extern "C" {

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID param, DWORD flags,
                           LPDWORD threadId) {
    if (!start) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (flags != 0) {  // suspended start and stack reservations are not simulated
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto thread = std::make_shared<Thread>();
    std::mutex idMutex;
    std::condition_variable idReady;
    DWORD id = 0;
    bool haveId = false;
    try {
        std::thread([thread, start, param, &idMutex, &idReady, &id, &haveId] {
            {
                std::lock_guard<std::mutex> l(idMutex);
                id = GetCurrentThreadId();
                haveId = true;
            }
            idReady.notify_one();
            const DWORD code = start(param);
            {
                std::lock_guard<std::mutex> l(syncMutex());
                thread->exitCode = code;
                thread->finished = true;
            }
            syncChanged().notify_all();
        }).detach();
    } catch (const std::system_error&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    {
        std::unique_lock<std::mutex> l(idMutex);
        idReady.wait(l, [&] { return haveId; });
    }
    if (threadId) *threadId = id;
    return insertHandle(thread);
}

BOOL WINAPI GetExitCodeThread(HANDLE h, LPDWORD code) {
    auto thread = handleAs<Thread>(h);
    if (!thread) return FALSE;
    if (!code) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(syncMutex());
    *code = thread->exitCode;
    return TRUE;
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) {
    std::lock_guard<std::mutex> lock(syncMutex());
    if (name && *name) {
        auto& named = namedEvents();
        if (auto existing = named[name].lock()) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return insertHandle(existing);
        }
    }
    auto event = std::make_shared<Event>();
    event->manualReset = manualReset != FALSE;
    event->state = initialState != FALSE;
    if (name && *name) namedEvents()[name] = event;
    SetLastError(ERROR_SUCCESS);
    return insertHandle(event);
}

BOOL WINAPI SetEvent(HANDLE h) {
    auto event = handleAs<Event>(h);
    if (!event) return FALSE;
    {
        std::lock_guard<std::mutex> lock(syncMutex());
        event->state = true;
    }
    syncChanged().notify_all();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE h) {
    auto event = handleAs<Event>(h);
    if (!event) return FALSE;
    std::lock_guard<std::mutex> lock(syncMutex());
    event->state = false;
    return TRUE;
}

DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<Waitable>> objects;
    if (!waitables(count, handles, &objects)) return WAIT_FAILED;
    return waitFor(objects, waitAll != FALSE, ms);
}

DWORD WINAPI WaitForSingleObject(HANDLE h, DWORD ms) { return WaitForMultipleObjects(1, &h, FALSE, ms); }

}  // extern "C"
