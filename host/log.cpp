#include "log.h"

#include <devaccess/logwrite.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app.h"
#include "status.h"
#include "version_info.h"

namespace zelfin {

namespace {

constexpr size_t kMessageMax = 260;

// Records logged before the log is open (the plug-ins' lines while they are bound, the
// configuration reader's), kept with their own times and written right after the header.
// Bounded, so that a run that never opens its log does not grow without end.
constexpr size_t kPendingMax = 500;
std::vector<std::string> pending;
bool logOpenedOnce = false;

HANDLE openLogFile(const char* path) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr);
}

}  // namespace

void hostLog(const char* format, ...) {
    if (theApp.disableLog) return;
    char message[kMessageMax + 1];  // longer messages are cut after 260 characters
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    SYSTEMTIME st;
    GetLocalTime(&st);
    char date[32];
    char time[32];
    std::snprintf(date, sizeof date, "%02u/%02u/%02u", st.wMonth % 100u, st.wDay % 100u, st.wYear % 100u);
    std::snprintf(time, sizeof time, "%02u:%02u:%02u", st.wHour % 100u, st.wMinute % 100u, st.wSecond % 100u);
    char record[sizeof date + sizeof time + sizeof message + 4];
    const int n = std::snprintf(record, sizeof record, "%s %s %s\r\n", date, time, message);
    if (n <= 0) return;
    if (theApp.logFile == INVALID_HANDLE_VALUE) {
        if (!logOpenedOnce && pending.size() < kPendingMax) pending.emplace_back(record);
        return;
    }
    logWrite(theApp.logFile, record, static_cast<DWORD>(std::strlen(record)));
}

void openLog() {
    logOpenedOnce = true;
    std::vector<std::string> early;
    early.swap(pending);
    HANDLE h = openLogFile("C:\\Zelfin.log");
    if (h == INVALID_HANDLE_VALUE) {
        char cwd[kTextSize];
        char path[kTextSize];
        const DWORD n = GetCurrentDirectoryA(sizeof cwd, cwd);
        // A current folder too long for the name is a failure like any other, never an overrun.
        if (n > 0 && n < sizeof cwd && std::snprintf(path, sizeof path, "%s\\Zelfin.log", cwd) < static_cast<int>(sizeof path))
            h = openLogFile(path);
    }
    if (h == INVALID_HANDLE_VALUE) {
        HostStatus status;
        status.code = kLogNotCreatable;
        reportStatusBox(status);
        return;
    }
    theApp.logFile = h;
    SetFilePointer(h, 0, nullptr, FILE_END);

    SYSTEMTIME st;
    GetLocalTime(&st);
    char header[kTextSize];
    std::snprintf(header, sizeof header, "Zelfin Integrated Firmware Update Utility %02d-%02d-%04d %02d:%02d:%02d",
                  st.wMonth, st.wDay, st.wYear, st.wHour, st.wMinute, st.wSecond);
    char rule[kTextSize];
    const size_t len = std::strlen(header);
    std::memset(rule, '-', len);
    rule[len] = '\0';
    hostLog("%s", header);
    hostLog("%s", rule);
    char versionLine[kTextSize];
    if (programVersionLine(versionLine)) hostLog("%s", versionLine);
    for (const std::string& record : early) logWrite(h, record.data(), static_cast<DWORD>(record.size()));
}

void dropEarlyLog() {
    logOpenedOnce = true;
    pending.clear();
    pending.shrink_to_fit();
}

void closeLog() {
    if (theApp.logFile == INVALID_HANDLE_VALUE) return;
    hostLog("Zelfin Quits the current session.\r\n");
    CloseHandle(theApp.logFile);
    theApp.logFile = INVALID_HANDLE_VALUE;
}

}  // namespace zelfin
