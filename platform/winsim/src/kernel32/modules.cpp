// Modules: LoadLibrary(Ex)A, FreeLibrary, GetProcAddress, GetModuleHandleA, GetModuleFileNameA.
// A module is an ELF shared object with a Windows file name; its resources are read from its
// file when it is loaded and kept until its last FreeLibrary.
#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "internal.h"
#include "modules.h"

namespace fs = std::filesystem;

namespace winsim {

namespace {

// HMODULE values look like the base addresses Windows hands out: the program at 0x400000, the
// modules 16 MB apart from 0x10000000. The room between two modules holds the HRSRC values of
// the first one's resources. Values are never reused, so a freed module's handle stays invalid.
constexpr uintptr_t kProgramHandle = 0x00400000;
constexpr uintptr_t kFirstModuleHandle = 0x10000000;
constexpr uintptr_t kHandleSpacing = 0x01000000;
constexpr uintptr_t kResourceStride = 0x10;
static_assert(kResourceStride * (rsrc::kMaxEntries + 1) < kHandleSpacing, "HRSRC values overlap");
static_assert(kProgramHandle + kResourceStride * (rsrc::kMaxEntries + 1) < kFirstModuleHandle, "HRSRC values overlap");

struct Builtin {
    std::string name;
    std::function<bool()> available;
    std::function<FARPROC(const char*)> lookup;
};

struct Module {
    enum Kind { Program, Library, DataFile, BuiltIn };
    Kind kind = Library;
    uintptr_t handle = 0;
    fs::path file;  // Linux path; empty for built-in modules
    dev_t device = 0;
    ino_t inode = 0;
    void* dl = nullptr;
    const Builtin* builtin = nullptr;
    std::shared_ptr<const ResourceDirectory> resources;
    unsigned references = 1;
};

struct Loader {
    std::recursive_mutex mutex;  // like the loader lock: a module's constructors may load modules
    std::map<uintptr_t, std::shared_ptr<Module>> modules;
    std::vector<std::unique_ptr<Builtin>> builtins;
    uintptr_t nextHandle = kFirstModuleHandle;
};

void registerKernel32(Loader& l);

Loader& loader() {
    // Never destroyed: modules may be freed by other objects' destructors at exit.
    static Loader* l = [] {
        auto* created = new Loader;
        registerKernel32(*created);
        return created;
    }();
    return *l;
}

bool tracing() {
    static const bool on = std::getenv("ZELFIN_TRACE_LOADER") != nullptr;
    return on;
}

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// The module name as Windows takes it: without an extension ".DLL" is implied, and a trailing
// dot says "no extension".
std::string withDefaultExtension(const char* name) {
    std::string wanted = name;
    size_t baseStart = wanted.size();
    while (baseStart > 0 && !isSeparator(wanted[baseStart - 1]) && wanted[baseStart - 1] != ':') --baseStart;
    const std::string base = wanted.substr(baseStart);
    if (base.empty()) return {};
    if (base.back() == '.')
        wanted.pop_back();
    else if (base.find('.') == std::string::npos)
        wanted += ".DLL";
    return wanted;
}

bool hasFolder(const std::string& wanted) {
    for (char c : wanted)
        if (isSeparator(c)) return true;
    return wanted.size() >= 2 && wanted[1] == ':';
}

std::string baseName(const std::string& wanted) {
    size_t i = wanted.size();
    while (i > 0 && !isSeparator(wanted[i - 1]) && wanted[i - 1] != ':') --i;
    return wanted.substr(i);
}

std::string systemFolder() {
    char buf[MAX_PATH];
    const UINT n = GetSystemDirectoryA(buf, sizeof buf);
    if (n == 0 || n >= sizeof buf) return "C:\\WINDOWS\\System32";
    return std::string(buf, n);
}

std::shared_ptr<Module> findLocked(Loader& l, uintptr_t handle) {
    auto it = l.modules.find(handle);
    return it == l.modules.end() ? nullptr : it->second;
}

std::shared_ptr<Module> programLocked(Loader& l) {
    if (auto m = findLocked(l, kProgramHandle)) return m;
    auto m = std::make_shared<Module>();
    m->kind = Module::Program;
    m->handle = kProgramHandle;
    std::error_code ec;
    m->file = fs::read_symlink("/proc/self/exe", ec);
    struct stat st {};
    if (!ec && ::stat(m->file.c_str(), &st) == 0) {
        m->device = st.st_dev;
        m->inode = st.st_ino;
    }
    // A program without resources (or an unreadable one) simply has none.
    const ResourceReadStatus status = ResourceDirectory::readFile(m->file, &m->resources);
    if (status != ResourceReadStatus::Ok && status != ResourceReadStatus::NoSection)
        m->resources = ResourceDirectory::empty();
    l.modules.emplace(kProgramHandle, m);
    return m;
}

// A module handle as the caller gave it: NULL is the program.
std::shared_ptr<Module> resolveLocked(Loader& l, HMODULE handle) {
    if (!handle) return programLocked(l);
    const auto value = reinterpret_cast<uintptr_t>(handle);
    if (value == kProgramHandle) return programLocked(l);
    return findLocked(l, value);
}

std::shared_ptr<Module> builtinLocked(Loader& l, const std::string& fileName) {
    for (auto& [handle, m] : l.modules)
        if (m->kind == Module::BuiltIn && equalsNoCase(m->builtin->name, fileName) && m->builtin->available())
            return m;
    return nullptr;
}

// "C:\WINDOWS\System32\NAME.DLL" names a built-in module too.
std::shared_ptr<Module> builtinByPathLocked(Loader& l, const std::string& wanted) {
    const std::string base = baseName(wanted);
    std::string folder = wanted.substr(0, wanted.size() - base.size());
    while (!folder.empty() && isSeparator(folder.back())) folder.pop_back();
    for (char& c : folder)
        if (c == '/') c = '\\';
    if (!equalsNoCase(folder, systemFolder())) return nullptr;
    return builtinLocked(l, base);
}

HMODULE loadLocked(Loader& l, const char* name, bool asDataFile) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::string wanted = withDefaultExtension(name);
    if (wanted.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }

    std::optional<fs::path> file;
    std::shared_ptr<Module> builtin;
    if (hasFolder(wanted)) {
        if (auto hp = resolvePath(wanted.c_str(), true))
            file = hp->path;
        else
            builtin = builtinByPathLocked(l, wanted);
    } else {
        // The program's folder, then the system folder (the built-in modules), then the
        // current folder.
        const std::string inProgramFolder = toWindowsPath(programDirectory()) + "\\" + wanted;
        if (auto hp = resolvePath(inProgramFolder.c_str(), true)) file = hp->path;
        if (!file) builtin = builtinLocked(l, wanted);
        if (!file && !builtin)
            if (auto hp = resolvePath(wanted.c_str(), true)) file = hp->path;
    }
    if (builtin) {
        ++builtin->references;
        return reinterpret_cast<HMODULE>(builtin->handle);
    }
    struct stat st {};
    if (!file || ::stat(file->c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }

    // The same file loaded again is the same module. A data-file load takes a module that is
    // loaded for real; never the other way round.
    for (Module::Kind kind : {Module::Library, Module::DataFile}) {
        if (kind == Module::DataFile && !asDataFile) break;
        for (auto& [handle, m] : l.modules) {
            if (m->kind != kind || m->device != st.st_dev || m->inode != st.st_ino) continue;
            ++m->references;
            return reinterpret_cast<HMODULE>(handle);
        }
    }

    auto m = std::make_shared<Module>();
    m->kind = asDataFile ? Module::DataFile : Module::Library;
    m->file = *file;
    m->device = st.st_dev;
    m->inode = st.st_ino;
    switch (ResourceDirectory::readFile(*file, &m->resources)) {
        case ResourceReadStatus::Ok:
        case ResourceReadStatus::NoSection:
            break;
        case ResourceReadStatus::FileError:
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        case ResourceReadStatus::NotElf:
        case ResourceReadStatus::Corrupt:
            if (tracing()) std::fprintf(stderr, "winsim: %s: not a module or its resources are damaged\n", name);
            SetLastError(ERROR_BAD_EXE_FORMAT);
            return nullptr;
    }
    if (!asDataFile) {
        m->dl = ::dlopen(file->c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!m->dl) {
            const char* why = ::dlerror();
            if (tracing()) std::fprintf(stderr, "winsim: LoadLibrary %s: %s\n", name, why ? why : "?");
            SetLastError(ERROR_BAD_EXE_FORMAT);
            return nullptr;
        }
    }
    m->handle = l.nextHandle;
    l.nextHandle += kHandleSpacing;
    l.modules.emplace(m->handle, m);
    return reinterpret_cast<HMODULE>(m->handle);
}

// ---- KERNEL32.DLL --------------------------------------------------------------------------

// The exports of KERNEL32 that winsim has; they are looked up in winsim itself, so that a
// function appears here as soon as it is implemented.
const char* const kKernel32Exports[] = {
    "GetLastError", "SetLastError", "FormatMessageA", "LocalAlloc", "LocalFree", "GlobalAlloc", "GlobalFree",
    "CloseHandle", "CreateFileA", "CreateFileW", "ReadFile", "WriteFile", "SetFilePointer", "SetEndOfFile",
    "FlushFileBuffers", "GetFileSize", "DeleteFileA", "CopyFileA", "MoveFileA", "MoveFileExA",
    "GetFileAttributesA", "SetFileAttributesA", "CreateDirectoryA", "RemoveDirectoryA", "FindFirstFileA",
    "FindNextFileA", "FindClose", "GetCurrentDirectoryA", "SetCurrentDirectoryA", "GetTempPathA",
    "GetWindowsDirectoryA", "GetSystemDirectoryA", "GetFullPathNameA", "GetLogicalDrives",
    "GetLogicalDriveStringsA", "GetLogicalDriveStringsW", "GetDriveTypeA", "GetDriveTypeW", "LoadLibraryA",
    "LoadLibraryExA", "FreeLibrary", "GetProcAddress", "GetModuleHandleA", "GetModuleFileNameA",
    "FindResourceA", "FindResourceExA", "LoadResource", "LockResource", "SizeofResource", "FreeResource",
    "GetVersionExA", "GetCommandLineA", "GetCurrentProcessId", "GetCurrentThreadId", "GetEnvironmentVariableA",
    "GetComputerNameA", "GetLocalTime", "GetSystemTime", "GetTickCount", "QueryPerformanceCounter",
    "QueryPerformanceFrequency", "Sleep", "SleepEx", "CreateThread", "GetExitCodeThread", "CreateEventA",
    "SetEvent", "ResetEvent", "WaitForSingleObject", "WaitForMultipleObjects", "CreateFileMappingA",
    "MapViewOfFile", "UnmapViewOfFile", "MultiByteToWideChar", "WideCharToMultiByte",
    "GetUserDefaultUILanguage", "GetUserDefaultLangID", "GetSystemDefaultLangID", "GetUserDefaultLCID",
    "GetDateFormatA", "GetTimeFormatA",
};

void* winsimItself() {
    static void* self = [] {
        Dl_info info{};
        if (!::dladdr(reinterpret_cast<void*>(&GetProcAddress), &info) || !info.dli_fname) return RTLD_DEFAULT;
        void* h = ::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
        return h ? h : RTLD_DEFAULT;
    }();
    return self;
}

FARPROC kernel32Export(const char* name) {
    bool known = false;
    for (const char* e : kKernel32Exports) known = known || std::strcmp(e, name) == 0;
    // The 9x family's KERNEL32 has no GetUserDefaultUILanguage; callers fall back on their own.
    if (!known || (std::strcmp(name, "GetUserDefaultUILanguage") == 0 && currentLab().is9x())) return nullptr;
    return reinterpret_cast<FARPROC>(::dlsym(winsimItself(), name));
}

void addBuiltinLocked(Loader& l, std::unique_ptr<Builtin> b) {
    auto m = std::make_shared<Module>();
    m->kind = Module::BuiltIn;
    m->handle = l.nextHandle;
    l.nextHandle += kHandleSpacing;
    m->builtin = b.get();
    m->resources = ResourceDirectory::empty();
    l.builtins.push_back(std::move(b));
    l.modules.emplace(m->handle, std::move(m));
}

void registerKernel32(Loader& l) {
    addBuiltinLocked(l, std::make_unique<Builtin>(Builtin{"KERNEL32.DLL", [] { return true; }, kernel32Export}));
}

}  // namespace

void registerBuiltinModule(std::string name, std::function<bool()> available,
                           std::function<FARPROC(const char*)> lookup) {
    Loader& l = loader();
    std::lock_guard<std::recursive_mutex> lock(l.mutex);
    addBuiltinLocked(l, std::make_unique<Builtin>(Builtin{std::move(name), std::move(available), std::move(lookup)}));
}

std::shared_ptr<const ResourceDirectory> moduleResources(HMODULE module) {
    Loader& l = loader();
    std::lock_guard<std::recursive_mutex> lock(l.mutex);
    auto m = resolveLocked(l, module);
    if (!m) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return m->resources;
}

HRSRC makeResourceHandle(HMODULE module, size_t index) {
    const uintptr_t base = module ? reinterpret_cast<uintptr_t>(module) : kProgramHandle;
    return reinterpret_cast<HRSRC>(base + kResourceStride * (index + 1));
}

std::shared_ptr<const ResourceDirectory> resolveResourceHandle(HRSRC resource, size_t* index, HMODULE* owner) {
    const auto value = reinterpret_cast<uintptr_t>(resource);
    const uintptr_t base = value < kFirstModuleHandle ? kProgramHandle : value & ~(kHandleSpacing - 1);
    const uintptr_t offset = value - base;
    if (value <= base || offset % kResourceStride != 0 || offset >= kHandleSpacing) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    Loader& l = loader();
    std::lock_guard<std::recursive_mutex> lock(l.mutex);
    auto m = findLocked(l, base);
    const size_t i = offset / kResourceStride - 1;
    if (!m || i >= m->resources->entries().size()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    *index = i;
    *owner = reinterpret_cast<HMODULE>(base);
    return m->resources;
}

HMODULE programModule() { return reinterpret_cast<HMODULE>(kProgramHandle); }

}  // namespace winsim

using namespace winsim;

extern "C" {

HMODULE WINAPI LoadLibraryA(LPCSTR name) {
    try {
        Loader& l = loader();
        std::lock_guard<std::recursive_mutex> lock(l.mutex);
        return loadLocked(l, name, false);
    } catch (const std::exception&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

HMODULE WINAPI LoadLibraryExA(LPCSTR name, HANDLE file, DWORD flags) {
    if (file) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (flags != 0 && flags != LOAD_LIBRARY_AS_DATAFILE) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    try {
        Loader& l = loader();
        std::lock_guard<std::recursive_mutex> lock(l.mutex);
        return loadLocked(l, name, flags == LOAD_LIBRARY_AS_DATAFILE);
    } catch (const std::exception&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

BOOL WINAPI FreeLibrary(HMODULE module) {
    Loader& l = loader();
    std::lock_guard<std::recursive_mutex> lock(l.mutex);
    auto m = module ? resolveLocked(l, module) : nullptr;
    if (!m) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    // The program and the built-in modules stay for the life of the process.
    if (m->kind == Module::Program || m->kind == Module::BuiltIn) return TRUE;
    if (--m->references > 0) return TRUE;
    l.modules.erase(m->handle);
    if (m->dl) ::dlclose(m->dl);  // may run destructors that free other modules: the lock is recursive
    return TRUE;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (IS_INTRESOURCE(name)) {  // no module of this system exports by ordinal
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    try {
        Loader& l = loader();
        std::lock_guard<std::recursive_mutex> lock(l.mutex);
        auto m = resolveLocked(l, module);
        if (!m || m->kind == Module::DataFile) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        if (m->kind == Module::BuiltIn) {
            FARPROC p = m->builtin->lookup(name);
            if (!p) SetLastError(ERROR_PROC_NOT_FOUND);
            return p;
        }
        static void* const program = ::dlopen(nullptr, RTLD_NOW);
        void* handle = m->kind == Module::Program ? program : m->dl;
        void* p = ::dlsym(handle, name);
        // dlsym also searches the module's own dependencies; GetProcAddress finds only what the
        // module itself exports.
        if (p && m->kind == Module::Library) {
            Dl_info info{};
            struct link_map* map = nullptr;
            if (!::dladdr(p, &info) || ::dlinfo(m->dl, RTLD_DI_LINKMAP, &map) != 0 || !map || !info.dli_fname ||
                std::strcmp(info.dli_fname, map->l_name) != 0)
                p = nullptr;
        }
        if (!p) SetLastError(ERROR_PROC_NOT_FOUND);
        return reinterpret_cast<FARPROC>(p);
    } catch (const std::exception&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

HMODULE WINAPI GetModuleHandleA(LPCSTR name) {
    try {
        Loader& l = loader();
        std::lock_guard<std::recursive_mutex> lock(l.mutex);
        auto program = programLocked(l);
        if (!name) return reinterpret_cast<HMODULE>(program->handle);
        const std::string wanted = withDefaultExtension(name);
        if (!wanted.empty() && hasFolder(wanted)) {
            struct stat st {};
            auto hp = resolvePath(wanted.c_str(), true);
            if (hp && ::stat(hp->path.c_str(), &st) == 0) {
                for (auto& [handle, m] : l.modules)
                    if ((m->kind == Module::Library || m->kind == Module::Program) && m->device == st.st_dev &&
                        m->inode == st.st_ino)
                        return reinterpret_cast<HMODULE>(handle);
            } else if (auto b = builtinByPathLocked(l, wanted)) {
                return reinterpret_cast<HMODULE>(b->handle);
            }
        } else if (!wanted.empty()) {
            for (auto& [handle, m] : l.modules)
                if (m->kind == Module::Library && equalsNoCase(m->file.filename().string(), wanted))
                    return reinterpret_cast<HMODULE>(handle);
            if (auto b = builtinLocked(l, wanted)) return reinterpret_cast<HMODULE>(b->handle);
            // The program's file has no extension here, so its name counts as it is given.
            const std::string programName = program->file.filename().string();
            if (equalsNoCase(programName, name) || equalsNoCase(programName, wanted))
                return reinterpret_cast<HMODULE>(program->handle);
        }
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    } catch (const std::exception&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
    std::string path;
    try {
        Loader& l = loader();
        std::lock_guard<std::recursive_mutex> lock(l.mutex);
        auto m = resolveLocked(l, module);
        if (!m) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        path = m->kind == Module::BuiltIn ? systemFolder() + "\\" + m->builtin->name : toWindowsPath(m->file);
    } catch (const std::exception&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    if (!buffer || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() < size) {
        std::memcpy(buffer, path.c_str(), path.size() + 1);
        SetLastError(ERROR_SUCCESS);
        return static_cast<DWORD>(path.size());
    }
    // Too small: as much as fits, cut at a character boundary, terminated; the result is nSize.
    size_t n = size - 1;
    while (n > 0 && (static_cast<unsigned char>(path[n]) & 0xC0) == 0x80) --n;
    std::memcpy(buffer, path.data(), n);
    buffer[n] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

}  // extern "C"
