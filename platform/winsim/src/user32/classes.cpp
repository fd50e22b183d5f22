// Window classes: registered per module (hInstance) or, with CS_GLOBALCLASS, for the whole
// process; a class with windows stays.
#include <winsim/windows.h>

#include "../internal.h"
#include "user32.h"

namespace winsim::user32 {

namespace {

constexpr UINT kKnownStyles = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS | CS_OWNDC | CS_CLASSDC | CS_PARENTDC |
                              CS_NOCLOSE | CS_SAVEBITS | CS_BYTEALIGNCLIENT | CS_BYTEALIGNWINDOW | CS_GLOBALCLASS;

std::vector<std::shared_ptr<WindowClass>>& classes() {
    static auto* v = new std::vector<std::shared_ptr<WindowClass>>;
    return *v;
}

ATOM g_nextAtom = 0xC000;  // under the lock; the range Windows gives registered classes

bool nameMatches(const WindowClass& c, LPCSTR name) {
    if (IS_INTRESOURCE(name)) return c.atom == static_cast<ATOM>(reinterpret_cast<ULONG_PTR>(name));
    return equalsNoCase(c.name, name);
}

}  // namespace

// The class a window of module `instance` gets by `name`: the module's own, else a global one.
std::shared_ptr<WindowClass> findClassLocked(LPCSTR name, HINSTANCE instance) {
    std::shared_ptr<WindowClass> global;
    for (const auto& c : classes()) {
        if (!nameMatches(*c, name)) continue;
        if (c->info.hInstance == instance) return c;
        if (c->info.style & CS_GLOBALCLASS) global = c;
    }
    return global;
}

std::optional<std::string> classNameOfAtomLocked(ATOM atom) {
    for (const auto& c : classes())
        if (c->atom == atom) return c->name;
    return std::nullopt;
}

}  // namespace winsim::user32

using namespace winsim;
using namespace winsim::user32;

extern "C" {

ATOM WINAPI RegisterClassA(const WNDCLASSA* wc) {
    if (!wc || !wc->lpszClassName || !wc->lpfnWndProc || wc->cbClsExtra < 0 || wc->cbWndExtra < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (IS_INTRESOURCE(wc->lpszClassName) || (wc->style & ~kKnownStyles)) {
        traceRefused("RegisterClassA", IS_INTRESOURCE(wc->lpszClassName) ? "class atom as name" : "style",
                     wc->style & ~kKnownStyles);
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    Lock lock = lockState();
    for (const auto& c : classes()) {
        if (!equalsNoCase(c->name, wc->lpszClassName)) continue;
        if (c->info.hInstance == wc->hInstance || (c->info.style & CS_GLOBALCLASS) || (wc->style & CS_GLOBALCLASS)) {
            SetLastError(ERROR_CLASS_ALREADY_EXISTS);
            return 0;
        }
    }
    if (g_nextAtom == 0xFFFF) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    auto c = std::make_shared<WindowClass>();
    c->name = wc->lpszClassName;
    c->atom = g_nextAtom++;
    c->info = *wc;
    c->info.lpszClassName = nullptr;
    c->info.lpszMenuName = nullptr;
    classes().push_back(c);
    return c->atom;
}

BOOL WINAPI UnregisterClassA(LPCSTR name, HINSTANCE instance) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Lock lock = lockState();
    auto& all = classes();
    for (auto it = all.begin(); it != all.end(); ++it) {
        if (!nameMatches(**it, name) || ((*it)->info.hInstance != instance && !((*it)->info.style & CS_GLOBALCLASS)))
            continue;
        if ((*it)->windows > 0) {
            SetLastError(ERROR_CLASS_HAS_WINDOWS);
            return FALSE;
        }
        all.erase(it);
        return TRUE;
    }
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
}

BOOL WINAPI GetClassInfoA(HINSTANCE instance, LPCSTR name, LPWNDCLASSA out) {
    if (!name || !out) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Lock lock = lockState();
    auto c = findClassLocked(name, instance);
    if (!c) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    *out = c->info;
    out->lpszClassName = name;
    return TRUE;
}

}  // extern "C"
