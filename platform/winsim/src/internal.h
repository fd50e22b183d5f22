// Shared internals of winsim: the process's lab, the handle table, path mapping and error helpers.
#pragma once
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <vector>
#include <memory>
#include <optional>
#include <string>

#include <lab/facade.h>
#include <winsim/windows.h>

namespace winsim {

// The lab of this process and its clock (created on first use).
lab::Lab& currentLab();
const lab::Clock& labClock();

// ---- handles -------------------------------------------------------------------------------
// Every kernel object behind a HANDLE. Handles are small numbers, never pointers to objects, so
// a stale or forged handle is refused with ERROR_INVALID_HANDLE instead of being dereferenced.
struct KernelObject {
    virtual ~KernelObject() = default;
};

HANDLE insertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> lookupHandle(HANDLE h);
// Removes the handle; the object lives on while other references hold it.
bool removeHandle(HANDLE h);

template <class T>
std::shared_ptr<T> handleAs(HANDLE h) {
    auto obj = std::dynamic_pointer_cast<T>(lookupHandle(h));
    if (!obj) SetLastError(ERROR_INVALID_HANDLE);
    return obj;
}

// The one lock and condition of every wait (sync.cpp). The threads' message queues live under it
// too, so that MsgWaitForMultipleObjects sleeps on the same condition as the other waits: who
// changes what a wait looks at does it under the lock and then notifies the condition.
std::mutex& syncLock();
std::condition_variable& syncCondition();
// WaitForMultipleObjects, and done as well once `ready()` holds (looked at under syncLock()):
// then WAIT_OBJECT_0 + count, or with waitAll WAIT_OBJECT_0 once all objects are signalled too.
DWORD waitForObjectsOr(DWORD count, const HANDLE* handles, bool waitAll, DWORD ms, const std::function<bool()>& ready);

// Objects that ReadFile/WriteFile and friends work on: files now, devices later. Each operation
// fails with ERROR_INVALID_FUNCTION unless the object supports it.
struct IoObject : KernelObject {
    virtual BOOL read(void* buffer, DWORD size, DWORD* done);
    virtual BOOL write(const void* buffer, DWORD size, DWORD* done);
    virtual BOOL seek(int64_t distance, DWORD method, uint64_t* newPosition);
    virtual BOOL size(uint64_t* out);
    virtual BOOL setEnd();
    virtual BOOL flush();
};

// Opens a device path ("\\.\X:", "\\.\NAME", "\\?\usb#..."): the hardware of the lab installs
// the opener; without one every device path is missing.
using DeviceOpener = std::function<HANDLE(const std::string& path, DWORD access, DWORD share, DWORD flags)>;
void setDeviceOpener(DeviceOpener opener);

// The drive letters of the simulated PC: C: and Z: always, and whatever volumes the lab's
// hardware adds through its provider.
struct DriveInfo {
    char letter;
    UINT type;  // DRIVE_FIXED, DRIVE_REMOVABLE, DRIVE_CDROM
};
using DriveProvider = std::function<std::vector<DriveInfo>()>;
void setDriveProvider(DriveProvider provider);
std::vector<DriveInfo> logicalDrives();

// ---- paths ---------------------------------------------------------------------------------
// Windows paths as Wine maps them: Z:\ is the Linux root, C:\ the lab's system drive; "\" and
// "/" both separate; every component is found without regard to case.
struct HostPath {
    std::filesystem::path path;  // the Linux path
    char drive = 0;              // 'C', 'Z', ...
    bool isDriveRoot = false;    // the path names a drive's root folder
    bool inDriveRoot = false;    // the path names an entry directly in a drive's root folder
};
// Resolves every component case-insensitively. With mustExist false, the last component may be
// missing (it keeps its spelling); the folders above it must exist. Sets the last error
// (ERROR_PATH_NOT_FOUND, ERROR_FILE_NOT_FOUND, ERROR_INVALID_NAME, ERROR_FILENAME_EXCED_RANGE).
std::optional<HostPath> resolvePath(const char* winPath, bool mustExist);
// The Windows spelling of a Linux path: C:\... inside the lab's system drive, Z:\... elsewhere.
std::string toWindowsPath(const std::filesystem::path& hostPath);
// Folder of the running program (Linux path).
std::filesystem::path programDirectory();
// True when path names a device ("\\.\X:", "\\.\NAME", "\\?\..."), not a file.
bool isDevicePath(const char* winPath);

// ---- text ----------------------------------------------------------------------------------
std::u16string utf8ToUtf16(const std::string& s);
std::string utf16ToUtf8(const std::u16string& s);
// Case-insensitive comparison of ASCII letters (Windows file and key names).
bool equalsNoCase(const std::string& a, const std::string& b);
int compareNoCase(const std::string& a, const std::string& b);

// Copies text into a caller's buffer the way the Win32 "A" getters do: when it fits (with its
// terminator) the length without terminator is returned; otherwise the needed size including
// the terminator, and nothing is written.
DWORD copyOut(const std::string& text, LPSTR buffer, DWORD size);

// Maps an errno value to the closest Win32 error code.
DWORD win32ErrorFromErrno(int err);

// ---- the guard of exported functions -------------------------------------------------------
// A C++ exception never crosses an exported function: it becomes the thread's last error
// (ERROR_NOT_ENOUGH_MEMORY for an allocation that failed, ERROR_INTERNAL_ERROR for anything
// else, said on the "seh" trace channel) and the export returns `failure`.
void exceptionToLastError(const char* function) noexcept;

template <class R, class Body>
R guarded(const char* function, R failure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        exceptionToLastError(function);
        return failure;
    }
}

}  // namespace winsim
