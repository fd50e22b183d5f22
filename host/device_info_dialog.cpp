#include "device_info_dialog.h"

#include <ui/file_dialog.h>

#include <cstring>
#include <memory>

#include "device_info_report.h"
#include "flows.h"
#include "loader.h"
#include "resource.h"
#include "status.h"

namespace zelfin {

namespace {

constexpr UINT kStrHeadingDownload = 6;
constexpr UINT kStrHeadingUpload = 7;
constexpr UINT kStrClose = 11;
constexpr UINT kStrItem = 17;
constexpr UINT kStrValue = 18;
constexpr UINT kStrPresentValue = 19;
constexpr UINT kStrValueAfter = 20;
constexpr UINT kStrSave = 40;
constexpr UINT kStrReaders = 48;
constexpr UINT kStrInfoTitle = 49;

// A field the plug-in filled, never read past its 260 bytes.
std::string field(const char (&text)[KPL_TEXT_SIZE]) { return std::string(text, strnlen(text, sizeof text)); }

}  // namespace

DevInfo::DevInfo(bool helpAllowed) : HostDialog(IDD_DEVICE_INFO, helpAllowed), view_(View::AllReaders) {}

DevInfo::DevInfo(DeviceRef reader, const char* imagePath, bool helpAllowed)
    : HostDialog(IDD_DEVICE_INFO, helpAllowed),
      view_(imagePath ? View::ReaderAndImage : View::Reader),
      reader_(reader),
      image_(imagePath ? imagePath : "") {}

BOOL DevInfo::onInitDialog() {
    addSystemItems();
    setTitleString(kStrInfoTitle);
    setItemString(IDOK, kStrClose);
    setItemString(IDC_INFO_SAVE, kStrSave);
    listSetExtendedStyle(IDC_INFO_ROWS, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    if (view_ == View::ReaderAndImage)
        addColumns({kStrItem, kStrPresentValue, kStrValueAfter});
    else
        addColumns({kStrItem, kStrValue});

    if (view_ == View::AllReaders) {
        showItem(IDC_INFO_HEADING, false);
        setItemString(IDC_INFO_READERS_LABEL, kStrReaders);
        if (!fillReaderList()) {
            HostStatus status;
            status.code = kNoDevices;
            reportStatusBox(status);
            endDialog(IDCANCEL);
            return TRUE;
        }
        comboSetCurSel(IDC_INFO_READERS, 0);
        shownEntry_ = 0;
        reader_ = readers_[0];
    } else {
        for (int id : {IDC_INFO_READERS, IDC_INFO_SAVE, IDC_INFO_READERS_LABEL}) showItem(id, false);
        setItemString(IDC_INFO_HEADING, view_ == View::Reader ? kStrHeadingUpload : kStrHeadingDownload);
    }
    if (!showReader(reader_)) endDialog(IDCANCEL);
    return TRUE;
}

void DevInfo::addColumns(const std::vector<UINT>& titles) {
    const int width = itemClientWidth(IDC_INFO_ROWS);
    const int n = static_cast<int>(titles.size());
    for (int i = 0; i < n; ++i) {
        char text[kTextSize];
        loadString(titles[i], text);
        // Equal widths; the last column takes what the division leaves.
        const int w = width > 0 ? (i + 1 < n ? width / n : width - (n - 1) * (width / n)) : 120;
        listInsertColumn(IDC_INFO_ROWS, i, text, w);
    }
}

bool DevInfo::fillReaderList() {
    comboResetContent(IDC_INFO_READERS);
    readers_.clear();
    for (int i = 0; i < theApp.pluginCount; ++i) {
        for (const DeviceRef& ref : uniquelyNamedDevices(i)) {
            // The list sorts its entries: each reader goes where its name went.
            const int at = comboAddString(IDC_INFO_READERS, deviceName(ref));
            if (at < 0 || at > static_cast<int>(readers_.size())) continue;
            readers_.insert(readers_.begin() + at, ref);
        }
    }
    return !readers_.empty();
}

bool DevInfo::showReader(const DeviceRef& reader) {
    if (!reader.valid()) return false;
    makeCurrent(reader);
    PluginSlot& slot = theApp.plugins[reader.plugin];
    // 23400 bytes: kept off the interface thread's stack, zeroed before every call.
    auto info = std::make_unique<DisplayInfo>();
    std::memset(info.get(), 0, sizeof *info);
    const char* image = view_ == View::ReaderAndImage ? image_.c_str() : nullptr;
    const int32_t rc = slot.getDisplayInfo(&slot.devices, static_cast<uint8_t>(reader.device), image, info.get());
    if (rc != 0) {
        HostStatus status;
        status.code = rc;
        status.fromPlugin = 1;
        status.pluginIndex = static_cast<uint8_t>(reader.plugin);
        reportStatusBox(status);
        return false;
    }
    listDeleteAllItems(IDC_INFO_ROWS);
    const int columns = view_ == View::ReaderAndImage ? 3 : 2;
    for (int i = 0; i < KPL_DISPLAY_ROWS && info->rows[i].label[0]; ++i) {
        const DisplayInfoRow& r = info->rows[i];
        const int at = listInsertItem(IDC_INFO_ROWS, i, field(r.label));
        listSetItemText(IDC_INFO_ROWS, at, 1, field(r.existing));
        if (columns == 3) listSetItemText(IDC_INFO_ROWS, at, 2, field(r.proposed));
    }
    fitColumnsToContent(IDC_INFO_ROWS);
    return true;
}

void DevInfo::changeReader() {
    const int entry = comboGetCurSel(IDC_INFO_READERS);
    if (entry < 0 || entry >= static_cast<int>(readers_.size()) || entry == shownEntry_) return;
    if (showReader(readers_[entry])) {
        shownEntry_ = entry;
        reader_ = readers_[entry];
        return;
    }
    // The lines shown are still the last reader's: so is the choice, so that the two agree.
    comboSetCurSel(IDC_INFO_READERS, shownEntry_);
    makeCurrent(reader_);
}

std::vector<std::vector<std::string>> DevInfo::rows() const {
    std::vector<std::vector<std::string>> lines;
    const int columns = listGetColumnCount(IDC_INFO_ROWS);
    for (int i = 0; i < listGetItemCount(IDC_INFO_ROWS); ++i) {
        std::vector<std::string> line;
        for (int c = 0; c < columns; ++c) line.push_back(listGetItemText(IDC_INFO_ROWS, i, c));
        lines.push_back(std::move(line));
    }
    return lines;
}

void DevInfo::saveReport() {
    ui::FileDialogRequest request;
    request.save = true;
    request.owner = hwnd();
    request.filter = "Text Files (*.txt)|*.txt|All Files (*.*)|*.*||";
    request.initialName = "DevInfo.txt";
    request.defaultExt = "ALL";
    request.flags = OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_OVERWRITEPROMPT;
    const std::optional<std::string> chosen = ui::fileDialog(request);
    if (!chosen || chosen->empty()) return;
    ReportRows lines;
    for (int i = 0; i < listGetItemCount(IDC_INFO_ROWS); ++i)
        lines.emplace_back(listGetItemText(IDC_INFO_ROWS, i, 0), listGetItemText(IDC_INFO_ROWS, i, 1));
    if (!appendDeviceInfoReport(chosen->c_str(), lines)) systemErrorBox();
}

void DevInfo::onCommand(int id, int code) {
    if (id == IDC_INFO_READERS && code == CBN_SELCHANGE) {
        changeReader();
        return;
    }
    if (code != BN_CLICKED) return;
    if (id == IDC_INFO_SAVE) {
        saveReport();
        return;
    }
    HostDialog::onCommand(id, code);
}

void runDeviceInfoForDownloadRow(int32_t row, const ui::Dialog* owner, bool helpAllowed) {
    if (row < 0 || row >= theApp.downloadCount || row >= kMaxDownloads) return;
    const DownloadEntry& entry = theApp.downloads[row];
    const DeviceRef reader{entry.pluginIndex, entry.deviceIndex};
    if (!reader.valid()) return;
    theApp.currentDownload = row;
    makeCurrent(reader);
    DevInfo info(reader, entry.fileName, helpAllowed);
    info.doModal(owner);
}

void runDeviceInfo() {
    DevInfo info(!theApp.disableHelp);
    setMainWindow(&info);
    info.doModal();
    setMainWindow(nullptr);
}

}  // namespace zelfin
