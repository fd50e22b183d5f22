// The configuration writer.
#include "config/writer.h"

#include <cstdio>
#include <vector>

#include "config/record.h"
#include "file_crc.h"

namespace zelfin::config {

namespace {

constexpr char kTempSuffix[] = ".tmp";

std::string hexError(DWORD error) {
    char text[32];
    std::snprintf(text, sizeof text, " (error %xh)", static_cast<unsigned>(error));
    return text;
}

bool fits(const std::string& text) { return text.size() < kFieldSize; }

// The records in file order, after the checksum placeholder.
std::vector<ConfigRecord> recordsOf(const ConfigContent& content) {
    std::vector<ConfigRecord> records;
    ConfigRecord r;
    char count[16];
    if (!content.options.empty()) {
        std::snprintf(count, sizeof count, "%i", static_cast<int>(content.options.size()));
        makeRecord(kOptionsHeader, count, &r);
        records.push_back(r);
        for (const ConfigOption& o : content.options) {
            makeRecord(o.key, o.value, &r);
            records.push_back(r);
        }
    }
    if (!content.downloads.empty()) {
        std::snprintf(count, sizeof count, "%i", static_cast<int>(content.downloads.size()));
        makeRecord(kDownloadHeader, count, &r);
        records.push_back(r);
        for (const std::string& path : content.downloads) {
            makeRecord(path, kDownloadValue, &r);
            records.push_back(r);
        }
    }
    if (content.symLink) {
        makeRecord(kSymLinkHeader, *content.symLink, &r);
        records.push_back(r);
    }
    return records;
}

// Writes the whole file through an open handle; false leaves GetLastError() telling why.
bool writeAll(HANDLE file, const std::vector<ConfigRecord>& records, std::string* step) {
    static const uint8_t kPlaceholder[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    DWORD written = 0;
    *step = "writing the records";
    if (!WriteFile(file, kPlaceholder, sizeof kPlaceholder, &written, nullptr) || written != sizeof kPlaceholder)
        return false;
    for (const ConfigRecord& r : records) {
        if (!writeRecord(file, r)) return false;
    }
    *step = "computing the checksum";
    uint32_t size = 0, crc = 0;
    DWORD error = 0;
    if (!detail::fileSize(file, &size, &error) || !detail::crcFrom(file, kFirstRecordOffset, size, &crc, &error)) {
        SetLastError(error);
        return false;
    }
    *step = "writing the checksum";
    const uint8_t stored[4] = {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8),
                               static_cast<uint8_t>(crc >> 16), static_cast<uint8_t>(crc >> 24)};
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) != 0) return false;
    return WriteFile(file, stored, sizeof stored, &written, nullptr) && written == sizeof stored;
}

}  // namespace

std::string contentProblem(const ConfigContent& content) {
    if (content.downloads.size() > static_cast<size_t>(kMaxDownloads))
        return "more than " + std::to_string(kMaxDownloads) + " images (" + std::to_string(content.downloads.size()) +
               ")";
    auto tooLong = [](const std::string& what, const std::string& text) {
        return what + " is " + std::to_string(text.size()) + " bytes long; at most " + std::to_string(kFieldSize - 1) +
               " fit: '" + text.substr(0, 40) + "...'";
    };
    for (const ConfigOption& o : content.options) {
        if (!fits(o.key)) return tooLong("option key", o.key);
        if (!fits(o.value)) return tooLong("value of option " + o.key.substr(0, 40), o.value);
    }
    for (const std::string& path : content.downloads) {
        if (!fits(path)) return tooLong("image path", path);
    }
    if (content.symLink && !fits(*content.symLink)) return tooLong("symbolic link", *content.symLink);
    return "";
}

ConfigWriteResult writeConfig(const char* path, const ConfigContent& content) {
    ConfigWriteResult result;
    if (!path || !*path) {
        result.error = ERROR_INVALID_PARAMETER;
        result.message = "no file name";
        return result;
    }
    result.message = contentProblem(content);
    if (!result.message.empty()) {
        result.error = ERROR_INVALID_PARAMETER;
        return result;
    }
    const std::vector<ConfigRecord> records = recordsOf(content);
    const std::string temp = std::string(path) + kTempSuffix;

    const HANDLE file = CreateFileA(temp.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        result.error = GetLastError();
        result.message = "cannot create " + temp + hexError(result.error);
        return result;
    }
    std::string step;
    bool ok = writeAll(file, records, &step);
    if (!ok) result.error = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_WRITE_FAULT;
    if (!CloseHandle(file) && ok) {
        ok = false;
        step = "closing the file";
        result.error = GetLastError();
    }
    if (ok && !MoveFileExA(temp.c_str(), path, MOVEFILE_REPLACE_EXISTING)) {
        ok = false;
        result.error = GetLastError();
        result.message = std::string("cannot replace ") + path + hexError(result.error);
    } else if (!ok) {
        result.message = step + " of " + temp + " failed" + hexError(result.error);
    }
    if (!ok) {
        DeleteFileA(temp.c_str());
        return result;
    }
    result.ok = true;
    return result;
}

}  // namespace zelfin::config
