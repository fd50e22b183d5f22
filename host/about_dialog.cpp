#include "about_dialog.h"

#include <winsim/shellapi.h>

#include "app.h"
#include "resource.h"
#include "text.h"
#include "version_info.h"

namespace zelfin {

namespace {
constexpr UINT kStrAboutTitle = 46;
constexpr UINT kStrOk = 12;
constexpr const char* kSupportAddress = "https://zelfin.example.org/support";
}  // namespace

AboutDlg::AboutDlg() : ui::Dialog(nullptr, IDD_ABOUT) {}

BOOL AboutDlg::onInitDialog() {
    char text[kTextSize];
    char self[kTextSize];
    const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    const VersionStrings v = n && n < sizeof self ? readVersionStrings(self) : VersionStrings{};
    PluginSlot* first = theApp.pluginCount > 0 ? &theApp.plugins[0] : nullptr;
    if (v.hasProductName && v.hasFileDescription && v.hasProductVersion && v.hasLegalCopyright) {
        char word[kTextSize];
        loadString(kStrVersionWord, word);
        formatInto(text, sizeof text, "%s - %s %s %s", v.productName.c_str(), v.fileDescription.c_str(), word,
                   v.productVersion.c_str());
        setItemText(IDC_ABOUT_VERSION, text);
        // The first plug-in may put its own line in place of the legal notice.
        char info[kTextSize] = {};
        if (first && first->getDllInfo && first->getDllInfo(1, info)) {
            info[sizeof info - 1] = '\0';
            setItemText(IDC_ABOUT_NOTICE, info);
        } else {
            setItemText(IDC_ABOUT_NOTICE, v.legalCopyright);
        }
    }
    std::string plugins;
    for (int i = 0; i < theApp.pluginCount; ++i) {
        if (i) plugins += "\n\n";
        plugins += theApp.plugins[i].description;
    }
    setItemText(IDC_ABOUT_PLUGINS, plugins);
    loadString(kStrAboutTitle, text);
    setTitle(text);
    loadString(kStrOk, text);
    setItemText(IDOK, text);
    setIcon(nullptr, MAKEINTRESOURCEA(IDI_ZELFIN));
    // The template holds the project's own address; the first plug-in may name its maker's.
    link_ = itemText(IDC_ABOUT_LINK);
    if (link_.empty()) link_ = kSupportAddress;
    char link[kTextSize] = {};
    if (first && first->getDllInfo && first->getDllInfo(2, link)) {
        link[sizeof link - 1] = '\0';
        link_ = link;
    }
    setItemText(IDC_ABOUT_LINK, link_);
    setItemLinkStyle(IDC_ABOUT_LINK);
    return TRUE;
}

void AboutDlg::onCommand(int id, int code) {
    if (id == IDC_ABOUT_LINK) {
        // In the user's browser, maximised, as "explorer" opens an address.
        ShellExecuteA(hwnd(), "open", "explorer", link_.c_str(), nullptr, 3 /* SW_SHOWMAXIMIZED */);
        return;
    }
    ui::Dialog::onCommand(id, code);
}

}  // namespace zelfin
