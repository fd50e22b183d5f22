#include "test_dialog.h"

#include <cstdio>

namespace uitest {

TestDialog::TestDialog() : ui::Dialog(GetModuleHandleA(nullptr), IDD_TEST) {}

TestDialog::~TestDialog() {
    if (worker_.joinable()) worker_.join();
}

std::vector<std::string> TestDialog::events() const {
    // A call through the interface thread first, so that the handlers of what this thread did
    // before have run.
    (void)hasItem(0);
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

size_t TestDialog::countEvents(const std::string& prefix) const {
    (void)hasItem(0);
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto& e : events_) n += e.rfind(prefix, 0) == 0;
    return n;
}

void TestDialog::clearEvents() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
}

void TestDialog::record(const std::string& event) {
    handlerThread_ = std::this_thread::get_id();
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
}

BOOL TestDialog::onInitDialog() {
    checkRadioButton(IDC_DOWNLOAD, IDC_UPLOAD, IDC_DOWNLOAD);
    checkButton(IDC_BACKUP);
    setItemText(IDC_RETRIES, "3");
    for (const char* reader : {"Reader C (E:)", "reader A (F:)", "Reader B (G:)"}) comboAddString(IDC_READERS, reader);
    comboSetCurSel(IDC_READERS, 0);

    listSetExtendedStyle(IDC_LIST, 0, LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
    const int width = itemClientWidth(IDC_LIST);
    listInsertColumn(IDC_LIST, 0, "Image", width * 2 / 3);
    listInsertColumn(IDC_LIST, 1, "Version", width - width * 2 / 3);
    const char* rows[][2] = {{"fw_a.bin", "1.20"}, {"fw_b.bin", "1.31"}, {"fw_c.sig", "2.00"}};
    for (int i = 0; i < 3; ++i) {
        listInsertItem(IDC_LIST, i, rows[i][0]);
        listSetItemText(IDC_LIST, i, 1, rows[i][1]);
    }
    listSetCheck(IDC_LIST, 0, true);

    setItemLinkStyle(IDC_LINK);
    progressSetRange(IDC_PROGRESS, 0, 100);
    progressSetStep(IDC_PROGRESS, 100 / workerSteps);
    loadButtonBitmaps(IDC_MOVE_UP, "IDB_UP_ARROWU", "IDB_UP_ARROWD");
    loadButtonBitmaps(IDC_MOVE_DOWN, "IDB_DOWN_ARROWU", "IDB_DOWN_ARROWD");
    if (withMenu) {
        addHelpItem("&Help");
        addAboutItem("&About Toolkit Test...");
    }
    return TRUE;
}

void TestDialog::onCommand(int id, int code) {
    record("command " + std::to_string(id) + " " + std::to_string(code));
    if (id == IDC_RETRIES && code == EN_CHANGE) {
        // A number field: anything but digits empties it, as the option dialog does.
        const std::string text = itemText(IDC_RETRIES);
        if (text.find_first_not_of("0123456789") != std::string::npos) setItemText(IDC_RETRIES, "");
        return;
    }
    if (id == IDC_START && code == BN_CLICKED) {
        enableItem(IDC_START, false);
        setItemText(IDC_STATUS, "Working...");
        if (worker_.joinable()) worker_.join();
        worker_ = std::thread([this] { work(); });
        return;
    }
    if (id == IDC_BROWSE && code == BN_CLICKED && onBrowse) {
        onBrowse(*this);
        return;
    }
    ui::Dialog::onCommand(id, code);
}

// The worker of a transfer: it updates the dialog from its own thread.
void TestDialog::work() {
    for (int i = 1; i <= workerSteps; ++i) {
        Sleep(stepMs);
        progressStepIt(IDC_PROGRESS);
        setItemText(IDC_STATUS, "Step " + std::to_string(i));
    }
    setItemText(IDC_STATUS, "Done.");
    enableItem(IDOK);
}

void TestDialog::onNotify(int id, const ui::ListViewNotify& n) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "notify %d %d %d %x %x", id, n.code, n.item, n.oldState, n.newState);
    record(buf);
}

void TestDialog::onTimer(UINT_PTR timerId) { record("timer " + std::to_string(timerId)); }

void TestDialog::onClose() {
    record("close");
    ui::Dialog::onClose();
}

void TestDialog::onHelp() { record("help"); }
void TestDialog::onAbout() { record("about"); }

}  // namespace uitest
