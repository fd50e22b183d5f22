#include "cfg_mode_dialog.h"

#include <cstring>
#include <string>

#include "app.h"
#include "backup_name.h"
#include "device_info_dialog.h"
#include "device_ref.h"
#include "log.h"
#include "resource.h"
#include "status.h"
#include "text.h"

namespace zelfin {

namespace {

constexpr const char* kUnit = "CfgModeDlg";
constexpr UINT kStrStart = 10;
constexpr UINT kStrClose = 11;
constexpr UINT kStrInstruction = 24;
constexpr UINT kStrCancel = 27;
constexpr UINT kStrCancelQuestion = 32;
constexpr UINT kStrImageColumn = 35;
constexpr UINT kStrDeviceColumn = 36;
constexpr UINT kStrDeviceInfo = 37;
constexpr UINT kStrOverall = 44;
constexpr UINT kStrCurrent = 45;
constexpr UINT kStrUpdating = 111;
constexpr UINT kStrUpdated = 112;
constexpr UINT kStrUpdateFailed = 113;
constexpr UINT kStrGoOn = 116;
// A reader of the mobile family needs time to settle after the previous one came back.
constexpr DWORD kMobilePauseMs = 7000;

// The plug-in's progress callback has no context: one run dialog exists per process.
std::atomic<CfgModeDlg*> runningDialog{nullptr};

std::string readerName(const DownloadEntry& row) { return deviceName(DeviceRef{row.pluginIndex, row.deviceIndex}); }

int askYesNo(UINT id) {
    char text[kTextSize];
    char caption[kTextSize];
    loadString(id, text);
    loadString(kStrCaption, caption);
    return MessageBoxA(mainWindow(), text, caption, MB_YESNO | MB_ICONEXCLAMATION);
}

}  // namespace

CfgModeDlg::CfgModeDlg() : HostDialog(IDD_CFG_MODE, !theApp.disableHelp) {}

CfgModeDlg::~CfgModeDlg() {
    if (worker_.joinable()) worker_.join();
    CfgModeDlg* self = this;
    runningDialog.compare_exchange_strong(self, nullptr);
    exitCode = runResult_.load();
}

BOOL CfgModeDlg::onInitDialog() {
    addSystemItems();
    setTitleString(kStrTitle);
    setItemString(IDC_RUN_START, kStrStart);
    setItemString(IDC_RUN_CLOSE, kStrClose);
    setItemString(IDC_RUN_DEVICE_INFO, kStrDeviceInfo);
    setItemString(IDC_RUN_INSTRUCTION, kStrInstruction);
    setItemString(IDC_RUN_OVERALL_LABEL, kStrOverall);
    setItemString(IDC_RUN_IMAGE_LABEL, kStrCurrent);

    char text[kTextSize];
    const int width = itemClientWidth(IDC_RUN_LIST);
    const int column = width > 0 ? width / 2 : 200;
    listSetExtendedStyle(IDC_RUN_LIST, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    loadString(kStrImageColumn, text);
    listInsertColumn(IDC_RUN_LIST, 0, text, column);
    loadString(kStrDeviceColumn, text);
    listInsertColumn(IDC_RUN_LIST, 1, text, width > 0 ? width - column : column);

    // Each list row keeps the table row it stands for.
    listRows_.clear();
    for (int k = 0; k < theApp.downloadCount; ++k) {
        const DownloadEntry& row = theApp.downloads[k];
        if (row.deviceIndex == kNoIndex || row.pluginIndex == kNoIndex) continue;
        const int item = listInsertItem(IDC_RUN_LIST, listGetItemCount(IDC_RUN_LIST), row.fileName);
        listSetItemText(IDC_RUN_LIST, item, 1, readerName(row));
        listRows_.push_back(k);
    }
    fitColumnsToContent(IDC_RUN_LIST);
    enableItem(IDC_RUN_DEVICE_INFO, false);
    enableItem(IDC_RUN_OVERALL_BAR, false);
    enableItem(IDC_RUN_IMAGE_BAR, false);
    const auto [low, high] = progressGetRange(IDC_RUN_OVERALL_BAR);
    const int rows = static_cast<int>(listRows_.size());
    overallStep_ = rows > 0 ? (high - low) / (2 * rows) : high - low;
    progressSetStep(IDC_RUN_OVERALL_BAR, overallStep_);
    const auto [imageLow, imageHigh] = progressGetRange(IDC_RUN_IMAGE_BAR);
    progressSetStep(IDC_RUN_IMAGE_BAR, (imageHigh - imageLow) / 100);
    return TRUE;
}

void CfgModeDlg::onCommand(int id, int code) {
    if (code != BN_CLICKED) return;
    switch (id) {
    case IDC_RUN_START:
        start();
        break;
    case IDC_RUN_DEVICE_INFO:
        showDeviceInfo();
        break;
    case IDC_RUN_CLOSE:
    case IDCANCEL:
        cancelOrClose();
        break;
    default:
        break;
    }
}

void CfgModeDlg::onNotify(int id, const ui::ListViewNotify& notify) {
    // Not while a transfer runs: the plug-in would be asked about a reader it is writing.
    if (id == IDC_RUN_LIST && notify.code == NM_CLICK && !busy_.load()) enableItem(IDC_RUN_DEVICE_INFO, true);
}

void CfgModeDlg::showDeviceInfo() {
    const int item = listGetNextSelected(IDC_RUN_LIST);
    if (item < 0 || item >= static_cast<int>(listRows_.size())) return;
    // The row keeps the table row it stands for: never found again by its texts.
    runDeviceInfoForDownloadRow(listRows_[item], this, !theApp.disableHelp);
}

void CfgModeDlg::onClose() { cancelOrClose(); }

void CfgModeDlg::start() {
    if (busy_.load() || done_.load()) return;
    char text[kTextSize];
    loadString(kStrCancel, text);
    setItemText(IDC_RUN_CLOSE, text);
    enableItem(IDC_RUN_START, false);
    enableItem(IDC_RUN_DEVICE_INFO, false);
    enableItem(IDC_RUN_OVERALL_BAR, true);
    enableItem(IDC_RUN_IMAGE_BAR, true);
    std::atomic_ref<int32_t>(abortRequest_).store(0);
    busy_ = true;
    done_ = false;
    runningDialog = this;
    worker_ = std::thread([this] { downloadLoop(); });
}

void CfgModeDlg::cancelOrClose() {
    if (busy_.load()) {
        if (askYesNo(kStrCancelQuestion) == IDYES) {
            runResult_ = kCancelled;
            // The plug-in stops at its next look; the dialog waits for the loop.
            std::atomic_ref<int32_t>(abortRequest_).store(1);
        }
        return;
    }
    if (!done_.load()) runResult_ = kCancelled;
    endDialog(IDCANCEL);
}

void CfgModeDlg::setProgressText(UINT stringId, const char* name, const char* tail) {
    char lead[kTextSize];
    char text[kTextSize];
    loadString(stringId, lead);
    if (!formatInto(text, sizeof text, "%s%s%s", lead, name, tail))
        hostLog("%s(%i) :Progress text cut to fit: %s", kUnit, 90, text);
    setItemText(IDC_RUN_TEXT, text);
}

void CfgModeDlg::progress(int32_t step, const char* text) {
    CfgModeDlg* d = runningDialog.load();
    if (!d) return;
    if (step == 0) {
        d->progressSetPos(IDC_RUN_IMAGE_BAR, d->progressGetRange(IDC_RUN_IMAGE_BAR).first);
    } else if (step > 0) {
        const auto [low, high] = d->progressGetRange(IDC_RUN_IMAGE_BAR);
        const int32_t steps = std::min<int32_t>(step, high - low);  // more would only go round again
        for (int32_t i = 0; i < steps; ++i) d->progressStepIt(IDC_RUN_IMAGE_BAR);
    }
    // A plug-in's text is at most 259 characters; one without its end is cut there.
    if (text) d->setItemText(IDC_RUN_PLUGIN_TEXT, std::string(text, strnlen(text, KPL_PROGRESS_TEXT_MAX)));
}

bool CfgModeDlg::downloadRow(int k) {
    DownloadEntry& row = theApp.downloads[k];
    PluginSlot& slot = theApp.plugins[row.pluginIndex];
    const bool named = makeBackupName(row);
    setProgressText(kStrUpdating, readerName(row).c_str(), "...");
    progressStepIt(IDC_RUN_OVERALL_BAR);
    hostLog("********** Firmware  Download  Start **********");
    hostLog("%s(%i) :Preparing to download %s", kUnit, 100, row.fileName);
    hostLog("%s(%i) :Selected device is device %d", kUnit, 110, row.deviceIndex);
    if (!named) {
        failRow(row, 0);
        return false;
    }
    if (k > 0 && std::strstr(slot.description, "Mobile")) Sleep(kMobilePauseMs);
    const int32_t rc = slot.downloadFirmware(&slot.devices, static_cast<uint8_t>(row.deviceIndex), row.backupFileName,
                                             row.fileName, &CfgModeDlg::progress, &abortRequest_);
    if (rc != 0) {
        failRow(row, rc);
        return false;
    }
    if (k == theApp.downloadCount - 1 && slot.switchToFuncMode) slot.switchToFuncMode();
    setProgressText(kStrUpdated, "", "");
    progressStepIt(IDC_RUN_OVERALL_BAR);
    return true;
}

void CfgModeDlg::failRow(const DownloadEntry& row, int32_t rc) {
    progressSetPos(IDC_RUN_OVERALL_BAR, progressGetRange(IDC_RUN_OVERALL_BAR).first);
    progressSetPos(IDC_RUN_IMAGE_BAR, progressGetRange(IDC_RUN_IMAGE_BAR).first);
    runResult_ = kDownloadFailed;
    setProgressText(kStrUpdateFailed, readerName(row).c_str(), "");
    HostStatus status;
    if (rc == 0) {
        status.code = kRunFailed;  // no backup name could be made: the plug-in never ran
    } else {
        status.code = rc;
        status.fromPlugin = 1;
        status.pluginIndex = static_cast<uint8_t>(row.pluginIndex);
    }
    reportStatusBox(status);
}

void CfgModeDlg::downloadLoop() {
    int successes = 0;
    bool attempted = false;
    bool lastFailed = false;
    for (int k = 0; k < theApp.downloadCount; ++k) {
        if (theApp.downloads[k].deviceIndex == kNoIndex || theApp.downloads[k].pluginIndex == kNoIndex) continue;
        // Once a cancel is confirmed no further reader is started.
        if (std::atomic_ref<int32_t>(abortRequest_).load()) break;
        if (lastFailed && askYesNo(kStrGoOn) != IDYES) break;
        attempted = true;
        lastFailed = !downloadRow(k);
        if (!lastFailed) ++successes;
    }
    const auto [low, high] = progressGetRange(IDC_RUN_OVERALL_BAR);
    const auto [imageLow, imageHigh] = progressGetRange(IDC_RUN_IMAGE_BAR);
    if (attempted && !lastFailed) {
        if (successes == theApp.downloadCount) runResult_ = kAllDone;
        progressSetPos(IDC_RUN_OVERALL_BAR, high);
        progressSetPos(IDC_RUN_IMAGE_BAR, imageHigh);
    } else if (lastFailed) {
        progressSetPos(IDC_RUN_OVERALL_BAR, low);
        progressSetPos(IDC_RUN_IMAGE_BAR, imageLow);
    }
    // Idle before the button says so: a click on "Close" must find the loop ended.
    busy_ = false;
    done_ = true;
    char text[kTextSize];
    loadString(kStrClose, text);
    setItemText(IDC_RUN_CLOSE, text);
}

}  // namespace zelfin
