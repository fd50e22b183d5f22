// The Win32 window functions the system uses on top-level dialogs, this process's or another's of
// the same lab.
#include <strings.h>

#include <cstring>

#include <ui/win32.h>

#include "window_registry.h"

using ui::detail::WindowRegistry;
using ui::detail::WindowRequest;

namespace {

BOOL request(HWND hWnd, WindowRequest what) {
    if (!hWnd) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    const bool done = WindowRegistry::isLocal(hWnd) ? WindowRegistry::instance().requestLocal(hWnd, what)
                                                    : ui::detail::remoteRequest(hWnd, what);
    if (!done) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return done ? TRUE : FALSE;
}

std::optional<std::string> titleOf(HWND hWnd) {
    if (!hWnd) return std::nullopt;
    return WindowRegistry::isLocal(hWnd) ? WindowRegistry::instance().titleOf(hWnd) : ui::detail::remoteTitle(hWnd);
}

}  // namespace

HWND WINAPI FindWindowA(LPCSTR lpClassName, LPCSTR lpWindowName) {
    // Every window of the toolkit is a dialog, of the dialog class "#32770".
    if (lpClassName && !IS_INTRESOURCE(lpClassName) && std::strcmp(lpClassName, "#32770") != 0) return nullptr;
    if (!lpWindowName) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    if (HWND local = WindowRegistry::instance().findLocal(lpWindowName)) return local;
    return ui::detail::remoteFind(lpWindowName);
}

BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow) {
    if (nCmdShow != SW_RESTORE && nCmdShow != SW_SHOW && nCmdShow != SW_SHOWNORMAL) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return request(hWnd, WindowRequest::Restore);
}

BOOL WINAPI SetForegroundWindow(HWND hWnd) { return request(hWnd, WindowRequest::Front); }

BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM, LPARAM) {
    if (Msg != WM_CLOSE) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return request(hWnd, WindowRequest::Close);
}

BOOL WINAPI IsWindow(HWND hWnd) { return titleOf(hWnd) ? TRUE : FALSE; }

int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount) {
    auto title = titleOf(hWnd);
    if (!title) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        if (lpString && nMaxCount > 0) lpString[0] = '\0';
        return 0;
    }
    if (!lpString || nMaxCount <= 0) return 0;
    const size_t n = std::min(title->size(), static_cast<size_t>(nMaxCount - 1));
    std::memcpy(lpString, title->data(), n);
    lpString[n] = '\0';
    return static_cast<int>(n);
}

int WINAPI GetSystemMetrics(int nIndex) {
    switch (nIndex) {
        case SM_CXICON:
        case SM_CYICON: return 32;
        case SM_CXSCREEN: return 1024;
        case SM_CYSCREEN: return 768;
        default: return 0;
    }
}
