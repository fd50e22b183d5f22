// Reading the configuration file into the application record (and the editor's lists).
#pragma once
#include <winsim/windows.h>

#include <cstdint>

namespace zelfin {

// Opens the configuration file (the "/CFG" path, else Zelfin.cfg) unless it is open already;
// on failure logs, reports host code 119 and returns false.
bool openConfigFile(DWORD access, DWORD creation);
void closeConfigFile();

// Reads the configuration: checksum (host code 110), options applied, images asked of the
// plug-ins, a Merrow image moved to the end. Non-zero on success; the file is closed after.
int32_t readConfiguration(DWORD access, DWORD creation);

}  // namespace zelfin
