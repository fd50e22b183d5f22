// What the plug-in asks a reader's controller: its diagnostic log, its feature and version, and
// its signature area. Each query opens the device for itself and closes it again.
#include <protocol/reader_commands.h>

#include "mora.h"

namespace mora {

void ReadDiagnosticLog(ScsiDeviceRecord* record, int position) {
    record->targetId = kUnknown;
    record->writeProtect = kUnknown;
    record->dfuType = kUnknown;
    ScsiDevice* device = record->device;
    if (!ScsiOpenDevice(device)) {
        UTILS_LOG("%s(%i) :Failed to open SCSI device %d. Error = %xh", position, static_cast<unsigned>(GetLastError()));
        return;
    }
    uint8_t reply[readercmd::kDiagLogReplyLength] = {};
    if (!ScsiSendCdb(device, sizeof readercmd::kCdbDiagLog, readercmd::kCdbDiagLog, sizeof reply, reply, kScsiDataIn)) {
        UTILS_LOG("%s(%i) :Diagnostic Log Sense command failed.");
    } else if (reply[readercmd::kDiagLogValid] == readercmd::kDiagLogValidMark) {
        record->targetId = reply[readercmd::kDiagLogTargetId];
        record->writeProtect = reply[readercmd::kDiagLogWriteProtect];
        record->dfuType = reply[readercmd::kDiagLogDfuType];
    }
    ScsiCloseDevice(device);
}

void ReadFeatureAndVersion(ScsiDeviceRecord* record) {
    ScsiDevice* device = record->device;
    if (!ScsiOpenDevice(device)) {
        UTILS_LOG("%s(%i) :ScsiOpenDevice Failed");
        return;
    }
    uint8_t features[readercmd::kFeaturesReplyLength] = {};
    if (ScsiDiagxGetFeatures(device, features))
        record->feature = features[readercmd::kFeaturesFeature];
    else
        UTILS_LOG("%s(%i) :ScsiDiagxGetFeatures Failed");
    uint8_t controller[readercmd::kQueryControllerReplyLength] = {};
    if (ScsiDiagxQueryController(device, controller))
        record->firmwareVersion = static_cast<uint16_t>(controller[readercmd::kQueryControllerMajor] << 8 |
                                                        controller[readercmd::kQueryControllerMinor]);
    else
        UTILS_LOG("%s(%i) :ScsiDiagxQueryController Failed");
    ScsiCloseDevice(device);
}

bool ReadSignatureArea(ScsiDevice* device, uint8_t* area) {
    uint8_t cdb[readercmd::kRovaCdbLength] = {readercmd::kOpRova, 0, readercmd::kRovaSignature};
    return ScsiSendCdb(device, sizeof cdb, cdb, readercmd::kRovaBlockSize, area, kScsiDataIn) != 0;
}

}  // namespace mora
