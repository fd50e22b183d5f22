// Why a file given to one of our tools cannot be used, in words a user reads ("no such file",
// "is a folder"), never a bare system error number. Paths are taken as Zelfin takes them (Linux
// paths, or paths of the lab).
#pragma once
#include <winsim/windows.h>

#include <cstdio>
#include <string>

namespace tools {

inline std::string errorReason(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return "no such file";
    case ERROR_ACCESS_DENIED: return "permission denied";
    case ERROR_WRITE_PROTECT: return "the drive is read-only";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return "the disk is full";
    case ERROR_FILENAME_EXCED_RANGE: return "the name is too long";
    case ERROR_SHARING_VIOLATION: return "another program is using it";
    case ERROR_INVALID_DRIVE: return "no such drive";
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS: return "a file of that name is in the way";
    case ERROR_IO_DEVICE:
    case ERROR_READ_FAULT: return "the file cannot be read";
    default: {
        char text[48];
        std::snprintf(text, sizeof text, "system error %lu", static_cast<unsigned long>(error));
        return text;
    }
    }
}

// Empty when `path` names a file that can be opened for reading; otherwise why not. An empty file
// counts as usable only when `emptyIsUsable`.
inline std::string inputFileProblem(const std::string& path, bool emptyIsUsable) {
    const DWORD attrs = GetFileAttributesA(path.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY)) return "is a folder, not a file";
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return errorReason(GetLastError());
    const DWORD size = GetFileSize(h, nullptr);
    CloseHandle(h);
    if (size == 0 && !emptyIsUsable) return "the file is empty";
    return "";
}

}  // namespace tools
