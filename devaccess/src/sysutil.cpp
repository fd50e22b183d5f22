#include <devaccess/sysutil.h>

#include <cstring>

int32_t GetPlatformId() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (GetVersionExA(&info)) {
        if (info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) return 0;
        if (info.dwPlatformId == VER_PLATFORM_WIN32_NT) return 1;
    }
    DebugTrace("Platform Id = %d", static_cast<int>(info.dwPlatformId));
    return 2;
}

int32_t GetWindowsDir(char* buffer) {
    const UINT n = GetWindowsDirectoryA(buffer, MAX_PATH);
    // A length of the buffer size or more means the folder did not fit (and nothing was written).
    if (n == 0 || n >= MAX_PATH) {
        if (n >= MAX_PATH) buffer[0] = '\0';
        DebugTrace("GetWindowsDirectory failed.");
        return 0;
    }
    if (buffer[n - 1] == '\\') buffer[n - 1] = '\0';
    return 1;
}

int32_t RegWriteValue(HKEY key, const char* name, DWORD type, const char* text, DWORD number) {
    LSTATUS status;
    if (type == REG_SZ) {
        char value[MAX_PATH] = {};
        if (text) std::strncpy(value, text, MAX_PATH - 1);
        status = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                                static_cast<DWORD>(std::strlen(value) + 1));
    } else if (type == REG_DWORD) {
        const BYTE bytes[4] = {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8),
                               static_cast<BYTE>(number >> 16), static_cast<BYTE>(number >> 24)};
        status = RegSetValueExA(key, name, 0, REG_DWORD, bytes, sizeof bytes);
    } else {
        status = RegSetValueExA(key, name, 0, type, nullptr, 0);
    }
    return status == ERROR_SUCCESS ? 1 : 0;
}

void DebugTrace(const char*, ...) {}
