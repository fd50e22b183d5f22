// What the operator does to an open dialog, from widgets or from a driver: the state changes a
// control makes on its own (auto check boxes, radio groups, the picked item) and the
// notifications that tell the dialog.
#include "toolkit.h"
#include "window.h"

namespace ui::detail {

namespace {

// The radio buttons grouped with `index`: from the control that starts its group (WS_GROUP)
// up to the next one that starts another.
std::pair<size_t, size_t> groupAround(const std::vector<Control>& controls, size_t index) {
    size_t first = index;
    while (first > 0 && !(controls[first].item.style & WS_GROUP)) --first;
    size_t last = index + 1;
    while (last < controls.size() && !(controls[last].item.style & WS_GROUP)) ++last;
    return {first, last};
}

}  // namespace

void Window::userClicked(int id) {
    Control* c = find(id);
    if (!c) return;
    if (c->autoCheck && c->kind == Kind::CheckBox) {
        c->check = c->threeState ? (c->check + 1) % 3 : (c->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED);
        changed(*c);
    } else if (c->autoCheck && c->kind == Kind::RadioButton) {
        const size_t index = static_cast<size_t>(c - controls.data());
        const auto [first, last] = groupAround(controls, index);
        for (size_t i = first; i < last; ++i) {
            Control& other = controls[i];
            if (other.kind != Kind::RadioButton || !other.autoCheck) continue;
            const UINT want = i == index ? BST_CHECKED : BST_UNCHECKED;
            if (other.check != want) {
                other.check = want;
                changed(other);
            }
        }
    } else if (c->kind == Kind::Text) {
        if (c->item.style & SS_NOTIFY) command(id, STN_CLICKED);
        return;
    } else if (c->kind != Kind::PushButton && c->kind != Kind::CheckBox && c->kind != Kind::RadioButton) {
        return;
    }
    command(id, BN_CLICKED);
}

void Window::userEnter() {
    auto usable = [](const Control* c) { return c && c->kind == Kind::PushButton && c->enabled && c->visible; };
    const Control* target = usable(find(focusId)) ? find(focusId) : nullptr;
    for (const Control& c : controls)
        if (!target && c.isDefault && usable(&c)) target = &c;
    if (!target) {
        command(IDOK, BN_CLICKED);
        return;
    }
    const int id = target->id;
    if (!view || !view->clickWidget(id)) userClicked(id);
}

void Window::userSelected(int id, int index) {
    Control* c = find(id);
    if (!c || (c->kind != Kind::ComboBox && c->kind != Kind::ListBox)) return;
    if (index < 0 || index >= static_cast<int>(c->strings.size())) return;
    const bool moved = c->curSel != index;
    c->curSel = index;
    if (c->kind == Kind::ComboBox) c->text = c->strings[index];
    changed(*c);
    if (moved) command(id, CBN_SELCHANGE);
}

void Window::userEdited(int id, const std::string& text) {
    Control* c = find(id);
    if (!c || (c->kind != Kind::Edit && c->kind != Kind::ComboBox)) return;
    if (c->text == text) return;
    c->text = text;
    changed(*c);
    if (c->kind == Kind::Edit) command(id, EN_CHANGE);
}

void Window::userSelectedRow(int id, int row) {
    Control* c = find(id);
    if (!c || c->kind != Kind::ListView) return;
    listSelect(id, row);
}

void Window::userSelectedRows(int id, const std::vector<int>& rows, int focus) {
    Control* c = find(id);
    if (!c || c->kind != Kind::ListView) return;
    listSelectRows(id, rows, focus);
}

void Window::userCheckedRow(int id, int row, bool checked) {
    Control* c = find(id);
    if (!c || c->kind != Kind::ListView || !c->hasCheckBoxes()) return;
    listSetCheck(id, row, checked);
}

void Window::userClickedList(int id, int row, bool twice) {
    ListViewNotify n;
    n.code = twice ? NM_DBLCLK : NM_CLICK;
    n.item = row;
    notify(id, n);
}

}  // namespace ui::detail
