// The shell's "open" verb: a document or a web address opened with the program the desktop
// associates with it.
#pragma once
#include "wintypes.h"

// Returns a value greater than 32 on success, as Windows does; SE_ERR_NOASSOC (31) when the
// desktop has no opener, ERROR_FILE_NOT_FOUND (2) for a missing document.
WINSIM_API HINSTANCE WINAPI ShellExecuteA(HWND hwnd, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters,
                                          LPCSTR lpDirectory, INT nShowCmd);
#define SE_ERR_NOASSOC 31
