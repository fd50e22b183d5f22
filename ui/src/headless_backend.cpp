// The headless backend: no windows, only the interface thread's loop of tasks and timers. Its
// message and file boxes are answered without it (message_box.cpp, file_dialog.cpp).
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

#include "backend.h"

namespace ui::detail {

namespace {

using Clock = std::chrono::steady_clock;

class HeadlessBackend : public Backend {
public:
    const char* name() const override { return "headless"; }
    bool hasWindows() const override { return false; }
    void start() override {}

    void runMain() override {
        runUntil([] { return false; });
    }

    bool post(std::function<void()> task) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            tasks_.push_back(std::move(task));
        }
        cv_.notify_one();
        return true;
    }

    void runUntil(const std::function<bool()>& done) override {
        for (;;) {
            if (done()) return;
            std::function<void()> work;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                for (;;) {
                    if (woken_) {
                        woken_ = false;
                        break;
                    }
                    if (!tasks_.empty()) {
                        work = std::move(tasks_.front());
                        tasks_.pop_front();
                        break;
                    }
                    auto due = nextDue();
                    if (due != timers_.end() && due->second.next <= Clock::now()) {
                        Timer& t = due->second;
                        t.next = Clock::now() + t.period;
                        work = t.tick;  // a copy: the tick may stop its own timer
                        break;
                    }
                    if (due == timers_.end())
                        cv_.wait(lock);
                    else
                        cv_.wait_until(lock, due->second.next);
                }
            }
            if (work) work();
        }
    }

    void wake() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            woken_ = true;
        }
        cv_.notify_one();
    }

    int startTimer(std::chrono::nanoseconds period, std::function<void()> tick) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const int id = nextTimer_++;
        const auto p = std::chrono::duration_cast<Clock::duration>(period);
        timers_[id] = Timer{p, Clock::now() + p, std::move(tick)};
        return id;
    }

    void stopTimer(int timer) override {
        std::lock_guard<std::mutex> lock(mutex_);
        timers_.erase(timer);
    }

    std::unique_ptr<View> createView(Window&) override { return nullptr; }
    int messageBox(HWND, const std::string&, const std::string&, UINT) override { return 0; }
    std::optional<std::string> fileDialog(const FileDialogRequest&, const std::string&) override { return std::nullopt; }

private:
    struct Timer {
        Clock::duration period;
        Clock::time_point next;
        std::function<void()> tick;
    };

    std::map<int, Timer>::iterator nextDue() {
        auto best = timers_.end();
        for (auto it = timers_.begin(); it != timers_.end(); ++it)
            if (best == timers_.end() || it->second.next < best->second.next) best = it;
        return best;
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> tasks_;
    std::map<int, Timer> timers_;
    int nextTimer_ = 1;
    bool woken_ = false;
};

}  // namespace

std::unique_ptr<Backend> makeHeadlessBackend() { return std::make_unique<HeadlessBackend>(); }

}  // namespace ui::detail
