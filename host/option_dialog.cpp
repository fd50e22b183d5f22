#include "option_dialog.h"

#include <config/keys.h>

#include <algorithm>

#include "app.h"
#include "config_editor.h"
#include "resource.h"
#include "status.h"

namespace zelfin {

namespace {
constexpr UINT kStrEditorTitle = 34;
constexpr size_t kNumberMax = 259;  // the record's value field
}  // namespace

OptionDlg::OptionDlg(CfgEdtDlg& editor, Mode mode, int row)
    : HostDialog(IDD_OPTION, !theApp.disableHelp), editor_(editor), mode_(mode), row_(row) {}

bool OptionDlg::acceptableNumber(const std::string& text) {
    if (text.empty() || text == "-" || text == "-1") return true;
    if (text.size() > kNumberMax) return false;
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool OptionDlg::yesNoKind() const { return isButtonChecked(IDC_KIND_YESNO) == BST_CHECKED; }

void OptionDlg::showValueFields(bool yesNo, bool enabled) {
    showItem(IDC_OPTION_YESNO, yesNo);
    showItem(IDC_OPTION_NUMBER, !yesNo);
    enableItem(IDC_OPTION_YESNO, enabled);
    enableItem(IDC_OPTION_NUMBER, enabled);
}

// The keys of the chosen kind that the option list does not hold yet.
void OptionDlg::fillKeys() {
    comboResetContent(IDC_OPTION_KEYS);
    const auto rows = editor_.optionRows();
    const config::OptionKind kind = yesNoKind() ? config::OptionKind::YesNo : config::OptionKind::Number;
    for (const config::OptionKeyInfo& key : config::kOptionKeys) {
        if (key.kind != kind) continue;
        const bool present = std::any_of(rows.begin(), rows.end(), [&](const auto& r) { return r.first == key.name; });
        if (!present) comboAddString(IDC_OPTION_KEYS, key.name);
    }
    const bool any = comboGetCount(IDC_OPTION_KEYS) > 0;
    if (any) comboSetCurSel(IDC_OPTION_KEYS, 0);
    enableItem(IDC_OPTION_KEYS, any);
    showValueFields(yesNoKind(), any);
}

BOOL OptionDlg::onInitDialog() {
    addSystemItems();
    setTitleString(kStrEditorTitle);
    setItemString(IDC_OPTION_LABEL, 42);
    setItemString(IDC_VALUE_LABEL, 18);
    setItemString(IDC_KIND_GROUP, 41);
    setItemString(IDC_KIND_YESNO, 5);
    setItemString(IDC_KIND_NUMBER, 2);
    setItemString(IDOK, 12);
    setItemString(IDCANCEL, 27);
    comboAddString(IDC_OPTION_YESNO, "YES");
    comboAddString(IDC_OPTION_YESNO, "NO");
    comboSetCurSel(IDC_OPTION_YESNO, 0);
    if (mode_ == Mode::Add) {
        checkRadioButton(IDC_KIND_YESNO, IDC_KIND_NUMBER, IDC_KIND_YESNO);
        showItem(IDC_OPTION_KEY_TEXT, false);
        fillKeys();
        return TRUE;
    }
    const auto rows = editor_.optionRows();
    if (row_ < 0 || row_ >= static_cast<int>(rows.size())) {
        HostStatus status;
        status.code = kNoRowSelected;
        reportStatusBox(status);
        endDialog(IDCANCEL);
        return TRUE;
    }
    const auto& [key, value] = rows[row_];
    showItem(IDC_OPTION_KEYS, false);
    showItem(IDC_OPTION_KEY_TEXT, true);
    setItemText(IDC_OPTION_KEY_TEXT, key);
    enableItem(IDC_KIND_YESNO, false);
    enableItem(IDC_KIND_NUMBER, false);
    editYesNo_ = value == "YES" || value == "NO";
    checkRadioButton(IDC_KIND_YESNO, IDC_KIND_NUMBER, editYesNo_ ? IDC_KIND_YESNO : IDC_KIND_NUMBER);
    showValueFields(editYesNo_, true);
    if (editYesNo_) {
        comboSetCurSel(IDC_OPTION_YESNO, value == "YES" ? 0 : 1);
    } else {
        setItemText(IDC_OPTION_NUMBER, value);
    }
    return TRUE;
}

void OptionDlg::accept() {
    const bool yesNo = mode_ == Mode::Add ? yesNoKind() : editYesNo_;
    const std::string value = yesNo ? itemText(IDC_OPTION_YESNO) : itemText(IDC_OPTION_NUMBER);
    if (mode_ == Mode::Add) {
        const std::string key = itemText(IDC_OPTION_KEYS);
        if (!key.empty() && !value.empty()) editor_.appendOption(key, value);
    } else {
        editor_.replaceOptionValue(row_, value);
    }
    endDialog(IDOK);
}

void OptionDlg::onCommand(int id, int code) {
    if (id == IDC_OPTION_NUMBER && code == EN_CHANGE) {
        if (!acceptableNumber(itemText(IDC_OPTION_NUMBER))) {
            HostStatus status;
            status.code = kNotANumber;
            reportStatusBox(status);
            setItemText(IDC_OPTION_NUMBER, "");
        }
        return;
    }
    if ((id == IDC_KIND_YESNO || id == IDC_KIND_NUMBER) && code == BN_CLICKED && mode_ == Mode::Add) {
        fillKeys();
        return;
    }
    if (id == IDOK && code == BN_CLICKED) {
        accept();
        return;
    }
    HostDialog::onCommand(id, code);
}

}  // namespace zelfin
