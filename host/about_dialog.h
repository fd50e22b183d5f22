// The About box: the program's version line, the bound plug-ins and the support address.
#pragma once
#include <string>

#include <ui/dialog.h>

namespace zelfin {

class AboutDlg : public ui::Dialog {
public:
    AboutDlg();

protected:
    BOOL onInitDialog() override;
    void onCommand(int id, int code) override;

private:
    std::string link_;
};

}  // namespace zelfin
