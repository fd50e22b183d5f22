#include "window.h"

#include <atomic>

#include "access.h"
#include "answers.h"
#include "resources.h"
#include "toolkit.h"
#include "window_registry.h"

namespace ui::detail {

namespace {

std::atomic<uint64_t> g_nextSerial{1};

// Windows' base units for a dialog font when no real font is measured: 6 x 13 pixels for the
// usual 8-point dialog font, in proportion for other sizes.
BaseUnits nominalUnits(const DialogTemplate& t) {
    const int points = t.hasFont && t.pointSize > 0 ? t.pointSize : 8;
    return BaseUnits{(points * 3 + 2) / 4, (points * 13 + 4) / 8};
}

}  // namespace

Window::Window(Dialog& d, DialogTemplate t, HMODULE m, bool isModal, HWND ownerWindow)
    : dialog(&d), tmpl(std::move(t)), module(m), modal(isModal), owner(ownerWindow), serial(g_nextSerial++) {
    title = tmpl.title;
    units = nominalUnits(tmpl);
    controls.reserve(tmpl.items.size());
    for (const DialogItem& item : tmpl.items) {
        Control c = makeControl(item, tmpl.extended);
        if (c.kind == Kind::Icon && (item.style & SS_TYPEMASK) == SS_ICON) {
            const std::string name = item.textOrdinal ? "#" + std::to_string(*item.textOrdinal) : item.text;
            if (!name.empty()) {
                if (auto ico = loadIconFile(module, name)) c.image = std::move(*ico);
            }
        }
        controls.push_back(std::move(c));
    }
}

Window::~Window() = default;

void Window::open() {
    Toolkit& tk = Toolkit::current();
    if (tk.backend().hasWindows()) {
        view = tk.backend().createView(*this);
        if (view) units = view->baseUnits();
    }
    std::weak_ptr<Window> weak = weak_from_this();
    hwnd = WindowRegistry::instance().add(title, [weak](WindowRequest request) {
        auto w = weak.lock();
        if (!w || !w->isOpen) return;
        if (request == WindowRequest::Close)
            w->userClosed();
        else
            w->raise(request == WindowRequest::Restore);
    });
    isOpen = true;
    tk.opened(*this);
}

void Window::close() {
    if (!isOpen) return;
    isOpen = false;
    for (const auto& [id, timer] : timers_) Toolkit::current().backend().stopTimer(timer);
    timers_.clear();
    WindowRegistry::instance().remove(hwnd);
    view.reset();
    Toolkit::current().closed(*this);
}

Control* Window::find(int id) {
    for (Control& c : controls)
        if (c.id == id) return &c;
    return nullptr;
}

const Control* Window::find(int id) const {
    for (const Control& c : controls)
        if (c.id == id) return &c;
    return nullptr;
}

int Window::pxX(int du) const { return (du * units.x) / 4; }
int Window::pxY(int du) const { return (du * units.y) / 8; }

void Window::changed(const Control& c) {
    if (view) view->sync(c);
    Toolkit::current().changed();
}

void Window::changedWindow() { Toolkit::current().changed(); }

// Handlers may end or destroy the dialog, or the dialog object may go away meanwhile: the
// window stays alive for the call, and a dialog object that is gone gets no more calls.
template <class F>
void Window::dispatch(F&& f) {
    std::shared_ptr<Window> keep = shared_from_this();
    if (!isOpen || !dialog) return;
    f(*dialog);
    // Whatever a handler changed, those waiting on the interface look again.
    Toolkit::current().changed();
}

void Window::command(int id, int code) {
    dispatch([&](Dialog& d) { Access::command(d, id, code); });
}

void Window::notify(int id, const ListViewNotify& n) {
    dispatch([&](Dialog& d) { Access::notify(d, id, n); });
}

void Window::raise(bool restore) {
    if (!isOpen) return;
    if (view) {
        view->raise(restore);
    } else {
        reportLine(title + (restore ? ": restored" : ": brought to the front"));
    }
}

void Window::userClosed() {
    dispatch([](Dialog& d) { Access::close(d); });
}

void Window::userHelp() {
    if (!hasHelp) return;
    dispatch([](Dialog& d) { Access::help(d); });
}

void Window::userAbout() {
    if (!hasAbout) return;
    dispatch([](Dialog& d) { Access::about(d); });
}

bool Window::setTimer(UINT_PTR timerId, UINT elapseMs) {
    if (!isOpen) return false;
    killTimer(timerId);
    // The period runs on the lab clock, as every wait of the system does; it is never shorter
    // than a millisecond of real time, so that a fast lab clock cannot flood the interface.
    const UINT labMs = elapseMs < USER_TIMER_MINIMUM ? USER_TIMER_MINIMUM : elapseMs;
    auto real = labDuration(labMs);
    if (real < std::chrono::milliseconds(1)) real = std::chrono::milliseconds(1);
    std::weak_ptr<Window> weak = weak_from_this();
    timers_[timerId] = Toolkit::current().backend().startTimer(real, [weak, timerId] {
        auto w = weak.lock();
        if (!w || !w->isOpen || !w->timers_.count(timerId)) return;
        w->dispatch([timerId](Dialog& d) { Access::timer(d, timerId); });
    });
    return true;
}

bool Window::killTimer(UINT_PTR timerId) {
    auto it = timers_.find(timerId);
    if (it == timers_.end()) return false;
    Toolkit::current().backend().stopTimer(it->second);
    timers_.erase(it);
    return true;
}

}  // namespace ui::detail
