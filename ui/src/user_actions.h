// The operator's actions as a driver performs them, in two steps so that the driver need not wait
// for the handlers: on the interface thread, `prepare` checks that a person could do it now
// (returning why not) and hands back what does it.
#pragma once
#include <functional>
#include <string>

#include "window.h"

namespace ui::detail {

using Act = std::function<void()>;

std::string prepareClick(Window& w, int id, Act* act);
std::string prepareSetChecked(Window& w, int id, bool checked, Act* act);
std::string prepareSelect(Window& w, int id, int index, Act* act);
std::string prepareCheckRow(Window& w, int id, int row, bool checked, Act* act);
std::string prepareType(Window& w, int id, const std::string& text, Act* act);
std::string prepareEnter(Window& w, Act* act);
std::string prepareClose(Window& w, Act* act);
std::string prepareHelp(Window& w, Act* act);
std::string prepareAbout(Window& w, Act* act);

// The text a control shows, as a script compares it: its text, a drop-down list's chosen item.
std::string shownText(const Window& w, int id);

}  // namespace ui::detail
