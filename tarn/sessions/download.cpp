// KPLDownloadFirmware: one image into one listed reader. The reader is brought into upgrade mode,
// its current firmware read (into the backup file when one was asked for), its serial number
// carried into the image, the image written and read back, and the reader returned to functional
// mode. Whatever fails, the reader is brought back (a KV7 reader stays in upgrade mode for another
// try), and the other readers that EXCLUSIVEDFU disabled are enabled again.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include <image/binfile.h>
#include <image/signatures.h>
#include <protocol/kv7.h>
#include <protocol/tarn_usb.h>
#include <winsim/usbiodef.h>
#include <winsim/windows.h>
#include <winsim/winioctl.h>

#include "arrival.h"
#include "controllers.h"
#include "device_list.h"
#include "device_nodes.h"
#include "plugin_state.h"
#include "serials.h"
#include "sessions.h"
#include "tarn_device.h"
#include "tarn_log.h"

namespace tarn {

namespace {

constexpr const char* kUnit = "kpltarn";
constexpr uint32_t kVerifyLead = 80;  // bytes before "SERCHKC" the comparison starts at
// Re-enabling a reader must end even with RETRIES -1: no reader may stay disabled for good.
constexpr int32_t kEnableAttemptsWithoutLimit = 10;

// The element of a USB device, present or not, by its device instance.
bool usbDeviceElement(DEVINST devInst, DWORD* index, char* description, size_t size) {
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_USB_DEVICE, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return false;
    SP_DEVINFO_DATA element{};
    element.cbSize = sizeof element;
    bool found = false;
    for (DWORD i = 0; !found && SetupDiEnumDeviceInfo(set, i, &element); ++i) {
        if (element.DevInst != devInst) continue;
        *index = i;
        ElementText(set, &element, SPDRP_DEVICEDESC, description, size);
        found = true;
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

}  // namespace

int32_t ExclusiveDfu(DeviceInfoList* list, const TarnDeviceRecord& chosen, bool enable, volatile int32_t* abortFlag) {
    if (!(plugin().options & kOptionExclusiveDfu)) return KPL_OK;
    const PluginState& s = plugin();
    const int32_t attempts = s.retryForever ? (enable ? kEnableAttemptsWithoutLimit : INT32_MAX) : std::max(s.retries, 1);
    int32_t status = KPL_OK;
    for (int i = 0; i < KPL_MAX_DEVICES && list->entries[i].name[0]; ++i) {
        const auto* r = static_cast<const TarnDeviceRecord*>(list->entries[i].device);
        if (!r || r->devInst == chosen.devInst || inUpgradeMode(*r)) continue;
        DWORD index = 0;
        char description[kPropertySize] = {};
        if (!usbDeviceElement(r->devInst, &index, description, sizeof description)) continue;
        for (int32_t attempt = 0; attempt < attempts; ++attempt) {
            if (!enable && abortFlag && *abortFlag) {
                TARN_LOG_AT(kUnit, "%s(%i) :User Abort");
                status = KPL_E_USER_ABORT;
                break;
            }
            TARN_LOG_AT(kUnit, "%s(%i) :Try %d to %s Device %s", attempt, enable ? "enable" : "disable", description);
            if (SetDeviceEnabled(GUID_DEVINTERFACE_USB_DEVICE, index, enable)) {
                TARN_PLAIN("%s of device %s succeeded.", enable ? "Enable" : "Disable", description);
                break;
            }
        }
    }
    return status;
}


namespace {


// Whether the image can go the reader's way at all: a KV7 image never goes to a Tarn controller.
bool imageFitsReader(int type) { return !kv7::isKv7Type(static_cast<unsigned>(type)); }

// The read-back against what was written: "SERCHKC" lines the two up, and then every byte of the
// image must be there. 0 or 215.
int32_t verify(const image::BinFile& written, const uint8_t* readBack, uint32_t readLength) {
    const uint8_t* data = written.data();
    const uint32_t length = written.length();
    const auto p = image::FindSignature(data, length, "SERCHKC");
    const auto q = image::FindSignature(readBack, readLength, "SERCHKC");
    if (!p || !q) {
        TARN_LOG_AT(kUnit, "%s(%i) :SERCHKC not present.");
        return KPL_E_VERIFY;
    }
    // The block must leave room for the lead the comparison starts with, in both, and every byte
    // of the image must have its counterpart inside what was read back.
    const int64_t shift = static_cast<int64_t>(*q) - static_cast<int64_t>(*p);
    if (*p < kVerifyLead || *q < kVerifyLead || shift < 0 ||
        static_cast<int64_t>(length) + shift > static_cast<int64_t>(readLength)) {
        TARN_LOG_AT(kUnit, "%s(%i) :Comparison failed.");
        return KPL_E_VERIFY;
    }
    if (std::memcmp(data, readBack + shift, length) != 0) {
        TARN_LOG_AT(kUnit, "%s(%i) :Comparison failed.");
        return KPL_E_VERIFY;
    }
    return KPL_OK;
}

struct Download {
    DeviceInfoList* list;
    DeviceInfoEntry* entry;
    TarnDeviceRecord* record;
    const char* backupPath;
    const char* imagePath;
    ProgressCallback progress;
    volatile int32_t* abortFlag;
    bool backupRequested;
    char place[kPathSize] = {};
    image::BinFile image{image::BinFamily::Tarn, logger()};
    image::BinFile deviceCopy{image::BinFamily::Tarn, logger()};

    // Steps 2 to 13: the first failure is the status.
    int32_t transfer(int32_t modeAtStart) {
        if (const int32_t status = CreateKpltarnWnd(); status != KPL_OK) {
            TARN_LOG_AT(kUnit, "%s(%i) :CreateKpltarnWnd () failed.");
            return status;
        }
        Report(progress, 0, KPL_TEXT_START);
        if (const int32_t status = ExclusiveDfu(list, *record, false, abortFlag); status != KPL_OK) return status;
        TARN_LOG_AT(kUnit, "%s(%i) :Download file name = %s", imagePath ? imagePath : "");
        if (!image.Load(imagePath)) return KPL_E_IMAGE_UNREADABLE;
        if (const int32_t status = CheckAndUpdateUsbstorDevExt(record); status != KPL_OK) {
            TARN_LOG_AT(kUnit, "%s(%i) :CheckAndUpdateUsbstorDevExt Failed.");
            return status;
        }
        if (kv7::isKv7Type(record->dfuType) || record->deviceMode == kModeKv7Upgrade) {
            // Not a write half-done: a KV7 reader is programmed block by block by its own module.
            TARN_LOG_AT(kUnit, "%s(%i) :KV7 controllers are not updated by this build.");
            return KPL_E_SYSTEM;
        }
        const int type = image::DecideTarnType(image.data(), image.length());
        TARN_LOG_AT(kUnit, "%s(%i) :BinType = %d", type);
        if (type == image::kTarnTypeExternal) {
            TARN_LOG_AT(kUnit, "%s(%i) :External firmware is not written by this build.");
            return KPL_E_SYSTEM;
        }
        if (type == image::kTarnTypeUnknown || !imageFitsReader(type)) {
            TARN_LOG_AT(kUnit, "%s(%i) :Image does not fit the reader's controller.");
            return KPL_E_IMAGE_TYPE;
        }
        TARN_PLAIN("Switching to DFU Mode...");
        Report(progress, 15, KPL_TEXT_SWITCH_TO_DFU);
        if (const int32_t status = SwitchToDFU(list, entry, abortFlag); status != KPL_OK) {
            TARN_LOG_AT(kUnit, "%s(%i) :SwitchToDFU failed");
            return status;
        }
        if (record->deviceHandle == INVALID_HANDLE_VALUE) return KPL_E_TO_UPGRADE_MODE;  // the wait was ended
        if (backupRequested) {
            TARN_PLAIN("Uploading Existing Firmware...");
            Report(progress, 15, KPL_TEXT_BACKUP);
        }
        TARN_LOG_AT(kUnit, "%s(%i) :DfuType = %d", static_cast<int>(record->dfuType));
        const uint32_t copyLength = FirmwareLength(*record);
        if (backupRequested) TARN_LOG_AT(kUnit, "%s(%i) :Upload file name = %s", backupPath);
        if (const int32_t status = UploadToFile(entry, deviceCopy, copyLength, backupPath, backupRequested);
            status != KPL_OK) {
            TARN_LOG_AT(kUnit, "%s(%i) :UploadToFile failed");
            return status;
        }
        TARN_LOG_AT(kUnit, "%s(%i) :Patching Serial number");
        const int32_t serial = modeAtStart == kModeUpgrade ? NewSerial(image, place) : CarrySerial(deviceCopy, image, place);
        if (serial != KPL_OK) return serial == KPL_E_NO_MEMORY ? serial : KPL_E_SERIAL_CARRY;
        TARN_PLAIN("Downloading Firmware...");
        Report(progress, backupRequested ? 20 : 35, KPL_TEXT_DOWNLOADING);
        DWORD returned = 0;
        if (!DeviceIoControl(record->deviceHandle, kIoctlDfuDownloadAll, image.data(), image.length(), nullptr, 0,
                             &returned, nullptr)) {
            TARN_LOG_AT(kUnit, "%s(%i) :IOCTL_TARNDFU_DNLOAD_ALL failed. Error: %xh.", static_cast<unsigned>(GetLastError()));
            return KPL_E_FIRMWARE_WRITE;
        }
        std::unique_ptr<uint8_t[]> readBack(new (std::nothrow) uint8_t[image.length()]());
        if (!readBack) {
            TARN_LOG_AT(kUnit, "%s(%i) :Memory allocation failed. Error: %xh.", static_cast<unsigned>(ERROR_NOT_ENOUGH_MEMORY));
            return KPL_E_NO_MEMORY;
        }
        TARN_PLAIN("Verifying Download...");
        Report(progress, 20, KPL_TEXT_VERIFYING);
        if (!DeviceIoControl(record->deviceHandle, kIoctlDfuUploadAll, nullptr, 0, readBack.get(), image.length(),
                             &returned, nullptr)) {
            TARN_LOG_AT(kUnit, "%s(%i) :IOCTL_TARNDFU_UPLOAD_ALL failed. Error: %xh.", static_cast<unsigned>(GetLastError()));
            return KPL_E_FIRMWARE_READ;
        }
        return verify(image, readBack.get(), std::min<uint32_t>(returned, image.length()));
    }
};

}  // namespace

}  // namespace tarn

using namespace tarn;

KPL_EXPORT int32_t KPLDownloadFirmware(DeviceInfoList* list, uint8_t index, const char* backupPath,
                                       const char* imagePath, ProgressCallback progress, volatile int32_t* abortFlag) {
    if (!list || index >= KPL_MAX_DEVICES || !list->entries[index].name[0] || !list->entries[index].device) {
        TARN_LOG_AT("kpltarn", "%s(%i) :Invalid device index %d", static_cast<int>(index));
        return KPL_E_SYSTEM;
    }
    Download d{list, &list->entries[index], static_cast<TarnDeviceRecord*>(list->entries[index].device), backupPath,
               imagePath, progress, abortFlag, backupPath && backupPath[0]};
    const int32_t modeAtStart = d.record->deviceMode;
    TARN_LOG_AT("kpltarn", "%s(%i) :Device Mode = %d", modeAtStart);
    // The reader's place, taken before it leaves: the serial kept for a retry belongs to it.
    BusPlace(d.record->devInst, d.place, sizeof d.place);

    int32_t status = d.transfer(modeAtStart);
    if (status != KPL_OK && d.record->deviceMode == kModeKv7Upgrade) {
        TARN_PLAIN("Download Failed. Retry Again...");
        Report(progress, 20, KPL_TEXT_RETRY);
    } else {
        TARN_PLAIN("Switching to Functional Mode...");
        Report(progress, 20, KPL_TEXT_SWITCH_TO_FUNCTIONAL);
        // After a failure the reader may not come back by itself (a write that stopped half-way
        // leaves it without firmware): the wait is bounded, and the reader stays in upgrade mode
        // for another try rather than holding an unattended run for good.
        const int32_t back = SwitchToFunctional(d.entry, abortFlag, status != KPL_OK);
        if (status == KPL_OK) status = back;
    }
    d.record->transferred = 1;
    if (status == KPL_OK) {
        TARN_PLAIN("Download Completed Successfully");
        ForgetKeptSerial(d.place);
        Report(progress, 10, KPL_TEXT_DOWNLOAD_DONE);
    }
    ExclusiveDfu(list, *d.record, true, abortFlag);
    DestroyKpltarnWnd();
    return status;
}
