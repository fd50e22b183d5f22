// One message queue per thread: posted messages, sent messages waiting for the thread, the quit
// flag and the QS_* bits of what arrived since the thread last looked. Everything is under the
// waits' lock and condition, so GetMessageA and MsgWaitForMultipleObjects sleep until something
// arrives and never look again on their own.
#include <algorithm>

#include "../internal.h"
#include "user32.h"

namespace winsim::user32 {

namespace {

// Windows refuses a post once ten thousand messages wait.
constexpr size_t kMaxPosted = 10000;
constexpr DWORD kPostBits = QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;

struct Queue {
    DWORD thread = 0;
    std::deque<MSG> posted;
    std::deque<std::shared_ptr<SentMessage>> sent;
    bool quit = false;
    int quitCode = 0;
    DWORD changed = 0;  // QS_* bits of what arrived since the thread last looked
    WINSIM_QUEUE_WAKE wake = nullptr;
    void* wakeContext = nullptr;
};

std::map<DWORD, std::shared_ptr<Queue>>& queues() {
    static auto* m = new std::map<DWORD, std::shared_ptr<Queue>>;
    return *m;
}

thread_local int t_inSend = 0;  // sent messages from other threads being handled right now

// A thread's queue and windows go when the thread ends; senders still waiting get 0.
struct QueueOwner {
    DWORD thread = 0;
    ~QueueOwner() {
        if (!thread) return;
        Lock lock = lockState();
        auto it = queues().find(thread);
        if (it != queues().end()) {
            for (auto& m : it->second->sent) m->done = true;
            queues().erase(it);
        }
        dropThreadWindowsLocked(thread);
        lock.unlock();
        notifyAll();
    }
};

Queue* queueLocked(DWORD thread) {
    auto it = queues().find(thread);
    return it == queues().end() ? nullptr : it->second.get();
}

std::shared_ptr<Queue> ownQueueLocked() {
    const DWORD me = GetCurrentThreadId();
    auto& q = queues()[me];
    if (!q) {
        q = std::make_shared<Queue>();
        q->thread = me;
        thread_local QueueOwner owner;
        owner.thread = me;
    }
    return q;
}

bool pending(const Queue& q) { return !q.posted.empty() || !q.sent.empty() || q.quit; }

void arrived(Queue& q, DWORD bits) {
    q.changed |= bits;
    if (q.wake) q.wake(q.wakeContext);
}

MSG makeMsg(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    MSG m{};
    m.hwnd = hwnd;
    m.message = msg;
    m.wParam = wParam;
    m.lParam = lParam;
    m.time = GetTickCount();
    return m;
}

bool postToQueueLocked(Queue& q, const MSG& m) {
    if (q.posted.size() >= kMaxPosted) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return false;
    }
    q.posted.push_back(m);
    arrived(q, kPostBits);
    return true;
}

// Handles the oldest message sent to this thread: the procedure runs without the lock.
void receiveOneLocked(Lock& lock, Queue& q) {
    auto m = q.sent.front();
    q.sent.pop_front();
    if (!m->wanted || m->wanted()) {
        lock.unlock();
        ++t_inSend;
        const LRESULT r = callProcedure(m->hwnd, m->msg, m->wParam, m->lParam);
        --t_inSend;
        lock.lock();
        m->result = r;
    }
    m->done = true;
    if (m->waited) syncCondition().notify_all();
}

bool matches(const MSG& m, HWND filter, UINT low, UINT high) {
    if (filter == reinterpret_cast<HWND>(-1) ? m.hwnd != nullptr : filter && m.hwnd != filter) return false;
    return (low == 0 && high == 0) || (m.message >= low && m.message <= high);
}

// Whether a window filter names a window of the calling thread (or is none, or -1).
bool filterValidLocked(HWND filter) {
    if (!filter || filter == reinterpret_cast<HWND>(-1)) return true;
    Window* w = findWindowLocked(filter);
    if (w && w->thread == GetCurrentThreadId()) return true;
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
}

// One look at the queue, as PeekMessageA makes it: sent messages first (when `kinds` has
// QS_SENDMESSAGE), then the oldest posted message that matches, then WM_QUIT.
bool lookLocked(Lock& lock, Queue& q, MSG* out, HWND filter, UINT low, UINT high, bool remove, DWORD kinds) {
    q.changed = 0;
    if (kinds & QS_SENDMESSAGE)
        while (!q.sent.empty()) receiveOneLocked(lock, q);
    if (!(kinds & (kPostBits | QS_TIMER | QS_HOTKEY))) return false;
    auto it = std::find_if(q.posted.begin(), q.posted.end(), [&](const MSG& m) { return matches(m, filter, low, high); });
    if (it != q.posted.end()) {
        *out = *it;
        if (remove) q.posted.erase(it);
        return true;
    }
    if (q.quit) {
        *out = makeMsg(nullptr, WM_QUIT, static_cast<WPARAM>(q.quitCode), 0);
        if (remove) q.quit = false;
        return true;
    }
    return false;
}

}  // namespace

Lock lockState() { return Lock(syncLock()); }
void notifyAll() { syncCondition().notify_all(); }

void ensureQueueLocked() { ownQueueLocked(); }

bool isSyncOnly(UINT msg, WPARAM wParam) {
    switch (msg) {
        case WM_CREATE:
        case WM_NCCREATE:
        case WM_SETTEXT:
        case WM_GETTEXT: return true;
        case WM_DEVICECHANGE: return (wParam & 0x8000) != 0;  // the events that carry a record
        default: return false;
    }
}

bool queueSentLocked(DWORD thread, std::shared_ptr<SentMessage> m) {
    Queue* q = queueLocked(thread);
    if (!q) return false;
    if (!m->payload.empty()) m->lParam = reinterpret_cast<LPARAM>(m->payload.data());
    q->sent.push_back(std::move(m));
    arrived(*q, QS_SENDMESSAGE);
    notifyAll();
    return true;
}

bool postLocked(const Window& w, UINT msg, WPARAM wParam, LPARAM lParam) {
    Queue* q = queueLocked(w.thread);
    if (!q) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    if (!postToQueueLocked(*q, makeMsg(w.hwnd, msg, wParam, lParam))) return false;
    notifyAll();
    return true;
}

BOOL sendNotify(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    Lock lock = lockState();
    Window* w = findWindowLocked(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (w->thread == GetCurrentThreadId()) {
        lock.unlock();
        callProcedure(hwnd, msg, wParam, lParam);
        return TRUE;
    }
    if (isSyncOnly(msg, wParam)) {
        SetLastError(ERROR_MESSAGE_SYNC_ONLY);
        return FALSE;
    }
    auto m = std::make_shared<SentMessage>();
    m->hwnd = hwnd;
    m->msg = msg;
    m->wParam = wParam;
    m->lParam = lParam;
    if (!queueSentLocked(w->thread, m)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return TRUE;
}

}  // namespace winsim::user32

using namespace winsim;
using namespace winsim::user32;

extern "C" {

BOOL WINAPI PostThreadMessageA(DWORD thread, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (isSyncOnly(msg, wParam)) {
        SetLastError(ERROR_MESSAGE_SYNC_ONLY);
        return FALSE;
    }
    Lock lock = lockState();
    Queue* q = queueLocked(thread);
    if (!q) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    if (!postToQueueLocked(*q, makeMsg(nullptr, msg, wParam, lParam))) return FALSE;
    notifyAll();
    return TRUE;
}

BOOL WINAPI PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (!hwnd) {
        {
            Lock lock = lockState();
            ensureQueueLocked();
        }
        return PostThreadMessageA(GetCurrentThreadId(), msg, wParam, lParam);
    }
    if (isSyncOnly(msg, wParam)) {
        SetLastError(ERROR_MESSAGE_SYNC_ONLY);
        return FALSE;
    }
    if (hwnd == HWND_BROADCAST) {
        {
            Lock lock = lockState();
            for (Window* w : windowsLocked())
                if (!w->messageOnly) postLocked(*w, msg, wParam, lParam);
        }
        remotePostAll(msg, wParam, lParam);
        return TRUE;
    }
    if (!isLocalHandle(hwnd)) {
        DWORD error = ERROR_INVALID_WINDOW_HANDLE;
        if (remotePost(hwnd, msg, wParam, lParam, &error)) return TRUE;
        SetLastError(error);
        return FALSE;
    }
    Lock lock = lockState();
    Window* w = findWindowLocked(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return postLocked(*w, msg, wParam, lParam) ? TRUE : FALSE;
}

void WINAPI PostQuitMessage(int code) {
    Lock lock = lockState();
    auto q = ownQueueLocked();
    q->quit = true;
    q->quitCode = code;
    arrived(*q, kPostBits);
    notifyAll();
}

LRESULT WINAPI SendMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (hwnd == HWND_BROADCAST) {
        std::vector<HWND> targets;
        {
            Lock lock = lockState();
            for (Window* w : windowsLocked())
                if (!w->messageOnly) targets.push_back(w->hwnd);
        }
        for (HWND h : targets) SendMessageA(h, msg, wParam, lParam);
        return 0;
    }
    if (hwnd && !isLocalHandle(hwnd)) {
        traceRefused("SendMessageA", "window of another process", reinterpret_cast<uintptr_t>(hwnd));
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    Lock lock = lockState();
    Window* w = findWindowLocked(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (w->thread == GetCurrentThreadId()) {
        lock.unlock();
        return callProcedure(hwnd, msg, wParam, lParam);
    }
    auto m = std::make_shared<SentMessage>();
    m->hwnd = hwnd;
    m->msg = msg;
    m->wParam = wParam;
    m->lParam = lParam;
    m->waited = true;
    if (!queueSentLocked(w->thread, m)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    // While it waits the thread answers what is sent to it, so that two threads sending to
    // each other do not wait for ever.
    auto own = ownQueueLocked();
    while (!m->done) {
        if (!own->sent.empty())
            receiveOneLocked(lock, *own);
        else
            syncCondition().wait(lock);
    }
    return m->result;
}

BOOL WINAPI SendNotifyMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (hwnd && !isLocalHandle(hwnd)) {
        traceRefused("SendNotifyMessageA", "window of another process", reinterpret_cast<uintptr_t>(hwnd));
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return sendNotify(hwnd, msg, wParam, lParam);
}

BOOL WINAPI InSendMessage(void) { return t_inSend > 0 ? TRUE : FALSE; }

BOOL WINAPI PeekMessageA(LPMSG out, HWND filter, UINT low, UINT high, UINT flags) {
    if (!out) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if ((flags & 0xFFFF & ~static_cast<UINT>(PM_REMOVE | PM_NOYIELD)) ||
        ((flags >> 16) & ~static_cast<UINT>(QS_ALLINPUT | QS_ALLPOSTMESSAGE))) {
        SetLastError(ERROR_INVALID_FLAGS);
        return FALSE;
    }
    const DWORD kinds = (flags >> 16) ? (flags >> 16) : QS_ALLINPUT | QS_ALLPOSTMESSAGE;
    Lock lock = lockState();
    if (!filterValidLocked(filter)) return FALSE;
    auto q = ownQueueLocked();
    return lookLocked(lock, *q, out, filter, low, high, (flags & PM_REMOVE) != 0, kinds) ? TRUE : FALSE;
}

BOOL WINAPI GetMessageA(LPMSG out, HWND filter, UINT low, UINT high) {
    if (!out) {
        SetLastError(ERROR_NOACCESS);
        return -1;
    }
    Lock lock = lockState();
    if (!filterValidLocked(filter)) return -1;
    auto q = ownQueueLocked();
    while (!lookLocked(lock, *q, out, filter, low, high, true, QS_ALLINPUT | QS_ALLPOSTMESSAGE))
        syncCondition().wait(lock);
    return out->message == WM_QUIT ? FALSE : TRUE;
}

BOOL WINAPI TranslateMessage(const MSG* m) {
    if (!m) return FALSE;
    const bool down = m->message == WM_KEYDOWN || m->message == WM_SYSKEYDOWN;
    if (!down && m->message != WM_KEYUP && m->message != WM_SYSKEYUP) return FALSE;
    if (down) {
        // Without a keyboard state nothing is shifted: letters come as lower case.
        const WPARAM vk = m->wParam;
        WPARAM ch = 0;
        if (vk >= 'A' && vk <= 'Z') ch = vk - 'A' + 'a';
        else if ((vk >= '0' && vk <= '9') || vk == VK_SPACE || vk == VK_RETURN || vk == VK_ESCAPE || vk == VK_BACK ||
                 vk == VK_TAB)
            ch = vk;
        if (ch) {
            Lock lock = lockState();
            auto q = ownQueueLocked();
            MSG c = makeMsg(m->hwnd, m->message == WM_KEYDOWN ? WM_CHAR : WM_SYSCHAR, ch, m->lParam);
            q->posted.push_front(c);  // it comes before whatever was posted after the key
            arrived(*q, kPostBits);
        }
    }
    return TRUE;
}

LRESULT WINAPI DispatchMessageA(const MSG* m) {
    if (!m) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!m->hwnd) return 0;  // a thread message has no procedure
    {
        Lock lock = lockState();
        Window* w = findWindowLocked(m->hwnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        if (w->thread != GetCurrentThreadId()) {
            SetLastError(ERROR_WINDOW_OF_OTHER_THREAD);
            return 0;
        }
    }
    return callProcedure(m->hwnd, m->message, m->wParam, m->lParam);
}

DWORD WINAPI GetQueueStatus(UINT flags) {
    if (flags & ~static_cast<UINT>(QS_ALLINPUT | QS_ALLPOSTMESSAGE)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    Lock lock = lockState();
    auto q = ownQueueLocked();
    DWORD present = 0;
    if (!q->posted.empty() || q->quit) present |= kPostBits;
    if (!q->sent.empty()) present |= QS_SENDMESSAGE;
    const DWORD news = q->changed & flags;
    q->changed &= ~flags;
    return ((present & flags) << 16) | news;
}

DWORD WINAPI MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms, DWORD mask) {
    if (mask & ~static_cast<DWORD>(QS_ALLINPUT | QS_ALLPOSTMESSAGE)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return WAIT_FAILED;
    }
    if (count >= MAXIMUM_WAIT_OBJECTS || (count && !handles)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::shared_ptr<Queue> q;
    {
        Lock lock = lockState();
        q = ownQueueLocked();
    }
    // Input is what arrived since the thread last looked at its queue, as on Windows: messages
    // already there when it last called PeekMessageA do not end the wait.
    return waitForObjectsOr(count, handles, waitAll != FALSE, ms, [&] { return (q->changed & mask) != 0; });
}

BOOL WINAPI WinsimSetQueueWake(WINSIM_QUEUE_WAKE wake, void* context) {
    Lock lock = lockState();
    auto q = ownQueueLocked();
    q->wake = wake;
    q->wakeContext = context;
    if (wake && pending(*q)) wake(context);
    return TRUE;
}

}  // extern "C"
