// The host's command line: switches are found anywhere in the upper-cased line.
#pragma once

namespace zelfin {

// Upper-cases the process's own command-line buffer in place (once).
void upperCaseCommandLine();
// True when `upperSwitch` ("/CE", "/DI", "/IV", "/CFG") occurs anywhere in the line.
bool switchPresent(const char* upperSwitch);
// Copies the rest of the line after the first "/CFG", blanks skipped, into configPath: at most
// 263 characters. Leaves configPath empty without "/CFG".
void readConfigPath();
// The same, from a given (upper-cased) line.
void readConfigPathFrom(const char* line);

}  // namespace zelfin
