// The configured run's dialog: the images and the readers they go to, two progress bars, and
// the download loop on a worker thread.
#pragma once
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "app.h"
#include "host_dialog.h"

namespace zelfin {

class CfgModeDlg : public HostDialog {
public:
    // The outcome the process ends with: 255 until the loop has downloaded every row, 0 when it
    // has, 1 cancelled by the operator, 2 a download failed.
    enum : int32_t { kNotFinished = 255, kAllDone = 0, kCancelled = 1, kDownloadFailed = 2 };

    CfgModeDlg();
    // Hands the run's result to the process's exit code, whether the dialog ran or not.
    ~CfgModeDlg() override;

    int32_t runResult() const { return runResult_.load(); }
    bool busy() const { return busy_.load(); }

protected:
    BOOL onInitDialog() override;
    void onCommand(int id, int code) override;
    void onNotify(int id, const ui::ListViewNotify& notify) override;
    void onClose() override;

private:
    void start();
    void showDeviceInfo();
    void cancelOrClose();
    void downloadLoop();
    // One row: true when the download succeeded.
    bool downloadRow(int row);
    // A failed row: bars back to the start, the failure shown; `rc` 0 when the plug-in never ran.
    void failRow(const DownloadEntry& row, int32_t rc);
    void setProgressText(UINT stringId, const char* name, const char* tail);
    static void progress(int32_t step, const char* text);

    std::atomic<int32_t> runResult_{kNotFinished};
    // Handed to the plug-in, which reads it while it works; set once, when a cancel is confirmed.
    // The host's own reads and writes go through std::atomic_ref.
    alignas(std::atomic_ref<int32_t>::required_alignment) int32_t abortRequest_ = 0;
    std::atomic<bool> busy_{false};
    std::atomic<bool> done_{false};
    std::thread worker_;
    std::vector<int> listRows_;  // the download table's row shown in each list row
    int overallStep_ = 1;
};

}  // namespace zelfin
