// The interactive run: the device lists, then the main dialog as the main window.
#include "cmdline.h"
#include "flows.h"
#include "loader.h"
#include "main_dialog.h"
#include "status.h"
#include "wait_dialog.h"

namespace zelfin {

void runInteractive() {
    WaitDlg wait;
    wait.show();
    if (switchPresent("/IV")) theApp.ignoreChecks = 1;
    const HostStatus status = createDeviceLists();
    wait.close();
    if (status.code != 0) {
        reportStatusBox(status);
        return;
    }
    ZelfinDlg dialog(theApp.uploadOffered == 1, !theApp.disableHelp);
    setMainWindow(&dialog);
    dialog.doModal();
    setMainWindow(nullptr);
}

}  // namespace zelfin
