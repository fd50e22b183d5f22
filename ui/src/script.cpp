#include "script.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <sstream>

#include <ui/driver.h>

#include "answers.h"
#include "toolkit.h"
#include "user_actions.h"

namespace ui::detail {

namespace {

using Op = ScriptLine::Op;

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

}  // namespace

std::chrono::seconds ScriptRunner::timeCap() {
    const char* env = std::getenv("ZELFIN_UI_SCRIPT_TIMEOUT");
    if (env && *env) {
        char* end = nullptr;
        const long v = std::strtol(env, &end, 10);
        if (end && *end == '\0' && v > 0) return std::chrono::seconds(v);
    }
    return std::chrono::seconds(120);
}

std::unique_ptr<ScriptRunner> ScriptRunner::fromEnvironment(Toolkit& toolkit) {
    const char* path = std::getenv("ZELFIN_UI_SCRIPT");
    if (!path || !*path) return nullptr;
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    std::string error;
    std::optional<std::vector<ScriptLine>> lines;
    if (!in)
        error = "cannot be read";
    else
        lines = parseScript(content.str(), &error);
    if (!lines) {
        reportLine(std::string("zelfin-ui script ") + path + ": " + error);
        std::fflush(nullptr);
        ::_exit(3);
    }
    return std::make_unique<ScriptRunner>(toolkit, path, std::move(*lines));
}

ScriptRunner::ScriptRunner(Toolkit& toolkit, std::string path, std::vector<ScriptLine> lines)
    : tk_(toolkit), path_(std::move(path)), lines_(std::move(lines)), cap_(timeCap()) {
    thread_ = std::thread([this] { run(); });
}

ScriptRunner::~ScriptRunner() {
    if (thread_.joinable()) thread_.detach();
}

void ScriptRunner::run() {
    for (; next_ < lines_.size(); ++next_) {
        if (!play(lines_[next_], false)) return;  // the process is ending: finishAtExit takes over
    }
    tk_.scriptFinished();
}

void ScriptRunner::finishAtExit() {
    exiting_ = true;
    if (thread_.joinable()) thread_.join();
    // What is left must be done already (a wait-closed whose dialog has gone, say): nothing
    // will happen any more.
    for (; next_ < lines_.size(); ++next_) play(lines_[next_], true);
}

// Plays one line until it is done; false when the process began to end meanwhile. At exit
// (`exiting`) it is tried once.
bool ScriptRunner::play(const ScriptLine& line, bool exiting) {
    const auto deadline = std::chrono::steady_clock::now() + (exiting ? std::chrono::seconds(5) : cap_);
    for (;;) {
        const uint64_t seen = tk_.generation();
        const Step step = attempt(line, deadline);
        if (step.state == State::Done) return true;
        if (step.state == State::Failed) fail(line, step.message);
        if (exiting || exiting_ || tk_.stopping()) {
            if (!exiting) return false;
            fail(line, "the program ended first (" + step.message + ")");
        }
        if (!tk_.waitForChange(seen, deadline))
            fail(line, "nothing happened within " + std::to_string(cap_.count()) + " s (waiting for " + step.message +
                           ")");
    }
}

ScriptRunner::Step ScriptRunner::attempt(const ScriptLine& line, std::chrono::steady_clock::time_point deadline) {
    switch (line.op) {
        case Op::File: headless::queueFileAnswer(line.text); return {State::Done, {}};
        case Op::FileCancel: headless::queueFileAnswer(std::nullopt); return {State::Done, {}};
        default: break;
    }
    auto promise = std::make_shared<std::promise<Step>>();
    auto future = promise->get_future();
    const bool posted = tk_.post([this, &line, promise] {
        attemptOnInterface(line, [&](Step s) { promise->set_value(std::move(s)); });
    });
    if (!posted) return {State::NotYet, "the interface, which has stopped"};
    if (future.wait_until(deadline) != std::future_status::ready)
        fail(line, "the interface did not answer within " + std::to_string(cap_.count()) + " s");
    try {
        return future.get();
    } catch (const std::future_error&) {
        return {State::NotYet, "the interface, which has stopped"};
    }
}

// On the interface thread: answers how the line went, then acts (the handlers run after the
// answer, so that a modal dialog they open does not hold up the script).
ScriptRunner::Step ScriptRunner::attemptOnInterface(const ScriptLine& line, const std::function<void(Step)>& answer) {
    const std::string id = std::to_string(line.id);
    Window* top = tk_.topModal();
    if (line.op == Op::WaitClosed) {
        const uint64_t target = lastTarget_ ? lastTarget_ : (top ? top->serial : 0);
        Step s{State::NotYet, "a dialog to close"};
        if (target) {
            lastTarget_ = target;
            if (!tk_.isOpen(target)) s = {State::Done, {}};
        }
        answer(s);
        return s;
    }
    if (!top) {
        Step s{State::NotYet, "a modal dialog to work on"};
        answer(s);
        return s;
    }
    lastTarget_ = top->serial;
    Window& w = *top;
    Act act;
    std::string why;
    Step s{State::Done, {}};
    switch (line.op) {
        case Op::Click: why = prepareClick(w, line.id, &act); break;
        case Op::Check: why = prepareSetChecked(w, line.id, true, &act); break;
        case Op::Uncheck: why = prepareSetChecked(w, line.id, false, &act); break;
        case Op::CheckRow: why = prepareCheckRow(w, line.id, line.row, true, &act); break;
        case Op::UncheckRow: why = prepareCheckRow(w, line.id, line.row, false, &act); break;
        case Op::Select: why = prepareSelect(w, line.id, line.row, &act); break;
        case Op::Text: why = prepareType(w, line.id, line.text, &act); break;
        case Op::Enter: why = prepareEnter(w, &act); break;
        case Op::Close: why = prepareClose(w, &act); break;
        case Op::Help: why = prepareHelp(w, &act); break;
        case Op::About: why = prepareAbout(w, &act); break;
        case Op::WaitEnabled:
        case Op::WaitDisabled: {
            const Control* c = w.find(line.id);
            if (!c) {
                why = "the dialog has no control " + id;
                break;
            }
            const bool want = line.op == Op::WaitEnabled;
            if ((c->enabled && c->visible) != want)
                s = {State::NotYet, "control " + id + (want ? " to be enabled" : " to be disabled")};
            break;
        }
        case Op::WaitText:
        case Op::ExpectText: {
            if (!w.find(line.id)) {
                why = "the dialog has no control " + id;
                break;
            }
            const std::string shown = shownText(w, line.id);
            if (shown == line.text) break;
            if (line.op == Op::ExpectText)
                why = "control " + id + " shows " + quoted(shown) + ", not " + quoted(line.text);
            else
                s = {State::NotYet, "control " + id + " to show " + quoted(line.text) + " (it shows " + quoted(shown) + ")"};
            break;
        }
        case Op::WaitPos: {
            // A bar that moves on by itself (a timer, a worker) passes each position once per
            // turn; a wait that misses one is answered on a later turn.
            const Control* c = w.find(line.id);
            if (!c || c->kind != Kind::Progress) {
                why = "the dialog has no progress bar " + id;
                break;
            }
            if (c->pos != line.row)
                s = {State::NotYet, "progress bar " + id + " to stand at " + std::to_string(line.row) + " (it stands at " +
                                        std::to_string(c->pos) + ")"};
            break;
        }
        case Op::ExpectItem: {
            const Control* c = w.find(line.id);
            if (!c || c->kind != Kind::ListView) {
                why = "the dialog has no list view " + id;
                break;
            }
            if (line.row < 0 || line.row >= static_cast<int>(c->rows.size())) {
                why = "list " + id + " has " + std::to_string(c->rows.size()) + " rows, no row " + std::to_string(line.row);
                break;
            }
            const auto& cells = c->rows[line.row].cells;
            const std::string cell = line.column >= 0 && line.column < static_cast<int>(cells.size()) ? cells[line.column] : "";
            if (cell != line.text) why = "the cell holds " + quoted(cell) + ", not " + quoted(line.text);
            break;
        }
        case Op::WaitClosed:
        case Op::File:
        case Op::FileCancel: break;
    }
    if (!why.empty()) s = {State::Failed, why + " (in \"" + w.title + "\")"};
    answer(s);
    if (s.state == State::Done && act) act();
    return s;
}

void ScriptRunner::fail(const ScriptLine& line, const std::string& why) {
    reportLine("zelfin-ui script " + path_ + ":" + std::to_string(line.number) + ": " + quoted(line.source) + ": " + why);
    std::fflush(nullptr);
    ::_exit(3);
}

}  // namespace ui::detail
