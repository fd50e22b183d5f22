// Acting as the operator from another thread, and waiting for the interface.
#include <ui/driver.h>

#include <future>

#include "access.h"
#include "toolkit.h"
#include "user_actions.h"

namespace ui {

using detail::Access;
using detail::Act;
using detail::Toolkit;
using detail::Window;

const char* backendName() {
    if (Toolkit* tk = Toolkit::instance()) return tk->backend().name();
    return detail::chosenBackendName();
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds cap) {
    const auto deadline = std::chrono::steady_clock::now() + cap;
    Toolkit* tk = Toolkit::instance();
    if (!tk) return condition();
    for (;;) {
        const uint64_t seen = tk->generation();
        if (condition()) return true;
        if (!tk->waitForChange(seen, deadline)) return condition();
    }
}

Dialog* topModalDialog() {
    Toolkit* tk = Toolkit::existing();
    if (!tk) return nullptr;
    return tk->call([tk]() -> Dialog* {
        Window* top = tk->topModal();
        return top && !top->ended ? top->dialog : nullptr;
    });
}

bool saveScreenshot(const Dialog& dialog, const std::string& path) {
    Toolkit* tk = Toolkit::existing();
    if (!tk) return false;
    return tk->call([&] {
        auto w = Access::window(dialog);
        return w && w->isOpen && w->view && w->view->screenshot(path);
    });
}

namespace user {

namespace {

using Prepare = std::function<std::string(Window&, Act*)>;

// Checks on the interface thread, answers the caller, then acts: the caller does not wait for
// the handlers, which may open a modal dialog of their own.
Outcome perform(Dialog& dialog, Prepare prepare) {
    Toolkit* tk = Toolkit::existing();
    if (!tk) return {false, "the dialog is not open"};
    auto step = [&dialog, prepare](const std::function<void(Outcome)>& answer) {
        auto w = Access::window(dialog);
        if (!w || !w->isOpen || w->ended) return answer({false, "the dialog is not open"});
        Act act;
        std::string why = prepare(*w, &act);
        if (!why.empty()) return answer({false, why});
        answer({true, {}});
        act();
    };
    if (tk->onInterfaceThread()) {
        Outcome result;
        step([&](Outcome o) { result = std::move(o); });
        return result;
    }
    auto promise = std::make_shared<std::promise<Outcome>>();
    auto future = promise->get_future();
    if (!tk->post([step, promise] { step([&](Outcome o) { promise->set_value(std::move(o)); }); }))
        return {false, "the interface has stopped"};
    try {
        return future.get();
    } catch (const std::future_error&) {
        return {false, "the interface has stopped"};
    }
}

}  // namespace

Outcome click(Dialog& d, int id) {
    return perform(d, [id](Window& w, Act* a) { return detail::prepareClick(w, id, a); });
}

Outcome setChecked(Dialog& d, int id, bool checked) {
    return perform(d, [id, checked](Window& w, Act* a) { return detail::prepareSetChecked(w, id, checked, a); });
}

Outcome select(Dialog& d, int id, int index) {
    return perform(d, [id, index](Window& w, Act* a) { return detail::prepareSelect(w, id, index, a); });
}

Outcome checkRow(Dialog& d, int id, int row, bool checked) {
    return perform(d, [=](Window& w, Act* a) { return detail::prepareCheckRow(w, id, row, checked, a); });
}

Outcome type(Dialog& d, int id, const std::string& text) {
    return perform(d, [id, text](Window& w, Act* a) { return detail::prepareType(w, id, text, a); });
}

Outcome pressEnter(Dialog& d) {
    return perform(d, [](Window& w, Act* a) { return detail::prepareEnter(w, a); });
}

Outcome close(Dialog& d) {
    return perform(d, [](Window& w, Act* a) { return detail::prepareClose(w, a); });
}

Outcome pressF1(Dialog& d) {
    return perform(d, [](Window& w, Act* a) { return detail::prepareHelp(w, a); });
}

Outcome chooseAbout(Dialog& d) {
    return perform(d, [](Window& w, Act* a) { return detail::prepareAbout(w, a); });
}

}  // namespace user

namespace headless {

void setAutoClose(bool on) { Toolkit::setAutoClose(on); }

}  // namespace headless
}  // namespace ui
