// The session log: C:\Zelfin.log (or Zelfin.log in the current folder), one record per line.
#pragma once

namespace zelfin {

// printf-style; does nothing while logging is disabled or the log is not open. Also the logger
// handed to every plug-in.
void hostLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Opens the log and writes the run header, then the records logged before it was open (in order,
// with their own times); reports host code 104 when it cannot be created.
void openLog();
// For a run that keeps no log: the records logged so far are dropped and no more are kept.
void dropEarlyLog();
// Writes the closing record and closes the log, when it is open.
void closeLog();

}  // namespace zelfin
