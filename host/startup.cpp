#include "startup.h"

#include <devaccess/sysutil.h>
#include <ui/win32.h>

#include "app.h"
#include "cmdline.h"
#include "flows.h"
#include "loader.h"
#include "log.h"
#include "status.h"
#include "text.h"
#include "wait_dialog.h"

namespace zelfin {

namespace {

HANDLE instanceSection = nullptr;

LANGID userInterfaceLanguage() {
    // Looked up at run time: the 9x family and NT 4 lack GetUserDefaultUILanguage.
    using LangFn = LANGID(WINAPI*)(void);
    LANGID lang = 0;
    if (HMODULE kernel = GetModuleHandleA("KERNEL32.DLL")) {
        if (auto ui = reinterpret_cast<LangFn>(GetProcAddress(kernel, "GetUserDefaultUILanguage"))) {
            lang = ui();
        } else if (auto def = reinterpret_cast<LangFn>(GetProcAddress(kernel, "GetUserDefaultLangID"))) {
            lang = def();
        }
    }
    return lang == 0x0407 ? 0x0407 : 0x0409;
}

// True when another copy runs: its window is brought forward and this copy ends.
bool anotherCopyRuns() {
    instanceSection = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 32, "ZELFIN");
    if (!instanceSection) return false;  // cannot tell: go on as the only copy
    if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
    char title[kTextSize];
    loadString(kStrTitle, title);
    HWND other = FindWindowA(nullptr, title);
    if (!other) {
        loadString(kStrCaption, title);
        other = FindWindowA(nullptr, title);
    }
    if (other) {
        ShowWindow(other, SW_RESTORE);
        SetForegroundWindow(other);
    }
    CloseHandle(instanceSection);
    instanceSection = nullptr;
    return true;
}

// The work folder: the temporary path followed directly by "Zelfin".
bool makeWorkFolder() {
    char temp[kTextSize];
    const DWORD n = GetTempPathA(sizeof temp, temp);
    if (n == 0 || n >= sizeof temp) return false;
    if (!formatInto(theApp.tempDir, sizeof theApp.tempDir, "%sZelfin", temp)) {
        hostLog("%s(%i) :Work folder name %sZelfin is too long", "Zelfin", 201, temp);
        theApp.tempDir[0] = '\0';
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return CreateDirectoryA(theApp.tempDir, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

void runUpdateFlows() {
    if (theApp.configured == 1 && theApp.downloadCount == 0) {
        hostLog("%s(%i) :Download files section of the Zelfin.cfg file is empty/has no valid file", "Zelfin", 301);
        if (theApp.noGui == 1) {
            if (theApp.reportStatus == 1) {
                HostStatus status;
                status.code = kRunFailed;
                reportStatusBox(status);
            }
            return;
        }
        theApp.configured = 0;
    }
    if (!makeWorkFolder()) {
        systemErrorBox();
        return;
    }
    for (int i = 0; i < theApp.pluginCount; ++i) {
        PluginSlot& slot = theApp.plugins[i];
        if (!slot.startStop) continue;
        WaitDlg wait;
        if (!theApp.noGui) wait.show();
        const int32_t rc = slot.startStop(1, theApp.configArg());
        if (rc != 0) {
            slot.startFailed = 1;
            HostStatus status;
            status.code = rc;  // shown as a host message number
            reportStatusBox(status);
            // The wait window stays until the process ends, as the run does now.
            return;
        }
        slot.startFailed = 0;
        wait.close();
    }
    if (theApp.configured == 1) {
        runConfiguredUpdate();
    } else {
        runInteractive();
    }
}

}  // namespace

void startRoutine() {
    // Step 1 (common controls) belongs to the toolkit, which sets itself up on first use.
    theApp.osFamily = GetPlatformId();
    theApp.uiLanguage = userInterfaceLanguage();
    theApp.stringLibrary = LoadLibraryA("ZELFNRES.DLL");
    if (!theApp.stringLibrary) {
        systemErrorBox();
        return;
    }
    if (anotherCopyRuns()) return;

    const int32_t bound = bindPlugins();
    if (bound != 0) {
        HostStatus status;
        status.code = bound;
        reportStatusBox(status);
        return;
    }
    upperCaseCommandLine();
    readConfigPath();
    theApp.configured = readStartupConfiguration();
    if (!theApp.disableLog)
        openLog();
    else
        dropEarlyLog();

    if (switchPresent("/CE")) {
        runConfigEditor();
        return;
    }
    if (switchPresent("/DI")) {
        theApp.deviceInfoMode = 1;
        theApp.downloadMode = 0;
        theApp.noGui = 0;
        WaitDlg wait;
        wait.show();
        const HostStatus status = createDeviceLists();
        wait.close();
        if (status.code != 0) {
            reportStatusBox(status);
            return;
        }
        runDeviceInfo();
        return;
    }
    runUpdateFlows();
}

void shutdown() {
    destroyDeviceLists();
    for (int i = 0; i < theApp.pluginCount; ++i) {
        PluginSlot& slot = theApp.plugins[i];
        if (slot.startStop && !slot.startFailed) slot.startStop(0, theApp.configArg());
    }
    unloadPlugins();
    if (theApp.stringLibrary) FreeLibrary(theApp.stringLibrary);
    theApp.stringLibrary = nullptr;
    closeLog();
    if (theApp.configFile != INVALID_HANDLE_VALUE) CloseHandle(theApp.configFile);
    theApp.configFile = INVALID_HANDLE_VALUE;
    if (instanceSection) CloseHandle(instanceSection);
    instanceSection = nullptr;
}

}  // namespace zelfin
