// The main dialog's choices: the operation, the file, the reader. Starting and running an
// operation is main_dialog_run.cpp.
#include "main_dialog.h"

#include "device_info_dialog.h"
#include "loader.h"
#include "log.h"
#include "resource.h"
#include "status.h"
#include "text.h"

namespace zelfin {

namespace {

constexpr UINT kStrModeGroup = 1;
constexpr UINT kStrBrowse = 4;
constexpr UINT kStrDownload = 8;
constexpr UINT kStrUpload = 9;
constexpr UINT kStrStart = 10;
constexpr UINT kStrClose = 11;
constexpr UINT kStrFileGroup = 35;
constexpr UINT kStrDeviceInfo = 37;
constexpr UINT kStrDeviceGroup = 47;

constexpr const char* kBinFilter = "Bin Files (*.bin)|*.bin|All Files (*.*)|*.*|";
constexpr const char* kSigFilter = "Sig Files (*.sig)|*.sig|All Files (*.*)|*.*|";

// A path that does not fit the host's 260-byte buffers is refused whole: cut, it would name
// another file.
void refuseLongPath(const std::string& path) {
    hostLog("%s(%i) :The path %.200s... is too long", "ZelfinDlg", 140, path.c_str());
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    systemErrorBox();
}

}  // namespace

ZelfinDlg::ZelfinDlg(bool withModeChoice, bool helpAllowed)
    : HostDialog(withModeChoice ? IDD_MAIN : IDD_MAIN_DOWNLOAD_ONLY, helpAllowed), withModeChoice_(withModeChoice) {}

BOOL ZelfinDlg::onInitDialog() {
    addSystemItems();
    setTitleString(kStrTitle);
    setItemString(IDC_MODE_GROUP, kStrModeGroup);
    setItemString(IDC_MODE_DOWNLOAD, kStrDownload);
    setItemString(IDC_MODE_UPLOAD, kStrUpload);
    setItemString(IDC_FILE_GROUP, kStrFileGroup);
    setItemString(IDC_BROWSE, kStrBrowse);
    setItemString(IDC_DEVICE_GROUP, kStrDeviceGroup);
    setItemString(IDC_MAIN_DEVICE_INFO, kStrDeviceInfo);
    setItemString(IDC_START, kStrStart);
    setItemString(IDCANCEL, kStrClose);
    if (!withModeChoice_) {
        for (int id : {IDC_MODE_GROUP, IDC_MODE_DOWNLOAD, IDC_MODE_UPLOAD}) {
            showItem(id, false);
            enableItem(id, false);
        }
    }
    enableItem(IDC_DEVICE_CHOICE, false);
    enableItem(IDC_START, false);
    enableItem(IDC_MAIN_DEVICE_INFO, false);
    checkRadioButton(IDC_MODE_DOWNLOAD, IDC_MODE_UPLOAD, IDC_MODE_DOWNLOAD);
    theApp.downloadMode = 1;
    // The plug-ins report in percentage points: one step is a hundredth of the bar.
    const auto [low, high] = progressGetRange(IDC_MAIN_PROGRESS);
    progressSetPos(IDC_MAIN_PROGRESS, low);
    progressSetStep(IDC_MAIN_PROGRESS, (high - low) / 100 > 0 ? (high - low) / 100 : 1);
    enableItem(IDC_MAIN_PROGRESS, false);
    return TRUE;
}

void ZelfinDlg::onCommand(int id, int code) {
    if (code != BN_CLICKED && !(id == IDC_DEVICE_CHOICE && code == CBN_SELCHANGE)) return;
    switch (id) {
    case IDC_MODE_DOWNLOAD: chooseDownloadMode(); break;
    case IDC_MODE_UPLOAD: chooseUploadMode(); break;
    case IDC_BROWSE: browse(); break;
    case IDC_DEVICE_CHOICE: takeSelectedRow(); break;
    case IDC_START: start(); break;
    case IDC_MAIN_DEVICE_INFO: showDeviceInfo(); break;
    case IDCANCEL: cancel(); break;
    default: break;
    }
}

void ZelfinDlg::chooseDownloadMode() {
    theApp.downloadMode = 1;
    enableItem(IDC_DEVICE_CHOICE, false);
    enableItem(IDC_MAIN_DEVICE_INFO, false);
    enableItem(IDC_BROWSE, true);
    enableItem(IDC_START, false);
    clearDeviceList();
    setItemText(IDC_FILE_PATH, "");
}

void ZelfinDlg::chooseUploadMode() {
    theApp.downloadMode = 0;
    enableItem(IDC_START, false);
    enableItem(IDC_MAIN_DEVICE_INFO, false);
    enableItem(IDC_DEVICE_CHOICE, false);
    setItemText(IDC_FILE_PATH, "");
    // The field is empty, so the target is too: an upload writes only where the operator chose
    // in this mode, never over a download's backup.
    uploadTarget_[0] = '\0';
    std::vector<DeviceRef> rows;
    for (int i = 0; i < theApp.pluginCount; ++i) {
        const PluginSlot& slot = theApp.plugins[i];
        if (slot.deviceCount == 0 || !offersUpload(slot)) continue;
        for (const DeviceRef& ref : uniquelyNamedDevices(i)) rows.push_back(ref);
    }
    fillDeviceList(rows);
    if (rows.empty()) {
        HostStatus status;
        if (theApp.totalDevices > 0) {
            status.code = kNoUploadOffered;
            reportStatusBox(status);
            enableItem(IDC_BROWSE, false);
            enableItem(IDC_MODE_UPLOAD, false);
        } else {
            status.code = kUploadWithoutDevices;
            reportStatusBox(status);
            enableItem(IDC_BROWSE, false);
        }
        return;
    }
    enableItem(IDC_DEVICE_CHOICE, true);
    enableItem(IDC_MAIN_DEVICE_INFO, true);
}

void ZelfinDlg::browse() {
    const bool download = theApp.downloadMode == 1;
    ui::FileDialogRequest request;
    request.save = !download;
    request.owner = hwnd();
    request.filter = theApp.sigFileOnly ? kSigFilter : kBinFilter;
    request.initialName = download ? (theApp.sigFileOnly ? "*.sig" : "*.bin") : "UPLOAD.BIN";
    request.defaultExt = "ALL";
    request.flags = OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_OVERWRITEPROMPT;
    const std::optional<std::string> chosen = chooseFile(request);
    if (!chosen || chosen->empty()) return;
    if (chosen->size() >= static_cast<size_t>(kTextSize)) {
        refuseLongPath(*chosen);
        return;
    }
    setItemText(IDC_FILE_PATH, *chosen);
    if (!download) {
        copyInto(uploadTarget_, chosen->c_str());
        hostLog("%s(%i) :Upload Selected, Filename = %s", "ZelfinDlg", 120, uploadTarget_);
        enableItem(IDC_START, true);
        enableItem(IDC_MAIN_DEVICE_INFO, true);
        return;
    }
    DownloadEntry& row = downloadRow();
    copyInto(row.fileName, chosen->c_str());
    hostLog("%s(%i) :Download Selected, Filename = %s", "ZelfinDlg", 121, row.fileName);
    if (!acceptImage(row.fileName)) {
        failImage();
        return;
    }
    enableItem(IDC_DEVICE_CHOICE, true);
    enableItem(IDC_START, true);
    enableItem(IDC_MAIN_DEVICE_INFO, true);
}

DownloadEntry& ZelfinDlg::downloadRow() {
    // Row 0, unless a configured run before left another row current.
    if (theApp.currentDownload < 0 || theApp.currentDownload >= kMaxDownloads) theApp.currentDownload = 0;
    return theApp.downloads[theApp.currentDownload];
}

std::optional<std::string> ZelfinDlg::chooseFile(const ui::FileDialogRequest& request) { return ui::fileDialog(request); }

bool ZelfinDlg::acceptImage(const char* path) {
    HostStatus status;
    int32_t accepting = -1;
    for (int i = 0; i < theApp.pluginCount && accepting < 0; ++i) {
        const int32_t rc = theApp.plugins[i].isBinaryValid(path);
        if (rc == 0) {
            accepting = i;
        } else {
            status.code = rc;
            status.fromPlugin = 1;
            status.pluginIndex = static_cast<uint8_t>(i);
        }
    }
    if (accepting < 0) {
        reportStatusBox(status);
        return false;
    }
    PluginSlot& slot = theApp.plugins[accepting];
    theApp.currentPlugin = &slot;
    theApp.currentPluginIndex = accepting;

    const int32_t rc = slot.filterDeviceInfoSet(&slot.devices, path, 0, theApp.ignoreChecks);
    if (rc != 0) {
        status.code = rc;
        status.fromPlugin = 1;
        status.pluginIndex = static_cast<uint8_t>(accepting);
        reportStatusBox(status);
        return false;
    }
    const std::vector<DeviceRef> fits = selectedDevices(accepting);
    char format[kTextSize];
    char text[kTextSize];
    if (fits.empty()) {
        loadString(kNoDeviceMatched, format);
        formatInto(text, sizeof text, format, path);
        hostLog("%s(%i) :%s", "Zelfin", 122, text);
        // The message names the image, so it is shown as formatted, not as the bare string.
        reportTextBox(text);
        return false;
    }
    theApp.currentDevice = fits.back().device;
    // Readers that cannot be told apart by name cannot be chosen between.
    for (size_t i = 0; i < fits.size(); ++i) {
        for (size_t j = i + 1; j < fits.size(); ++j) {
            if (deviceName(fits[i]) != deviceName(fits[j])) continue;
            loadString(kDuplicateDeviceName, format);
            formatInto(text, sizeof text, format, deviceName(fits[i]).c_str());
            reportTextBox(text);
            hostLog("%s(%i) :%s", "ZelfinDlg", 123, text);
            return false;
        }
    }
    fillDeviceList(fits);
    return true;
}

void ZelfinDlg::failImage() {
    enableItem(IDC_DEVICE_CHOICE, false);
    enableItem(IDC_MAIN_DEVICE_INFO, false);
    enableItem(IDC_START, false);
    clearDeviceList();
}

void ZelfinDlg::fillDeviceList(const std::vector<DeviceRef>& rows) {
    clearDeviceList();
    for (const DeviceRef& ref : rows) {
        if (comboInsertString(IDC_DEVICE_CHOICE, -1, deviceName(ref)) < 0) break;
        rows_.push_back(ref);
    }
    if (rows_.empty()) return;
    // The row shown chosen is the reader the operation will go to.
    comboSetCurSel(IDC_DEVICE_CHOICE, 0);
    takeSelectedRow();
}

void ZelfinDlg::clearDeviceList() {
    comboResetContent(IDC_DEVICE_CHOICE);
    rows_.clear();
}

bool ZelfinDlg::takeSelectedRow() {
    const int row = comboGetCurSel(IDC_DEVICE_CHOICE);
    if (row < 0 || row >= static_cast<int>(rows_.size()) || !rows_[row].valid()) return false;
    makeCurrent(rows_[row]);
    return true;
}

void ZelfinDlg::showDeviceInfo() {
    if (!takeSelectedRow()) return;
    const DeviceRef reader = rows_[comboGetCurSel(IDC_DEVICE_CHOICE)];
    if (theApp.downloadMode == 1) {
        DevInfo info(reader, downloadRow().fileName, helpAllowed_);
        info.doModal(this);
    } else {
        DevInfo info(reader, nullptr, helpAllowed_);
        info.doModal(this);
    }
}

}  // namespace zelfin
