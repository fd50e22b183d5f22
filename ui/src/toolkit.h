// The toolkit of a process: its backend, its interface thread, its open dialogs and the
// notification that lets waiting threads see the interface change.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

#include "backend.h"

namespace ui::detail {

class Window;
class ScriptRunner;

// The backend the environment chooses, without starting anything.
const char* chosenBackendName();

class Toolkit {
public:
    // The toolkit, started on first use; nullptr once the process is ending.
    static Toolkit* instance();
    // The toolkit when it has been started and is not ending; never starts it.
    static Toolkit* existing();
    // The toolkit, for code on its interface thread (which only runs once it is there, and
    // keeps it even while the process ends).
    static Toolkit& current();
    // Stops the interface thread and the script runner; run at process exit.
    static void shutdown();

    Backend& backend() { return *backend_; }
    bool headless() const { return !backend_->hasWindows(); }
    bool onInterfaceThread() const { return std::this_thread::get_id() == threadId_; }
    bool stopping() const { return stopping_.load(); }

    bool post(std::function<void()> task) { return backend_->post(std::move(task)); }

    // Runs `f` on the interface thread and waits for its result; at once when already there.
    // Once the interface thread has stopped it returns a default value.
    template <class F>
    auto call(F&& f) -> std::invoke_result_t<F&>;

    // ---- change notification (any thread) -----------------------------------------------
    void changed();
    uint64_t generation() const;
    // Waits until the generation moves past `seen`; false when `deadline` passes first.
    bool waitForChange(uint64_t seen, std::chrono::steady_clock::time_point deadline);

    // ---- dialogs (interface thread) -----------------------------------------------------
    void opened(Window& window);
    void shown(Window& window);  // after onInitDialog; a modal dialog is now on top
    void closed(Window& window);
    Window* topModal() const;  // the modal dialog on top that has been shown
    bool isOpen(uint64_t serial) const;
    std::vector<std::shared_ptr<Window>> openWindows() const;
    std::shared_ptr<Window> windowOf(HWND hwnd) const;

    // The script runner tells when its script is used up: from then on a headless modal
    // dialog closes as if the operator closed it at once.
    void scriptFinished();
    static void setAutoClose(bool on);

private:
    Toolkit();
    void threadMain(std::promise<void>* ready);
    void autoClose(const std::shared_ptr<Window>& window);

    std::unique_ptr<Backend> backend_;
    std::thread thread_;
    std::thread::id threadId_;
    std::atomic<bool> stopping_{false};

    mutable std::mutex changeMutex_;
    std::condition_variable changeCv_;
    uint64_t generation_ = 0;

    // interface thread only
    std::vector<std::shared_ptr<Window>> windows_;
    std::vector<Window*> modalStack_;
    bool autoCloseModal_ = false;

    std::unique_ptr<ScriptRunner> script_;
};

template <class F>
auto Toolkit::call(F&& f) -> std::invoke_result_t<F&> {
    using R = std::invoke_result_t<F&>;
    if (onInterfaceThread()) return f();
    auto promise = std::make_shared<std::promise<R>>();
    std::future<R> future = promise->get_future();
    // The task holds `f` by reference: this call waits until the task has run or has been
    // dropped unrun (the promise then breaks).
    const bool posted = post([promise, &f]() mutable {
        if constexpr (std::is_void_v<R>) {
            f();
            promise->set_value();
        } else {
            promise->set_value(f());
        }
    });
    promise.reset();
    if (!posted) return R();
    try {
        return future.get();
    } catch (const std::future_error&) {
        return R();
    }
}

}  // namespace ui::detail
