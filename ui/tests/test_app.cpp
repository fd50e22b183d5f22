// A program of the toolkit's tests, run as a separate process:
//   ui_test_app dialog         runs the test dialog modally; prints its events and result
//   ui_test_app hold TITLE     a dialog titled TITLE, open until closed; prints "open <hwnd>"
//   ui_test_app find TITLE     finds TITLE in another process, restores it and brings it to
//                              the front; exit code 0 when found, 1 when not
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include <ui/ui.h>

#include "test_dialog.h"

namespace {

class HoldDialog : public ui::Dialog {
public:
    explicit HoldDialog(const std::string& title) : ui::Dialog(makeTemplate(title)) {}

protected:
    BOOL onInitDialog() override {
        std::printf("open %" PRIx64 "\n", static_cast<uint64_t>(reinterpret_cast<uintptr_t>(hwnd())));
        std::fflush(stdout);
        return TRUE;
    }

private:
    static ui::DialogTemplate makeTemplate(const std::string& title) {
        ui::DialogTemplate t = ui::makeDialog(title, 160, 50);
        t.items.push_back(ui::lText("Waiting to be found.", IDC_STATIC, 7, 7, 146, 10));
        t.items.push_back(ui::pushButton("Close", IDCANCEL, 103, 29, 50, 14));
        return t;
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "dialog") == 0) {
        uitest::TestDialog dialog;
        const INT_PTR result = dialog.doModal();
        for (const std::string& e : dialog.events()) std::printf("event %s\n", e.c_str());
        std::printf("result %d\n", static_cast<int>(result));
        std::fflush(stdout);
        return static_cast<int>(result);
    }
    if (argc >= 3 && std::strcmp(argv[1], "hold") == 0) {
        HoldDialog dialog(argv[2]);
        return static_cast<int>(dialog.doModal());
    }
    if (argc >= 3 && std::strcmp(argv[1], "find") == 0) {
        HWND h = FindWindowA(nullptr, argv[2]);
        if (!h) return 1;
        ShowWindow(h, SW_RESTORE);
        SetForegroundWindow(h);
        return 0;
    }
    std::fprintf(stderr, "usage: ui_test_app dialog | hold TITLE | find TITLE\n");
    return 64;
}
