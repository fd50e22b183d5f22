// Running dialogs: modal and modeless, ending, and the default handlers.
#include <ui/dialog.h>

#include "access.h"
#include "dialog_call.h"
#include "toolkit.h"
#include "window.h"

namespace ui {

using detail::Access;
using detail::Toolkit;
using detail::Window;

namespace {

// The template, read from the module when the dialog is run; nullopt with the last error set.
std::optional<DialogTemplate> templateOf(const std::optional<DialogTemplate>& own, HMODULE module, UINT id) {
    if (own) return own;
    return loadDialogTemplate(module, id);
}

HWND hwndOf(const Dialog* d) { return d ? d->hwnd() : nullptr; }

// Builds the window on the interface thread and calls onInitDialog; null when the dialog ended
// or went away during it.
std::shared_ptr<Window> openWindow(Dialog& d, DialogTemplate t, HMODULE module, bool modal, HWND owner) {
    auto w = std::make_shared<Window>(d, std::move(t), module, modal, owner);
    Access::setWindow(d, w);
    w->open();
    const BOOL focusFirst = Access::init(d);
    if (!w->isOpen) return nullptr;
    if (focusFirst && w->focusId == 0) {
        for (const auto& c : w->controls)
            if (c.takesFocus()) {
                w->setFocus(c.id);
                break;
            }
    }
    if (w->view && !w->ended) w->view->show();
    Toolkit::current().shown(*w);
    return w;
}

void closeWindow(Dialog& d, const std::shared_ptr<Window>& w) {
    w->close();
    if (Access::window(d) == w) Access::setWindow(d, nullptr);
}

}  // namespace

Dialog::Dialog(HMODULE module, UINT templateId) : module_(module), templateId_(templateId) {}

Dialog::Dialog(DialogTemplate dialogTemplate, HMODULE module)
    : module_(module), template_(std::move(dialogTemplate)) {}

Dialog::~Dialog() {
    Toolkit* tk = Toolkit::existing();
    if (!tk) return;
    tk->call([this] {
        if (auto w = window_) {
            w->dialog = nullptr;
            w->ended = true;
            w->close();
            window_.reset();
        }
    });
}

INT_PTR Dialog::doModal(const Dialog* owner) {
    auto t = templateOf(template_, module_, templateId_);
    if (!t) return -1;
    Toolkit* tk = Toolkit::instance();
    if (!tk) return -1;
    const HWND ownerHwnd = hwndOf(owner);
    return tk->call([&]() -> INT_PTR {
        if (window_ && window_->isOpen) return -1;  // already running
        auto w = openWindow(*this, std::move(*t), module_, true, ownerHwnd);
        if (!w) return -1;
        tk->backend().runUntil([&] { return w->ended || !w->isOpen || tk->stopping(); });
        const INT_PTR result = w->result;
        closeWindow(*this, w);
        return result;
    });
}

bool Dialog::create(const Dialog* owner) {
    auto t = templateOf(template_, module_, templateId_);
    if (!t) return false;
    Toolkit* tk = Toolkit::instance();
    if (!tk) return false;
    const HWND ownerHwnd = hwndOf(owner);
    return tk->call([&]() -> bool {
        if (window_ && window_->isOpen) return true;
        auto w = openWindow(*this, std::move(*t), module_, false, ownerHwnd);
        if (!w) return false;
        if (w->ended) {
            closeWindow(*this, w);
            return false;
        }
        return true;
    });
}

void Dialog::destroy() {
    Toolkit* tk = Toolkit::instance();
    if (!tk) return;
    tk->call([this, tk] {
        auto w = window_;
        if (!w) return;
        if (w->modal) {
            if (!w->ended) {
                w->ended = true;
                w->result = IDCANCEL;
            }
            tk->backend().wake();
            return;
        }
        w->ended = true;
        closeWindow(*this, w);
    });
}

void Dialog::endDialog(INT_PTR result) {
    Toolkit* tk = Toolkit::instance();
    if (!tk) return;
    tk->call([&] {
        auto w = window_;
        if (!w || !w->isOpen || w->ended) return;
        w->ended = true;
        w->result = result;
        if (!w->modal) {
            closeWindow(*this, w);
            return;
        }
        tk->changed();
        tk->backend().wake();
    });
}

bool Dialog::isOpen() const {
    return onWindow(false, [](Window& w) { return !w.ended; });
}

HWND Dialog::hwnd() const {
    return onWindow(static_cast<HWND>(nullptr), [](Window& w) { return w.hwnd; });
}

// ---- default handlers ---------------------------------------------------------------------

BOOL Dialog::onInitDialog() { return TRUE; }

void Dialog::onCommand(int id, int) {
    if (id == IDOK || id == IDCANCEL) endDialog(id);
}

void Dialog::onNotify(int, const ListViewNotify&) {}
void Dialog::onTimer(UINT_PTR) {}
void Dialog::onClose() { onCommand(IDCANCEL, BN_CLICKED); }
void Dialog::onHelp() {}
void Dialog::onAbout() {}

}  // namespace ui
