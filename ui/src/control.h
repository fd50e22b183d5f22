// The state of one control of an open dialog. The toolkit keeps it itself, whichever backend
// shows it: the Qt backend mirrors it in widgets and reports the operator's input back, the
// headless backend has nothing else. Touched only on the interface thread.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include <ui/dialog_template.h>

namespace ui::detail {

enum class Kind {
    PushButton,  // also a bitmap button once it has bitmaps
    CheckBox,
    RadioButton,
    GroupBox,
    Text,        // static text
    Icon,        // static icon or picture
    Frame,       // etched lines and frames
    Edit,
    ComboBox,
    ListBox,
    ListView,
    Progress,
    Other,       // a class the toolkit does not know: shown as an empty area
};

const char* kindName(Kind kind);

struct ListColumn {
    std::string text;
    int width = 0;  // pixels
    int format = LVCFMT_LEFT;
};

struct ListRow {
    std::vector<std::string> cells;  // one per column at least for column 0
    bool checked = false;
    bool selected = false;
    bool focused = false;
};

struct Control {
    DialogItem item;
    int id = 0;
    Kind kind = Kind::Other;
    std::string text;
    bool enabled = true;
    bool visible = true;
    bool link = false;  // a static text drawn as a link

    // buttons
    UINT check = BST_UNCHECKED;
    bool autoCheck = false;  // BS_AUTOCHECKBOX, BS_AUTO3STATE, BS_AUTORADIOBUTTON
    bool threeState = false;
    bool isDefault = false;  // BS_DEFPUSHBUTTON
    std::vector<uint8_t> bitmapUp, bitmapDown;  // .bmp files of a bitmap button

    // drop-down lists, combo boxes, list boxes
    std::vector<std::string> strings;
    int curSel = -1;
    bool sorted = false;
    bool editable = false;  // CBS_DROPDOWN / CBS_SIMPLE: the text is typed, not chosen

    // list views
    std::vector<ListColumn> columns;
    std::vector<ListRow> rows;
    DWORD listExStyle = 0;

    // progress bars
    int low = 0;
    int high = 100;
    int pos = 0;
    int step = 10;

    // icons: the .ico file
    std::vector<uint8_t> image;

    bool takesFocus() const;
    bool singleSelection() const { return (item.style & LVS_SINGLESEL) != 0; }
    bool hasCheckBoxes() const { return (listExStyle & LVS_EX_CHECKBOXES) != 0; }
};

// A control as the template item describes it. `extended` tells the template layouts apart: a
// plain DLGTEMPLATE stores IDC_STATIC as 0xFFFF.
Control makeControl(const DialogItem& item, bool extended);

// Win32 compares list strings without regard to case.
int compareNoCase(const std::string& a, const std::string& b);
bool startsWithNoCase(const std::string& text, const std::string& prefix);

// A row's state in list-view bits (LVIS_SELECTED, LVIS_FOCUSED, check box state image).
UINT rowState(const Control& list, const ListRow& row);

}  // namespace ui::detail
