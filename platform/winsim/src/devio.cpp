// Device I/O: opening devices of the lab and DeviceIoControl with the I/O manager's buffer
// rules.
#include <algorithm>
#include <cstring>

#include <lab/lab.h>
#include <winsim/winioctl.h>

#include "devices.h"

namespace winsim {

lab::Hardware& hardware() { return currentLab().hardware(); }

HANDLE openDevice(const std::string& path, DWORD access, DWORD, DWORD flags) {
    // Caching hints mean nothing to a device; anything else is a feature devices here lack.
    constexpr DWORD kDeviceFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING;
    if (flags & ~kDeviceFlags) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    try {
        uint32_t error = 0;
        auto file = hardware().open(path, access, &error);
        if (!file) {
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
        HANDLE h = insertHandle(std::make_shared<DeviceHandle>(std::move(file)));
        SetLastError(ERROR_SUCCESS);
        return h;
    } catch (const std::exception&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
}

std::vector<DriveInfo> hardwareDrives() {
    std::vector<DriveInfo> out;
    try {
        for (const lab::MountedDrive& d : hardware().drives()) out.push_back({d.letter, d.type});
    } catch (const std::exception&) {
        // no hardware, no extra drives
    }
    return out;
}

}  // namespace winsim

using namespace winsim;

extern "C" {

BOOL WINAPI DeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                            LPDWORD returned, LPOVERLAPPED overlapped) {
    if (overlapped) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    auto object = lookupHandle(h);
    auto device = std::dynamic_pointer_cast<DeviceHandle>(object);
    if (!device) {
        // A file or another I/O object has no device below it that takes control codes.
        SetLastError(std::dynamic_pointer_cast<IoObject>(object) ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!returned) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *returned = 0;
    if ((!in && inSize) || (!out && outSize)) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    const DWORD needs = (code >> 14) & 3;
    if (((needs & FILE_READ_ACCESS) && !device->file->canRead()) ||
        ((needs & FILE_WRITE_ACCESS) && !device->file->canWrite())) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    try {
        lab::IoRequest request;
        request.code = code;
        std::vector<uint8_t> system;
        const bool buffered = METHOD_FROM_CTL_CODE(code) == METHOD_BUFFERED;
        if (buffered) {
            // One system buffer for both directions, as large as the larger of the two.
            system.assign(std::max(inSize, outSize), 0);
            if (inSize) std::memcpy(system.data(), in, inSize);
            request.input = system.data();
            request.output = system.data();
        } else {
            request.input = static_cast<const uint8_t*>(in);
            request.output = static_cast<uint8_t*>(out);
        }
        request.inputLength = inSize;
        request.outputLength = outSize;
        const uint32_t error = hardware().control(*device->file, request);
        // Success and the one warning (more data) hand back what the driver produced.
        if (error == ERROR_SUCCESS || error == ERROR_MORE_DATA) {
            const DWORD n = std::min<DWORD>(request.information, outSize);
            if (buffered && n) std::memcpy(out, system.data(), n);
            *returned = n;
        }
        if (error != ERROR_SUCCESS) {
            SetLastError(error);
            return FALSE;
        }
        return TRUE;
    } catch (const std::exception&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

}  // extern "C"
