// The main dialog's operations: start, the worker thread that drives the plug-in, its progress,
// and cancelling.
#include <cstring>

#include "backup_name.h"
#include "log.h"
#include "main_dialog.h"
#include "resource.h"
#include "status.h"
#include "text.h"

namespace zelfin {

namespace {

constexpr UINT kStrClose = 11;
constexpr UINT kStrCancel = 27;
constexpr UINT kStrCancelQuestion = 32;

// Plug-in codes after which the operator may simply try again; 751 says so without a box.
bool retryable(int32_t rc) { return rc == 735 || rc == 737 || rc == 738 || rc == 740 || rc == 751; }
constexpr int32_t kSilentRetry = 751;

}  // namespace

std::atomic<ZelfinDlg*> ZelfinDlg::running_{nullptr};

ZelfinDlg::~ZelfinDlg() {
    for (std::thread& worker : workers_)
        if (worker.joinable()) worker.join();
    exitCode = mainResult_.load();
}

void ZelfinDlg::start() {
    if (busy_.load()) return;
    if (!takeSelectedRow()) return;
    const DeviceRef reader = rows_[comboGetCurSel(IDC_DEVICE_CHOICE)];
    const Operation op = theApp.downloadMode == 1 ? Operation::Download : Operation::Upload;
    DownloadEntry& row = downloadRow();
    if (op == Operation::Download) {
        // The backup name goes with the download's row, never into the upload's target.
        if (!makeBackupName(row)) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            systemErrorBox();
            return;
        }
        row.pluginIndex = reader.plugin;
        row.deviceIndex = reader.device;
    }
    enableItem(IDC_MAIN_PROGRESS, true);
    for (int id : {IDC_DEVICE_CHOICE, IDC_START, IDC_MAIN_DEVICE_INFO, IDC_MODE_DOWNLOAD, IDC_MODE_UPLOAD, IDC_BROWSE})
        enableItem(id, false);
    setItemString(IDCANCEL, kStrCancel);
    {
        std::lock_guard<std::mutex> lock(stateLock_);
        busy_ = 1;
        done_ = 0;
        std::atomic_ref<int32_t>(abortFlag_).store(0);
    }
    workers_.emplace_back([this, op, reader, target = &row] { operate(op, reader, target); });
}

void ZelfinDlg::operate(Operation op, DeviceRef reader, DownloadEntry* row) {
    PluginSlot& slot = theApp.plugins[reader.plugin];
    const auto index = static_cast<uint8_t>(reader.device);
    running_ = this;
    int32_t rc = 0;
    if (op == Operation::Download) {
        hostLog("********** Firmware  Download  Start **********");
        hostLog("%s(%i) :Preparing to download %s", "ZelfinDlg", 200, row->fileName);
        hostLog("%s(%i) :Selected device is device %d", "ZelfinDlg", 201, reader.device);
        rc = slot.downloadFirmware(&slot.devices, index, row->backupFileName, row->fileName, &ZelfinDlg::progress,
                                   &abortFlag_);
        // The reader goes back to its normal mode whatever came of the download.
        if (slot.switchToFuncMode) slot.switchToFuncMode();
    } else {
        hostLog("********** Firmware  Upload  Start **********");
        hostLog("%s(%i) :Preparing to upload to %s", "ZelfinDlg", 210, uploadTarget_);
        hostLog("%s(%i) :Selected device is device %d", "ZelfinDlg", 211, reader.device);
        rc = slot.uploadFirmware(&slot.devices, index, uploadTarget_, &ZelfinDlg::progress, &abortFlag_);
    }
    running_ = nullptr;
    finish(op, reader, rc);
}

void ZelfinDlg::finish(Operation op, DeviceRef reader, int32_t rc) {
    {
        // The operation is over: from here a cancel no longer applies, and the plug-in's answer
        // is the last event.
        std::lock_guard<std::mutex> lock(stateLock_);
        mainResult_ = rc == 0 ? 0 : 2;
        busy_ = 0;
        done_ = 1;
    }
    if (rc == 0) {
        hostLog(op == Operation::Download ? "********** Firmware Download Complete **********"
                                          : "********** Firmware Upload Complete **********");
    } else {
        if (rc != kSilentRetry) {
            HostStatus status;
            status.code = rc;
            status.fromPlugin = 1;
            status.pluginIndex = static_cast<uint8_t>(reader.plugin);
            reportStatusBox(status);
        }
        progressSetPos(IDC_MAIN_PROGRESS, progressGetRange(IDC_MAIN_PROGRESS).first);
        setItemText(IDC_PROGRESS_TEXT, "");
        if (retryable(rc)) {
            enableItem(IDC_START, true);
            enableItem(IDC_BROWSE, true);
            enableItem(IDC_MAIN_DEVICE_INFO, true);
        }
    }
    setItemString(IDCANCEL, kStrClose);
    setFocusItem(IDCANCEL);
}

void ZelfinDlg::progress(int32_t step, const char* text) {
    ZelfinDlg* dlg = running_.load();
    if (!dlg) return;
    if (step == 0) {
        dlg->progressSetPos(IDC_MAIN_PROGRESS, dlg->progressGetRange(IDC_MAIN_PROGRESS).first);
    } else if (step > 0) {
        const auto [low, high] = dlg->progressGetRange(IDC_MAIN_PROGRESS);
        const int single = (high - low) / 100 > 0 ? (high - low) / 100 : 1;
        // Clamped at the top: a plug-in that reports more than 100 points leaves the bar full.
        dlg->progressDeltaPos(IDC_MAIN_PROGRESS, step > 100 ? 100 * single : step * single);
    }
    // A plug-in's text is at most 259 characters; one without its end is cut there.
    dlg->setItemText(IDC_PROGRESS_TEXT, text ? std::string(text, strnlen(text, KPL_PROGRESS_TEXT_MAX)) : std::string());
}

void ZelfinDlg::cancel() {
    if (busy_.load()) {
        char question[kTextSize];
        char caption[kTextSize];
        loadString(kStrCancelQuestion, question);
        loadString(kStrCaption, caption);
        if (MessageBoxA(hwnd(), question, caption, MB_YESNO | MB_ICONEXCLAMATION) != IDYES) return;
        std::lock_guard<std::mutex> lock(stateLock_);
        // The dialog stays until the plug-in stops at its next check.
        if (busy_.load()) {
            mainResult_ = 1;
            std::atomic_ref<int32_t>(abortFlag_).store(1);
        }
        return;
    }
    if (!done_.load()) mainResult_ = 1;
    endDialog(IDCANCEL);
}

}  // namespace zelfin
