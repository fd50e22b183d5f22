// Operations on files by name: delete, copy, move, attributes and folders.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "internal.h"

namespace fs = std::filesystem;

namespace winsim {
bool systemRootProtected(const HostPath& hp);
bool deleteLockedInProcess(const fs::path& p);
// Whether an open with (access, share) would collide with a handle this process holds.
bool openLockedInProcess(const fs::path& p, DWORD access, DWORD share);
}  // namespace winsim

using namespace winsim;

namespace {

BOOL fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

bool isReadOnlyFile(const fs::path& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && (st.st_mode & 0222) == 0;
}

bool copyContents(const fs::path& from, const fs::path& to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    if (!in || !out) return false;
    out << in.rdbuf();
    return static_cast<bool>(out.flush());
}

}  // namespace

extern "C" {

BOOL WINAPI DeleteFileA(LPCSTR name) {
    auto hp = resolvePath(name, true);
    if (!hp) return FALSE;
    std::error_code ec;
    if (fs::is_directory(hp->path, ec) || isReadOnlyFile(hp->path) || systemRootProtected(*hp))
        return fail(ERROR_ACCESS_DENIED);
    if (deleteLockedInProcess(hp->path)) return fail(ERROR_SHARING_VIOLATION);
    if (::unlink(hp->path.c_str()) != 0) return fail(win32ErrorFromErrno(errno));
    return TRUE;
}

BOOL WINAPI CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists) {
    auto src = resolvePath(from, true);
    if (!src) return FALSE;
    auto dst = resolvePath(to, false);
    if (!dst) return FALSE;
    std::error_code ec;
    if (fs::is_directory(src->path, ec) || fs::is_directory(dst->path, ec)) return fail(ERROR_ACCESS_DENIED);
    const bool exists = fs::exists(dst->path, ec);
    if (exists && failIfExists) return fail(ERROR_FILE_EXISTS);
    if ((exists && isReadOnlyFile(dst->path)) || systemRootProtected(*dst)) return fail(ERROR_ACCESS_DENIED);
    if (fs::equivalent(src->path, dst->path, ec)) return fail(ERROR_SHARING_VIOLATION);
    // The copy reads the source sharing it for reading and writes the target sharing it for
    // reading and writing, as Windows opens them.
    if (openLockedInProcess(src->path, GENERIC_READ, FILE_SHARE_READ) ||
        (exists && openLockedInProcess(dst->path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE)))
        return fail(ERROR_SHARING_VIOLATION);
    if (!copyContents(src->path, dst->path)) return fail(ERROR_WRITE_FAULT);
    struct stat st {};
    if (::stat(src->path.c_str(), &st) == 0) ::chmod(dst->path.c_str(), st.st_mode & 07777);
    return TRUE;
}

BOOL WINAPI MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
    if (flags & ~static_cast<DWORD>(MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH))
        return fail(ERROR_NOT_SUPPORTED);
    auto src = resolvePath(from, true);
    if (!src) return FALSE;
    auto dst = resolvePath(to, false);
    if (!dst) return FALSE;
    std::error_code ec;
    if (systemRootProtected(*src) || systemRootProtected(*dst)) return fail(ERROR_ACCESS_DENIED);
    if (deleteLockedInProcess(src->path)) return fail(ERROR_SHARING_VIOLATION);
    if (fs::exists(dst->path, ec) && !fs::equivalent(src->path, dst->path, ec)) {
        if (!(flags & MOVEFILE_REPLACE_EXISTING)) return fail(ERROR_ALREADY_EXISTS);
        if (fs::is_directory(dst->path, ec) || isReadOnlyFile(dst->path)) return fail(ERROR_ACCESS_DENIED);
        if (deleteLockedInProcess(dst->path)) return fail(ERROR_SHARING_VIOLATION);
    }
    if (::rename(src->path.c_str(), dst->path.c_str()) != 0) return fail(win32ErrorFromErrno(errno));
    if (flags & MOVEFILE_WRITE_THROUGH) ::sync();
    return TRUE;
}

BOOL WINAPI MoveFileA(LPCSTR from, LPCSTR to) { return MoveFileExA(from, to, MOVEFILE_COPY_ALLOWED); }

DWORD WINAPI GetFileAttributesA(LPCSTR name) {
    auto hp = resolvePath(name, true);
    if (!hp) return INVALID_FILE_ATTRIBUTES;
    struct stat st {};
    if (::stat(hp->path.c_str(), &st) != 0) {
        SetLastError(win32ErrorFromErrno(errno));
        return INVALID_FILE_ATTRIBUTES;
    }
    DWORD attrs = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if ((st.st_mode & 0222) == 0) attrs |= FILE_ATTRIBUTE_READONLY;
    return attrs;
}

BOOL WINAPI SetFileAttributesA(LPCSTR name, DWORD attrs) {
    // Hidden and system marks have no place to live on this file system; refuse them rather than
    // pretend they were set.
    if (attrs & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL |
                                    FILE_ATTRIBUTE_TEMPORARY))
        return fail(ERROR_NOT_SUPPORTED);
    auto hp = resolvePath(name, true);
    if (!hp) return FALSE;
    struct stat st {};
    if (::stat(hp->path.c_str(), &st) != 0) return fail(win32ErrorFromErrno(errno));
    mode_t mode = st.st_mode & 07777;
    mode = (attrs & FILE_ATTRIBUTE_READONLY) ? (mode & ~0222) : (mode | 0200);
    if (::chmod(hp->path.c_str(), mode) != 0) return fail(win32ErrorFromErrno(errno));
    return TRUE;
}

BOOL WINAPI CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES) {
    auto hp = resolvePath(name, false);
    if (!hp) return FALSE;
    std::error_code ec;
    if (fs::exists(hp->path, ec)) return fail(ERROR_ALREADY_EXISTS);
    if (systemRootProtected(*hp)) return fail(ERROR_ACCESS_DENIED);
    if (::mkdir(hp->path.c_str(), 0755) != 0) return fail(win32ErrorFromErrno(errno));
    return TRUE;
}

BOOL WINAPI RemoveDirectoryA(LPCSTR name) {
    auto hp = resolvePath(name, true);
    if (!hp) return FALSE;
    std::error_code ec;
    if (!fs::is_directory(hp->path, ec)) return fail(ERROR_DIRECTORY);
    if (hp->isDriveRoot || systemRootProtected(*hp)) return fail(ERROR_ACCESS_DENIED);
    if (::rmdir(hp->path.c_str()) != 0) return fail(win32ErrorFromErrno(errno));
    return TRUE;
}

}  // extern "C"
