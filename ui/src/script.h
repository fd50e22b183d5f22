// The runner of ZELFIN_UI_SCRIPT: plays the script's lines (script_parse.h) against the modal
// dialog on top, on a thread of its own. A line that cannot be done, an expectation that fails,
// a wait that does not end within the time cap, or a program that ends before the script does
// prints one line to standard error and ends the process with exit code 3.
#pragma once
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "script_parse.h"

namespace ui::detail {

class Toolkit;

class ScriptRunner {
public:
    // The runner of the script ZELFIN_UI_SCRIPT names, started; nullptr without one.
    static std::unique_ptr<ScriptRunner> fromEnvironment(Toolkit& toolkit);
    // How long a line may wait: ZELFIN_UI_SCRIPT_TIMEOUT seconds, 120 by default.
    static std::chrono::seconds timeCap();

    ScriptRunner(Toolkit& toolkit, std::string path, std::vector<ScriptLine> lines);
    ~ScriptRunner();
    // The process is ending: the lines not yet done are looked at once more; any that cannot
    // be done now fails the script.
    void finishAtExit();

private:
    enum class State { Done, NotYet, Failed };
    struct Step {
        State state = State::NotYet;
        std::string message;  // what a NotYet waits for, why a Failed failed
    };

    void run();
    bool play(const ScriptLine& line, bool exiting);
    Step attempt(const ScriptLine& line, std::chrono::steady_clock::time_point deadline);
    Step attemptOnInterface(const ScriptLine& line, const std::function<void(Step)>& answer);
    [[noreturn]] void fail(const ScriptLine& line, const std::string& why);

    Toolkit& tk_;
    const std::string path_;
    const std::vector<ScriptLine> lines_;
    const std::chrono::seconds cap_;
    std::atomic<bool> exiting_{false};
    size_t next_ = 0;  // the line being played (the runner thread's, then finishAtExit's)
    uint64_t lastTarget_ = 0;  // interface thread only: serial of the dialog last worked on
    std::thread thread_;
};

}  // namespace ui::detail
