#include "toolkit.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "script.h"
#include "window.h"
#include "window_registry.h"

namespace ui::detail {

namespace {

std::mutex g_instanceMutex;
int g_autoClose = -1;  // -1: as the environment says; guarded by g_instanceMutex
Toolkit* g_instance = nullptr;
bool g_ended = false;

bool envSet(const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
}

// Qt when asked for, or when a display is there and nobody asked.
bool wantQt() {
    const char* want = std::getenv("ZELFIN_UI");
    if (want && std::strcmp(want, "qt") == 0) return true;
    if (want && std::strcmp(want, "headless") == 0) return false;
    return envSet("DISPLAY") || envSet("WAYLAND_DISPLAY") || envSet("QT_QPA_PLATFORM");
}

std::unique_ptr<Backend> chooseBackend() {
    const char* want = std::getenv("ZELFIN_UI");
    if (want && *want && std::strcmp(want, "qt") != 0 && std::strcmp(want, "headless") != 0)
        std::fprintf(stderr, "ZELFIN_UI=%s is neither qt nor headless; choosing by display\n", want);
#if ZELFIN_UI_HAVE_QT
    if (wantQt()) return makeQtBackend();
#else
    if (want && std::strcmp(want, "qt") == 0)
        std::fprintf(stderr, "ZELFIN_UI=qt: this build has no Qt backend; running headless\n");
#endif
    return makeHeadlessBackend();
}

}  // namespace

const char* chosenBackendName() {
#if ZELFIN_UI_HAVE_QT
    if (wantQt()) return "qt";
#endif
    return "headless";
}

Toolkit::Toolkit() : backend_(chooseBackend()) {}

Toolkit* Toolkit::instance() {
    std::lock_guard<std::mutex> lock(g_instanceMutex);
    if (g_ended) return nullptr;
    if (g_instance) return g_instance;
    auto* tk = new Toolkit();
    std::promise<void> ready;
    auto started = ready.get_future();
    tk->thread_ = std::thread(&Toolkit::threadMain, tk, &ready);
    started.wait();
    g_instance = tk;
    // Registered now, after the backend has set itself up: exit() runs this before the
    // backend's libraries tear down what they made so far.
    std::atexit(&Toolkit::shutdown);
    // The script starts once the toolkit is there, so that its actions find it.
    tk->script_ = ScriptRunner::fromEnvironment(*tk);
    if (!tk->script_ && tk->headless() && g_autoClose != 0) tk->autoCloseModal_ = true;
    return tk;
}

Toolkit& Toolkit::current() {
    std::lock_guard<std::mutex> lock(g_instanceMutex);
    return *g_instance;
}

Toolkit* Toolkit::existing() {
    std::lock_guard<std::mutex> lock(g_instanceMutex);
    return g_ended ? nullptr : g_instance;
}

void Toolkit::threadMain(std::promise<void>* ready) {
    threadId_ = std::this_thread::get_id();
    backend_->start();
    WindowRegistry::serveQueue(*this);
    ready->set_value();
    backend_->runMain();
}

void Toolkit::shutdown() {
    Toolkit* tk;
    {
        std::lock_guard<std::mutex> lock(g_instanceMutex);
        tk = g_instance;
        g_ended = true;
    }
    if (!tk) return;
    tk->stopping_ = true;
    tk->changed();
    if (!tk->onInterfaceThread() && tk->script_) tk->script_->finishAtExit();
    if (tk->onInterfaceThread()) {
        // exit() called from a handler: the loops around it cannot unwind; the process ends
        // anyway, so leave the thread and its objects to it.
        tk->thread_.detach();
        return;
    }
    // Handlers must not run on while the process tears down its libraries (a windowing
    // library's globals go first): the interface thread stops where it is and waits for the
    // process to end.
    auto parked = std::make_shared<std::promise<void>>();
    auto done = parked->get_future();
    const bool posted = tk->backend_->post([tk, parked] {
        tk->backend_->park();
        parked->set_value();
        std::mutex m;
        std::condition_variable never;
        std::unique_lock<std::mutex> lock(m);
        for (;;) never.wait(lock);
    });
    // A thread busy in a long handler is not waited for beyond a moment.
    if (posted) done.wait_for(std::chrono::seconds(2));
    tk->thread_.detach();
    // The object itself stays: a thread that still holds the pointer must not find it freed.
}

void Toolkit::changed() {
    {
        std::lock_guard<std::mutex> lock(changeMutex_);
        ++generation_;
    }
    changeCv_.notify_all();
}

uint64_t Toolkit::generation() const {
    std::lock_guard<std::mutex> lock(changeMutex_);
    return generation_;
}

bool Toolkit::waitForChange(uint64_t seen, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(changeMutex_);
    return changeCv_.wait_until(lock, deadline, [&] { return generation_ != seen || stopping_.load(); });
}

void Toolkit::opened(Window& window) {
    windows_.push_back(window.shared_from_this());
    if (window.modal) modalStack_.push_back(&window);
    changed();
}

void Toolkit::shown(Window& window) {
    window.wasShown = true;
    changed();
    if (window.modal && autoCloseModal_) autoClose(window.shared_from_this());
}

void Toolkit::closed(Window& window) {
    modalStack_.erase(std::remove(modalStack_.begin(), modalStack_.end(), &window), modalStack_.end());
    windows_.erase(std::remove_if(windows_.begin(), windows_.end(),
                                  [&](const std::shared_ptr<Window>& w) { return w.get() == &window; }),
                   windows_.end());
    changed();
    backend_->wake();
}

Window* Toolkit::topModal() const {
    for (auto it = modalStack_.rbegin(); it != modalStack_.rend(); ++it)
        if ((*it)->isOpen && !(*it)->ended) return (*it)->wasShown ? *it : nullptr;
    return nullptr;
}

bool Toolkit::isOpen(uint64_t serial) const {
    return std::any_of(windows_.begin(), windows_.end(),
                       [&](const std::shared_ptr<Window>& w) { return w->serial == serial && w->isOpen && !w->ended; });
}

std::vector<std::shared_ptr<Window>> Toolkit::openWindows() const { return windows_; }

std::shared_ptr<Window> Toolkit::windowOf(HWND hwnd) const {
    for (const auto& w : windows_)
        if (w->hwnd == hwnd) return w;
    return nullptr;
}

void Toolkit::setAutoClose(bool on) {
    Toolkit* tk;
    {
        std::lock_guard<std::mutex> lock(g_instanceMutex);
        g_autoClose = on ? 1 : 0;
        tk = g_ended ? nullptr : g_instance;
    }
    if (tk) tk->post([tk, on] { tk->autoCloseModal_ = on && tk->headless(); });
}

void Toolkit::scriptFinished() {
    post([this] {
        if (!headless()) return;
        autoCloseModal_ = true;
        if (Window* top = topModal()) autoClose(top->shared_from_this());
    });
}

// Without an operator a headless modal dialog is closed as he would close it at once. A dialog
// that stays open after its close handler (busy with a worker, say) is asked again every half
// second, until the script's time cap says the process hangs.
void Toolkit::autoClose(const std::shared_ptr<Window>& window) {
    std::weak_ptr<Window> weak = window;
    post([this, weak] {
        auto w = weak.lock();
        if (!w || !w->isOpen || w->ended) return;
        w->userClosed();
        if (!w->isOpen || w->ended) return;
        const auto giveUp = std::chrono::steady_clock::now() + ScriptRunner::timeCap();
        auto timer = std::make_shared<int>(0);
        *timer = backend_->startTimer(std::chrono::milliseconds(500), [this, weak, timer, giveUp] {
            auto again = weak.lock();
            if (!again || !again->isOpen || again->ended) {
                backend_->stopTimer(*timer);
                return;
            }
            if (std::chrono::steady_clock::now() > giveUp) {
                std::fprintf(stderr, "zelfin-ui: dialog \"%s\" does not close; giving up\n", again->title.c_str());
                std::fflush(nullptr);
                ::_exit(3);
            }
            again->userClosed();
        });
    });
}

}  // namespace ui::detail
