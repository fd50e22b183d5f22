// Device I/O: opening devices of the lab and DeviceIoControl with the I/O manager's buffer
// rules.
#include <algorithm>
#include <cstring>

#include <winsim/winioctl.h>

#include "devices.h"
#include "trace.h"

namespace winsim {

lab::Hardware& hardware() { return currentLab().hardware(); }

HANDLE openDevice(const std::string& path, DWORD access, DWORD, DWORD flags) {
    // Caching hints mean nothing to a device; anything else is a feature devices here lack.
    constexpr DWORD kDeviceFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING;
    if (flags & ~kDeviceFlags) {
        TRACE_UNSUPPORTED("devio", "CreateFile flags %x on %s", flags & ~kDeviceFlags, path.c_str());
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    NTSTATUS status = STATUS_SUCCESS;
    auto file = hardware().open(path, access, &status);
    TRACE("devio", "CreateFile %s access %x -> %08x", path.c_str(), access, static_cast<unsigned>(status));
    if (!file) {
        SetLastError(RtlNtStatusToDosError(status));
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = insertHandle(std::make_shared<DeviceHandle>(std::move(file)));
    SetLastError(ERROR_SUCCESS);
    return h;
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
    return guarded(__func__, FALSE, [&]() -> BOOL {
    if (overlapped) {
        TRACE_UNSUPPORTED("devio", "DeviceIoControl with OVERLAPPED");
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
    ULONG_PTR information = 0;
    const NTSTATUS status = hardware().deviceControl(*device->file, code, in, inSize, out, outSize, &information);
    TRACE("devio", "DeviceIoControl %p code %08x in %u out %u -> %08x, %lu bytes", h, code, inSize, outSize,
          static_cast<unsigned>(status), static_cast<unsigned long>(information));
    // Success and warnings (more data) hand back what the driver produced.
    if (NT_SUCCESS(status) || NT_WARNING(status)) *returned = static_cast<DWORD>(std::min<ULONG_PTR>(information, outSize));
    if (!NT_SUCCESS(status)) {
        SetLastError(RtlNtStatusToDosError(status));
        return FALSE;
    }
    return TRUE;
    });
}

}  // extern "C"
