#include <devaccess/logwrite.h>

#include <mutex>
#include <new>
#include <vector>

namespace {

constexpr uint64_t kDefaultLimit = 204800;    // 200 KB when the value is missing
constexpr uint64_t kMaximumLimit = 26214400;  // 25 MB
constexpr DWORD kMaximumLimitKb = 25600;

std::mutex& logMutex() {
    static std::mutex m;
    return m;
}
bool limitKnown = false;
uint64_t limitBytes = 0;

}  // namespace

uint64_t logReadLimit() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, ZELFIN_LOG_LIMIT_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    DWORD kb = 0, type = 0, size = sizeof kb;
    const LSTATUS rc = RegQueryValueExA(key, ZELFIN_LOG_LIMIT_VALUE, nullptr, &type, reinterpret_cast<BYTE*>(&kb), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_DWORD || size != sizeof kb) return kDefaultLimit;
    if (kb == 0) return 0;
    // Clamped in kilobytes first, so that a huge value cannot overflow the multiplication.
    if (kb >= kMaximumLimitKb) return kMaximumLimit;
    return static_cast<uint64_t>(kb) * 1024;
}

void logForgetLimit() {
    std::lock_guard<std::mutex> lock(logMutex());
    limitKnown = false;
}

BOOL logWrite(HANDLE file, const void* bytes, DWORD length) {
    // The host, its transfer thread and the plug-ins' threads all log; one record at a time.
    std::lock_guard<std::mutex> lock(logMutex());
    if (file == INVALID_HANDLE_VALUE || file == nullptr) return 0;
    DWORD high = 0;
    const DWORD low = GetFileSize(file, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) return 0;
    const uint64_t size = (static_cast<uint64_t>(high) << 32) | low;
    if (!limitKnown) {
        limitBytes = logReadLimit();
        limitKnown = true;
    }
    if (limitBytes && size > limitBytes) {
        const uint64_t keep = limitBytes - limitBytes / 10;
        std::vector<char> tail;
        try {
            tail.resize(static_cast<size_t>(keep));
        } catch (const std::bad_alloc&) {
            return 0;
        }
        const uint64_t from = size - keep;
        LONG fromHigh = static_cast<LONG>(from >> 32);
        DWORD done = 0;
        if (SetFilePointer(file, static_cast<LONG>(from), &fromHigh, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
            GetLastError() != ERROR_SUCCESS)
            return 0;
        if (!ReadFile(file, tail.data(), static_cast<DWORD>(keep), &done, nullptr) || done != keep) return 0;
        LONG zeroHigh = 0;
        if (SetFilePointer(file, 0, &zeroHigh, FILE_BEGIN) == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS)
            return 0;
        if (!WriteFile(file, tail.data(), static_cast<DWORD>(keep), &done, nullptr) || done != keep) return 0;
        if (!SetEndOfFile(file)) return 0;
    }
    DWORD written = 0;
    return WriteFile(file, bytes, length, &written, nullptr);
}
