// The program's operations on an open dialog's controls, with the results and notifications the
// Win32 controls give.
#include <algorithm>

#include "toolkit.h"
#include "window.h"
#include "window_registry.h"

namespace ui::detail {

namespace {

bool isList(const Control& c) { return c.kind == Kind::ComboBox || c.kind == Kind::ListBox; }

ListViewNotify itemChanged(int item, UINT oldState, UINT newState) {
    ListViewNotify n;
    n.code = LVN_ITEMCHANGED;
    n.item = item;
    n.oldState = oldState;
    n.newState = newState;
    n.changed = LVIF_STATE;
    return n;
}

}  // namespace

void Window::setTitle(const std::string& text) {
    title = text;
    WindowRegistry::instance().setTitle(hwnd, text);
    if (view) view->syncTitle(text);
    changedWindow();
}

bool Window::setText(int id, const std::string& text) {
    Control* c = find(id);
    if (!c) return false;
    if (c->kind == Kind::ComboBox && !c->editable) {
        // A drop-down list shows only its items: the text selects the item that has it.
        auto it = std::find(c->strings.begin(), c->strings.end(), text);
        if (it == c->strings.end()) return false;
        c->curSel = static_cast<int>(it - c->strings.begin());
        c->text = text;
        changed(*c);
        return true;
    }
    c->text = text;
    changed(*c);
    if (c->kind == Kind::Edit) command(id, EN_CHANGE);
    return true;
}

std::string Window::text(int id) const {
    const Control* c = find(id);
    if (!c) return {};
    if (c->kind == Kind::ComboBox && !c->editable)
        return c->curSel >= 0 && c->curSel < static_cast<int>(c->strings.size()) ? c->strings[c->curSel] : "";
    return c->text;
}

bool Window::enable(int id, bool on) {
    Control* c = find(id);
    if (!c) return false;
    if (c->enabled != on) {
        c->enabled = on;
        changed(*c);
    }
    return true;
}

bool Window::show(int id, bool on) {
    Control* c = find(id);
    if (!c) return false;
    if (c->visible != on) {
        c->visible = on;
        changed(*c);
    }
    return true;
}

bool Window::setFocus(int id) {
    if (!find(id)) return false;
    focusId = id;
    if (view) view->syncFocus(id);
    changedWindow();
    return true;
}

bool Window::setLinkStyle(int id) {
    Control* c = find(id);
    if (!c || c->kind != Kind::Text) return false;
    c->link = true;
    changed(*c);
    return true;
}

bool Window::setCheck(int id, UINT state) {
    Control* c = find(id);
    if (!c || (c->kind != Kind::CheckBox && c->kind != Kind::RadioButton && c->kind != Kind::PushButton))
        return false;
    if (state == BST_INDETERMINATE && !c->threeState) state = BST_CHECKED;
    if (c->check != state) {
        c->check = state;
        changed(*c);
    }
    return true;
}

bool Window::checkRadio(int first, int last, int checkId) {
    bool any = false;
    for (Control& c : controls) {
        if (c.id < first || c.id > last) continue;
        if (c.kind != Kind::RadioButton && c.kind != Kind::CheckBox) continue;
        any = true;
        setCheck(c.id, c.id == checkId ? BST_CHECKED : BST_UNCHECKED);
    }
    return any;
}

bool Window::setBitmaps(int id, std::vector<uint8_t> up, std::vector<uint8_t> down) {
    Control* c = find(id);
    if (!c || c->kind != Kind::PushButton) return false;
    c->bitmapUp = std::move(up);
    c->bitmapDown = std::move(down);
    changed(*c);
    return true;
}

// ---- drop-down lists, combo boxes, list boxes -----------------------------------------------

int Window::comboInsert(int id, int index, const std::string& text, bool add) {
    Control* c = find(id);
    if (!c || !isList(*c)) return CB_ERR;
    const int count = static_cast<int>(c->strings.size());
    int at;
    if (add && c->sorted) {
        at = static_cast<int>(std::upper_bound(c->strings.begin(), c->strings.end(), text,
                                               [](const std::string& a, const std::string& b) {
                                                   return compareNoCase(a, b) < 0;
                                               }) -
                              c->strings.begin());
    } else if (add || index < 0) {
        at = count;
    } else if (index > count) {
        return CB_ERR;
    } else {
        at = index;
    }
    c->strings.insert(c->strings.begin() + at, text);
    if (c->curSel >= at) ++c->curSel;
    changed(*c);
    return at;
}

int Window::comboDelete(int id, int index) {
    Control* c = find(id);
    if (!c || !isList(*c) || index < 0 || index >= static_cast<int>(c->strings.size())) return CB_ERR;
    c->strings.erase(c->strings.begin() + index);
    if (c->curSel == index)
        c->curSel = -1;
    else if (c->curSel > index)
        --c->curSel;
    changed(*c);
    return static_cast<int>(c->strings.size());
}

bool Window::comboReset(int id) {
    Control* c = find(id);
    if (!c || !isList(*c)) return false;
    c->strings.clear();
    c->curSel = -1;
    if (c->kind == Kind::ComboBox) c->text.clear();
    changed(*c);
    return true;
}

int Window::comboSetSel(int id, int index) {
    Control* c = find(id);
    if (!c || !isList(*c)) return CB_ERR;
    const bool valid = index >= 0 && index < static_cast<int>(c->strings.size());
    c->curSel = valid ? index : -1;
    if (c->kind == Kind::ComboBox) c->text = valid ? c->strings[index] : std::string();
    changed(*c);
    return valid ? index : CB_ERR;
}

int Window::comboFind(int id, int startAfter, const std::string& prefix) const {
    const Control* c = find(id);
    if (!c || !isList(*c)) return CB_ERR;
    const int count = static_cast<int>(c->strings.size());
    if (count == 0) return CB_ERR;
    const int start = (startAfter < 0 || startAfter >= count) ? 0 : startAfter + 1;
    for (int k = 0; k < count; ++k) {
        const int i = (start + k) % count;
        if (startsWithNoCase(c->strings[i], prefix)) return i;
    }
    return CB_ERR;
}

// ---- list views -----------------------------------------------------------------------------

DWORD Window::listSetExStyle(int id, DWORD mask, DWORD style) {
    Control* c = find(id);
    if (!c || c->kind != Kind::ListView) return 0;
    const DWORD old = c->listExStyle;
    if (mask == 0) mask = ~0u;
    c->listExStyle = (old & ~mask) | (style & mask);
    changed(*c);
    return old;
}

int Window::listInsertColumn(int id, int column, const std::string& text, int width, int format) {
    Control* c = find(id);
    if (!c || c->kind != Kind::ListView || column < 0) return -1;
    const int at = std::min(column, static_cast<int>(c->columns.size()));
    c->columns.insert(c->columns.begin() + at, ListColumn{text, width, format});
    for (ListRow& r : c->rows)
        if (at < static_cast<int>(r.cells.size())) r.cells.insert(r.cells.begin() + at, std::string());
    changed(*c);
    return at;
}

bool Window::listSetColumnWidth(int id, int column, int width) {
    Control* c = find(id);
    if (!c || c->kind != Kind::ListView || column < 0 || column >= static_cast<int>(c->columns.size()) || width < 0)
        return false;
    c->columns[static_cast<size_t>(column)].width = width;
    changed(*c);
    return true;
}

int Window::listInsertItem(int id, int index, const std::string& text) {
    Control* c = find(id);
    if (!c || c->kind != Kind::ListView || index < 0) return -1;
    const int at = std::min(index, static_cast<int>(c->rows.size()));
    ListRow row;
    row.cells.push_back(text);
    c->rows.insert(c->rows.begin() + at, std::move(row));
    changed(*c);
    return at;
}

bool Window::listSetItemText(int id, int item, int subItem, const std::string& text) {
    Control* c = find(id);
    if (!c || c->kind != Kind::ListView || item < 0 || item >= static_cast<int>(c->rows.size()) || subItem < 0)
        return false;
    if (subItem > 0 && subItem >= static_cast<int>(c->columns.size())) return false;
    auto& cells = c->rows[item].cells;
    if (static_cast<int>(cells.size()) <= subItem) cells.resize(subItem + 1);
    cells[subItem] = text;
    changed(*c);
    return true;
}

bool Window::listDeleteItem(int id, int item) {
    Control* c = find(id);
    if (!c || c->kind != Kind::ListView || item < 0 || item >= static_cast<int>(c->rows.size())) return false;
    c->rows.erase(c->rows.begin() + item);
    changed(*c);
    return true;
}

bool Window::listDeleteAll(int id) {
    Control* c = find(id);
    if (!c || c->kind != Kind::ListView) return false;
    c->rows.clear();
    changed(*c);
    return true;
}

bool Window::listSelect(int id, int item) {
    if (item < 0) return listSelectRows(id, {}, -1);
    return listSelectRows(id, {item}, item);
}

bool Window::listSelectRows(int id, const std::vector<int>& rows, int focus) {
    Control* c = find(id);
    if (!c || c->kind != Kind::ListView) return false;
    const int count = static_cast<int>(c->rows.size());
    for (int r : rows)
        if (r < 0 || r >= count) return false;
    auto wanted = [&](int i) { return std::find(rows.begin(), rows.end(), i) != rows.end(); };
    // Rows losing the selection are reported before rows gaining it, as the list view does.
    std::vector<ListViewNotify> notes;
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < count; ++i) {
            const bool gaining = wanted(i);
            if ((pass == 0) == gaining) continue;
            ListRow& r = c->rows[i];
            const UINT before = rowState(*c, r);
            r.selected = gaining;
            r.focused = focus < 0 ? r.focused : i == focus;
            const UINT after = rowState(*c, r);
            if (before != after) notes.push_back(itemChanged(i, before, after));
        }
    }
    changed(*c);
    for (const ListViewNotify& n : notes) notify(id, n);
    return true;
}

bool Window::listSetCheck(int id, int item, bool checked) {
    Control* c = find(id);
    if (!c || c->kind != Kind::ListView || item < 0 || item >= static_cast<int>(c->rows.size())) return false;
    ListRow& r = c->rows[item];
    if (r.checked == checked) return true;
    const UINT before = rowState(*c, r);
    r.checked = checked;
    const UINT after = rowState(*c, r);
    changed(*c);
    notify(id, itemChanged(item, before, after));
    return true;
}

int Window::clientWidth(int id) const {
    const Control* c = find(id);
    if (!c) return 0;
    if (view) return view->clientWidth(*c);
    // A list view's client area lies inside its two-pixel sunken frame.
    const int w = pxX(c->item.cx) - (c->kind == Kind::ListView ? 4 : 0);
    return std::max(0, w);
}

// ---- progress bars --------------------------------------------------------------------------

bool Window::progressSetRange(int id, int low, int high) {
    Control* c = find(id);
    if (!c || c->kind != Kind::Progress) return false;
    c->low = low;
    c->high = high;
    c->pos = std::clamp(c->pos, std::min(low, high), std::max(low, high));
    changed(*c);
    return true;
}

int Window::progressSetPos(int id, int pos) {
    Control* c = find(id);
    if (!c || c->kind != Kind::Progress) return 0;
    const int old = c->pos;
    c->pos = std::clamp(pos, std::min(c->low, c->high), std::max(c->low, c->high));
    if (c->pos != old) changed(*c);
    return old;
}

int Window::progressSetStep(int id, int step) {
    Control* c = find(id);
    if (!c || c->kind != Kind::Progress) return 0;
    const int old = c->step;
    c->step = step;
    return old;
}

int Window::progressStep(int id) {
    Control* c = find(id);
    if (!c || c->kind != Kind::Progress) return 0;
    const int old = c->pos;
    int next = c->pos + c->step;
    // Past the end of the range the bar starts over from the beginning.
    if (next > c->high) next = c->low;
    if (next < c->low) next = c->high;
    c->pos = std::clamp(next, std::min(c->low, c->high), std::max(c->low, c->high));
    changed(*c);
    return old;
}

}  // namespace ui::detail
