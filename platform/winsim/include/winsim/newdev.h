// newdev.dll: installing a driver package on the present devices with a hardware identifier.
// Programs load the library from the system folder and look the function up, as on Windows.
#pragma once
#include "wintypes.h"

#define INSTALLFLAG_FORCE 0x00000001
#define INSTALLFLAG_READONLY 0x00000002
#define INSTALLFLAG_NONINTERACTIVE 0x00000004
#define INSTALLFLAG_BITS 0x00000007

typedef BOOL(WINAPI* UpdateDriverForPlugAndPlayDevicesA_t)(HWND hwndParent, LPCSTR HardwareId, LPCSTR FullInfPath,
                                                           DWORD InstallFlags, LPBOOL bRebootRequired);
