// What a backend gives the toolkit: the interface thread's event loop (tasks, nested loops,
// timers), and, for a backend with real windows, a view per dialog and its own message and file
// boxes.
#pragma once
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <ui/dialog.h>
#include <ui/file_dialog.h>

#include "control.h"

namespace ui::detail {

class Window;

// Pixels per four horizontal and eight vertical dialog units come from these, as on Windows.
struct BaseUnits {
    int x = 6;
    int y = 13;
};

// The windows of one open dialog. Every call is made on the interface thread.
class View {
public:
    virtual ~View() = default;
    virtual BaseUnits baseUnits() const = 0;
    // Shows the window and paints it before returning.
    virtual void show() = 0;
    // Brings a control's widget in line with its state.
    virtual void sync(const Control& control) = 0;
    virtual void syncTitle(const std::string& title) = 0;
    virtual void syncFocus(int id) = 0;
    virtual void syncMenu() = 0;  // the help and About items changed
    virtual void setIcon(const std::vector<uint8_t>& icoFile) = 0;
    virtual void raise(bool restore) = 0;
    virtual void move(int x, int y, int cx, int cy, bool topmost) = 0;
    virtual void bringToTop() = 0;
    virtual Size clientSize() const = 0;
    virtual int clientWidth(const Control& control) const = 0;
    virtual bool screenshot(const std::string& path) = 0;
    // Acting on the widgets themselves, so that their own signals carry the action as they
    // would a person's; false leaves it to the toolkit.
    virtual bool clickWidget(int id) = 0;
    virtual bool typeIntoWidget(int id, const std::string& text) = 0;
};

class Backend {
public:
    virtual ~Backend() = default;
    virtual const char* name() const = 0;
    virtual bool hasWindows() const = 0;

    // On the interface thread: set up, then serve tasks and timers for the rest of the
    // process's life (at exit the thread is parked inside a task, see Toolkit::shutdown).
    virtual void start() = 0;
    virtual void runMain() = 0;
    // On the interface thread, at process exit, before it stops for good: let go of what the
    // process's exit would otherwise tear down from another thread.
    virtual void park() {}
    // Runs `task` on the interface thread, after the tasks posted before it; false once the
    // loop has stopped. Any thread.
    virtual bool post(std::function<void()> task) = 0;
    // On the interface thread: a nested loop that serves tasks and timers until `done` holds.
    // `done` is looked at after every task and timer and after wake().
    virtual void runUntil(const std::function<bool()>& done) = 0;
    virtual void wake() = 0;
    // On the interface thread: `tick` every `period` of real time until stopped.
    virtual int startTimer(std::chrono::nanoseconds period, std::function<void()> tick) = 0;
    virtual void stopTimer(int timer) = 0;

    // On the interface thread; only a backend with windows is asked.
    virtual std::unique_ptr<View> createView(Window& window) = 0;
    virtual int messageBox(HWND owner, const std::string& text, const std::string& caption, UINT type) = 0;
    // The chosen path as the system names it (a Linux path), or nullopt when cancelled.
    virtual std::optional<std::string> fileDialog(const FileDialogRequest& request, const std::string& hostDir) = 0;
};

std::unique_ptr<Backend> makeHeadlessBackend();
#if ZELFIN_UI_HAVE_QT
std::unique_ptr<Backend> makeQtBackend();
#endif

}  // namespace ui::detail
