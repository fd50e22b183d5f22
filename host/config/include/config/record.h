// The configuration file's records: after the 4-byte checksum, a series of 520-byte records of
// two 260-byte ANSI texts. Sections open with a header record ("Options" or "Download" with a
// decimal count of records that follow, or a single "SymLink" record).
#pragma once
#include <winsim/windows.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zelfin::config {

constexpr size_t kFieldSize = 260;

struct ConfigRecord {
    char name[kFieldSize];
    char value[kFieldSize];
};
static_assert(sizeof(ConfigRecord) == 520, "a configuration record is 520 bytes on disk");

constexpr uint32_t kRecordSize = sizeof(ConfigRecord);
constexpr uint32_t kFirstRecordOffset = 4;  // after the checksum
constexpr int32_t kMaxDownloads = 30;       // a "Download" section reads at most this many records

// Header names, compared exactly (case matters).
constexpr const char kOptionsHeader[] = "Options";
constexpr const char kDownloadHeader[] = "Download";
constexpr const char kSymLinkHeader[] = "SymLink";
// What the writer puts in the unused value of a download record.
constexpr const char kDownloadValue[] = " ";

// A field's text: up to its first NUL and never more than 259 characters, since a full field may
// lack its terminator.
std::string_view fieldText(const char (&field)[kFieldSize]);

// Copies a field's text into a 260-byte buffer, bounded and always terminated.
void copyField(char (&out)[kFieldSize], const char (&field)[kFieldSize]);

// A header's count as the C library's atoi reads it: leading blanks and a sign are taken, reading
// stops at the first non-digit ("abc" counts 0), and a number out of the 32-bit range saturates.
int32_t headerCount(std::string_view value);

enum class RecordRead {
    Complete,   // 520 bytes arrived
    EndOfFile,  // nothing was left to read
    Partial,    // the file ends inside the record: a failed read
    Failed,     // ReadFile itself failed
};

struct RecordReadResult {
    RecordRead status = RecordRead::Failed;
    DWORD bytesRead = 0;
    DWORD error = 0;  // the system error when ReadFile failed
};

// Reads the record at the file's current position into *out (zeroed past what arrived).
RecordReadResult readRecord(HANDLE file, ConfigRecord* out);

// Fills *out with the two texts padded with zero bytes, so that equal content gives equal bytes.
// False (and *out untouched) when a text would not fit with its NUL: 260 bytes or more.
bool makeRecord(std::string_view name, std::string_view value, ConfigRecord* out);

// Writes one whole record at the current position; false when fewer than 520 bytes were written.
bool writeRecord(HANDLE file, const ConfigRecord& record);

}  // namespace zelfin::config
