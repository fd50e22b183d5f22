// How a Dialog's operations reach its window: on the interface thread, with a fallback result
// when the dialog is not open (or the toolkit was never started, so nothing can be open).
#pragma once
#include <ui/dialog.h>

#include "toolkit.h"
#include "window.h"

namespace ui {

template <class R, class F>
R Dialog::onWindow(R fallback, F&& f) const {
    detail::Toolkit* tk = detail::Toolkit::existing();
    if (!tk) return fallback;
    return tk->call([&]() -> R {
        const std::shared_ptr<detail::Window> w = window_;
        if (!w || !w->isOpen) return fallback;
        return f(*w);
    });
}

}  // namespace ui
