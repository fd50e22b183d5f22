#include "backup_name.h"

#include "log.h"
#include "text.h"

namespace zelfin {

namespace {

bool exists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

}  // namespace

bool makeBackupName(DownloadEntry& row) {
    row.backupFileName[0] = '\0';
    if (!theApp.backup) return true;
    SYSTEMTIME now;
    GetLocalTime(&now);
    char date[64] = {};
    if (!GetDateFormatA(LOCALE_USER_DEFAULT, 0, &now, "ddMMMyyyy", date, sizeof date)) date[0] = '\0';
    char name[kTextSize];
    bool fits = formatInto(name, sizeof name, "%s\\%s_%dh%dm%ds.bin", theApp.tempDir, date, now.wHour, now.wMinute,
                           now.wSecond);
    for (int n = 2; fits && exists(name); ++n)
        fits = formatInto(name, sizeof name, "%s\\%s_%dh%dm%ds_%d.bin", theApp.tempDir, date, now.wHour, now.wMinute,
                          now.wSecond, n);
    if (!fits) {
        hostLog("%s(%i) :Backup file name %s is too long; %s is not downloaded", "Zelfin", 700, name, row.fileName);
        return false;
    }
    return copyInto(row.backupFileName, name);
}

}  // namespace zelfin
