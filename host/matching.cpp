#include "matching.h"

#include <config/reader.h>
#include <config/record.h>

#include <cstring>

#include "cmdline.h"
#include "config_reader.h"
#include "log.h"

namespace zelfin {

namespace {

constexpr const char* kUnit = "Zelfin";

HostStatus hostCode(int32_t code) {
    HostStatus status;
    status.code = code;
    return status;
}

// "/IV" cannot be honoured: the run fails before any download.
void refuseIv(MatchState& state, int32_t code, const char* why) {
    hostLog("%s(%i) :Command line switch \"IV\" is not supported when %s", kUnit, 600, why);
    state.status = hostCode(code);
    state.failed = true;
}

bool inList(const PluginSlot& slot, int index) {
    return index >= 0 && index < KPL_MAX_DEVICES && slot.devices.entries[index].name[0];
}

// Host code 100 with the image's name, or 101, logged as the text the operator would read.
void logNoMatch(HostStatus& status, const char* image) {
    char text[kTextSize];
    if (status.code == kOnlyUpgradeModeDevices) {
        loadString(kOnlyUpgradeModeDevices, text);
    } else {
        status = hostCode(kNoDeviceMatched);
        loadStringWith(kNoDeviceMatched, image, text);
    }
    hostLog("%s(%i) :%s", kUnit, 510, text);
}

void pluginStatus(HostStatus& status, int32_t code) {
    status = hostCode(code);
    status.fromPlugin = 1;
    status.pluginIndex = static_cast<uint8_t>(theApp.currentPluginIndex);
}

// The default matching: the plug-in filters its list for the image, the host chooses.
int32_t filterMatch(PluginSlot& slot, const char* image, HostStatus& status) {
    const int32_t rc = slot.filterDeviceInfoSet(&slot.devices, image, 1, theApp.ignoreChecks);
    if (rc != 0) {
        pluginStatus(status, rc);
        return 0;
    }
    const int32_t n = chooseDevices(slot, status);
    if (n == 0) logNoMatch(status, image);
    return n;
}

// The "SymLink" record of the configuration file, read record by record from the start.
bool readSymLink(char (&out)[kTextSize], HostStatus& status) {
    if (!openConfigFile(GENERIC_READ, OPEN_EXISTING)) {
        status = hostCode(kConfigNotOpened);  // the open has shown it already
        return false;
    }
    const config::CrcCheck crc = config::checkConfigCrc(theApp.configFile);
    if (!crc.ok()) {
        hostLog("%s(%i) Cfg file has invalid CRC", kUnit, 520);
        status = hostCode(kConfigCrcMismatch);
        return false;
    }
    config::ConfigRecord record{};
    DWORD got = 0;
    while (ReadFile(theApp.configFile, &record, sizeof record, &got, nullptr) && got == sizeof record) {
        if (config::fieldText(record.name) == config::kSymLinkHeader) {
            config::copyField(out, record.value);
            return true;
        }
    }
    hostLog("%s(%i) Symbolic Link Name is missing in Cfg file", kUnit, 530);
    status = hostCode(kNoSymLinkRecord);
    return false;
}

int32_t symLinkMatch(PluginSlot& slot, const char* image, HostStatus& status) {
    char link[kTextSize] = {};
    const bool found = readSymLink(link, status);
    closeConfigFile();  // on every path: the run reads the file again for the next image
    if (!found) return 0;
    hostLog("%s(%i) :SymLink of Device to download: %s", kUnit, 540, link);
    if (!slot.matchDevBySymLink) {
        hostLog("%s(%i) KPLMatchDevBySymLink API not supported by this DLL", kUnit, 550);
        status = hostCode(kEntryPointMissing);
        return 0;
    }
    const int32_t rc = slot.matchDevBySymLink(&slot.devices, link, image);
    if (rc != 0) {
        hostLog("%s(%i) :Unable to match the device by Symbolic Link Name.", kUnit, 560);
        pluginStatus(status, rc);
        return 0;
    }
    const int32_t n = chooseDevices(slot, status);
    if (n == 0) logNoMatch(status, image);
    return n;
}

int32_t productTypeMatch(PluginSlot& slot, const char* image, HostStatus& status) {
    if (!slot.matchDfuDevByProdType) {
        status = hostCode(kEntryPointMissing);
        hostLog("%s(%i) KPLMatchDFUDevByProdType API not supported by this DLL", kUnit, 570);
        return 0;
    }
    const int32_t rc = slot.matchDfuDevByProdType(&slot.devices, image);
    if (rc != 0) {
        pluginStatus(status, rc);
        hostLog("%s(%i) :Unable to match the device by Product Type.", kUnit, 580);
        return 0;
    }
    int32_t n = 0;
    for (int i = 0; inList(slot, i); ++i) {
        const DeviceInfoEntry& e = slot.devices.entries[i];
        if (e.selected && e.inUpgradeMode == 1) {
            ++n;
            theApp.currentDevice = i;
        }
    }
    if (n == 0) logNoMatch(status, image);
    return n;
}

}  // namespace

int32_t chooseDevices(PluginSlot& slot, HostStatus& status) {
    int32_t chosen = 0;
    int32_t upgrade = 0;
    bool anyNormal = false;
    for (int i = 0; inList(slot, i); ++i) {
        const DeviceInfoEntry& e = slot.devices.entries[i];
        if (e.selected && e.inUpgradeMode != 1) anyNormal = true;
    }
    // Decided on the final set, not step by step, so that the order of the list never lets an
    // upgrade-mode reader survive beside a reader in normal mode.
    const bool dropUpgrade = theApp.configured == 1 && anyNormal;
    for (int i = 0; inList(slot, i); ++i) {
        DeviceInfoEntry& e = slot.devices.entries[i];
        if (!e.selected) continue;
        if (dropUpgrade && e.inUpgradeMode == 1) {
            e.selected = 0;
            continue;
        }
        if (e.inUpgradeMode == 1) ++upgrade;
        ++chosen;
        theApp.currentDevice = i;
    }
    if (theApp.configured == 1 && chosen > 1 && chosen == upgrade) {
        status = hostCode(kOnlyUpgradeModeDevices);
        return 0;
    }
    return chosen;
}

void bindRow(int row) {
    theApp.downloads[row].deviceIndex = theApp.currentDevice;
    theApp.downloads[row].pluginIndex = theApp.currentPluginIndex;
}

int expandRow(int row, int wanted) {
    const PluginSlot& slot = theApp.plugins[theApp.currentPluginIndex];
    int added = 0;
    for (int i = 1; i < wanted; ++i) {
        if (theApp.downloadCount >= kMaxDownloads) {
            hostLog("%s(%i) :Download table is full; %s is not written to further readers", kUnit, 590,
                    theApp.downloads[row].fileName);
            break;
        }
        // The next reader that no row of this image has yet; a reader bound to an earlier image
        // is no reason to write this image twice into another one.
        int next = -1;
        for (int d = 0; inList(slot, d) && next < 0; ++d) {
            if (!slot.devices.entries[d].selected) continue;
            bool bound = false;
            for (int r = row; r < row + i && !bound; ++r) bound = theApp.downloads[r].deviceIndex == d;
            if (!bound) next = d;
        }
        if (next < 0) break;
        const int at = row + i;
        for (int r = theApp.downloadCount; r > at; --r) theApp.downloads[r] = theApp.downloads[r - 1];
        ++theApp.downloadCount;
        theApp.downloads[at] = theApp.downloads[at - 1];
        theApp.downloads[at].backupFileName[0] = '\0';
        theApp.currentDevice = next;
        bindRow(at);
        ++added;
    }
    return added;
}

void matchDownloads(MatchState& state) {
    const bool iv = switchPresent("/IV");
    for (int k = 0; k < theApp.downloadCount; ++k) {
        DownloadEntry& row = theApp.downloads[k];
        row.pluginIndex = kNoIndex;
        row.deviceIndex = kNoIndex;
        theApp.currentDownload = k;
        int accepted = -1;
        for (int p = 0; p < theApp.pluginCount && accepted < 0; ++p)
            if (theApp.plugins[p].isBinaryValid(row.fileName) == 0) accepted = p;
        if (accepted < 0) continue;
        theApp.currentPlugin = &theApp.plugins[accepted];
        theApp.currentPluginIndex = accepted;
        state.noImageAccepted = false;

        PluginSlot& slot = *theApp.currentPlugin;
        int32_t n = 0;
        if (theApp.matchBySymLink) {
            n = symLinkMatch(slot, row.fileName, state.status);
        } else if (theApp.matchDfuByProdType) {
            n = productTypeMatch(slot, row.fileName, state.status);
        } else {
            if (iv && theApp.downloadCount > 1) {
                refuseIv(state, kIvWithSeveralImages, "Zelfin is configured for multiple files.");
                return;
            }
            if (iv) theApp.ignoreChecks = 1;
            n = filterMatch(slot, row.fileName, state.status);
            if (n > 1 && theApp.ignoreChecks == 1) {
                refuseIv(state, kIvWithSeveralReaders, "more than one QVX reader is connected.");
                return;
            }
        }
        if (n > 1) {
            bindRow(k);
            k += expandRow(k, n);
            state.noDeviceMatched = false;
        } else if (n == 1) {
            bindRow(k);
            state.noDeviceMatched = false;
        } else {
            // 100 or a plug-in's code only skips the image; several upgrade-mode readers fail the run.
            if (state.status.code == kOnlyUpgradeModeDevices) state.failed = true;
            state.status = HostStatus{};
        }
    }
}

}  // namespace zelfin
