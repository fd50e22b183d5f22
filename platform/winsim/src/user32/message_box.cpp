// MessageBoxA: the dialog toolkit shows the box when it has registered itself; without it the
// box is written to standard error as "<caption>: <text>" and gets its first button, as a box
// nobody answers would in an unattended run.
#include <unistd.h>

#include <atomic>
#include <string>

#include "user32.h"

namespace {

std::atomic<WINSIM_MESSAGE_BOX> g_handler{nullptr};

bool supported(UINT type) {
    const UINT buttons = type & MB_TYPEMASK;
    const UINT icon = type & MB_ICONMASK;
    const UINT known = MB_TYPEMASK | MB_ICONMASK | MB_DEFMASK | MB_SYSTEMMODAL | MB_TASKMODAL | MB_SETFOREGROUND |
                       MB_TOPMOST;
    return buttons <= MB_RETRYCANCEL && icon <= MB_ICONASTERISK && (type & MB_DEFMASK) <= MB_DEFBUTTON3 &&
           (type & ~known) == 0;
}

int firstButton(UINT type) {
    switch (type & MB_TYPEMASK) {
        case MB_ABORTRETRYIGNORE: return IDABORT;
        case MB_YESNOCANCEL:
        case MB_YESNO: return IDYES;
        case MB_RETRYCANCEL: return IDRETRY;
        default: return IDOK;
    }
}

}  // namespace

extern "C" {

void WINAPI WinsimSetMessageBoxHandler(WINSIM_MESSAGE_BOX handler) { g_handler = handler; }

int WINAPI MessageBoxA(HWND hWnd, LPCSTR text, LPCSTR caption, UINT type) {
    if (!supported(type)) {
        winsim::user32::traceRefused("MessageBoxA", "type", type);
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    if (WINSIM_MESSAGE_BOX handler = g_handler.load()) return handler(hWnd, text ? text : "", caption, type);
    // One write, so that lines of threads reporting at once do not mix.
    const std::string line = std::string(caption ? caption : "Error") + ": " + (text ? text : "") + "\n";
    (void)!::write(STDERR_FILENO, line.data(), line.size());
    return firstButton(type);
}

}  // extern "C"
