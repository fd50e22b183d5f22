// The toolkit's way into a Dialog's private parts (its window, its handlers).
#pragma once
#include <memory>

#include <ui/dialog.h>

#include "window.h"

namespace ui::detail {

struct Access {
    static std::shared_ptr<Window> window(const Dialog& d) { return d.window_; }
    static void setWindow(Dialog& d, std::shared_ptr<Window> w) { d.window_ = std::move(w); }
    static BOOL init(Dialog& d) { return d.onInitDialog(); }
    static void command(Dialog& d, int id, int code) { d.onCommand(id, code); }
    static void notify(Dialog& d, int id, const ListViewNotify& n) { d.onNotify(id, n); }
    static void timer(Dialog& d, UINT_PTR id) { d.onTimer(id); }
    static void close(Dialog& d) { d.onClose(); }
    static void help(Dialog& d) { d.onHelp(); }
    static void about(Dialog& d) { d.onAbout(); }
};

}  // namespace ui::detail
