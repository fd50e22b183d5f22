// The option dialog of the configuration editor: adds an option or edits the value of one.
#pragma once
#include <string>
#include <vector>

#include "host_dialog.h"

namespace zelfin {

class CfgEdtDlg;

class OptionDlg : public HostDialog {
public:
    enum class Mode { Add, Edit };
    OptionDlg(CfgEdtDlg& editor, Mode mode, int row = -1);

    // The numeric field accepts empty text, "-", "-1" or digits only.
    static bool acceptableNumber(const std::string& text);

protected:
    BOOL onInitDialog() override;
    void onCommand(int id, int code) override;

private:
    void fillKeys();
    bool yesNoKind() const;
    void showValueFields(bool yesNo, bool enabled);
    void accept();

    CfgEdtDlg& editor_;
    Mode mode_;
    int row_;
    bool editYesNo_ = false;  // edit mode: the value is edited in the YES/NO drop-down
};

}  // namespace zelfin
