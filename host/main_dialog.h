// The interactive main dialog (ZelfinDlg): choose download or upload, the file and the reader,
// start, and watch the progress. Each operation runs on a worker thread of its own.
#pragma once
#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <ui/file_dialog.h>

#include "device_ref.h"
#include "host_dialog.h"

namespace zelfin {

class ZelfinDlg : public HostDialog {
public:
    // Layout 102 with the download/upload choice, or 152 without it (no plug-in offers upload).
    ZelfinDlg(bool withModeChoice, bool helpAllowed);
    // Waits for the last operation's thread and hands the dialog's result to the exit code.
    ~ZelfinDlg() override;

    // 0 after a successful operation, 1 when closed without a finished operation or after a
    // confirmed cancel, 2 after a failed one: the last event wins.
    int32_t mainResult() const { return mainResult_.load(); }
    bool busy() const { return busy_.load() != 0; }

protected:
    BOOL onInitDialog() override;
    void onCommand(int id, int code) override;
    // The common file dialog; a test that cannot work one (a real window) answers here instead.
    virtual std::optional<std::string> chooseFile(const ui::FileDialogRequest& request);

private:
    enum class Operation { Download, Upload };

    void chooseDownloadMode();
    void chooseUploadMode();
    void browse();
    // Finds the plug-in that takes the image and the readers it fits; false (reported) when
    // there is none or their names cannot be told apart.
    bool acceptImage(const char* path);
    void failImage();
    void fillDeviceList(const std::vector<DeviceRef>& rows);
    void clearDeviceList();
    // Makes the reader of the chosen row current; false without a usable row.
    bool takeSelectedRow();
    // The row of the download table that holds the chosen image and its backup name.
    static DownloadEntry& downloadRow();
    void start();
    void operate(Operation op, DeviceRef reader, DownloadEntry* row);
    void finish(Operation op, DeviceRef reader, int32_t rc);
    void cancel();
    void showDeviceInfo();

    // The plug-ins report progress through a plain function: it reaches the dialog whose
    // operation runs (one at a time in the process).
    static void progress(int32_t step, const char* text);
    static std::atomic<ZelfinDlg*> running_;

    const bool withModeChoice_;
    std::vector<DeviceRef> rows_;  // the reader of each row of the device list
    // Where an upload writes: chosen in upload mode only, never a download's backup name.
    char uploadTarget_[kTextSize] = {};

    // Cancel (interface thread) and the worker's end (worker thread) meet here: a confirmed
    // cancel counts only while an operation still runs.
    mutable std::mutex stateLock_;
    std::atomic<int32_t> mainResult_{1};
    std::atomic<int32_t> busy_{0};
    std::atomic<int32_t> done_{0};
    int32_t abortFlag_ = 0;  // read by the plug-in through its address

    std::vector<std::thread> workers_;  // joined when the dialog object goes
};

}  // namespace zelfin
