#include "file_crc.h"

#include "config/crc.h"

namespace zelfin::config::detail {

bool fileSize(HANDLE file, uint32_t* size, DWORD* error) {
    DWORD high = 0;
    const DWORD low = GetFileSize(file, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) {
        *error = GetLastError();
        return false;
    }
    if (high != 0) {
        *error = ERROR_INVALID_DATA;  // no configuration is that large
        return false;
    }
    *size = low;
    return true;
}

bool crcFrom(HANDLE file, uint32_t from, uint32_t size, uint32_t* crc, DWORD* error) {
    if (SetFilePointer(file, static_cast<LONG>(from), nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
        GetLastError() != ERROR_SUCCESS) {
        *error = GetLastError();
        return false;
    }
    uint32_t value = 0;
    uint8_t chunk[4096];
    for (uint32_t left = size > from ? size - from : 0; left > 0;) {
        const DWORD want = left < sizeof chunk ? left : static_cast<DWORD>(sizeof chunk);
        DWORD got = 0;
        if (!ReadFile(file, chunk, want, &got, nullptr)) {
            *error = GetLastError();
            return false;
        }
        if (got == 0) {  // the file shrank under us
            *error = ERROR_HANDLE_EOF;
            return false;
        }
        value = configCrcUpdate(value, chunk, got);
        left -= got;
    }
    *crc = value;
    return true;
}

}  // namespace zelfin::config::detail
