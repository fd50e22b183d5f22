// Named shared-memory sections. A named section is shared by every process of the same lab: its
// memory lives in a file in the lab's run folder, and each handle holds a shared lock on that
// file, so that "does it already exist" means "does any process of this lab hold it open".
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>

#include "internal.h"

using namespace winsim;

namespace {

struct Section : KernelObject {
    int fd = -1;
    size_t size = 0;
    bool writable = true;
    ~Section() override {
        if (fd >= 0) ::close(fd);  // also drops the shared lock
    }
};

std::mutex viewsMutex;
std::map<void*, size_t>& views() {
    static auto* m = new std::map<void*, size_t>;
    return *m;
}

std::string fileNameFor(const char* name) {
    std::string out = "section-";
    for (const char* p = name; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        out += (std::isalnum(c) || c == '-' || c == '_') ? static_cast<char>(c) : '_';
    }
    return out;
}

HANDLE fail(DWORD code) {
    SetLastError(code);
    return nullptr;
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES, DWORD protect, DWORD sizeHigh, DWORD sizeLow,
                                 LPCSTR name) {
    if (file != INVALID_HANDLE_VALUE) return fail(ERROR_NOT_SUPPORTED);  // only page-file backed sections
    const DWORD page = protect & ~static_cast<DWORD>(SEC_COMMIT);
    if (page != PAGE_READWRITE && page != PAGE_READONLY) return fail(ERROR_NOT_SUPPORTED);
    const uint64_t size = (static_cast<uint64_t>(sizeHigh) << 32) | sizeLow;
    if (size == 0 || size > (1ull << 30)) return fail(ERROR_INVALID_PARAMETER);

    auto section = std::make_shared<Section>();
    section->size = static_cast<size_t>(size);
    section->writable = page == PAGE_READWRITE;
    bool existed = false;
    if (!name || !*name) {
        section->fd = ::memfd_create("winsim-section", MFD_CLOEXEC);
        if (section->fd < 0 || ::ftruncate(section->fd, static_cast<off_t>(size)) != 0)
            return fail(win32ErrorFromErrno(errno));
    } else {
        const auto dir = currentLab().runDir();
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        // The guard makes "test, then hold" one step for all processes of the lab.
        const int guard = ::open((dir / "sections.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (guard < 0) return fail(win32ErrorFromErrno(errno));
        ::flock(guard, LOCK_EX);
        section->fd = ::open((dir / fileNameFor(name)).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (section->fd >= 0) {
            if (::flock(section->fd, LOCK_EX | LOCK_NB) == 0) {
                // Nobody holds it: a new section, with fresh zeroed memory.
                if (::ftruncate(section->fd, 0) != 0 || ::ftruncate(section->fd, static_cast<off_t>(size)) != 0) {
                    ::close(guard);
                    return fail(win32ErrorFromErrno(errno));
                }
            } else {
                existed = true;
            }
            ::flock(section->fd, LOCK_SH);
        }
        const int openErr = errno;
        ::close(guard);
        if (section->fd < 0) return fail(win32ErrorFromErrno(openErr));
        if (existed) {
            struct stat st {};
            if (::fstat(section->fd, &st) == 0) section->size = static_cast<size_t>(st.st_size);
        }
    }
    HANDLE h = insertHandle(std::move(section));
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

LPVOID WINAPI MapViewOfFile(HANDLE h, DWORD access, DWORD offsetHigh, DWORD offsetLow, SIZE_T bytes) {
    auto section = handleAs<Section>(h);
    if (!section) return nullptr;
    if (offsetHigh || offsetLow || bytes > section->size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const bool write = access & FILE_MAP_WRITE;
    if (write && !section->writable) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    const size_t len = bytes ? bytes : section->size;
    void* p = ::mmap(nullptr, len, PROT_READ | (write ? PROT_WRITE : 0), MAP_SHARED, section->fd, 0);
    if (p == MAP_FAILED) {
        SetLastError(win32ErrorFromErrno(errno));
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(viewsMutex);
    views()[p] = len;
    return p;
}

BOOL WINAPI UnmapViewOfFile(LPCVOID address) {
    std::lock_guard<std::mutex> lock(viewsMutex);
    auto it = views().find(const_cast<void*>(address));
    if (it == views().end()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ::munmap(it->first, it->second);
    views().erase(it);
    return TRUE;
}

}  // extern "C"
