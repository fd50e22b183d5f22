#include "merrow.h"

#include <image/binfile.h>
#include <image/blocks.h>

#include <new>
#include <vector>

#include "app.h"
#include "log.h"

namespace zelfin {

namespace {
constexpr const char* kUnit = "IsMerrow";
constexpr int kMerrowDeviceType = 32;
}  // namespace

int IsMerrow(const char* path) {
    hostLog("%s(%i) :Checking whether %s is a Merrow Binary", kUnit, 10, path);
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        hostLog("%s(%i) :Error in opening file %s. Error: %xh", kUnit, 20, path, GetLastError());
        return 0;
    }
    DWORD high = 0;
    const DWORD size = GetFileSize(h, &high);
    if (size == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) {
        hostLog("%s(%i) :Error retriving file size for %s. Error: %xh", kUnit, 30, path, GetLastError());
        CloseHandle(h);
        return 0;
    }
    if (size == 0 && high == 0) {
        hostLog("%s(%i) :File %s is a NULL file. Error: %xh", kUnit, 40, path, GetLastError());
        CloseHandle(h);
        return 0;
    }
    // The same bound as the plug-ins' image loader: nothing of that size is a firmware image,
    // and nothing is allocated for it.
    if (high != 0 || size > image::kMaxImageFileSize) {
        hostLog("%s(%i) :Error in allocating space for buffer. Error: %xh", kUnit, 50, ERROR_NOT_ENOUGH_MEMORY);
        CloseHandle(h);
        return 0;
    }
    std::vector<uint8_t> data;
    try {
        data.resize(size);
    } catch (const std::bad_alloc&) {
        hostLog("%s(%i) :Error in allocating space for buffer. Error: %xh", kUnit, 50, ERROR_NOT_ENOUGH_MEMORY);
        CloseHandle(h);
        return 0;
    }
    DWORD got = 0;
    const BOOL ok = ReadFile(h, data.data(), size, &got, nullptr);
    const DWORD error = GetLastError();
    CloseHandle(h);
    if (!ok) {
        hostLog("%s(%i) :Error in reading from %s. Error: %xh", kUnit, 60, path, error);
        return 0;
    }
    if (got != size) {
        hostLog("%s(%i) :Unable to read entire file %s", kUnit, 70, path);
        return 0;
    }
    const int deviceType = image::capabDeviceType(data.data(), size);
    if (deviceType < 0) {
        hostLog("%s(%i) :CAPAB not found\r\n", kUnit, 80);
        return 0;
    }
    hostLog("%s(%i) :DeviceType = %d", kUnit, 90, deviceType);
    if (deviceType != kMerrowDeviceType) return 0;
    hostLog("%s(%i) :Is a Merrow Binary", kUnit, 100);
    return 1;
}

}  // namespace zelfin
