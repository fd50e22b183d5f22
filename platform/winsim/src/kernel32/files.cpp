// Files: CreateFile and the operations on file handles. Sharing modes are enforced between the
// handles of one process, which is where the system could collide with itself.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <vector>

#include "internal.h"

namespace fs = std::filesystem;

namespace winsim {

BOOL IoObject::read(void*, DWORD, DWORD*) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}
BOOL IoObject::write(const void*, DWORD, DWORD*) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}
BOOL IoObject::seek(int64_t, DWORD, uint64_t*) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}
BOOL IoObject::size(uint64_t*) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}
BOOL IoObject::setEnd() {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}
BOOL IoObject::flush() {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

namespace {

// Built on first use, so that the hardware can set it from any file's initializer.
struct OpenerSlot {
    std::mutex mutex;
    DeviceOpener opener;
};
OpenerSlot& openerSlot() {
    static OpenerSlot slot;
    return slot;
}

constexpr DWORD kReadAccess = GENERIC_READ | GENERIC_ALL | FILE_READ_DATA;
constexpr DWORD kWriteAccess = GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA;
constexpr DWORD kKnownAccess = kReadAccess | kWriteAccess | GENERIC_EXECUTE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kKnownShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Attributes a new file may be given; the caching hints are accepted because they change no
// result here. FILE_FLAG_NO_BUFFERING is such a hint too: images whose length is no multiple of
// the sector size must still load.
constexpr DWORD kKnownFlags = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL |
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING |
                              FILE_FLAG_RANDOM_ACCESS | FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_DELETE_ON_CLOSE;

struct FileKey {
    dev_t dev;
    ino_t ino;
    bool operator<(const FileKey& o) const { return dev != o.dev ? dev < o.dev : ino < o.ino; }
};

class File;

struct OpenFiles {
    std::mutex mutex;
    std::map<FileKey, std::vector<File*>> files;
};
OpenFiles& openFiles() {
    static OpenFiles* o = new OpenFiles;
    return *o;
}

class File : public IoObject {
public:
    File(int fd, DWORD access, DWORD share, FileKey key, fs::path path, bool deleteOnClose)
        : fd_(fd), access_(access), share_(share), key_(key), path_(std::move(path)), deleteOnClose_(deleteOnClose) {}
    ~File() override {
        {
            OpenFiles& o = openFiles();
            std::lock_guard<std::mutex> lock(o.mutex);
            auto& list = o.files[key_];
            std::erase(list, this);
            if (list.empty()) o.files.erase(key_);
        }
        if (deleteOnClose_) ::unlink(path_.c_str());
        ::close(fd_);
    }

    DWORD access() const { return access_; }
    DWORD share() const { return share_; }

    BOOL read(void* buffer, DWORD size, DWORD* done) override {
        if (!(access_ & kReadAccess)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        DWORD total = 0;
        while (total < size) {
            const ssize_t n = ::read(fd_, static_cast<char*>(buffer) + total, size - total);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                *done = total;
                SetLastError(win32ErrorFromErrno(errno));
                return FALSE;
            }
            if (n == 0) break;  // end of file: success with fewer bytes, as on Windows
            total += static_cast<DWORD>(n);
        }
        *done = total;
        return TRUE;
    }

    BOOL write(const void* buffer, DWORD size, DWORD* done) override {
        if (!(access_ & kWriteAccess)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        DWORD total = 0;
        while (total < size) {
            const ssize_t n = ::write(fd_, static_cast<const char*>(buffer) + total, size - total);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                *done = total;
                SetLastError(n < 0 ? win32ErrorFromErrno(errno) : ERROR_WRITE_FAULT);
                return FALSE;
            }
            total += static_cast<DWORD>(n);
        }
        *done = total;
        return TRUE;
    }

    BOOL seek(int64_t distance, DWORD method, uint64_t* newPosition) override {
        int whence;
        switch (method) {
        case FILE_BEGIN: whence = SEEK_SET; break;
        case FILE_CURRENT: whence = SEEK_CUR; break;
        case FILE_END: whence = SEEK_END; break;
        default: SetLastError(ERROR_INVALID_PARAMETER); return FALSE;
        }
        const off_t here = ::lseek(fd_, 0, SEEK_CUR);
        off_t origin = 0;
        if (whence == SEEK_CUR) origin = here;
        if (whence == SEEK_END) {
            struct stat st {};
            if (::fstat(fd_, &st) != 0) {
                SetLastError(win32ErrorFromErrno(errno));
                return FALSE;
            }
            origin = st.st_size;
        }
        if (origin + distance < 0) {
            SetLastError(ERROR_NEGATIVE_SEEK);
            return FALSE;
        }
        const off_t r = ::lseek(fd_, origin + distance, SEEK_SET);
        if (r < 0) {
            SetLastError(win32ErrorFromErrno(errno));
            return FALSE;
        }
        *newPosition = static_cast<uint64_t>(r);
        return TRUE;
    }

    BOOL size(uint64_t* out) override {
        struct stat st {};
        if (::fstat(fd_, &st) != 0) {
            SetLastError(win32ErrorFromErrno(errno));
            return FALSE;
        }
        *out = static_cast<uint64_t>(st.st_size);
        return TRUE;
    }

    BOOL setEnd() override {
        if (!(access_ & kWriteAccess)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        const off_t here = ::lseek(fd_, 0, SEEK_CUR);
        if (here < 0 || ::ftruncate(fd_, here) != 0) {
            SetLastError(win32ErrorFromErrno(errno));
            return FALSE;
        }
        return TRUE;
    }

    BOOL flush() override {
        if (::fsync(fd_) != 0) {
            SetLastError(win32ErrorFromErrno(errno));
            return FALSE;
        }
        return TRUE;
    }

private:
    int fd_;
    DWORD access_;
    DWORD share_;
    FileKey key_;
    fs::path path_;
    bool deleteOnClose_;
};

// Would a new open with (access, share) collide with the handles already open on the file?
bool sharingConflict(const FileKey& key, DWORD access, DWORD share, bool forDelete) {
    OpenFiles& o = openFiles();
    auto it = o.files.find(key);
    if (it == o.files.end()) return false;
    const bool r = access & kReadAccess, w = access & kWriteAccess;
    for (const File* f : it->second) {
        const bool fr = f->access() & kReadAccess, fw = f->access() & kWriteAccess;
        if (forDelete) {
            if (!(f->share() & FILE_SHARE_DELETE)) return true;
            continue;
        }
        if ((r && !(f->share() & FILE_SHARE_READ)) || (w && !(f->share() & FILE_SHARE_WRITE)) ||
            (fr && !(share & FILE_SHARE_READ)) || (fw && !(share & FILE_SHARE_WRITE)))
            return true;
    }
    return false;
}

bool isReadOnly(const struct stat& st) { return (st.st_mode & 0222) == 0; }

}  // namespace

void setDeviceOpener(DeviceOpener opener) {
    OpenerSlot& slot = openerSlot();
    std::lock_guard<std::mutex> lock(slot.mutex);
    slot.opener = std::move(opener);
}

// The lab can make the root of the system drive read-only, as for a user without
// administrator rights.
bool systemRootProtected(const HostPath& hp) {
    return hp.drive == 'C' && hp.inDriveRoot && !currentLab().settings().systemDriveWritable;
}

bool openLockedInProcess(const fs::path& p, DWORD access, DWORD share) {
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) return false;
    OpenFiles& o = openFiles();
    std::lock_guard<std::mutex> lock(o.mutex);
    return sharingConflict(FileKey{st.st_dev, st.st_ino}, access, share, false);
}

bool deleteLockedInProcess(const fs::path& p) {
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) return false;
    OpenFiles& o = openFiles();
    std::lock_guard<std::mutex> lock(o.mutex);
    return sharingConflict(FileKey{st.st_dev, st.st_ino}, 0, 0, true);
}

}  // namespace winsim

using namespace winsim;

namespace {

template <class F>
BOOL withIo(HANDLE h, F&& f) {
    auto io = handleAs<IoObject>(h);
    if (!io) return FALSE;
    return f(*io);
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                          DWORD flags, HANDLE templateFile) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if ((access & ~kKnownAccess) || (share & ~kKnownShare) || templateFile) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    if (isDevicePath(name)) {
        DeviceOpener opener;
        {
            OpenerSlot& slot = openerSlot();
            std::lock_guard<std::mutex> lock(slot.mutex);
            opener = slot.opener;
        }
        if (disposition != OPEN_EXISTING) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        if (!opener) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        return opener(name, access, share, flags);
    }
    if (flags & ~kKnownFlags) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const bool wantsWrite = access & kWriteAccess;
    if (disposition == TRUNCATE_EXISTING && !wantsWrite) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto hp = resolvePath(name, disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING);
    if (!hp) return INVALID_HANDLE_VALUE;

    struct stat st {};
    const bool exists = ::stat(hp->path.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (exists && disposition == CREATE_NEW) {
        SetLastError(ERROR_FILE_EXISTS);
        return INVALID_HANDLE_VALUE;
    }
    const bool truncates = exists && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING);
    if ((exists && isReadOnly(st) && (wantsWrite || truncates)) ||
        (systemRootProtected(*hp) && (wantsWrite || !exists))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }

    int oflags = O_CLOEXEC;
    const bool wantsRead = access & kReadAccess;
    oflags |= (wantsRead && wantsWrite) ? O_RDWR : wantsWrite ? O_WRONLY : O_RDONLY;
    if (!exists) oflags |= O_CREAT | O_EXCL;
    if (flags & FILE_FLAG_WRITE_THROUGH) oflags |= O_DSYNC;

    OpenFiles& o = openFiles();
    std::lock_guard<std::mutex> lock(o.mutex);
    if (exists && sharingConflict(FileKey{st.st_dev, st.st_ino}, access, share, false)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    const mode_t mode = (flags & FILE_ATTRIBUTE_READONLY) ? 0444 : 0644;
    const int fd = ::open(hp->path.c_str(), oflags, mode);
    if (fd < 0) {
        SetLastError(win32ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    if (truncates && ::ftruncate(fd, 0) != 0) {
        SetLastError(win32ErrorFromErrno(errno));
        ::close(fd);
        return INVALID_HANDLE_VALUE;
    }
    struct stat now {};
    ::fstat(fd, &now);
    const FileKey key{now.st_dev, now.st_ino};
    auto file = std::make_shared<File>(fd, access, share, key, hp->path, (flags & FILE_FLAG_DELETE_ON_CLOSE) != 0);
    o.files[key].push_back(file.get());
    // Windows reports whether CREATE_ALWAYS / OPEN_ALWAYS found the file already there.
    SetLastError((exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)) ? ERROR_ALREADY_EXISTS
                                                                                          : ERROR_SUCCESS);
    return insertHandle(std::move(file));
}

HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                          DWORD flags, HANDLE templateFile) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const std::string narrow = utf16ToUtf8(std::u16string(name));
    return CreateFileA(narrow.c_str(), access, share, sa, disposition, flags, templateFile);
}

BOOL WINAPI ReadFile(HANDLE h, LPVOID buffer, DWORD size, LPDWORD done, LPOVERLAPPED overlapped) {
    if (overlapped) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (!done || (!buffer && size)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *done = 0;
    return withIo(h, [&](IoObject& io) { return io.read(buffer, size, done); });
}

BOOL WINAPI WriteFile(HANDLE h, LPCVOID buffer, DWORD size, LPDWORD done, LPOVERLAPPED overlapped) {
    if (overlapped) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (!done || (!buffer && size)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *done = 0;
    return withIo(h, [&](IoObject& io) { return io.write(buffer, size, done); });
}

DWORD WINAPI SetFilePointer(HANDLE h, LONG low, PLONG high, DWORD method) {
    const int64_t distance = high ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*high)) << 32) |
                                                         static_cast<uint32_t>(low))
                                  : static_cast<int64_t>(low);
    uint64_t pos = 0;
    if (!withIo(h, [&](IoObject& io) { return io.seek(distance, method, &pos); })) return INVALID_SET_FILE_POINTER;
    if (high) *high = static_cast<LONG>(pos >> 32);
    // A position whose low part is 0xFFFFFFFF is told apart from failure by the last error.
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(pos);
}

BOOL WINAPI SetEndOfFile(HANDLE h) {
    return withIo(h, [](IoObject& io) { return io.setEnd(); });
}

BOOL WINAPI FlushFileBuffers(HANDLE h) {
    return withIo(h, [](IoObject& io) { return io.flush(); });
}

DWORD WINAPI GetFileSize(HANDLE h, LPDWORD high) {
    uint64_t size = 0;
    if (!withIo(h, [&](IoObject& io) { return io.size(&size); })) return INVALID_FILE_SIZE;
    if (high) *high = static_cast<DWORD>(size >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size);
}

}  // extern "C"
