#include "window_registry.h"

#include <winsim/winsim_ui.h>

#include "answers.h"
#include "toolkit.h"

namespace ui::detail {

namespace {

constexpr const char* kDialogClass = "#32770";

// Runs on the interface thread: every message waiting in its queue goes to its window.
void drainQueue() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) continue;  // the interface thread ends with the process only
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// Called by winsim on the thread that posts or sends, under winsim's lock: it only hands the
// work to the interface thread (a toolkit is never freed, and a stopped one refuses the task).
void CALLBACK queueWake(void* toolkit) { static_cast<Toolkit*>(toolkit)->post(drainQueue); }

// MessageBoxA of winsim, once the flags are known to be good: a real box with the Qt backend;
// without windows the box is printed as "<caption>: <text>" and answered from the list of
// answers.
int CALLBACK showMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    const std::string body = text ? text : "";
    const std::string title = caption ? caption : "Error";
    // After the toolkit has stopped (at process exit) a box can only be printed.
    Toolkit* tk = Toolkit::instance();
    if (tk && !tk->headless()) return tk->call([&] { return tk->backend().messageBox(owner, body, title, type); });
    reportLine(title + ": " + body);
    return takeMessageBoxAnswer(type);
}

// The toolkit is loaded: its boxes are the process's message boxes.
const bool kBoxesRegistered = [] {
    WinsimSetMessageBoxHandler(showMessageBox);
    return true;
}();

}  // namespace

WindowRegistry& WindowRegistry::instance() {
    static WindowRegistry* registry = new WindowRegistry();  // lives on through process exit
    return *registry;
}

void WindowRegistry::serveQueue(Toolkit& toolkit) {
    // The class is the process's dialog class, as the system's own is on Windows.
    WNDCLASSA wc{};
    wc.style = CS_GLOBALCLASS;
    wc.lpfnWndProc = &WindowRegistry::procedure;
    wc.lpszClassName = kDialogClass;
    RegisterClassA(&wc);
    WinsimSetQueueWake(queueWake, &toolkit);
}

HWND WindowRegistry::add(const std::string& title, Handler handler) {
    HWND hwnd = CreateWindowExA(0, kDialogClass, title.c_str(), WS_POPUP | WS_CAPTION | WS_SYSMENU, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
    if (hwnd) {
        std::lock_guard<std::mutex> lock(mutex_);
        handlers_[hwnd] = std::move(handler);
    }
    if (Toolkit* tk = Toolkit::existing()) tk->changed();
    return hwnd;
}

void WindowRegistry::setTitle(HWND hwnd, const std::string& title) { SetWindowTextA(hwnd, title.c_str()); }

void WindowRegistry::remove(HWND hwnd) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        handlers_.erase(hwnd);
    }
    if (hwnd) DestroyWindow(hwnd);
    if (Toolkit* tk = Toolkit::existing()) tk->changed();
}

WindowRegistry::Handler WindowRegistry::handlerOf(HWND hwnd) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = handlers_.find(hwnd);
    return it == handlers_.end() ? Handler() : it->second;
}

LRESULT CALLBACK WindowRegistry::procedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    WindowRequest request;
    switch (msg) {
        case WM_CLOSE: request = WindowRequest::Close; break;  // the dialog decides, as its close box would
        case WM_SHOWWINDOW:
            if (!wParam) return 0;
            request = WindowRequest::Restore;
            break;
        case WM_ACTIVATE:
            if (LOWORD(wParam) == WA_INACTIVE) return 0;
            request = WindowRequest::Front;
            break;
        default: return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
    if (Handler handler = instance().handlerOf(hwnd)) handler(request);
    return 0;
}

}  // namespace ui::detail
