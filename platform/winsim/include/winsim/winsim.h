// What the dialog toolkit and the project's own tools need to know of the simulated PC beyond
// the Win32 calls: how fast its clock runs and where its files lie on the Linux side. A native
// Windows build has no such thing; only the toolkit's Linux backends and the tools use these.
#pragma once
#include <winsim/wintypes.h>

// The real time, in nanoseconds, that `labMs` milliseconds of the lab clock take.
WINSIM_API int64_t WINAPI WinsimRealNanoseconds(DWORD labMs);

// The Linux path of a Windows path of this process (Z:\ is the Linux root, C:\ the lab's system
// drive), completed against the current folder; the path need not exist. Copies it like the "A"
// getters do: the length without terminator when it fits, else the size needed; 0 with
// ERROR_PATH_NOT_FOUND for a drive that has no Linux folder.
WINSIM_API DWORD WINAPI WinsimHostPathFromWindows(LPCSTR windowsPath, LPSTR buffer, DWORD size);

// The Windows spelling of a Linux path: C:\... inside the lab's system drive, Z:\... elsewhere.
// Copied as above.
WINSIM_API DWORD WINAPI WinsimWindowsPathFromHost(LPCSTR hostPath, LPSTR buffer, DWORD size);

// The Linux folder where the running programs of this PC meet (named sections, windows). Copied
// as above.
WINSIM_API DWORD WINAPI WinsimRunFolder(LPSTR buffer, DWORD size);

// One window's answer to a system notice.
typedef struct WINSIM_NOTICE_ANSWER {
    HWND hwnd;
    BOOL answered;  // FALSE: it did not answer in time, as a hung program
    LRESULT result;
    CHAR className[64];
} WINSIM_NOTICE_ANSWER;

// Sends `msg` to every top-level window of every program of this lab, as the system sends its
// power and session notices (WM_POWERBROADCAST, WM_QUERYENDSESSION): each window's procedure runs
// on its own thread when that thread next takes messages. Waits at most `timeoutMs` real
// milliseconds for the windows of each program. Fills up to `count` answers and returns how many
// windows there are (0 with the last error set on failure, ERROR_SUCCESS for none).
WINSIM_API DWORD WINAPI WinsimSendSystemNotice(UINT msg, WPARAM wParam, LPARAM lParam, DWORD timeoutMs,
                                               WINSIM_NOTICE_ANSWER* answers, DWORD count);

// Makes the kernel's pool refuse allocations: after `after` more succeed, the next `count` fail
// (0, 0 ends it). For tests of a driver's answer to a system without memory.
WINSIM_API VOID WINAPI WinsimFailPoolAllocations(DWORD after, DWORD count);
