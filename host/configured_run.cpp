// The configured run: every image of the configuration file bound to the readers it fits, then
// downloaded one after the other, in the run dialog or without any window.
#include "backup_name.h"
#include "cfg_mode_dialog.h"
#include "flows.h"
#include "loader.h"
#include "log.h"
#include "matching.h"
#include "status.h"
#include "wait_dialog.h"

namespace zelfin {

namespace {

constexpr const char* kUnit = "Zelfin";

// Downloads every bound row without a window: 0 when every attempted row succeeded, else host
// code 106 (also when no row had a reader).
int32_t unattendedDownload() {
    int attempted = 0;
    bool anyFailed = false;
    for (int k = 0; k < theApp.downloadCount; ++k) {
        DownloadEntry& row = theApp.downloads[k];
        if (row.deviceIndex == kNoIndex || row.pluginIndex == kNoIndex) continue;
        ++attempted;
        if (!makeBackupName(row)) {
            anyFailed = true;
            continue;
        }
        hostLog("********** Firmware  Download  Start **********");
        hostLog("%s(%i) :Preparing to download %s", kUnit, 800, row.fileName);
        hostLog("%s(%i) :Selected device is device %d", kUnit, 810, row.deviceIndex);
        PluginSlot& slot = theApp.plugins[row.pluginIndex];
        volatile int32_t neverAborted = 0;
        const int32_t rc = slot.downloadFirmware(&slot.devices, static_cast<uint8_t>(row.deviceIndex),
                                                 row.backupFileName, row.fileName, nullptr, &neverAborted);
        if (rc != 0) anyFailed = true;
    }
    return attempted == 0 || anyFailed ? kRunFailed : 0;
}

void finalReport(const MatchState& state) {
    if (theApp.noGui == 1) {
        if (theApp.reportStatus != 1) return;
        if (!state.failed) {
            char text[kTextSize];
            char caption[kTextSize];
            loadString(kRunSucceeded, text);
            loadString(kStrCaption, caption);
            MessageBoxA(nullptr, text, caption, MB_OK | MB_ICONINFORMATION);
        } else {
            HostStatus status;
            status.code = kRunFailed;
            reportStatusBox(status);
        }
        return;
    }
    if (state.status.code != 0) reportStatusBox(state.status);
}

}  // namespace

void runConfiguredUpdate() {
    // Made first and destroyed last: its result is the process's exit code, even when the run
    // turns into the interactive dialog.
    CfgModeDlg dialog;
    MatchState state;
    {
        WaitDlg wait;
        if (!theApp.noGui) wait.show();
        const HostStatus lists = createDeviceLists();
        if (lists.code != 0) {
            wait.close();
            state.status = lists;
            state.failed = true;
            finalReport(state);
            return;
        }
        matchDownloads(state);
        wait.close();
    }
    if (state.status.code != 0) {  // "/IV" refused
        finalReport(state);
        return;
    }
    if (theApp.noGui == 1) {
        if (unattendedDownload() != 0) state.failed = true;
        finalReport(state);
        return;
    }
    if (state.noImageAccepted || state.noDeviceMatched) {
        state.status = HostStatus{};
        state.status.code = state.noImageAccepted ? kNoPluginAcceptedAnyImage : kNoDeviceMatchedAnyImage;
        hostLog("%s(%i) :No configured image fits a connected reader; the interactive dialog follows", kUnit, 820);
        theApp.configured = 0;
        state.status = destroyDeviceLists(false);
        if (state.status.code == 0) {
            runInteractive();
            return;
        }
        finalReport(state);
        return;
    }
    setMainWindow(&dialog);
    dialog.doModal();
    setMainWindow(nullptr);
    finalReport(state);
}

}  // namespace zelfin
