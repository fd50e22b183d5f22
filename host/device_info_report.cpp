#include "device_info_report.h"

#include <cstring>

#include "app.h"
#include "log.h"
#include "text.h"

namespace zelfin {

namespace {

bool writeAll(HANDLE file, const char* text) {
    const DWORD length = static_cast<DWORD>(std::strlen(text));
    DWORD written = 0;
    return WriteFile(file, text, length, &written, nullptr) && written == length && length > 0;
}

}  // namespace

bool appendDeviceInfoReport(const char* path, const ReportRows& rows) {
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_FLAG_WRITE_THROUGH, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    SetFilePointer(file, 0, nullptr, FILE_END);

    SYSTEMTIME now;
    GetLocalTime(&now);
    char heading[kTextSize];
    formatInto(heading, sizeof heading, "Zelfin - Device Information Display %02d-%02d-%04d %02d:%02d:%02d", now.wMonth,
               now.wDay, now.wYear, now.wHour, now.wMinute, now.wSecond);
    // The underline is two characters longer than the heading.
    char rule[kTextSize + 2];
    const size_t dashes = std::strlen(heading) + 2;
    std::memset(rule, '-', dashes);
    rule[dashes] = '\0';
    // The headings are written without a check: a file that takes no heading takes no row either.
    char line[2 * kTextSize + 8];
    formatInto(line, sizeof line, "%s\r\n", heading);
    writeAll(file, line);
    formatInto(line, sizeof line, "%s\r\n", rule);
    writeAll(file, line);

    for (const auto& [label, existing] : rows) {
        // A label and a value of at most 260 characters each (a field the plug-in left without its
        // end is shown whole) always fit the line.
        formatInto(line, sizeof line, "%.260s = %.260s\r\n", label.c_str(), existing.c_str());
        if (!writeAll(file, line)) {
            hostLog("%s(%i) :Device Info: Error writing to file %s", "DevInfo", 300, path);
            break;
        }
    }
    CloseHandle(file);
    return true;
}

}  // namespace zelfin
