// Templates built in code, with the styles a resource compiler gives each statement.
#include <ui/dialog_template.h>

namespace ui {

namespace {

constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;

int16_t du(int v) { return static_cast<int16_t>(v); }

}  // namespace

DialogTemplate makeDialog(const std::string& title, int cx, int cy, DWORD style) {
    DialogTemplate t;
    t.extended = true;
    t.style = style | DS_SETFONT;
    t.cx = du(cx);
    t.cy = du(cy);
    t.title = title;
    t.hasFont = true;
    t.pointSize = 8;
    t.weight = 400;
    t.charset = 1;
    t.typeface = "MS Shell Dlg";
    return t;
}

DialogItem control(const std::string& text, int id, const std::string& className, DWORD style, int x, int y,
                   int cx, int cy, DWORD exStyle) {
    DialogItem item;
    item.id = static_cast<uint32_t>(id);
    item.className = className;
    item.text = text;
    item.x = du(x);
    item.y = du(y);
    item.cx = du(cx);
    item.cy = du(cy);
    item.style = style;
    item.exStyle = exStyle;
    return item;
}

DialogItem pushButton(const std::string& text, int id, int x, int y, int cx, int cy, DWORD style) {
    return control(text, id, "Button", kChild | WS_TABSTOP | BS_PUSHBUTTON | style, x, y, cx, cy);
}

DialogItem defPushButton(const std::string& text, int id, int x, int y, int cx, int cy, DWORD style) {
    return control(text, id, "Button", kChild | WS_TABSTOP | BS_DEFPUSHBUTTON | style, x, y, cx, cy);
}

DialogItem autoCheckBox(const std::string& text, int id, int x, int y, int cx, int cy, DWORD style) {
    return control(text, id, "Button", kChild | WS_TABSTOP | BS_AUTOCHECKBOX | style, x, y, cx, cy);
}

DialogItem autoRadioButton(const std::string& text, int id, int x, int y, int cx, int cy, DWORD style) {
    return control(text, id, "Button", kChild | WS_TABSTOP | BS_AUTORADIOBUTTON | style, x, y, cx, cy);
}

DialogItem groupBox(const std::string& text, int id, int x, int y, int cx, int cy, DWORD style) {
    return control(text, id, "Button", kChild | BS_GROUPBOX | style, x, y, cx, cy);
}

DialogItem lText(const std::string& text, int id, int x, int y, int cx, int cy, DWORD style) {
    return control(text, id, "Static", kChild | WS_GROUP | SS_LEFT | style, x, y, cx, cy);
}

DialogItem cText(const std::string& text, int id, int x, int y, int cx, int cy, DWORD style) {
    return control(text, id, "Static", kChild | WS_GROUP | SS_CENTER | style, x, y, cx, cy);
}

DialogItem editText(int id, int x, int y, int cx, int cy, DWORD style) {
    return control("", id, "Edit", kChild | WS_BORDER | WS_TABSTOP | style, x, y, cx, cy);
}

DialogItem comboBox(int id, int x, int y, int cx, int cy, DWORD style) {
    return control("", id, "ComboBox", kChild | WS_TABSTOP | WS_VSCROLL | style, x, y, cx, cy);
}

DialogItem listView(int id, int x, int y, int cx, int cy, DWORD style) {
    return control("", id, WC_LISTVIEWA, kChild | WS_BORDER | WS_TABSTOP | style, x, y, cx, cy);
}

DialogItem progressBar(int id, int x, int y, int cx, int cy, DWORD style) {
    return control("", id, PROGRESS_CLASSA, kChild | WS_BORDER | style, x, y, cx, cy);
}

DialogItem iconControl(const std::string& icon, int id, int x, int y) {
    DialogItem item = control("", id, "Static", kChild | SS_ICON, x, y, 0, 0);
    if (icon.size() > 1 && icon[0] == '#')
        item.textOrdinal = static_cast<uint16_t>(std::stoul(icon.substr(1)));
    else
        item.text = icon;
    return item;
}

}  // namespace ui
