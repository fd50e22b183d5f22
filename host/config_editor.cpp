#include "config_editor.h"

#include <config/writer.h>

#include <algorithm>

#include "app.h"
#include "config_reader.h"
#include "flows.h"
#include "log.h"
#include "option_dialog.h"
#include "resource.h"
#include "status.h"

namespace zelfin {

namespace {
constexpr UINT kStrEditorTitle = 34;
constexpr UINT kStrSaveQuestion = 115;
constexpr int kColumnWidth = 160;
}  // namespace

CfgEdtDlg::CfgEdtDlg() : HostDialog(IDD_CONFIG_EDITOR, !theApp.disableHelp) {}

CfgEdtDlg::~CfgEdtDlg() {
    if (theApp.configEditor == this) theApp.configEditor = nullptr;
}

BOOL CfgEdtDlg::onInitDialog() {
    addSystemItems();
    setTitleString(kStrEditorTitle);
    setItemString(IDC_OPTIONS_GROUP, 22);
    setItemString(IDC_DOWNLOADS_GROUP, 29);
    setItemString(IDC_ADD_OPTION, 38);
    setItemString(IDC_EDIT_OPTION, 26);
    setItemString(IDC_DELETE_OPTION, 39);
    setItemString(IDC_SAVE, 40);
    setItemString(IDCANCEL, 11);
    const int optionWidth = itemClientWidth(IDC_OPTION_LIST);
    listSetExtendedStyle(IDC_OPTION_LIST, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    char heading[kTextSize];
    loadString(kStrOptionColumn, heading);
    listInsertColumn(IDC_OPTION_LIST, 0, heading, optionWidth > 0 ? optionWidth / 2 : kColumnWidth);
    loadString(kStrValueColumn, heading);
    listInsertColumn(IDC_OPTION_LIST, 1, heading, optionWidth > 0 ? optionWidth - optionWidth / 2 : kColumnWidth);
    listSetExtendedStyle(IDC_DOWNLOAD_LIST, LVS_EX_FULLROWSELECT | LVS_EX_CHECKBOXES,
                         LVS_EX_FULLROWSELECT | LVS_EX_CHECKBOXES);
    const int downloadWidth = itemClientWidth(IDC_DOWNLOAD_LIST);
    loadString(kStrDownloadFilesColumn, heading);
    listInsertColumn(IDC_DOWNLOAD_LIST, 0, heading, downloadWidth > 0 ? downloadWidth : 2 * kColumnWidth);
    loadButtonBitmaps(IDC_MOVE_UP, "IDB_UP_ARROWU", "IDB_UP_ARROWD");
    loadButtonBitmaps(IDC_MOVE_DOWN, "IDB_DOWN_ARROWU", "IDB_DOWN_ARROWD");

    theApp.configEditor = this;
    filling_ = true;
    // Opening the editor creates an empty file when there is none.
    const int32_t ok = readConfiguration(GENERIC_READ, OPEN_ALWAYS);
    filling_ = false;
    // What the file held is not a change: only the operator's edits ask for a save.
    modified_ = false;
    if (!ok) endDialog(IDCANCEL);
    return TRUE;
}

void CfgEdtDlg::addOptionRow(const std::string& key, const std::string& value) { appendOption(key, value); }

void CfgEdtDlg::appendOption(const std::string& key, const std::string& value) {
    const int row = listInsertItem(IDC_OPTION_LIST, listGetItemCount(IDC_OPTION_LIST), key);
    listSetItemText(IDC_OPTION_LIST, row, 1, value);
    modified_ = true;
}

void CfgEdtDlg::replaceOptionValue(int row, const std::string& value) {
    listSetItemText(IDC_OPTION_LIST, row, 1, value);
    modified_ = true;
}

std::vector<std::pair<std::string, std::string>> CfgEdtDlg::optionRows() const {
    std::vector<std::pair<std::string, std::string>> rows;
    for (int i = 0; i < listGetItemCount(IDC_OPTION_LIST); ++i)
        rows.emplace_back(listGetItemText(IDC_OPTION_LIST, i, 0), listGetItemText(IDC_OPTION_LIST, i, 1));
    return rows;
}

std::vector<std::string> CfgEdtDlg::folderImages() const {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA("*.?i?", &found);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.emplace_back(found.cFileName);
    } while (FindNextFileA(find, &found));
    FindClose(find);
    return names;
}

void CfgEdtDlg::listFolderImages() {
    for (const std::string& name : folderImages()) {
        if (listGetItemCount(IDC_DOWNLOAD_LIST) >= kMaxDownloads) break;
        listInsertItem(IDC_DOWNLOAD_LIST, listGetItemCount(IDC_DOWNLOAD_LIST), name);
    }
}

void CfgEdtDlg::clearDownloads() { listDeleteAllItems(IDC_DOWNLOAD_LIST); }

void CfgEdtDlg::showDownloads(const std::vector<std::string>& accepted) {
    listDeleteAllItems(IDC_DOWNLOAD_LIST);
    auto add = [&](const std::string& name, bool checked) {
        if (listGetItemCount(IDC_DOWNLOAD_LIST) >= kMaxDownloads) return;
        const int row = listInsertItem(IDC_DOWNLOAD_LIST, listGetItemCount(IDC_DOWNLOAD_LIST), name);
        listSetCheck(IDC_DOWNLOAD_LIST, row, checked);
    };
    // The configured images come first, checked, wherever they lie; then the folder's other
    // images, unchecked.
    for (const std::string& name : accepted) add(name, true);
    for (const std::string& name : folderImages()) {
        const bool listed = std::any_of(accepted.begin(), accepted.end(), [&](const std::string& a) {
            return a.size() == name.size() &&
                   std::equal(a.begin(), a.end(), name.begin(), [](char x, char y) { return std::tolower(x) == std::tolower(y); });
        });
        if (!listed) add(name, false);
    }
}

void CfgEdtDlg::onNotify(int id, const ui::ListViewNotify& notify) {
    // Any change of the image list, its check boxes and its selection alike, is an edit.
    if (id == IDC_DOWNLOAD_LIST && notify.code == LVN_ITEMCHANGED && !filling_) modified_ = true;
}

void CfgEdtDlg::moveDownload(int delta) {
    const int row = listGetNextSelected(IDC_DOWNLOAD_LIST);
    const int other = row + delta;
    if (row < 0 || other < 0 || other >= listGetItemCount(IDC_DOWNLOAD_LIST)) return;
    const std::string text = listGetItemText(IDC_DOWNLOAD_LIST, row, 0);
    const bool checked = listGetCheck(IDC_DOWNLOAD_LIST, row);
    listSetItemText(IDC_DOWNLOAD_LIST, row, 0, listGetItemText(IDC_DOWNLOAD_LIST, other, 0));
    listSetCheck(IDC_DOWNLOAD_LIST, row, listGetCheck(IDC_DOWNLOAD_LIST, other));
    listSetItemText(IDC_DOWNLOAD_LIST, other, 0, text);
    listSetCheck(IDC_DOWNLOAD_LIST, other, checked);
    listSelectItem(IDC_DOWNLOAD_LIST, other);
    modified_ = true;
}

void CfgEdtDlg::save() {
    char question[kTextSize];
    char caption[kTextSize];
    loadString(kStrSaveQuestion, question);
    loadString(kStrCaption, caption);
    if (MessageBoxA(hwnd(), question, caption, MB_YESNO | MB_ICONQUESTION) != IDYES) return;
    config::ConfigContent content;
    for (const auto& [key, value] : optionRows()) content.options.push_back({key, value});
    for (int i = 0; i < listGetItemCount(IDC_DOWNLOAD_LIST); ++i)
        if (listGetCheck(IDC_DOWNLOAD_LIST, i)) content.downloads.push_back(listGetItemText(IDC_DOWNLOAD_LIST, i, 0));
    content.symLink = symLink_;
    const char* path = theApp.configPath[0] ? theApp.configPath : "Zelfin.cfg";
    const config::ConfigWriteResult r = config::writeConfig(path, content);
    if (!r.ok) {
        hostLog("%s(%i) :Error writing to Zelfin.cfg: %s. Error: %xh", "CfgEdtDlg", 300, r.message.c_str(), r.error);
        HostStatus status;
        status.code = kConfigNotOpened;
        reportStatusBox(status);
        return;
    }
    modified_ = false;
}

void CfgEdtDlg::closeEditor() {
    if (modified_) save();
    endDialog(IDCANCEL);
}

int CfgEdtDlg::selectedOptionRow() {
    const int row = listGetNextSelected(IDC_OPTION_LIST);
    if (row < 0) {
        HostStatus status;
        status.code = kNoRowSelected;
        reportStatusBox(status);
    }
    return row;
}

void CfgEdtDlg::onCommand(int id, int code) {
    if (code != BN_CLICKED) return;
    switch (id) {
    case IDC_ADD_OPTION: {
        OptionDlg dlg(*this, OptionDlg::Mode::Add);
        dlg.doModal(this);
        break;
    }
    case IDC_EDIT_OPTION: {
        const int row = selectedOptionRow();
        if (row < 0) break;
        OptionDlg dlg(*this, OptionDlg::Mode::Edit, row);
        dlg.doModal(this);
        break;
    }
    case IDC_DELETE_OPTION: {
        const int row = selectedOptionRow();
        if (row < 0) break;
        listDeleteItem(IDC_OPTION_LIST, row);
        modified_ = true;
        break;
    }
    case IDC_MOVE_UP: moveDownload(-1); break;
    case IDC_MOVE_DOWN: moveDownload(+1); break;
    case IDC_SAVE: save(); break;
    case IDCANCEL: closeEditor(); break;
    default: break;
    }
}

void runConfigEditorDialog() {
    CfgEdtDlg editor;
    setMainWindow(&editor);
    editor.doModal();
    setMainWindow(nullptr);
}

}  // namespace zelfin
