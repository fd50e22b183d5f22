// Windows: creation and destruction with the messages Windows sends on the way, the default
// procedure, text, styles and the few window functions that reach other processes of the lab.
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "../internal.h"
#include "user32.h"

namespace winsim::user32 {

namespace {

// Windows gives a process ten thousand windows.
constexpr size_t kMaxWindows = 10000;
constexpr DWORD kKnownExStyles = WS_EX_DLGMODALFRAME | WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_WINDOWEDGE |
                                 WS_EX_CLIENTEDGE | WS_EX_CONTROLPARENT | WS_EX_STATICEDGE | WS_EX_APPWINDOW;

struct Slot {
    uint16_t uses = 0;
    std::unique_ptr<Window> window;
};

struct Table {
    std::vector<Slot> slots{1};  // slot 0 is never used: no handle's low word is 0
    size_t live = 0;
    std::vector<HWND> order;     // creation order, for FindWindow and broadcasts
};

Table& table() {
    static auto* t = new Table;
    return *t;
}

uint64_t pidBits() { return static_cast<uint64_t>(::getpid()) << 32; }

size_t slotOf(HWND hwnd) { return reinterpret_cast<uintptr_t>(hwnd) & 0xFFFF; }
uint16_t usesOf(HWND hwnd) { return static_cast<uint16_t>((reinterpret_cast<uintptr_t>(hwnd) >> 16) & 0xFFFF); }

HWND insertLocked(std::unique_ptr<Window> w) {
    Table& t = table();
    size_t slot = 0;
    for (size_t i = 1; i < t.slots.size() && !slot; ++i)
        if (!t.slots[i].window) slot = i;
    if (!slot) {
        slot = t.slots.size();
        t.slots.emplace_back();
    }
    Slot& s = t.slots[slot];
    ++s.uses;
    w->hwnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(pidBits() | uint64_t{s.uses} << 16 | slot));
    HWND hwnd = w->hwnd;
    s.window = std::move(w);
    ++t.live;
    t.order.push_back(hwnd);
    return hwnd;
}

void eraseLocked(HWND hwnd) {
    Table& t = table();
    Window* w = findWindowLocked(hwnd);
    if (!w) return;
    if (w->cls) --w->cls->windows;
    t.slots[slotOf(hwnd)].window.reset();
    --t.live;
    t.order.erase(std::remove(t.order.begin(), t.order.end(), hwnd), t.order.end());
}

LRESULT callWithCreate(HWND hwnd, UINT msg, CREATESTRUCTA* cs) {
    return callProcedure(hwnd, msg, 0, reinterpret_cast<LPARAM>(cs));
}

// The window's owned windows go first, then WM_DESTROY and WM_NCDESTROY, then the handle.
void destroy(HWND hwnd) {
    std::vector<HWND> owned;
    {
        Lock lock = lockState();
        Window* w = findWindowLocked(hwnd);
        if (!w || w->destroying) return;
        w->destroying = true;
        for (Window* o : windowsLocked())
            if (o->owner == hwnd && o->thread == w->thread) owned.push_back(o->hwnd);
    }
    for (HWND o : owned) destroy(o);
    callProcedure(hwnd, WM_DESTROY, 0, 0);
    callProcedure(hwnd, WM_NCDESTROY, 0, 0);
    Lock lock = lockState();
    eraseLocked(hwnd);
}

size_t copyText(const std::string& text, LPSTR buffer, int size) {
    if (!buffer || size <= 0) return 0;
    const size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return n;
}

// Looks up a local window for a call that the owner's thread need not make.
Window* liveLocked(HWND hwnd) {
    Window* w = findWindowLocked(hwnd);
    if (!w) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return w;
}

// The title of a window of this process or of another one; nullopt when there is no such window.
std::optional<std::string> titleOf(HWND hwnd) {
    if (hwnd && !isLocalHandle(hwnd)) return remoteTitle(hwnd);
    Lock lock = lockState();
    if (Window* w = findWindowLocked(hwnd)) return w->title;
    return std::nullopt;
}

}  // namespace

bool isLocalHandle(HWND hwnd) { return (reinterpret_cast<uintptr_t>(hwnd) >> 32) == static_cast<uint64_t>(::getpid()); }

Window* findWindowLocked(HWND hwnd) {
    if (!hwnd || !isLocalHandle(hwnd)) return nullptr;
    Table& t = table();
    const size_t slot = slotOf(hwnd);
    if (slot == 0 || slot >= t.slots.size()) return nullptr;
    Slot& s = t.slots[slot];
    return s.window && s.uses == usesOf(hwnd) ? s.window.get() : nullptr;
}

std::vector<Window*> windowsLocked() {
    std::vector<Window*> out;
    for (HWND h : table().order)
        if (Window* w = findWindowLocked(h)) out.push_back(w);
    return out;
}

LRESULT callProcedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    WNDPROC proc;
    {
        Lock lock = lockState();
        Window* w = findWindowLocked(hwnd);
        if (!w) return 0;
        proc = w->proc;
    }
    return proc(hwnd, msg, wParam, lParam);
}

HWND findLocal(const std::optional<std::string>& className, const std::optional<std::string>& title) {
    Lock lock = lockState();
    for (Window* w : windowsLocked()) {
        if (w->messageOnly || (w->style & WS_CHILD)) continue;
        if (className && !equalsNoCase(w->cls->name, *className)) continue;
        if (title && !equalsNoCase(w->title, *title)) continue;
        return w->hwnd;
    }
    return nullptr;
}

void dropThreadWindowsLocked(DWORD thread) {
    for (Window* w : windowsLocked())
        if (w->thread == thread) eraseLocked(w->hwnd);
}

}  // namespace winsim::user32

using namespace winsim;
using namespace winsim::user32;

extern "C" {

HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y, int width,
                            int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
    if (!className) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if ((style & WS_CHILD) && !parent) {
        SetLastError(ERROR_TLW_WITH_WSCHILD);
        return nullptr;
    }
    // The toolkit draws its controls itself: no child windows here.
    if ((style & WS_CHILD) || (exStyle & ~kKnownExStyles)) {
        traceRefused("CreateWindowExA", style & WS_CHILD ? "WS_CHILD" : "extended style", exStyle & ~kKnownExStyles);
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    HWND hwnd;
    bool findable;
    {
        Lock lock = lockState();
        auto cls = findClassLocked(className, instance);
        if (!cls) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        const bool messageOnly = parent == HWND_MESSAGE;
        if (parent && !messageOnly && !findWindowLocked(parent)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        if (table().live >= kMaxWindows) {
            SetLastError(ERROR_NOT_ENOUGH_QUOTA);
            return nullptr;
        }
        ensureQueueLocked();
        auto w = std::make_unique<Window>();
        w->cls = cls;
        w->proc = cls->info.lpfnWndProc;
        w->thread = GetCurrentThreadId();
        w->style = style;
        w->exStyle = exStyle;
        w->owner = messageOnly ? nullptr : parent;
        w->messageOnly = messageOnly;
        w->instance = instance;
        w->menu = menu;
        w->extra.assign(static_cast<size_t>(cls->info.cbWndExtra), 0);
        ++cls->windows;
        findable = !messageOnly;
        hwnd = insertLocked(std::move(w));
    }
    if (findable) startListener();
    CREATESTRUCTA cs{param, instance, menu, parent, height, width, y, x, static_cast<LONG>(style), windowName,
                     className, exStyle};
    if (!callWithCreate(hwnd, WM_NCCREATE, &cs)) {
        callProcedure(hwnd, WM_NCDESTROY, 0, 0);
        Lock lock = lockState();
        eraseLocked(hwnd);
        return nullptr;
    }
    if (callWithCreate(hwnd, WM_CREATE, &cs) == -1) {
        destroy(hwnd);
        return nullptr;
    }
    if (style & WS_VISIBLE) callProcedure(hwnd, WM_SHOWWINDOW, TRUE, 0);
    return hwnd;
}

BOOL WINAPI DestroyWindow(HWND hwnd) {
    {
        Lock lock = lockState();
        if (hwnd && !isLocalHandle(hwnd)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        Window* w = liveLocked(hwnd);
        if (!w) return FALSE;
        // Only the window's own thread may destroy it.
        if (w->thread != GetCurrentThreadId()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    destroy(hwnd);
    return TRUE;
}

LRESULT WINAPI DefWindowProcA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_NCCREATE: {
            const auto* cs = reinterpret_cast<const CREATESTRUCTA*>(lParam);
            if (cs && cs->lpszName && !IS_INTRESOURCE(cs->lpszName)) {
                Lock lock = lockState();
                if (Window* w = findWindowLocked(hwnd)) w->title = cs->lpszName;
            }
            return TRUE;
        }
        case WM_CLOSE: DestroyWindow(hwnd); return 0;
        case WM_SETTEXT: {
            Lock lock = lockState();
            Window* w = findWindowLocked(hwnd);
            if (!w) return FALSE;
            const char* text = reinterpret_cast<const char*>(lParam);
            w->title = text ? text : "";
            return TRUE;
        }
        case WM_GETTEXT: {
            Lock lock = lockState();
            Window* w = findWindowLocked(hwnd);
            const int size = wParam > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(wParam);
            return w ? static_cast<LRESULT>(copyText(w->title, reinterpret_cast<LPSTR>(lParam), size)) : 0;
        }
        case WM_GETTEXTLENGTH: {
            Lock lock = lockState();
            Window* w = findWindowLocked(hwnd);
            return w ? static_cast<LRESULT>(w->title.size()) : 0;
        }
        case WM_QUERYENDSESSION:
        case WM_POWERBROADCAST:  // a suspend is granted
        case WM_DEVICECHANGE: return TRUE;  // a query to remove a device is granted
        default: return 0;
    }
}

LRESULT WINAPI CallWindowProcA(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return proc ? proc(hwnd, msg, wParam, lParam) : 0;
}

HWND WINAPI FindWindowA(LPCSTR className, LPCSTR windowName) {
    std::optional<std::string> cls, title;
    if (className && IS_INTRESOURCE(className)) {
        Lock lock = lockState();
        cls = classNameOfAtomLocked(static_cast<ATOM>(reinterpret_cast<ULONG_PTR>(className)));
        if (!cls) return nullptr;  // an atom means something in this process only
    } else if (className) {
        cls = std::string(className);
    }
    if (windowName) title = std::string(windowName);
    if (HWND local = findLocal(cls, title)) return local;
    return remoteFind(cls, title);
}

BOOL WINAPI IsWindow(HWND hwnd) {
    if (!hwnd) return FALSE;
    if (!isLocalHandle(hwnd)) return remoteTitle(hwnd) ? TRUE : FALSE;
    Lock lock = lockState();
    return findWindowLocked(hwnd) ? TRUE : FALSE;
}

BOOL WINAPI IsWindowVisible(HWND hwnd) {
    Lock lock = lockState();
    Window* w = findWindowLocked(hwnd);
    return w && (w->style & WS_VISIBLE) ? TRUE : FALSE;
}

int WINAPI GetWindowTextA(HWND hwnd, LPSTR buffer, int size) {
    const std::optional<std::string> title = titleOf(hwnd);
    if (!title) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        if (buffer && size > 0) buffer[0] = '\0';
        return 0;
    }
    return static_cast<int>(copyText(*title, buffer, size));
}

int WINAPI GetWindowTextLengthA(HWND hwnd) {
    const std::optional<std::string> title = titleOf(hwnd);
    if (!title) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return static_cast<int>(title->size());
}

BOOL WINAPI SetWindowTextA(HWND hwnd, LPCSTR text) {
    if (hwnd && !isLocalHandle(hwnd)) {
        traceRefused("SetWindowTextA", "window of another process", reinterpret_cast<uintptr_t>(hwnd));
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    {
        Lock lock = lockState();
        if (!liveLocked(hwnd)) return FALSE;
    }
    return SendMessageA(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) ? TRUE : FALSE;
}

DWORD WINAPI GetWindowThreadProcessId(HWND hwnd, LPDWORD processId) {
    Lock lock = lockState();
    Window* w = liveLocked(hwnd);
    if (!w) return 0;
    if (processId) *processId = static_cast<DWORD>(::getpid());
    return w->thread;
}

LONG_PTR WINAPI GetWindowLongPtrA(HWND hwnd, int index) {
    Lock lock = lockState();
    Window* w = liveLocked(hwnd);
    if (!w) return 0;
    switch (index) {
        case GWLP_WNDPROC: return reinterpret_cast<LONG_PTR>(w->proc);
        case GWLP_HINSTANCE: return reinterpret_cast<LONG_PTR>(w->instance);
        case GWLP_HWNDPARENT: return reinterpret_cast<LONG_PTR>(w->owner);
        case GWLP_ID: return reinterpret_cast<LONG_PTR>(w->menu);
        case GWL_STYLE: return static_cast<LONG_PTR>(w->style);
        case GWL_EXSTYLE: return static_cast<LONG_PTR>(w->exStyle);
        case GWLP_USERDATA: return w->userData;
        default: break;
    }
    if (index < 0 || static_cast<size_t>(index) + sizeof(LONG_PTR) > w->extra.size()) {
        SetLastError(ERROR_INVALID_INDEX);
        return 0;
    }
    LONG_PTR v;
    std::memcpy(&v, w->extra.data() + index, sizeof v);
    return v;
}

LONG_PTR WINAPI SetWindowLongPtrA(HWND hwnd, int index, LONG_PTR value) {
    Lock lock = lockState();
    if (hwnd && !isLocalHandle(hwnd)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    Window* w = liveLocked(hwnd);
    if (!w) return 0;
    LONG_PTR old = 0;
    switch (index) {
        case GWLP_WNDPROC:
            if (!value) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return 0;
            }
            old = reinterpret_cast<LONG_PTR>(w->proc);
            w->proc = reinterpret_cast<WNDPROC>(value);
            return old;
        case GWLP_USERDATA: old = w->userData; w->userData = value; return old;
        case GWLP_ID: old = reinterpret_cast<LONG_PTR>(w->menu); w->menu = reinterpret_cast<HMENU>(value); return old;
        case GWLP_HINSTANCE:
            old = reinterpret_cast<LONG_PTR>(w->instance);
            w->instance = reinterpret_cast<HINSTANCE>(value);
            return old;
        case GWL_STYLE: old = w->style; w->style = static_cast<DWORD>(value); return old;
        case GWL_EXSTYLE: old = w->exStyle; w->exStyle = static_cast<DWORD>(value); return old;
        default: break;
    }
    if (index < 0 || static_cast<size_t>(index) + sizeof(LONG_PTR) > w->extra.size()) {
        SetLastError(ERROR_INVALID_INDEX);
        return 0;
    }
    std::memcpy(&old, w->extra.data() + index, sizeof old);
    std::memcpy(w->extra.data() + index, &value, sizeof value);
    return old;
}

BOOL WINAPI ShowWindow(HWND hwnd, int cmd) {
    if (cmd != SW_RESTORE && cmd != SW_SHOW && cmd != SW_SHOWNORMAL) {
        traceRefused("ShowWindow", "command", static_cast<uint64_t>(cmd));
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (hwnd && !isLocalHandle(hwnd)) {
        const std::optional<bool> was = remoteShow(hwnd, cmd);
        if (!was) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return was && *was ? TRUE : FALSE;
    }
    bool wasVisible;
    {
        Lock lock = lockState();
        Window* w = liveLocked(hwnd);
        if (!w) return FALSE;
        wasVisible = (w->style & WS_VISIBLE) != 0;
        w->style |= WS_VISIBLE;
    }
    // Sent even to a window that shows already: the interface behind it may have it minimized.
    sendNotify(hwnd, WM_SHOWWINDOW, TRUE, 0);
    return wasVisible ? TRUE : FALSE;
}

namespace {
// The window of this thread that was last brought to the front: what the thread's input goes to.
thread_local HWND activeWindow = nullptr;
}  // namespace

BOOL WINAPI SetForegroundWindow(HWND hwnd) {
    if (hwnd && !isLocalHandle(hwnd)) {
        if (remoteFront(hwnd)) return TRUE;
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    {
        Lock lock = lockState();
        if (!liveLocked(hwnd)) return FALSE;
    }
    activeWindow = hwnd;
    return sendNotify(hwnd, WM_ACTIVATE, WA_ACTIVE, 0);
}

HWND WINAPI GetActiveWindow(void) {
    Lock lock = lockState();
    if (activeWindow && !liveLocked(activeWindow)) activeWindow = nullptr;  // destroyed since
    return activeWindow;
}

int WINAPI GetSystemMetrics(int index) {
    switch (index) {
        case SM_CXICON:
        case SM_CYICON: return 32;
        case SM_CXSCREEN: return 1024;
        case SM_CYSCREEN: return 768;
        default: return 0;
    }
}

}  // extern "C"
