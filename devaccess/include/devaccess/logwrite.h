// The log writer of the library: appends one record to an open log file, trimming the file from
// the front when it passes the size limit configured in the registry.
#pragma once
#include <winsim/windows.h>

#include <cstdint>

// Registry value holding the limit in kilobytes (HKEY_LOCAL_MACHINE).
#define ZELFIN_LOG_LIMIT_KEY "SOFTWARE\\Quorvex\\KRDMgmt\\KRDConf"
#define ZELFIN_LOG_LIMIT_VALUE "LogFileLimitKB"

// Writes `length` bytes at the file's current position (its end). The limit is read from the
// registry on the first call of the process: no key means no limit, a missing value 204,800
// bytes, 0 no limit, anything else that many kilobytes up to 25 MB. A file above the limit keeps
// only its last L - L/10 bytes before the record is appended; when that trimming fails the record
// is dropped. Returns the result of the final write, 0 when nothing was written. Safe to call from
// several threads at once.
BOOL logWrite(HANDLE file, const void* bytes, DWORD length);

// The limit in bytes as it would be read now (0 = none). Exposed for tests and diagnostics.
uint64_t logReadLimit();

// Forgets the limit read so far, so that the next write reads the registry again (tests only).
void logForgetLimit();
