// The dialog the toolkit's tests drive (test_dialog.rc), written as a host dialog would be, and
// the helpers that run it as the host's start thread would.
#pragma once
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <ui/ui.h>

#include "modal_run.h"
#include "test_dialog_ids.h"

namespace uitest {

constexpr auto kCap = testsupport::kUiCap;

class TestDialog : public ui::Dialog {
public:
    TestDialog();
    ~TestDialog() override;

    // What the handlers saw, one line each: "command ID CODE", "notify ID CODE ITEM OLD NEW"
    // (states in hex), "timer ID", "close", "help", "about".
    std::vector<std::string> events() const;
    size_t countEvents(const std::string& prefix) const;
    void clearEvents();
    std::thread::id handlerThread() const { return handlerThread_.load(); }

    bool withMenu = true;              // add the help and About items
    int workerSteps = 20;              // Start: progress steps of the worker
    DWORD stepMs = 50;                 // lab time per step
    std::function<void(TestDialog&)> onBrowse;  // what Browse does

protected:
    BOOL onInitDialog() override;
    void onCommand(int id, int code) override;
    void onNotify(int id, const ui::ListViewNotify& n) override;
    void onTimer(UINT_PTR timerId) override;
    void onClose() override;
    void onHelp() override;
    void onAbout() override;

private:
    void record(const std::string& event);
    void work();

    mutable std::mutex mutex_;
    std::vector<std::string> events_;
    std::atomic<std::thread::id> handlerThread_{};
    std::thread worker_;
};

using ModalRun = testsupport::ModalRun;

}  // namespace uitest
