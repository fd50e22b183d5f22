// The configuration editor (started with "/CE"): options and firmware images of Zelfin.cfg.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "host_dialog.h"

namespace zelfin {

class CfgEdtDlg : public HostDialog {
public:
    CfgEdtDlg();
    ~CfgEdtDlg() override;

    // Filled by the configuration reader while it reads.
    void addOptionRow(const std::string& key, const std::string& value);
    void listFolderImages();
    void clearDownloads();
    void showDownloads(const std::vector<std::string>& accepted);
    void setSymLink(const std::string& value) { symLink_ = value; }

    // The option rows, for the option dialog.
    std::vector<std::pair<std::string, std::string>> optionRows() const;
    void appendOption(const std::string& key, const std::string& value);
    void replaceOptionValue(int row, const std::string& value);
    bool modified() const { return modified_; }

protected:
    BOOL onInitDialog() override;
    void onCommand(int id, int code) override;
    void onNotify(int id, const ui::ListViewNotify& notify) override;

private:
    // The editor's save: asks first, writes the options, the checked images and the SymLink
    // record through a temporary file.
    void save();
    void closeEditor();
    void moveDownload(int delta);
    // The selected option row; -1, with host code 109 shown, when there is none.
    int selectedOptionRow();
    std::vector<std::string> folderImages() const;

    bool modified_ = false;
    bool filling_ = false;
    std::optional<std::string> symLink_;
};

// Runs the editor as the main window.
void runConfigEditorDialog();

}  // namespace zelfin
