// The configuration reader's walk: the checksum check, then the records in file order with the
// exact stopping rules the host's start-up read and editor rely on. The caller applies what it
// needs (options to its flags, images to its download table) and decides what to log.
#pragma once
#include <winsim/windows.h>

#include <cstdint>
#include <string_view>

#include "config/record.h"

namespace zelfin::config {

enum class CrcStatus {
    Empty,       // 0 bytes: a valid empty configuration, nothing to check
    TooShort,    // 1 to 3 bytes: fails its check, as a wrong checksum does
    Match,
    Mismatch,
    Unreadable,  // the file could not be read to its end
};

struct CrcCheck {
    CrcStatus status = CrcStatus::Empty;
    uint32_t stored = 0;    // the checksum at offset 0 (files of 4 bytes or more)
    uint32_t computed = 0;  // configCrc of the bytes from offset 4
    uint32_t fileSize = 0;
    DWORD error = 0;        // the system error when Unreadable
    bool ok() const { return status == CrcStatus::Empty || status == CrcStatus::Match; }
};

// Checks the checksum of an open file; leaves the position where the records begin.
CrcCheck checkConfigCrc(HANDLE file);

enum class ConfigEventKind {
    OptionsHeader,   // count, toRead
    Option,          // name() = key, value() = value, index in its section
    DownloadHeader,  // count, toRead = min(count, 30)
    Download,        // name() = image path, index in its section
    SymLink,         // value() = the reader's symbolic link name
    End,             // the end of the file where a header was due: the read succeeded
    Failed,          // the read ends with failure
};

enum class ConfigFailure {
    None,
    CrcMismatch,      // wrong checksum, or a file of 1 to 3 bytes
    ReadFailed,       // the file ends inside a record where a header was due, or cannot be read
    MissingOption,    // an "Options" count larger than the records that follow
    MissingDownload,  // a "Download" count larger than the records that follow
    UnknownHeader,    // a header name that is none of "Options", "Download", "SymLink"
};

struct ConfigEvent {
    ConfigEventKind kind = ConfigEventKind::End;
    uint32_t offset = 0;    // where the record (or the failed read) begins
    int32_t count = 0;      // headers: the count as atoi reads it
    int32_t toRead = 0;     // headers: how many records the section takes
    int32_t index = 0;      // Option, Download: position within the section
    ConfigRecord record{};  // what was read, zero past the bytes that arrived
    ConfigFailure failure = ConfigFailure::None;
    uint32_t bytesRead = 0;  // Failed: the bytes of the failed record that did arrive
    DWORD error = 0;         // Failed: the system error of a failing ReadFile

    std::string_view name() const { return fieldText(record.name); }
    std::string_view value() const { return fieldText(record.value); }
    // The failures the host reports as "Error reading from Zelfin.cfg": a section that is cut
    // short. Wrong checksums have their own message; unknown headers and a cut header record end
    // the read without one.
    bool reportsReadError() const {
        return failure == ConfigFailure::MissingOption || failure == ConfigFailure::MissingDownload;
    }
};

// Walks the records of an open file (the handle stays the caller's). A section's count is honoured
// blindly: when it is larger than the records of the section, the following headers are consumed
// as ordinary records, which stored files rely on; a "Download" section takes at most 30 records
// and whatever follows them is read as further headers.
class ConfigReader {
public:
    explicit ConfigReader(HANDLE file) : file_(file) {}

    // The checksum, checked once before the first record.
    const CrcCheck& crc();
    // Walks the records even when the checksum does not hold, to show what a damaged file holds.
    void walkDespiteCrc() { walkDespiteCrc_ = true; }

    // The next event; false once the walk has ended with End or Failed.
    bool next(ConfigEvent* event);

private:
    enum class State { Header, InOptions, InDownload };

    bool finish(ConfigEvent* event, ConfigEventKind kind, ConfigFailure failure);

    HANDLE file_;
    CrcCheck crc_;
    bool crcChecked_ = false;
    bool walkDespiteCrc_ = false;
    bool started_ = false;
    bool done_ = false;
    State state_ = State::Header;
    int32_t remaining_ = 0;
    int32_t index_ = 0;
    uint32_t offset_ = 0;
};

}  // namespace zelfin::config
