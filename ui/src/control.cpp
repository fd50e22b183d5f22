#include "control.h"

#include <strings.h>

#include <algorithm>
#include <cctype>

namespace ui::detail {

const char* kindName(Kind kind) {
    switch (kind) {
        case Kind::PushButton: return "push button";
        case Kind::CheckBox: return "check box";
        case Kind::RadioButton: return "radio button";
        case Kind::GroupBox: return "group box";
        case Kind::Text: return "static text";
        case Kind::Icon: return "icon";
        case Kind::Frame: return "frame";
        case Kind::Edit: return "edit";
        case Kind::ComboBox: return "combo box";
        case Kind::ListBox: return "list box";
        case Kind::ListView: return "list view";
        case Kind::Progress: return "progress bar";
        case Kind::Other: break;
    }
    return "control";
}

namespace {

bool sameClass(const std::string& a, const char* b) { return ::strcasecmp(a.c_str(), b) == 0; }

Kind buttonKind(DWORD style, Control* c) {
    switch (style & BS_TYPEMASK) {
        case BS_CHECKBOX: return Kind::CheckBox;
        case BS_AUTOCHECKBOX: c->autoCheck = true; return Kind::CheckBox;
        case BS_3STATE: c->threeState = true; return Kind::CheckBox;
        case BS_AUTO3STATE: c->autoCheck = c->threeState = true; return Kind::CheckBox;
        case BS_RADIOBUTTON: return Kind::RadioButton;
        case BS_AUTORADIOBUTTON: c->autoCheck = true; return Kind::RadioButton;
        case BS_GROUPBOX: return Kind::GroupBox;
        case BS_DEFPUSHBUTTON: c->isDefault = true; return Kind::PushButton;
        default: return Kind::PushButton;  // push buttons, owner-drawn (bitmap) buttons
    }
}

Kind staticKind(DWORD style) {
    switch (style & SS_TYPEMASK) {
        case SS_ICON:
        case SS_BITMAP: return Kind::Icon;
        case SS_ETCHEDHORZ:
        case SS_ETCHEDVERT:
        case SS_ETCHEDFRAME:
        case 0x4: case 0x5: case 0x6: case 0x7: case 0x8: case 0x9:  // rectangles and frames
            return Kind::Frame;
        default: return Kind::Text;
    }
}

}  // namespace

bool Control::takesFocus() const {
    if (!enabled || !visible) return false;
    switch (kind) {
        case Kind::GroupBox:
        case Kind::Text:
        case Kind::Icon:
        case Kind::Frame:
        case Kind::Progress:
        case Kind::Other: return false;
        default: return (item.style & WS_TABSTOP) != 0 || kind == Kind::ListView || kind == Kind::Edit;
    }
}

Control makeControl(const DialogItem& item, bool extended) {
    Control c;
    c.item = item;
    c.id = (!extended && item.id == 0xFFFF) ? -1 : static_cast<int>(item.id);
    c.text = item.textOrdinal ? std::string() : item.text;
    c.enabled = (item.style & WS_DISABLED) == 0;
    c.visible = (item.style & WS_VISIBLE) != 0;
    const std::string& cls = item.className;
    if (sameClass(cls, "Button")) {
        c.kind = buttonKind(item.style, &c);
    } else if (sameClass(cls, "Static")) {
        c.kind = staticKind(item.style);
    } else if (sameClass(cls, "Edit")) {
        c.kind = Kind::Edit;
    } else if (sameClass(cls, "ComboBox")) {
        c.kind = Kind::ComboBox;
        c.sorted = (item.style & CBS_SORT) != 0;
        c.editable = (item.style & 0x3) != CBS_DROPDOWNLIST;
    } else if (sameClass(cls, "ListBox")) {
        c.kind = Kind::ListBox;
        c.sorted = (item.style & LBS_SORT) != 0;
    } else if (sameClass(cls, WC_LISTVIEWA)) {
        c.kind = Kind::ListView;
    } else if (sameClass(cls, PROGRESS_CLASSA)) {
        c.kind = Kind::Progress;
    }
    return c;
}

int compareNoCase(const std::string& a, const std::string& b) { return ::strcasecmp(a.c_str(), b.c_str()); }

bool startsWithNoCase(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && ::strncasecmp(text.c_str(), prefix.c_str(), prefix.size()) == 0;
}

UINT rowState(const Control& list, const ListRow& row) {
    UINT s = 0;
    if (row.selected) s |= LVIS_SELECTED;
    if (row.focused) s |= LVIS_FOCUSED;
    if (list.hasCheckBoxes()) s |= INDEXTOSTATEIMAGEMASK(row.checked ? 2 : 1);
    return s;
}

}  // namespace ui::detail
