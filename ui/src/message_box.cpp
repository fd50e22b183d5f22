// MessageBoxA: a real box with the Qt backend; without windows the box is printed as
// "<caption>: <text>" and answered from the list of answers.
#include <ui/win32.h>

#include "answers.h"
#include "toolkit.h"

using ui::detail::Toolkit;

namespace {

bool supported(UINT type) {
    const UINT buttons = type & MB_TYPEMASK;
    const UINT icon = type & MB_ICONMASK;
    const UINT known = MB_TYPEMASK | MB_ICONMASK | MB_DEFMASK | MB_SYSTEMMODAL | MB_TASKMODAL | MB_SETFOREGROUND |
                       MB_TOPMOST;
    return buttons <= MB_RETRYCANCEL && icon <= MB_ICONASTERISK && (type & MB_DEFMASK) <= MB_DEFBUTTON3 &&
           (type & ~known) == 0;
}

}  // namespace

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    if (!supported(uType)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    const std::string text = lpText ? lpText : "";
    const std::string caption = lpCaption ? lpCaption : "Error";
    // After the toolkit has stopped (at process exit) a box can only be printed.
    Toolkit* tk = Toolkit::instance();
    if (tk && !tk->headless())
        return tk->call([&] { return tk->backend().messageBox(hWnd, text, caption, uType); });
    ui::detail::reportLine(caption + ": " + text);
    return ui::detail::takeMessageBoxAnswer(uType);
}
