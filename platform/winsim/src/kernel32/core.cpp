// The process's lab, the handle table and the thread's last error.
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

#include "internal.h"

namespace winsim {

lab::Lab& currentLab() {
    static lab::Lab* lab = [] {
        try {
            return &lab::facade::lab();
        } catch (const std::exception& e) {
            // Without its lab the simulated PC does not exist; nothing could run meaningfully.
            std::fprintf(stderr, "winsim: cannot use the lab: %s\n", e.what());
            std::exit(70);
        }
    }();
    return *lab;
}

const lab::Clock& labClock() { return currentLab().clock(); }

namespace {

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects;
    uintptr_t next = 0x100;
};

HandleTable& table() {
    static HandleTable* t = new HandleTable;  // never destroyed: threads may close handles at exit
    return *t;
}

}  // namespace

HANDLE insertHandle(std::shared_ptr<KernelObject> object) {
    HandleTable& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    const uintptr_t value = t.next;
    t.next += 4;  // multiples of four, as Windows hands them out
    t.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> lookupHandle(HANDLE h) {
    HandleTable& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
    return it == t.objects.end() ? nullptr : it->second;
}

bool removeHandle(HANDLE h) {
    std::shared_ptr<KernelObject> dying;  // destroyed outside the lock
    HandleTable& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
    if (it == t.objects.end()) return false;
    dying = std::move(it->second);
    t.objects.erase(it);
    return true;
}

namespace {
thread_local DWORD lastError = 0;
}

}  // namespace winsim

using namespace winsim;

extern "C" {

DWORD WINAPI GetLastError(void) { return lastError; }
void WINAPI SetLastError(DWORD code) { lastError = code; }

BOOL WINAPI CloseHandle(HANDLE h) {
    if (!removeHandle(h)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
    if (flags & ~static_cast<UINT>(LMEM_ZEROINIT)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    void* p = (flags & LMEM_ZEROINIT) ? std::calloc(bytes ? bytes : 1, 1) : std::malloc(bytes ? bytes : 1);
    if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

HLOCAL WINAPI LocalFree(HLOCAL mem) {
    std::free(mem);
    return nullptr;
}

HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes) { return LocalAlloc(flags, bytes); }
HGLOBAL WINAPI GlobalFree(HGLOBAL mem) { return LocalFree(mem); }

}  // extern "C"
