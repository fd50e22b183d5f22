// The device information dialog (DevInfo): the lines a plug-in reports about one reader, and,
// when an image is about to be written into it, the value each line will have afterwards. With
// "/DI" it lists every reader and saves the lines as a report.
#pragma once
#include <string>
#include <vector>

#include "device_ref.h"
#include "host_dialog.h"

namespace zelfin {

class DevInfo : public HostDialog {
public:
    // "/DI": every reader in a drop-down list, and the report.
    explicit DevInfo(bool helpAllowed);
    // One reader; with an image (download) a third column shows the values after the download.
    DevInfo(DeviceRef reader, const char* imagePath, bool helpAllowed);

    // The lines shown: label, present value and, in download view, value afterwards.
    std::vector<std::vector<std::string>> rows() const;

protected:
    BOOL onInitDialog() override;
    void onCommand(int id, int code) override;

private:
    enum class View { AllReaders, Reader, ReaderAndImage };

    void addColumns(const std::vector<UINT>& titles);
    bool fillReaderList();
    // Asks the reader's plug-in and shows its lines; false (reported) when it fails, and the
    // lines shown stay as they were.
    bool showReader(const DeviceRef& reader);
    void changeReader();
    void saveReport();

    View view_;
    DeviceRef reader_;
    std::string image_;
    std::vector<DeviceRef> readers_;  // the reader of each entry of the drop-down list
    int shownEntry_ = -1;             // the entry whose lines are shown
};

// The configured-run dialog's device information for row `row` of the download table: the row
// becomes currentDownload, its reader currentDevice and its plug-in currentPlugin, and the dialog
// shows that reader with the row's image. Does nothing for a row without a reader.
void runDeviceInfoForDownloadRow(int32_t row, const ui::Dialog* owner, bool helpAllowed);

}  // namespace zelfin
