// Judging an image: on its own (is it an image of this family, whole and intact?) and against
// the listed readers (which of them does it fit?).
#include <image/binfile.h>
#include <image/blocks.h>
#include <image/integrity.h>
#include <image/signatures.h>
#include <plugin-common/command_line.h>

#include <cstring>

#include "mora.h"

namespace mora {

namespace {


// Loads the image and decides its type; KPL_OK with *type set, or the status to return.
int32_t loadAndType(image::BinFile* file, const char* imagePath, int* type) {
    if (!file->Load(imagePath)) return KPL_E_IMAGE_UNREADABLE;
    *type = image::DecideScsiType(file->data(), file->length(), state().logger);
    MORA_LOG("%s(%i) :BinType = %d", *type);
    if (*type == image::kScsiTypeUnknown) {
        MORA_LOG("%s(%i) :Unknown binary type\r\n");
        return KPL_E_IMAGE_TYPE;
    }
    return KPL_OK;
}

enum class Verdict { Keep, Deselect, MissingCapab };

// The option tests of a reader that fits the image by type.
Verdict optionTests(const ScsiDeviceRecord& record, const image::BinFile& file) {
    const uint8_t options = state().options;
    if (!(options & (kOptionUpgradeOnly | kOptionMatchFeature))) return Verdict::Keep;
    const auto capab = image::ReadCapab(file.data(), file.length(), image::BinFamily::Scsi);
    if (!capab) {
        MORA_LOG("%s(%i) :CAPAB not found.");
        return Verdict::MissingCapab;
    }
    if (options & kOptionUpgradeOnly) {
        MORA_LOG("%s(%i) :New Firmware Version: %02d.%02d", capab->versionMajor, capab->versionMinor);
        if (record.firmwareVersion >= capab->version()) {
            MORA_LOG("%s(%i) :Existing FW is newer than or same as the FW \t\t\t\t\t\tto be Downloaded");
            MORA_LOG("%s(%i) :Existing FW Version %02d.%02d", record.firmwareVersion >> 8, record.firmwareVersion & 0xFF);
            MORA_LOG("%s(%i) :New FW Version %02d.%02d", capab->versionMajor, capab->versionMinor);
            return Verdict::Deselect;
        }
    }
    if ((options & kOptionMatchFeature) && record.feature != capab->feature) {
        MORA_LOG("%s(%i) :FW Feature does not Match");
        MORA_LOG("%s(%i) :Existing FW Feature %xh", static_cast<unsigned>(record.feature));
        MORA_LOG("%s(%i) :New FW Feature %xh", static_cast<unsigned>(capab->feature));
        return Verdict::Deselect;
    }
    return Verdict::Keep;
}

}  // namespace

}  // namespace mora

using namespace mora;

KPL_EXPORT int32_t KPLIsBinaryValid(const char* imagePath) {
    MORA_LOG("%s(%i) :Checking validity of binary file %s", imagePath ? imagePath : "");
    image::BinFile file(image::BinFamily::Scsi, state().logger);
    int type = 0;
    if (const int32_t status = loadAndType(&file, imagePath, &type)) return status;
    if (!image::ReadCapab(file.data(), file.length(), image::BinFamily::Scsi)) {
        MORA_LOG("%s(%i) :CAPAB not found.");
        return KPL_E_IMAGE_INTEGRITY;
    }
    if (!IgnoreChecksRequested() && !image::CheckIntegrity(file)) return KPL_E_IMAGE_INTEGRITY;
    return KPL_OK;
}

KPL_EXPORT int32_t KPLFilterDeviceInfoSet(DeviceInfoList* list, const char* imagePath, int32_t, int32_t ignoreChecks) {
    MORA_LOG("%s(%i) :Binary file name = %s", imagePath ? imagePath : "");
    image::BinFile file(image::BinFamily::Scsi, state().logger);
    int type = 0;
    if (const int32_t status = loadAndType(&file, imagePath, &type)) return status;
    for (int i = 0; list && i < KPL_MAX_DEVICES && list->entries[i].name[0] != '\0'; ++i) {
        DeviceInfoEntry& entry = list->entries[i];
        entry.selected = 0;
        const auto* record = static_cast<const ScsiDeviceRecord*>(entry.device);
        if (!record || record->transferred) continue;
        bool selected;
        if (record->dfuType == kUnknown) {
            // A reader in its boot loader cannot say which image it takes: any of the family fits.
            if (NameContains(entry.name, kInquiryUpgradeMode)) {
                entry.selected = 1;
                continue;
            }
            selected = type == 0;
        } else {
            selected = record->dfuType == type;
        }
        if (!selected && ignoreChecks == 1) selected = true;
        else if (selected && ignoreChecks != 1) {
            const Verdict verdict = optionTests(*record, file);
            if (verdict == Verdict::MissingCapab) return KPL_E_IMAGE_TYPE;
            selected = verdict == Verdict::Keep;
        }
        entry.selected = selected ? 1 : 0;
    }
    return KPL_OK;
}
