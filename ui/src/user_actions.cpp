#include "user_actions.h"

namespace ui::detail {

namespace {

// Why a person could not work this control now; empty when he could.
std::string unusable(const Window& w, int id, std::initializer_list<Kind> kinds) {
    const Control* c = w.find(id);
    if (!c) return "the dialog has no control " + std::to_string(id);
    bool fits = false;
    for (Kind k : kinds) fits = fits || c->kind == k;
    if (!fits) return "control " + std::to_string(id) + " is a " + kindName(c->kind);
    if (!c->visible) return "control " + std::to_string(id) + " is hidden";
    if (!c->enabled) return "control " + std::to_string(id) + " is disabled";
    return {};
}

std::shared_ptr<Window> keep(Window& w) { return w.shared_from_this(); }

// One UTF-8 character at `i`: its byte length.
size_t charLength(const std::string& s, size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    size_t n = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 1;
    return std::min(n, s.size() - i);
}

}  // namespace

std::string prepareClick(Window& w, int id, Act* act) {
    std::string why = unusable(w, id, {Kind::PushButton, Kind::CheckBox, Kind::RadioButton, Kind::Text});
    if (!why.empty()) return why;
    if (w.find(id)->kind == Kind::Text && !(w.find(id)->item.style & SS_NOTIFY))
        return "static text " + std::to_string(id) + " does not take clicks (no SS_NOTIFY)";
    *act = [win = keep(w), id] {
        if (!win->view || !win->view->clickWidget(id)) win->userClicked(id);
    };
    return {};
}

std::string prepareSetChecked(Window& w, int id, bool checked, Act* act) {
    std::string why = unusable(w, id, {Kind::CheckBox, Kind::RadioButton});
    if (!why.empty()) return why;
    if ((w.find(id)->check == BST_CHECKED) == checked) {
        *act = [] {};
        return {};
    }
    return prepareClick(w, id, act);
}

std::string prepareSelect(Window& w, int id, int index, Act* act) {
    std::string why = unusable(w, id, {Kind::ComboBox, Kind::ListBox, Kind::ListView});
    if (!why.empty()) return why;
    const Control* c = w.find(id);
    if (c->kind == Kind::ListView) {
        if (index < 0 || index >= static_cast<int>(c->rows.size()))
            return "list " + std::to_string(id) + " has no row " + std::to_string(index);
        *act = [win = keep(w), id, index] {
            win->userSelectedRow(id, index);
            win->userClickedList(id, index, false);
        };
        return {};
    }
    if (index < 0 || index >= static_cast<int>(c->strings.size()))
        return "list " + std::to_string(id) + " has no item " + std::to_string(index);
    *act = [win = keep(w), id, index] { win->userSelected(id, index); };
    return {};
}

std::string prepareCheckRow(Window& w, int id, int row, bool checked, Act* act) {
    std::string why = unusable(w, id, {Kind::ListView});
    if (!why.empty()) return why;
    const Control* c = w.find(id);
    if (!c->hasCheckBoxes()) return "list " + std::to_string(id) + " has no check boxes";
    if (row < 0 || row >= static_cast<int>(c->rows.size()))
        return "list " + std::to_string(id) + " has no row " + std::to_string(row);
    *act = [win = keep(w), id, row, checked] { win->userCheckedRow(id, row, checked); };
    return {};
}

std::string prepareType(Window& w, int id, const std::string& text, Act* act) {
    std::string why = unusable(w, id, {Kind::Edit, Kind::ComboBox});
    if (!why.empty()) return why;
    const Control* c = w.find(id);
    if (c->kind == Kind::Edit && (c->item.style & ES_READONLY)) return "edit " + std::to_string(id) + " is read-only";
    if (c->kind == Kind::ComboBox && !c->editable) return "drop-down list " + std::to_string(id) + " takes no typing";
    *act = [win = keep(w), id, text] {
        if (win->view && win->view->typeIntoWidget(id, text)) return;
        // Each stroke lands at the end of what the field holds by then: a handler that
        // rewrites the text (or empties it) sees the next character added to its text.
        if (!win->text(id).empty()) win->userEdited(id, std::string());
        for (size_t i = 0; i < text.size() && win->isOpen;) {
            const size_t n = charLength(text, i);
            win->userEdited(id, win->text(id) + text.substr(i, n));
            i += n;
        }
    };
    return {};
}

std::string prepareEnter(Window& w, Act* act) {
    *act = [win = keep(w)] { win->userEnter(); };
    return {};
}

std::string prepareClose(Window& w, Act* act) {
    *act = [win = keep(w)] { win->userClosed(); };
    return {};
}

std::string prepareHelp(Window& w, Act* act) {
    // F1 can always be pressed; without a help item nothing happens.
    *act = [win = keep(w)] { win->userHelp(); };
    return {};
}

std::string prepareAbout(Window& w, Act* act) {
    if (!w.hasAbout) return "the dialog has no About item";
    *act = [win = keep(w)] { win->userAbout(); };
    return {};
}

std::string shownText(const Window& w, int id) { return w.text(id); }

}  // namespace ui::detail
