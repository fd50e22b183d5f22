#include "host_dialog.h"

#include <winsim/shellapi.h>

#include <algorithm>
#include <vector>

#include "about_dialog.h"
#include "app.h"
#include "log.h"
#include "resource.h"

namespace zelfin {

namespace {
constexpr UINT kStrHelpItem = 33;
constexpr UINT kStrAboutItem = 13;
}  // namespace

HostDialog::HostDialog(UINT templateId, bool helpAllowed) : ui::Dialog(nullptr, templateId), helpAllowed_(helpAllowed) {}

void HostDialog::addSystemItems() {
    char text[kTextSize];
    if (helpAllowed_) {
        loadString(kStrHelpItem, text);
        addHelpItem(text);
    }
    loadString(kStrAboutItem, text);
    addAboutItem(text);
    setIcon(nullptr, MAKEINTRESOURCEA(IDI_ZELFIN));
}

void HostDialog::onHelp() {
    if (helpAllowed_) showHelp();
}

void HostDialog::onAbout() {
    AboutDlg about;
    about.doModal(this);
}

void HostDialog::setItemString(int control, UINT id) {
    char text[kTextSize];
    loadString(id, text);
    setItemText(control, text);
}

void HostDialog::fitColumnsToContent(int list) {
    const int columns = listGetColumnCount(list);
    const int width = itemClientWidth(list);
    if (columns < 2 || width <= 0) return;
    std::vector<size_t> longest(static_cast<size_t>(columns), 1);
    for (int c = 0; c < columns; ++c) {
        // A few characters of room each, so that a short column still shows its heading.
        longest[c] = std::max<size_t>(listGetColumnText(list, c).size(), 8) + 2;
        for (int r = 0; r < listGetItemCount(list); ++r)
            longest[c] = std::max(longest[c], listGetItemText(list, r, c).size() + 2);
    }
    size_t total = 0;
    for (size_t n : longest) total += n;
    int used = 0;
    for (int c = 0; c < columns; ++c) {
        const int w = c + 1 < columns ? static_cast<int>(static_cast<size_t>(width) * longest[c] / total) : width - used;
        listSetColumnWidth(list, c, w);
        used += w;
    }
}

void HostDialog::setTitleString(UINT id) {
    char text[kTextSize];
    loadString(id, text);
    setTitle(text);
}

void showHelp() {
    char self[kTextSize];
    const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    if (n == 0 || n >= sizeof self) return;
    std::string manual(self, n);
    manual = manual.substr(0, manual.rfind('\\') + 1) + "ZELFIN.HTM";
    const auto rc = reinterpret_cast<intptr_t>(ShellExecuteA(nullptr, "open", manual.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    if (rc <= 32) hostLog("%s(%i) :Cannot open the manual %s. Error: %xh", "Zelfin", 501, manual.c_str(), GetLastError());
}

}  // namespace zelfin
