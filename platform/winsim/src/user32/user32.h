// USER32's state: window classes, windows and the threads' message queues, all under the one
// lock of the waits (syncLock()), so that a thread blocked in MsgWaitForMultipleObjects wakes on
// a message as on an event. Window procedures are never called with the lock held.
//
// A window handle is (process id << 32) | (use count << 16) | slot: the slot indexes this
// process's table, the use count tells a stale handle from the slot's new window, and the
// process id leads a handle found in another process of the lab back to its owner.
#pragma once
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <winsim/dbt.h>
#include <winsim/winsim_ui.h>
#include <winsim/windows.h>

namespace winsim::user32 {

using Lock = std::unique_lock<std::mutex>;
Lock lockState();
// Wakes every wait after a change made under the lock.
void notifyAll();

struct WindowClass {
    std::string name;
    ATOM atom = 0;
    WNDCLASSA info{};  // lpszClassName and lpszMenuName are not kept
    int windows = 0;
};

struct Window {
    HWND hwnd = nullptr;
    std::shared_ptr<WindowClass> cls;
    WNDPROC proc = nullptr;
    DWORD thread = 0;
    std::string title;
    DWORD style = 0, exStyle = 0;
    HWND owner = nullptr;
    bool messageOnly = false;
    HINSTANCE instance = nullptr;
    HMENU menu = nullptr;
    LONG_PTR userData = 0;
    std::vector<uint8_t> extra;  // cbWndExtra bytes
    bool destroying = false;     // WM_DESTROY is under way: no second DestroyWindow
};

// ---- classes (under the lock) -------------------------------------------------------------
std::shared_ptr<WindowClass> findClassLocked(LPCSTR name, HINSTANCE instance);
std::optional<std::string> classNameOfAtomLocked(ATOM atom);

// ---- windows (under the lock) -------------------------------------------------------------
bool isLocalHandle(HWND hwnd);
// The window, or null for a handle that is not one of this process's live windows.
Window* findWindowLocked(HWND hwnd);
// All of this process's windows, in creation order.
std::vector<Window*> windowsLocked();
// The calling thread's window procedure call: the procedure looked up under the lock, called
// without it. 0 for a window that is gone.
LRESULT callProcedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// This process's first top-level window (not message-only) that matches; null class or title
// matches any.
HWND findLocal(const std::optional<std::string>& className, const std::optional<std::string>& title);
// Removes every window of `thread` without calling procedures (the thread has ended).
void dropThreadWindowsLocked(DWORD thread);

// ---- queues -------------------------------------------------------------------------------
// Gives the calling thread its queue, as its first USER32 call does on Windows.
void ensureQueueLocked();
struct SentMessage {
    HWND hwnd = nullptr;
    UINT msg = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    std::vector<uint8_t> payload;   // what lParam points to when the sender does not wait
    std::function<bool()> wanted;   // looked at under the lock just before the call
    bool waited = false;            // a sender is waiting for `result`
    bool done = false;
    LRESULT result = 0;
};

// Queues `m` for the window's thread (which must have a queue); it is taken by that thread's
// next GetMessageA, PeekMessageA or wait for a sent reply. Under the lock.
bool queueSentLocked(DWORD thread, std::shared_ptr<SentMessage> m);
// Posts to the window's thread (under the lock): false with the last error set.
bool postLocked(const Window& w, UINT msg, WPARAM wParam, LPARAM lParam);
// Messages whose parameters point into the sender's memory: they cannot be posted.
bool isSyncOnly(UINT msg, WPARAM wParam);
// Sends without waiting for the procedure: a call at once on the window's own thread, queued
// for another (SendNotifyMessageA). The window must be local.
BOOL sendNotify(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// ---- other processes of the lab (remote.cpp) ----------------------------------------------
// The listener answering other processes; started with the first findable window.
void startListener();
HWND remoteFind(const std::optional<std::string>& className, const std::optional<std::string>& title);
std::optional<std::string> remoteTitle(HWND hwnd);
// Asks the owner to post, show (SW_* command) or bring to the front; false when the window is
// not there. `error` receives the Win32 error the owner gave.
bool remotePost(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, DWORD* error);
// The window's visibility before, or nullopt when it is not there.
std::optional<bool> remoteShow(HWND hwnd, int cmd);
bool remoteFront(HWND hwnd);
bool remotePostAll(UINT msg, WPARAM wParam, LPARAM lParam);

// ---- the system's own notices (system_notice.cpp) ------------------------------------------
struct NoticeAnswer {
    HWND hwnd = nullptr;
    std::string className;
    bool answered = false;
    LRESULT result = 0;
};
// Sends to each top-level window of this process and waits until `timeout` for the answers.
std::vector<NoticeAnswer> sendNoticeLocal(UINT msg, WPARAM wParam, LPARAM lParam, std::chrono::milliseconds timeout);
// The same in every other process of the lab.
std::vector<NoticeAnswer> remoteSendAll(UINT msg, WPARAM wParam, LPARAM lParam, std::chrono::milliseconds timeout);

// ---- the lab (lab_link.cpp, the one file that uses lab headers) ----------------------------
std::optional<std::string> runFolder();
std::string labFolder();
std::string labFileName();
// Interface arrivals and removals of the lab's hardware.
using InterfaceEvent = std::function<void(bool arrival, const GUID& cls, const std::string& symbolicLink)>;
int subscribeInterfaces(InterfaceEvent listener);
void unsubscribeInterfaces(int token);
// Picks up what other processes changed in lab.json (its events reach the subscribers).
void refreshHardware();

// ---- tracing ------------------------------------------------------------------------------
// "WINSIM_DEBUG=user32" (or "all") writes each refused call to standard error.
void traceRefused(const char* function, const char* what, uint64_t value);

}  // namespace winsim::user32
