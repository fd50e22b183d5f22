// KPLMORA's own records and module state, shared by its entry points. The plug-in is driven
// by one host thread at a time and is not re-entrant, so its state is plain module globals.
#pragma once
#include <devaccess/scsi.h>
#include <plugin-api/kpl.h>
#include <winsim/windows.h>

#include <cstdint>

namespace mora {

// The per-reader record each listed entry points to.
struct ScsiDeviceRecord {
    char name[KPL_TEXT_SIZE];  // the display name as first formed
    ScsiDevice* device;        // the reader in the library's device list
    uint16_t firmwareVersion;  // major << 8 | minor; kUnknownVersion when not known
    uint8_t dfuType;           // upgrade type from the diagnostic log; kUnknown when not known
    uint8_t targetId;          // as the firmware reports it; kUnknown when not known
    uint8_t writeProtect;      // 0 off, 1 on; kUnknown when not known
    uint8_t feature;           // firmware feature; kUnknown when not known
    int32_t transferred;       // 1 once an upload or download was attempted
};

constexpr uint8_t kUnknown = 0xFF;
constexpr uint16_t kUnknownVersion = 0xFFFF;

// Option bits; an option once read as YES stays on while the plug-in is loaded.
constexpr uint8_t kOptionUpgradeOnly = 0x01;
constexpr uint8_t kOptionMatchFeature = 0x02;

// What the plug-in reads in an inquiry string to know its readers, and the marker of one that
// runs only its boot loader.
constexpr char kInquirySecure[] = "SCSI    Secure";
constexpr char kInquiryUpgradeMode[] = "SCSI    DFU";

constexpr uint32_t kFirmwareSize = 65536;  // sixteen 4 KB blocks

struct State {
    LoggerCallback logger = nullptr;
    HMODULE strings = nullptr;          // ZELFNRES.DLL, loaded once and kept
    ScsiDevice* scsiDevices = nullptr;  // the library's list the records point into
    uint8_t options = 0;
};

State& state();

// The display name of the reader model of an upgrade type (0 to 2), null for any other.
const char* ModelName(uint8_t dfuType);

// Text `id` of the string library into out (KPL_TEXT_SIZE bytes); empty without the library.
void LoadText(UINT id, char* out);
// Reports a step and the text `id` when the host asked for progress.
void Report(ProgressCallback progress, int32_t step, UINT id);

// The record of a listed entry: null (and a log line) for an index of 30 or more, an index at or
// past the end of the list, or an entry without a record.
ScsiDeviceRecord* RecordAt(DeviceInfoList* list, uint8_t index);

// The bounded search the plug-in applies to the names in the host's list.
bool NameContains(const char (&name)[KPL_TEXT_SIZE], const char* text);

// ---- the controller queries (source unit "Utils") -------------------------------------------

// targetId, writeProtect and dfuType from the diagnostic log; kUnknown when unread.
void ReadDiagnosticLog(ScsiDeviceRecord* record, int position);
// feature and firmwareVersion from the two diagnostic queries; left as they are when unread.
void ReadFeatureAndVersion(ScsiDeviceRecord* record);
// The reader's 4 KB signature area into area (an open device).
bool ReadSignatureArea(ScsiDevice* device, uint8_t* area);

}  // namespace mora

// Located log lines ("%s(%i) :...") of the entry points and of the inner routines, and plain ones.
#define MORA_LOG_AT(unit, format, ...)                                                                  \
    do {                                                                                                \
        if (::mora::state().logger) ::mora::state().logger(format, unit, __LINE__ __VA_OPT__(, ) __VA_ARGS__); \
    } while (0)
#define MORA_LOG(format, ...) MORA_LOG_AT("KPLMORA", format __VA_OPT__(, ) __VA_ARGS__)
#define UTILS_LOG(format, ...) MORA_LOG_AT("Utils", format __VA_OPT__(, ) __VA_ARGS__)
#define MORA_PLAIN(format, ...)                                                                   \
    do {                                                                                          \
        if (::mora::state().logger) ::mora::state().logger(format __VA_OPT__(, ) __VA_ARGS__); \
    } while (0)
