// A dialog of the toolkit, written the way a Win32 dialog is: made from a template, worked with by
// control id, told about the operator's actions through handlers that a subclass overrides.
//
// Threads: the toolkit has one interface thread per process. Handlers run on it. Every public
// operation below may be called from any thread: a call from another thread is carried to the
// interface thread and waits for it there, so that a read that follows sees the change. A call
// from the interface thread itself (from a handler) runs at once.
//
// Operations on controls return false / -1 / empty text when the dialog is not open or has no
// such control, as the Win32 calls do on a missing window.
#pragma once
#include <memory>
#include <optional>
#include <string>

#include <ui/dialog_template.h>
#include <ui/win32.h>

namespace ui {

namespace detail {
class Window;
struct Access;
}  // namespace detail

// What LVN_ITEMCHANGED, NM_CLICK and NM_DBLCLK tell about a row of a list view. States use the
// list view's bits: LVIS_SELECTED, LVIS_FOCUSED and the check box as state image
// INDEXTOSTATEIMAGEMASK(1) (unchecked) or INDEXTOSTATEIMAGEMASK(2) (checked).
struct ListViewNotify {
    int code = 0;     // LVN_ITEMCHANGED, NM_CLICK, NM_DBLCLK
    int item = -1;    // the row; -1 for a click beside the rows
    UINT oldState = 0;
    UINT newState = 0;
    UINT changed = 0;  // LVIF_STATE for LVN_ITEMCHANGED

    bool selectionChanged() const { return ((oldState ^ newState) & LVIS_SELECTED) != 0; }
    bool checkChanged() const { return ((oldState ^ newState) & LVIS_STATEIMAGEMASK) != 0; }
    bool isSelected() const { return (newState & LVIS_SELECTED) != 0; }
    bool isChecked() const { return (newState & LVIS_STATEIMAGEMASK) == INDEXTOSTATEIMAGEMASK(2); }
};

// A size in pixels.
struct Size {
    int cx = 0;
    int cy = 0;
};

class Dialog {
public:
    // The dialog template RT_DIALOG `templateId` of `module` (nullptr: the program), read when the
    // dialog is run. Icons and bitmaps named by the template come from the same module.
    Dialog(HMODULE module, UINT templateId);
    // A template built in code; icons and bitmaps come from `module`.
    explicit Dialog(DialogTemplate dialogTemplate, HMODULE module = nullptr);
    virtual ~Dialog();
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    // ---- running -------------------------------------------------------------------------
    // Runs the dialog modally and returns the value given to endDialog, or -1 (last error set)
    // when the template cannot be read. The calling thread waits until the dialog has ended.
    INT_PTR doModal(const Dialog* owner = nullptr);
    // Opens the dialog modelessly; on return it is shown and painted. False when it could not
    // be made or ended during onInitDialog.
    bool create(const Dialog* owner = nullptr);
    // Closes a modeless dialog (a modal one ends with IDCANCEL).
    void destroy();
    // Ends the dialog with `result`: doModal returns it once the current handler returns.
    void endDialog(INT_PTR result);
    bool isOpen() const;
    HWND hwnd() const;
    HMODULE module() const { return module_; }

    // ---- the window ----------------------------------------------------------------------
    void setTitle(const std::string& title);
    std::string title() const;
    // The window's icon, an RT_GROUP_ICON resource of `module`.
    bool setIcon(HMODULE module, LPCSTR name);
    // The menu that takes the place of the system menu: a help item (and with it the F1 key)
    // and an About item, each added only when asked for. Without a help item F1 does nothing.
    void addHelpItem(const std::string& text);
    void addAboutItem(const std::string& text);
    // The client area in pixels.
    Size clientSize() const;
    // Moves the window to screen pixels (x, y) with an outer size of cx by cy; `topmost` keeps
    // it above other windows.
    void moveWindow(int x, int y, int cx, int cy, bool topmost = false);
    // Brings the window to the top of the window order without taking the focus.
    void bringToTop();

    // ---- every control -------------------------------------------------------------------
    bool setItemText(int id, const std::string& text);  // an edit reports EN_CHANGE, as Windows does
    std::string itemText(int id) const;                 // a drop-down list: its selected item
    bool enableItem(int id, bool enable = true);
    bool isItemEnabled(int id) const;
    bool showItem(int id, bool show = true);
    bool isItemVisible(int id) const;
    bool setFocusItem(int id);
    // Draws a static text as a link (blue, underlined, a hand over it); with SS_NOTIFY a click
    // on it reports STN_CLICKED.
    bool setItemLinkStyle(int id);
    int focusItem() const;  // the control with the focus, 0 for none
    bool hasItem(int id) const;
    // The width in pixels of a control's client area (a list view without its frame).
    int itemClientWidth(int id) const;

    // ---- buttons -------------------------------------------------------------------------
    bool checkButton(int id, UINT state = BST_CHECKED);  // no notification, as BM_SETCHECK
    UINT isButtonChecked(int id) const;
    bool checkRadioButton(int firstId, int lastId, int checkId);
    // A bitmap button: two RT_BITMAP resources for its up and down states (module nullptr:
    // the dialog's module).
    bool loadButtonBitmaps(int id, LPCSTR up, LPCSTR down, HMODULE module = nullptr);

    // ---- drop-down lists, combo boxes and list boxes --------------------------------------
    // A CBS_SORT / LBS_SORT control inserts in order (ignoring case); returns the index or
    // CB_ERR.
    int comboAddString(int id, const std::string& text);
    int comboInsertString(int id, int index, const std::string& text);  // -1 appends
    int comboDeleteString(int id, int index);  // remaining count or CB_ERR
    void comboResetContent(int id);
    int comboSetCurSel(int id, int index);  // -1 clears; no notification, as CB_SETCURSEL
    int comboGetCurSel(int id) const;
    std::string comboGetText(int id, int index) const;
    int comboGetCount(int id) const;
    // The first item after `startAfter` (-1: from the top; wraps around) that begins with
    // `prefix`, ignoring case, as CB_FINDSTRING; CB_ERR when there is none.
    int comboFindString(int id, int startAfter, const std::string& prefix) const;

    // ---- list views (report view) --------------------------------------------------------
    // LVS_EX_CHECKBOXES, LVS_EX_FULLROWSELECT, LVS_EX_GRIDLINES; returns the old style.
    DWORD listSetExtendedStyle(int id, DWORD mask, DWORD style);
    int listInsertColumn(int id, int column, const std::string& text, int widthPixels, int format = LVCFMT_LEFT);
    int listInsertItem(int id, int index, const std::string& text);  // index past the end appends
    bool listSetItemText(int id, int item, int subItem, const std::string& text);
    std::string listGetItemText(int id, int item, int subItem) const;
    bool listDeleteItem(int id, int item);
    bool listDeleteAllItems(int id);
    int listGetItemCount(int id) const;
    int listGetColumnCount(int id) const;
    std::string listGetColumnText(int id, int column) const;  // empty past the last column
    bool listSetColumnWidth(int id, int column, int widthPixels);  // as LVM_SETCOLUMNWIDTH
    int listGetColumnWidth(int id, int column) const;              // pixels; 0 past the last column
    // The next selected row after `start` (-1: from the top), or -1.
    int listGetNextSelected(int id, int start = -1) const;
    // Selects and focuses `item` alone (-1 clears the selection). Like every change of a row's
    // selection or check box, made by the program or the operator, each row that changes is
    // reported to onNotify as LVN_ITEMCHANGED.
    bool listSelectItem(int id, int item);
    bool listSetCheck(int id, int item, bool checked);
    bool listGetCheck(int id, int item) const;

    // ---- progress bars -------------------------------------------------------------------
    // A new bar has the range 0..100, position 0 and step 10, as Windows gives it.
    bool progressSetRange(int id, int low, int high);
    std::pair<int, int> progressGetRange(int id) const;
    int progressSetPos(int id, int pos);  // the old position; clamped into the range
    int progressGetPos(int id) const;
    int progressDeltaPos(int id, int delta);
    int progressSetStep(int id, int step);  // the old step
    // Advances by one step; past the top of the range the bar starts again from the bottom.
    int progressStepIt(int id);

    // ---- timers --------------------------------------------------------------------------
    // onTimer(timerId) every `elapseMs` of lab time (at least USER_TIMER_MINIMUM), as SetTimer;
    // a timer with the same id is replaced. Timers end with the dialog.
    bool setTimer(UINT_PTR timerId, UINT elapseMs);
    bool killTimer(UINT_PTR timerId);

protected:
    // Handlers, run on the interface thread.
    // WM_INITDIALOG: the controls exist; returning TRUE gives the focus to the first control
    // that takes it.
    virtual BOOL onInitDialog();
    // BN_CLICKED, EN_CHANGE, CBN_SELCHANGE (LBN_SELCHANGE), STN_CLICKED. The default ends the
    // dialog on IDOK and IDCANCEL with that id. Enter clicks the focused push button, else the
    // default one, else reports IDOK.
    virtual void onCommand(int id, int code);
    // A list view's row changed (LVN_ITEMCHANGED) or was clicked (NM_CLICK, NM_DBLCLK).
    virtual void onNotify(int id, const ListViewNotify& notify);
    virtual void onTimer(UINT_PTR timerId);
    // The system-menu close, the Escape key and WM_CLOSE from another program. The default is
    // what Windows does: onCommand(IDCANCEL, BN_CLICKED).
    virtual void onClose();
    // The help item or F1 (only when a help item was added), and the About item.
    virtual void onHelp();
    virtual void onAbout();

private:
    friend struct detail::Access;
    template <class R, class F>
    R onWindow(R fallback, F&& f) const;

    HMODULE module_ = nullptr;
    UINT templateId_ = 0;
    std::optional<DialogTemplate> template_;
    // Touched only on the interface thread.
    std::shared_ptr<detail::Window> window_;
};

}  // namespace ui
