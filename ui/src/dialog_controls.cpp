// The operations of Dialog on its window and controls, each carried to the interface thread.
#include <ui/dialog.h>

#include "dialog_call.h"
#include "resources.h"

namespace ui {

using detail::Control;
using detail::Kind;
using detail::Window;

// ---- the window ---------------------------------------------------------------------------

void Dialog::setTitle(const std::string& title) {
    onWindow(0, [&](Window& w) {
        w.setTitle(title);
        return 0;
    });
}

std::string Dialog::title() const {
    return onWindow(std::string(), [](Window& w) { return w.title; });
}

bool Dialog::setIcon(HMODULE module, LPCSTR name) {
    auto ico = detail::loadIconFile(module, detail::resourceNameText(name));
    if (!ico) return false;
    return onWindow(false, [&](Window& w) {
        if (w.view) w.view->setIcon(*ico);
        return true;
    });
}

void Dialog::addHelpItem(const std::string& text) {
    onWindow(0, [&](Window& w) {
        w.hasHelp = true;
        w.helpText = text;
        if (w.view) w.view->syncMenu();
        return 0;
    });
}

void Dialog::addAboutItem(const std::string& text) {
    onWindow(0, [&](Window& w) {
        w.hasAbout = true;
        w.aboutText = text;
        if (w.view) w.view->syncMenu();
        return 0;
    });
}

Size Dialog::clientSize() const {
    return onWindow(Size{}, [](Window& w) {
        if (w.view) return w.view->clientSize();
        return Size{w.pxX(w.tmpl.cx), w.pxY(w.tmpl.cy)};
    });
}

void Dialog::moveWindow(int x, int y, int cx, int cy, bool topmost) {
    onWindow(0, [&](Window& w) {
        if (w.view) w.view->move(x, y, cx, cy, topmost);
        return 0;
    });
}

void Dialog::bringToTop() {
    onWindow(0, [](Window& w) {
        if (w.view) w.view->bringToTop();
        return 0;
    });
}

// ---- every control ------------------------------------------------------------------------

bool Dialog::setItemText(int id, const std::string& text) {
    return onWindow(false, [&](Window& w) { return w.setText(id, text); });
}

std::string Dialog::itemText(int id) const {
    return onWindow(std::string(), [&](Window& w) { return w.text(id); });
}

bool Dialog::enableItem(int id, bool enable) {
    return onWindow(false, [&](Window& w) { return w.enable(id, enable); });
}

bool Dialog::isItemEnabled(int id) const {
    return onWindow(false, [&](Window& w) {
        const Control* c = w.find(id);
        return c && c->enabled;
    });
}

bool Dialog::showItem(int id, bool show) {
    return onWindow(false, [&](Window& w) { return w.show(id, show); });
}

bool Dialog::isItemVisible(int id) const {
    return onWindow(false, [&](Window& w) {
        const Control* c = w.find(id);
        return c && c->visible;
    });
}

bool Dialog::setFocusItem(int id) {
    return onWindow(false, [&](Window& w) { return w.setFocus(id); });
}

bool Dialog::setItemLinkStyle(int id) {
    return onWindow(false, [&](Window& w) { return w.setLinkStyle(id); });
}

int Dialog::focusItem() const {
    return onWindow(0, [](Window& w) { return w.focusId; });
}

bool Dialog::hasItem(int id) const {
    return onWindow(false, [&](Window& w) { return w.find(id) != nullptr; });
}

int Dialog::itemClientWidth(int id) const {
    return onWindow(0, [&](Window& w) { return w.clientWidth(id); });
}

// ---- buttons ------------------------------------------------------------------------------

bool Dialog::checkButton(int id, UINT state) {
    return onWindow(false, [&](Window& w) { return w.setCheck(id, state); });
}

UINT Dialog::isButtonChecked(int id) const {
    return onWindow(static_cast<UINT>(BST_UNCHECKED), [&](Window& w) {
        const Control* c = w.find(id);
        return c ? c->check : static_cast<UINT>(BST_UNCHECKED);
    });
}

bool Dialog::checkRadioButton(int firstId, int lastId, int checkId) {
    return onWindow(false, [&](Window& w) { return w.checkRadio(firstId, lastId, checkId); });
}

bool Dialog::loadButtonBitmaps(int id, LPCSTR up, LPCSTR down, HMODULE module) {
    const HMODULE from = module ? module : module_;
    auto upFile = detail::loadBitmapFile(from, up);
    auto downFile = detail::loadBitmapFile(from, down);
    if (!upFile || !downFile) return false;
    return onWindow(false, [&](Window& w) { return w.setBitmaps(id, std::move(*upFile), std::move(*downFile)); });
}

// ---- drop-down lists, combo boxes and list boxes --------------------------------------------

int Dialog::comboAddString(int id, const std::string& text) {
    return onWindow(CB_ERR, [&](Window& w) { return w.comboInsert(id, -1, text, true); });
}

int Dialog::comboInsertString(int id, int index, const std::string& text) {
    return onWindow(CB_ERR, [&](Window& w) { return w.comboInsert(id, index, text, false); });
}

int Dialog::comboDeleteString(int id, int index) {
    return onWindow(CB_ERR, [&](Window& w) { return w.comboDelete(id, index); });
}

void Dialog::comboResetContent(int id) {
    onWindow(false, [&](Window& w) { return w.comboReset(id); });
}

int Dialog::comboSetCurSel(int id, int index) {
    return onWindow(CB_ERR, [&](Window& w) { return w.comboSetSel(id, index); });
}

int Dialog::comboGetCurSel(int id) const {
    return onWindow(CB_ERR, [&](Window& w) {
        const Control* c = w.find(id);
        return c && (c->kind == Kind::ComboBox || c->kind == Kind::ListBox) ? c->curSel : CB_ERR;
    });
}

std::string Dialog::comboGetText(int id, int index) const {
    return onWindow(std::string(), [&](Window& w) {
        const Control* c = w.find(id);
        if (!c || index < 0 || index >= static_cast<int>(c->strings.size())) return std::string();
        return c->strings[index];
    });
}

int Dialog::comboGetCount(int id) const {
    return onWindow(CB_ERR, [&](Window& w) {
        const Control* c = w.find(id);
        return c && (c->kind == Kind::ComboBox || c->kind == Kind::ListBox) ? static_cast<int>(c->strings.size())
                                                                            : CB_ERR;
    });
}

int Dialog::comboFindString(int id, int startAfter, const std::string& prefix) const {
    return onWindow(CB_ERR, [&](Window& w) { return w.comboFind(id, startAfter, prefix); });
}

// ---- list views ---------------------------------------------------------------------------

DWORD Dialog::listSetExtendedStyle(int id, DWORD mask, DWORD style) {
    return onWindow(static_cast<DWORD>(0), [&](Window& w) { return w.listSetExStyle(id, mask, style); });
}

int Dialog::listInsertColumn(int id, int column, const std::string& text, int widthPixels, int format) {
    return onWindow(-1, [&](Window& w) { return w.listInsertColumn(id, column, text, widthPixels, format); });
}

int Dialog::listInsertItem(int id, int index, const std::string& text) {
    return onWindow(-1, [&](Window& w) { return w.listInsertItem(id, index, text); });
}

bool Dialog::listSetItemText(int id, int item, int subItem, const std::string& text) {
    return onWindow(false, [&](Window& w) { return w.listSetItemText(id, item, subItem, text); });
}

std::string Dialog::listGetItemText(int id, int item, int subItem) const {
    return onWindow(std::string(), [&](Window& w) {
        const Control* c = w.find(id);
        if (!c || c->kind != Kind::ListView || item < 0 || item >= static_cast<int>(c->rows.size()) || subItem < 0)
            return std::string();
        const auto& cells = c->rows[item].cells;
        return subItem < static_cast<int>(cells.size()) ? cells[subItem] : std::string();
    });
}

bool Dialog::listDeleteItem(int id, int item) {
    return onWindow(false, [&](Window& w) { return w.listDeleteItem(id, item); });
}

bool Dialog::listDeleteAllItems(int id) {
    return onWindow(false, [&](Window& w) { return w.listDeleteAll(id); });
}

int Dialog::listGetItemCount(int id) const {
    return onWindow(0, [&](Window& w) {
        const Control* c = w.find(id);
        return c && c->kind == Kind::ListView ? static_cast<int>(c->rows.size()) : 0;
    });
}

int Dialog::listGetColumnCount(int id) const {
    return onWindow(0, [&](Window& w) {
        const Control* c = w.find(id);
        return c && c->kind == Kind::ListView ? static_cast<int>(c->columns.size()) : 0;
    });
}

std::string Dialog::listGetColumnText(int id, int column) const {
    return onWindow(std::string(), [&](Window& w) {
        const Control* c = w.find(id);
        if (!c || c->kind != Kind::ListView || column < 0 || column >= static_cast<int>(c->columns.size()))
            return std::string();
        return c->columns[static_cast<size_t>(column)].text;
    });
}

bool Dialog::listSetColumnWidth(int id, int column, int widthPixels) {
    return onWindow(false, [&](Window& w) { return w.listSetColumnWidth(id, column, widthPixels); });
}

int Dialog::listGetColumnWidth(int id, int column) const {
    return onWindow(0, [&](Window& w) {
        const Control* c = w.find(id);
        if (!c || c->kind != Kind::ListView || column < 0 || column >= static_cast<int>(c->columns.size())) return 0;
        return c->columns[static_cast<size_t>(column)].width;
    });
}

int Dialog::listGetNextSelected(int id, int start) const {
    return onWindow(-1, [&](Window& w) {
        const Control* c = w.find(id);
        if (!c || c->kind != Kind::ListView) return -1;
        for (int i = start < 0 ? 0 : start + 1; i < static_cast<int>(c->rows.size()); ++i)
            if (c->rows[i].selected) return i;
        return -1;
    });
}

bool Dialog::listSelectItem(int id, int item) {
    return onWindow(false, [&](Window& w) { return w.listSelect(id, item); });
}

bool Dialog::listSetCheck(int id, int item, bool checked) {
    return onWindow(false, [&](Window& w) { return w.listSetCheck(id, item, checked); });
}

bool Dialog::listGetCheck(int id, int item) const {
    return onWindow(false, [&](Window& w) {
        const Control* c = w.find(id);
        return c && c->kind == Kind::ListView && item >= 0 && item < static_cast<int>(c->rows.size()) &&
               c->rows[item].checked;
    });
}

// ---- progress bars ------------------------------------------------------------------------

bool Dialog::progressSetRange(int id, int low, int high) {
    return onWindow(false, [&](Window& w) { return w.progressSetRange(id, low, high); });
}

std::pair<int, int> Dialog::progressGetRange(int id) const {
    return onWindow(std::pair<int, int>(0, 0), [&](Window& w) {
        const Control* c = w.find(id);
        return c && c->kind == Kind::Progress ? std::pair<int, int>(c->low, c->high) : std::pair<int, int>(0, 0);
    });
}

int Dialog::progressSetPos(int id, int pos) {
    return onWindow(0, [&](Window& w) { return w.progressSetPos(id, pos); });
}

int Dialog::progressGetPos(int id) const {
    return onWindow(0, [&](Window& w) {
        const Control* c = w.find(id);
        return c && c->kind == Kind::Progress ? c->pos : 0;
    });
}

int Dialog::progressDeltaPos(int id, int delta) {
    return onWindow(0, [&](Window& w) {
        const Control* c = w.find(id);
        return c && c->kind == Kind::Progress ? w.progressSetPos(id, c->pos + delta) : 0;
    });
}

int Dialog::progressSetStep(int id, int step) {
    return onWindow(0, [&](Window& w) { return w.progressSetStep(id, step); });
}

int Dialog::progressStepIt(int id) {
    return onWindow(0, [&](Window& w) { return w.progressStep(id); });
}

// ---- timers -------------------------------------------------------------------------------

bool Dialog::setTimer(UINT_PTR timerId, UINT elapseMs) {
    return onWindow(false, [&](Window& w) { return w.setTimer(timerId, elapseMs); });
}

bool Dialog::killTimer(UINT_PTR timerId) {
    return onWindow(false, [&](Window& w) { return w.killTimer(timerId); });
}

}  // namespace ui
