// An open dialog: its controls' state, its view, its timers, and the way handlers are called.
// Everything here runs on the interface thread.
#pragma once
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <ui/dialog.h>

#include "backend.h"
#include "control.h"

namespace ui::detail {

class Window : public std::enable_shared_from_this<Window> {
public:
    Window(Dialog& dialog, DialogTemplate tmpl, HMODULE module, bool modal, HWND owner);
    ~Window();

    // Builds the controls and the view and registers the window; then calls onInitDialog.
    void open();
    // Takes the window down: view, timers, registration. The object lives on while a handler
    // of it is still running.
    void close();

    Dialog* dialog;  // cleared when the dialog object goes away first
    const DialogTemplate tmpl;
    const HMODULE module;
    const bool modal;
    const HWND owner;
    const uint64_t serial;
    HWND hwnd = nullptr;
    std::string title;
    std::vector<Control> controls;
    std::unique_ptr<View> view;
    BaseUnits units;
    bool isOpen = false;
    bool wasShown = false;
    bool ended = false;
    INT_PTR result = 0;
    bool hasHelp = false;
    bool hasAbout = false;
    std::string helpText, aboutText;
    int focusId = 0;

    Control* find(int id);
    const Control* find(int id) const;
    int pxX(int dialogUnits) const;
    int pxY(int dialogUnits) const;

    // ---- program operations (ops.cpp) ----------------------------------------------------
    void setTitle(const std::string& text);
    bool setText(int id, const std::string& text);
    std::string text(int id) const;
    bool enable(int id, bool on);
    bool show(int id, bool on);
    bool setFocus(int id);
    bool setLinkStyle(int id);
    bool setCheck(int id, UINT state);
    bool checkRadio(int first, int last, int checkId);
    bool setBitmaps(int id, std::vector<uint8_t> up, std::vector<uint8_t> down);
    int comboInsert(int id, int index, const std::string& text, bool add);
    int comboDelete(int id, int index);
    bool comboReset(int id);
    int comboSetSel(int id, int index);
    int comboFind(int id, int startAfter, const std::string& prefix) const;
    DWORD listSetExStyle(int id, DWORD mask, DWORD style);
    int listInsertColumn(int id, int column, const std::string& text, int width, int format);
    bool listSetColumnWidth(int id, int column, int width);
    int listInsertItem(int id, int index, const std::string& text);
    bool listSetItemText(int id, int item, int subItem, const std::string& text);
    bool listDeleteItem(int id, int item);
    bool listDeleteAll(int id);
    // Changes rows' selection (only `item` selected and focused; -1 none) or one check box,
    // reporting each changed row.
    bool listSelect(int id, int item);
    // The same for any set of rows (a list that allows several), `focus` the focused one.
    bool listSelectRows(int id, const std::vector<int>& rows, int focus);
    bool listSetCheck(int id, int item, bool checked);
    bool progressSetRange(int id, int low, int high);
    int progressSetPos(int id, int pos);
    int progressSetStep(int id, int step);
    int progressStep(int id);
    bool setTimer(UINT_PTR timerId, UINT elapseMs);
    bool killTimer(UINT_PTR timerId);
    int clientWidth(int id) const;

    // ---- what the operator did (user_input.cpp) -----------------------------------------
    void userClicked(int id);
    void userSelected(int id, int index);         // combo / list box item
    void userEdited(int id, const std::string& text);
    void userSelectedRow(int id, int row);        // list view
    void userSelectedRows(int id, const std::vector<int>& rows, int focus);
    void userCheckedRow(int id, int row, bool checked);
    void userClickedList(int id, int row, bool twice);
    void userEnter();
    void userClosed();
    void userHelp();
    void userAbout();

    // ---- handlers, called with the window kept alive -------------------------------------
    void command(int id, int code);
    void notify(int id, const ListViewNotify& n);
    void raise(bool restore);

private:
    void changed(const Control& c);
    void changedWindow();
    template <class F>
    void dispatch(F&& f);
    std::map<UINT_PTR, int> timers_;
};

}  // namespace ui::detail
