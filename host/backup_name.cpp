#include "backup_name.h"

#include "text.h"

namespace zelfin {

bool buildBackupFileName(char (&out)[kTextSize]) {
    out[0] = '\0';
    if (!theApp.backup) return true;
    SYSTEMTIME now;
    GetLocalTime(&now);
    char date[64];
    if (!GetDateFormatA(LOCALE_USER_DEFAULT, 0, &now, "ddMMMyyyy", date, sizeof date)) date[0] = '\0';
    if (!formatInto(out, sizeof out, "%s\\%s_%dh%dm%ds.bin", theApp.tempDir, date, now.wHour, now.wMinute,
                    now.wSecond)) {
        out[0] = '\0';
        return false;
    }
    return true;
}

}  // namespace zelfin
