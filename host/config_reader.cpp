#include "config_reader.h"

#include <config/keys.h>
#include <config/reader.h>

#include <string>
#include <vector>

#include "app.h"
#include "config_editor.h"
#include "flows.h"
#include "log.h"
#include "merrow.h"
#include "status.h"
#include "text.h"

namespace zelfin {

namespace {

constexpr const char* kUnit = "CfgEdtDlg";

void applyOption(int key, std::string_view value) {
    const int32_t yes = config::isYes(value) ? 1 : 0;
    switch (key) {
    case config::kOptGui: theApp.noGui = yes ? 0 : 1; break;
    case config::kOptBackup: theApp.backup = yes; break;
    case config::kOptDisableLog: theApp.disableLog = yes; break;
    case config::kOptReportStatus: theApp.reportStatus = yes; break;
    case config::kOptMatchBySymLink: theApp.matchBySymLink = yes; break;
    case config::kOptMatchDfuDevByProdType: theApp.matchDfuByProdType = yes; break;
    case config::kOptDisableHelp: theApp.disableHelp = yes; break;
    case config::kOptSigFileOnly: theApp.sigFileOnly = yes; break;
    default: break;  // the plug-ins' keys, and keys nobody reads
    }
}

// An image no plug-in took would otherwise vanish from the run without a trace: say why.
void logUnusedImage(const char* path, const int32_t (&refusals)[kMaxPlugins]) {
    const DWORD attrs = GetFileAttributesA(path);
    if (attrs == INVALID_FILE_ATTRIBUTES) {
        hostLog("%s(%i) :Image %s is not used: file not found", kUnit, 205, path);
        return;
    }
    for (int i = 0; i < theApp.pluginCount; ++i) {
        const PluginSlot& slot = theApp.plugins[i];
        char module[kTextSize] = {};
        const DWORD n = GetModuleFileNameA(slot.module, module, sizeof module);
        const char* name = module;
        if (n == 0 || n >= sizeof module) name = "plug-in";
        for (const char* p = module; *p; ++p)
            if (*p == '\\' || *p == '/') name = p + 1;
        char text[kTextSize] = {};
        if (slot.getErrorMessage) slot.getErrorMessage(refusals[i], text);
        text[sizeof text - 1] = '\0';
        hostLog("%s(%i) :Image %s is not used: %s refuses it with status %d, %s", kUnit, 206, path, name,
                static_cast<int>(refusals[i]), text);
    }
}

// The images of one "Download" section as they arrive, and the Merrow image kept for its end.
class DownloadSection {
public:
    void add(const std::string& path) {
        if (theApp.downloadCount >= kMaxDownloads) {
            hostLog("%s(%i) :Download table is full; %s is left out", kUnit, 210, path.c_str());
            return;
        }
        DownloadEntry& row = theApp.downloads[theApp.downloadCount];
        row = DownloadEntry{};
        copyInto(row.fileName, path.c_str());
        theApp.currentDownload = theApp.downloadCount;
        int accepted = -1;
        int32_t refusals[kMaxPlugins] = {};
        for (int i = 0; i < theApp.pluginCount && accepted < 0; ++i) {
            refusals[i] = theApp.plugins[i].isBinaryValid(row.fileName);
            if (refusals[i] == 0) accepted = i;
        }
        if (accepted < 0) {
            logUnusedImage(row.fileName, refusals);
            copyInto(row.fileName, " ");  // the row is blanked and taken by the next image
            return;
        }
        theApp.currentPlugin = &theApp.plugins[accepted];
        theApp.currentPluginIndex = accepted;
        if (IsMerrow(row.fileName)) {
            merrow_ = path;
            merrowPlugin_ = accepted;
            copyInto(row.fileName, " ");
            return;
        }
        row.pluginIndex = accepted;
        row.deviceIndex = kNoIndex;
        ++theApp.downloadCount;
        accepted_.push_back(path);
    }

    // Merrow images run after all others; then the editor shows what was accepted.
    void finish() {
        if (!merrow_.empty()) {
            if (theApp.downloadCount < kMaxDownloads) {
                DownloadEntry& row = theApp.downloads[theApp.downloadCount];
                row = DownloadEntry{};
                copyInto(row.fileName, merrow_.c_str());
                row.pluginIndex = merrowPlugin_;
                row.deviceIndex = kNoIndex;
                ++theApp.downloadCount;
                accepted_.push_back(merrow_);
            } else {
                hostLog("%s(%i) :Download table is full; %s is left out", kUnit, 220, merrow_.c_str());
            }
            merrow_.clear();
        }
        if (theApp.configEditor) theApp.configEditor->showDownloads(accepted_);
    }

private:
    std::string merrow_;
    int merrowPlugin_ = kNoIndex;
    std::vector<std::string> accepted_;
};

// A configuration file that cannot be used leaves the run without one; the operator and the log
// are told which file and why, since the run then goes on as if none had been named.
void reportUnusableConfig(const char* name, HostCode why, const char* reason) {
    hostLog("%s(%i) :Cannot use the configuration file %s: %s", "Zelfin", 130, name, reason);
    char text[kTextSize];
    loadStringWith(static_cast<UINT>(why), name, text);
    reportTextBox(text);
}

// Whether the "/CFG" file is there to be read; when not, says so with its path.
bool configPathUsable() {
    const DWORD attrs = GetFileAttributesA(theApp.configPath);
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY)) {
        reportUnusableConfig(theApp.configPath, kConfigIsFolder, "is a folder");
        return false;
    }
    HANDLE h = CreateFileA(theApp.configPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        reportUnusableConfig(theApp.configPath, missing ? kConfigMissing : kConfigUnreadable,
                             missing ? "no such file" : "cannot be opened");
        return false;
    }
    CloseHandle(h);
    return true;
}

}  // namespace

bool openConfigFile(DWORD access, DWORD creation) {
    if (theApp.configFile != INVALID_HANDLE_VALUE) return true;
    const char* name = theApp.configPath[0] ? theApp.configPath : "Zelfin.cfg";
    theApp.configFile = CreateFileA(name, access, FILE_SHARE_READ, nullptr, creation,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
    if (theApp.configFile != INVALID_HANDLE_VALUE) return true;
    hostLog("%s(%i) :Error opening Zelfin.cfg", kUnit, 100);
    HostStatus status;
    status.code = kConfigNotOpened;
    reportStatusBox(status);
    return false;
}

void closeConfigFile() {
    if (theApp.configFile != INVALID_HANDLE_VALUE) CloseHandle(theApp.configFile);
    theApp.configFile = INVALID_HANDLE_VALUE;
}

int32_t readConfiguration(DWORD access, DWORD creation) {
    if (!openConfigFile(access, creation)) return 0;
    config::ConfigReader reader(theApp.configFile);
    const config::CrcCheck& crc = reader.crc();
    if (crc.status == config::CrcStatus::Unreadable) {
        hostLog("%s(%i) :Error reading from Zelfin.cfg", kUnit, 110);
        reportUnusableConfig(theApp.configPath[0] ? theApp.configPath : "Zelfin.cfg", kConfigUnreadable,
                             "cannot be read");
        closeConfigFile();
        return 0;
    }
    if (!crc.ok()) {
        hostLog("%s(%i) Cfg file has invalid CRC", "Zelfin", 111);
        HostStatus status;
        status.code = kConfigCrcMismatch;
        reportStatusBox(status);
        closeConfigFile();
        return 0;
    }
    theApp.configRead = 1;
    // Each read fills the table afresh, so that reading twice never appends to the first read.
    for (DownloadEntry& row : theApp.downloads) row = DownloadEntry{};
    theApp.downloadCount = 0;
    theApp.currentDownload = 0;
    if (theApp.configEditor) theApp.configEditor->listFolderImages();

    bool ok = true;
    DownloadSection* section = nullptr;
    DownloadSection current;
    config::ConfigEvent ev;
    while (reader.next(&ev)) {
        switch (ev.kind) {
        case config::ConfigEventKind::Option: {
            const int key = config::findOptionKey(ev.name());
            if (key < 0) {
                const std::string unknown(ev.name());
                hostLog("%s(%i) :Option %s is not known and is skipped", kUnit, 105, unknown.c_str());
                break;
            }
            if (theApp.configEditor) theApp.configEditor->addOptionRow(std::string(ev.name()), std::string(ev.value()));
            applyOption(key, ev.value());
            break;
        }
        case config::ConfigEventKind::DownloadHeader:
            if (theApp.configEditor) theApp.configEditor->clearDownloads();
            current = DownloadSection{};
            section = &current;
            if (ev.toRead == 0) {
                section->finish();
                section = nullptr;
            }
            break;
        case config::ConfigEventKind::Download:
            if (section) {
                section->add(std::string(ev.name()));
                if (ev.index + 1 == ev.toRead) {
                    section->finish();
                    section = nullptr;
                }
            }
            break;
        case config::ConfigEventKind::SymLink:
            // The editor keeps the record, so that saving does not break matching by link.
            if (theApp.configEditor) theApp.configEditor->setSymLink(std::string(ev.value()));
            break;
        case config::ConfigEventKind::Failed:
            // A cut section, and a record cut off at the end of the file, are read errors.
            if (ev.reportsReadError() ||
                (ev.failure == config::ConfigFailure::ReadFailed && (ev.bytesRead > 0 || ev.error != 0)))
                hostLog("%s(%i) :Error reading from Zelfin.cfg", kUnit, 120);
            ok = false;
            break;
        default: break;  // the header of "Options", and the end
        }
    }
    if (section) section->finish();  // a "Download" section cut short keeps what it took
    closeConfigFile();
    return ok ? 1 : 0;
}

int32_t readStartupConfiguration() {
    // With a "/CFG" path only that file counts; without one, Zelfin.cfg in the current folder.
    if (theApp.configPath[0]) return configPathUsable() ? readConfiguration(GENERIC_READ, OPEN_EXISTING) : 0;
    const DWORD attrs = GetFileAttributesA("ZELFIN.CFG");
    if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_DIRECTORY)) return 0;
    return readConfiguration(GENERIC_READ, OPEN_EXISTING);
}

}  // namespace zelfin
