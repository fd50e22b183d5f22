// Runs a dialog modally on a thread of its own, as the host's start thread runs it, so that the
// test thread can act as the operator.
#pragma once
#include <chrono>
#include <future>

#include <ui/driver.h>

namespace testsupport {

// Real-time cap of every wait in the interface tests: far beyond what any step takes.
constexpr std::chrono::seconds kUiCap{20};

class ModalRun {
public:
    explicit ModalRun(ui::Dialog& dialog)
        : dialog_(dialog), result_(std::async(std::launch::async, [&dialog] { return dialog.doModal(); })) {}
    ~ModalRun() {
        // A test that failed half-way must not hang here.
        if (result_.valid() && result_.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            dialog_.endDialog(IDABORT);
            result_.wait_for(kUiCap);
        }
    }
    ModalRun(const ModalRun&) = delete;
    ModalRun& operator=(const ModalRun&) = delete;

    bool waitOpen() {
        return ui::waitUntil([&] { return dialog_.isOpen(); }, kUiCap);
    }
    // Ended and doModal returned.
    bool waitClosed() { return result_.wait_for(kUiCap) == std::future_status::ready; }
    INT_PTR result() { return waitClosed() ? result_.get() : -100; }

private:
    ui::Dialog& dialog_;
    std::future<INT_PTR> result_;
};

// The modal dialog a click opened on top of `below`, once it shows; nullptr when none came.
inline ui::Dialog* dialogOnTopOf(const ui::Dialog& below) {
    ui::Dialog* top = nullptr;
    ui::waitUntil([&] { return (top = ui::topModalDialog()) != nullptr && top != &below; }, kUiCap);
    return top != &below ? top : nullptr;
}

}  // namespace testsupport
