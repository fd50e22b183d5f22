// The toolkit's top-level windows as windows of winsim's USER32: each dialog and message box is
// a window of the dialog class "#32770" owned by the interface thread, so FindWindowA finds it
// from this process or another one of the lab, and WM_CLOSE, ShowWindow and SetForegroundWindow
// reach it through the class's window procedure.
//
// The interface thread runs the backend's loop, not GetMessageA: winsim wakes the toolkit when
// a message arrives for the thread (WinsimSetQueueWake), and a task on the interface thread then
// takes and dispatches the messages with PeekMessageA.
#pragma once
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include <ui/win32.h>

namespace ui::detail {

class Toolkit;

enum class WindowRequest { Restore, Front, Close };

class WindowRegistry {
public:
    // `handler` runs on the interface thread for each request made of the window.
    using Handler = std::function<void(WindowRequest)>;

    static WindowRegistry& instance();

    // On the interface thread.
    HWND add(const std::string& title, Handler handler);
    void setTitle(HWND hwnd, const std::string& title);
    void remove(HWND hwnd);

    // On the interface thread of `toolkit`, once: its queue's messages reach the windows from now
    // on.
    static void serveQueue(Toolkit& toolkit);

private:
    WindowRegistry() = default;
    static LRESULT CALLBACK procedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    Handler handlerOf(HWND hwnd) const;

    mutable std::mutex mutex_;
    std::map<HWND, Handler> handlers_;
};

}  // namespace ui::detail
