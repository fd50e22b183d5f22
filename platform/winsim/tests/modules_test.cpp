// Modules: finding and loading them, reference counts, stale handles, data-file loads, damaged
// files, exports (KERNEL32 included) and the names and file names modules are known by.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "../src/kernel32/modules.h"
#include "fixtures/fixture_support.h"
#include <winsim/windows.h>

namespace {

namespace fs = std::filesystem;
using fixture::TempDir;

std::string moduleFileName(HMODULE h) {
    char buf[MAX_PATH];
    const DWORD n = GetModuleFileNameA(h, buf, sizeof buf);
    return n && n < sizeof buf ? std::string(buf, n) : std::string("(failed)");
}

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool loadedByTheDynamicLinker(const fs::path& file) {
    void* h = ::dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (h) ::dlclose(h);
    return h != nullptr;
}

// Works in another current folder for the life of the object.
class CurrentFolder {
public:
    explicit CurrentFolder(const fs::path& dir) : saved_(fs::current_path()) { fs::current_path(dir); }
    ~CurrentFolder() { fs::current_path(saved_); }

private:
    fs::path saved_;
};

// A copy of the fixture that is removed again, also when a test fails half-way.
class FixtureCopy {
public:
    explicit FixtureCopy(fs::path to) : path_(std::move(to)) { fs::copy_file(fixture::modulePath(), path_); }
    ~FixtureCopy() {
        std::error_code ec;
        fs::remove(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

TEST(LoadLibrary, FindsAPathWhateverItsSpelling) {
    const fs::path file = fixture::modulePath();
    const std::string win = fixture::windowsPath(file);
    const std::string folder = win.substr(0, win.rfind('\\'));
    const std::string spellings[] = {
        file.string(),                          // a Linux path is a path on the current drive
        win,                                    // Z:\...\ZFIXTURE.DLL
        upper(folder) + "\\zfixture.dll",      // every component found without regard to case
        folder + "\\ZFIXTURE",                  // ".DLL" implied without an extension
        folder + "/./ZFIXTURE.DLL",             // both separators, and "."
    };
    const HMODULE first = LoadLibraryA(spellings[0].c_str());
    ASSERT_NE(first, nullptr) << GetLastError();
    for (const std::string& name : spellings) {
        SCOPED_TRACE(name);
        const HMODULE h = LoadLibraryA(name.c_str());
        EXPECT_EQ(h, first);  // the same file is the same module
        if (h) {
            EXPECT_TRUE(FreeLibrary(h));
        }
    }
    EXPECT_EQ(moduleFileName(first), win);
    EXPECT_TRUE(FreeLibrary(first));
}

TEST(LoadLibrary, SearchesTheProgramFolderBeforeTheCurrentFolder) {
    const std::string name = "zfxorder" + std::to_string(::getpid()) + ".dll";
    TempDir current;
    FixtureCopy inProgramFolder(fs::read_symlink("/proc/self/exe").parent_path() / name);
    FixtureCopy inCurrentFolder(current.path() / upper(name));
    CurrentFolder cd(current.path());

    const std::string bare = upper(name.substr(0, name.size() - 4));  // no extension: ".DLL" implied
    HMODULE h = LoadLibraryA(bare.c_str());
    ASSERT_NE(h, nullptr) << GetLastError();
    EXPECT_EQ(moduleFileName(h), fixture::windowsPath(inProgramFolder.path()));
    EXPECT_TRUE(FreeLibrary(h));

    fs::remove(inProgramFolder.path());
    h = LoadLibraryA(name.c_str());
    ASSERT_NE(h, nullptr) << GetLastError();
    EXPECT_EQ(moduleFileName(h), fixture::windowsPath(inCurrentFolder.path()));
    EXPECT_TRUE(FreeLibrary(h));

    fs::remove(inCurrentFolder.path());
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA(name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST(LoadLibrary, CountsReferencesAndRefusesStaleHandles) {
    const HMODULE a = LoadLibraryA(fixture::modulePath());
    const HMODULE b = LoadLibraryA(fixture::modulePath());
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(a, b);
    const HRSRC blob = FindResourceA(a, MAKEINTRESOURCEA(IDR_BLOB), "DMHLP");
    ASSERT_NE(blob, nullptr);

    EXPECT_TRUE(FreeLibrary(a));  // one reference left: still loaded
    EXPECT_NE(GetProcAddress(a, "fixture_answer"), nullptr);
    EXPECT_TRUE(loadedByTheDynamicLinker(fixture::modulePath()));

    EXPECT_TRUE(FreeLibrary(b));
    EXPECT_FALSE(loadedByTheDynamicLinker(fixture::modulePath()));
    struct Probe {
        const char* what;
        bool failed;
        DWORD error;
    };
    auto probe = [](const char* what, bool failed) { return Probe{what, failed, GetLastError()}; };
    const Probe probes[] = {
        probe("GetProcAddress", GetProcAddress(a, "fixture_answer") == nullptr),
        probe("FreeLibrary", !FreeLibrary(a)),
        probe("GetModuleFileNameA", moduleFileName(a) == "(failed)"),
        probe("FindResourceA", FindResourceA(a, MAKEINTRESOURCEA(IDR_BLOB), "DMHLP") == nullptr),
        probe("LoadStringA", [&] {
            char buf[16];
            return LoadStringA(a, IDS_SEVENTEEN, buf, sizeof buf) == 0;
        }()),
    };
    for (const Probe& p : probes) {
        EXPECT_TRUE(p.failed) << p.what;
        EXPECT_EQ(p.error, static_cast<DWORD>(ERROR_MOD_NOT_FOUND)) << p.what;
    }
    SetLastError(0);
    EXPECT_EQ(LoadResource(a, blob), nullptr);  // the HRSRC died with its module
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // A new load is a new module, never the old handle again.
    const HMODULE c = LoadLibraryA(fixture::modulePath());
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c, a);
    EXPECT_EQ(GetProcAddress(a, "fixture_answer"), nullptr);
    EXPECT_TRUE(FreeLibrary(c));

    for (HMODULE forged : {reinterpret_cast<HMODULE>(0x12345678), reinterpret_cast<HMODULE>(0x10000010)}) {
        SetLastError(0);
        EXPECT_EQ(GetProcAddress(forged, "fixture_answer"), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    }
}

TEST(GetProcAddress, FindsOnlyTheModulesOwnExports) {
    const HMODULE h = LoadLibraryA(fixture::modulePath());
    ASSERT_NE(h, nullptr);
    auto answer = reinterpret_cast<int (*)()>(GetProcAddress(h, "fixture_answer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);

    struct Case {
        LPCSTR name;
        DWORD error;
    };
    const Case cases[] = {
        {"no_such_export", ERROR_PROC_NOT_FOUND},
        {"malloc", ERROR_PROC_NOT_FOUND},  // the C library's, not the module's
        {MAKEINTRESOURCEA(1), ERROR_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(GetProcAddress(h, c.name), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_TRUE(FreeLibrary(h));
}

TEST(LoadLibraryEx, DataFileLoadsReadResourcesWithoutCode) {
    const HMODULE h = LoadLibraryExA(fixture::modulePath(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(h, nullptr) << GetLastError();
    EXPECT_FALSE(loadedByTheDynamicLinker(fixture::modulePath()));
    EXPECT_NE(FindResourceA(h, MAKEINTRESOURCEA(IDR_BLOB), "DMHLP"), nullptr);
    char text[32];
    EXPECT_GT(LoadStringA(h, IDS_SEVENTEEN, text, sizeof text), 0);
    EXPECT_EQ(GetProcAddress(h, "fixture_answer"), nullptr);
    EXPECT_EQ(GetModuleHandleA("ZFIXTURE.DLL"), nullptr);  // data files are not loaded modules

    // Loaded for real, the module serves data-file requests too.
    const HMODULE real = LoadLibraryA(fixture::modulePath());
    ASSERT_NE(real, nullptr);
    EXPECT_NE(real, h);
    EXPECT_EQ(LoadLibraryExA(fixture::modulePath(), nullptr, LOAD_LIBRARY_AS_DATAFILE), real);
    EXPECT_TRUE(FreeLibrary(real));
    EXPECT_TRUE(FreeLibrary(real));
    EXPECT_TRUE(FreeLibrary(h));

    struct Case {
        HANDLE file;
        DWORD flags;
        DWORD error;
    };
    const Case refused[] = {
        {reinterpret_cast<HANDLE>(4), 0, ERROR_INVALID_PARAMETER},
        {nullptr, DONT_RESOLVE_DLL_REFERENCES, ERROR_NOT_SUPPORTED},
        {nullptr, LOAD_LIBRARY_AS_DATAFILE | 0x8, ERROR_NOT_SUPPORTED},
    };
    for (const Case& c : refused) {
        SetLastError(0);
        EXPECT_EQ(LoadLibraryExA(fixture::modulePath(), c.file, c.flags), nullptr);
        EXPECT_EQ(GetLastError(), c.error) << c.flags;
    }
}

// Damage to a module's file, as offsets into its resource directory (found by its magic) or
// into the ELF header, and the value written there.
struct Damage {
    const char* name;
    bool inElfHeader;
    size_t offset;
    uint64_t value;
    size_t width;
};

void PrintTo(const Damage& d, std::ostream* os) { *os << d.name; }

class DamagedModule : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedModule, IsRefused) {
    const Damage& d = GetParam();
    std::vector<uint8_t> bytes = fixture::readFile(fixture::modulePath());
    const auto* magic = static_cast<const uint8_t*>(::memmem(bytes.data(), bytes.size(), "ZRSR", 4));
    ASSERT_NE(magic, nullptr);
    const size_t at = (d.inElfHeader ? 0 : static_cast<size_t>(magic - bytes.data())) + d.offset;
    ASSERT_LE(at + d.width, bytes.size());
    std::memcpy(bytes.data() + at, &d.value, d.width);
    TempDir dir;
    const fs::path file = dir.path() / (std::string(d.name) + ".DLL");
    fixture::writeFile(file, bytes.data(), bytes.size());

    for (DWORD flags : {DWORD{0}, DWORD{LOAD_LIBRARY_AS_DATAFILE}}) {
        SetLastError(0);
        EXPECT_EQ(LoadLibraryExA(file.c_str(), nullptr, flags), nullptr) << flags;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT)) << flags;
    }
}

// Directory header: 0 magic, 8 entry count, 16 entries, 20 pool, 24 pool size, 28 data, 36 total
// size; the first entry at 40: +0 type, +4 name, +12 data offset, +16 data size.
INSTANTIATE_TEST_SUITE_P(
    Cases, DamagedModule,
    ::testing::Values(Damage{"magic", false, 0, 0x12345678, 4},
                      Damage{"too_many_entries", false, 8, 0x00100000, 4},
                      Damage{"entries_past_the_end", false, 8, 0x00001000, 4},
                      Damage{"total_past_the_section", false, 36, 0x7FFFFFFF, 4},
                      Damage{"pool_past_the_end", false, 24, 0x7FFFFFF0, 4},
                      Damage{"data_in_the_header", false, 40 + 12, 0, 4},
                      Damage{"data_past_the_end", false, 40 + 16, 0x7FFFFFFF, 4},
                      Damage{"name_outside_the_pool", false, 40 + 4, 0x80007FFF, 4},
                      Damage{"id_beyond_16_bits", false, 40 + 0, 0x00010000, 4},
                      Damage{"section_headers_past_the_end", true, 0x28, 0xFFFFFFFF00, 8},
                      Damage{"not_elf", true, 0, 0x00000000, 4}),
    [](const ::testing::TestParamInfo<Damage>& info) { return std::string(info.param.name); });

TEST(LoadLibrary, ReportsMissingModules) {
    TempDir dir;
    const std::string cases[] = {"NO_SUCH_MODULE.DLL", (dir.path() / "nothing.dll").string(), "Q:\\x\\y.dll"};
    for (const std::string& name : cases) {
        SetLastError(0);
        EXPECT_EQ(LoadLibraryA(name.c_str()), nullptr) << name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND)) << name;
    }
}

TEST(GetModuleHandle, KnowsLoadedModulesByName) {
    const HMODULE h = LoadLibraryA(fixture::modulePath());
    ASSERT_NE(h, nullptr);
    const HMODULE kernel32 = LoadLibraryA("KERNEL32.DLL");
    ASSERT_NE(kernel32, nullptr);
    struct Case {
        std::string name;
        HMODULE expected;
    };
    const Case cases[] = {
        {"ZFIXTURE.DLL", h},
        {"zfixture.dll", h},
        {"zfixture", h},  // ".DLL" implied
        {"ZFIXTURE.", nullptr},  // a trailing dot: a name without extension
        {"ZFIXTURE.EXE", nullptr},
        {fixture::windowsPath(fixture::modulePath()), h},
        {"Z:\\no\\such\\folder\\ZFIXTURE.DLL", nullptr},
        {"Kernel32", kernel32},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(GetModuleHandleA(c.name.c_str()), c.expected) << c.name;
        if (!c.expected) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND)) << c.name;
        }
    }
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_EQ(GetModuleHandleA("ZFIXTURE.DLL"), nullptr);
}

TEST(GetModuleHandle, NullIsTheProgram) {
    const HMODULE program = GetModuleHandleA(nullptr);
    ASSERT_NE(program, nullptr);
    EXPECT_EQ(moduleFileName(program), fixture::windowsPath(fs::read_symlink("/proc/self/exe")));
    EXPECT_EQ(moduleFileName(nullptr), moduleFileName(program));
    EXPECT_TRUE(FreeLibrary(program));  // the program stays
    EXPECT_EQ(GetModuleHandleA(nullptr), program);
}

TEST(GetModuleFileName, TruncatesAsWin32Does) {
    const HMODULE h = LoadLibraryA(fixture::modulePath());
    ASSERT_NE(h, nullptr);
    const std::string full = fixture::windowsPath(fixture::modulePath());
    const auto len = static_cast<DWORD>(full.size());
    struct Case {
        DWORD size;
        DWORD result;
        std::string text;
        DWORD error;
    };
    const Case cases[] = {
        {len + 1, len, full, ERROR_SUCCESS},
        {len, len, full.substr(0, len - 1), ERROR_INSUFFICIENT_BUFFER},
        {4, 4, full.substr(0, 3), ERROR_INSUFFICIENT_BUFFER},
        {1, 1, "", ERROR_INSUFFICIENT_BUFFER},
    };
    for (const Case& c : cases) {
        std::vector<char> buf(c.size + 8, '#');
        SetLastError(12345);
        EXPECT_EQ(GetModuleFileNameA(h, buf.data(), c.size), c.result) << c.size;
        EXPECT_EQ(GetLastError(), c.error) << c.size;
        EXPECT_EQ(std::string(buf.data()), c.text) << c.size;
        EXPECT_EQ(buf[c.size], '#') << "wrote past nSize " << c.size;
    }
    char untouched = '#';
    EXPECT_EQ(GetModuleFileNameA(h, &untouched, 0), 0u);
    EXPECT_EQ(untouched, '#');
    EXPECT_TRUE(FreeLibrary(h));
}

TEST(Kernel32, ExportsWhatWinsimImplements) {
    const HMODULE k = LoadLibraryA("kernel32");
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(GetModuleHandleA("KERNEL32.DLL"), k);
    auto langId = reinterpret_cast<LANGID(WINAPI*)()>(GetProcAddress(k, "GetUserDefaultLangID"));
    auto uiLanguage = reinterpret_cast<LANGID(WINAPI*)()>(GetProcAddress(k, "GetUserDefaultUILanguage"));
    ASSERT_NE(langId, nullptr);
    ASSERT_NE(uiLanguage, nullptr);
    EXPECT_EQ(langId(), GetUserDefaultLangID());
    EXPECT_EQ(uiLanguage(), GetUserDefaultUILanguage());
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(k, "CreateProcessA"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    const std::string file = moduleFileName(k);
    EXPECT_EQ(file.substr(file.rfind('\\') + 1), "KERNEL32.DLL");
    EXPECT_TRUE(FreeLibrary(k));
    EXPECT_EQ(GetModuleHandleA("kernel32"), k);  // always mapped
}

TEST(Kernel32, HasNoUiLanguageOnThe9xFamily) {
    fixture::LabSettings settings;
    settings.platform(VER_PLATFORM_WIN32_WINDOWS);
    const HMODULE k = GetModuleHandleA("KERNEL32.DLL");
    ASSERT_NE(k, nullptr);
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(k, "GetUserDefaultUILanguage"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_NE(GetProcAddress(k, "GetUserDefaultLangID"), nullptr);
}

std::atomic<bool> gBuiltinPresent{false};
int builtinAnswer() { return 7; }

TEST(BuiltinModules, AreFoundOnlyWhileTheLabHasThem) {
    static const bool registered = [] {
        winsim::registerBuiltinModule(
            "ZTESTBI.DLL", [] { return gBuiltinPresent.load(); },
            [](const char* name) {
                return std::strcmp(name, "Answer") == 0 ? reinterpret_cast<FARPROC>(&builtinAnswer) : nullptr;
            });
        return true;
    }();
    ASSERT_TRUE(registered);

    gBuiltinPresent = false;
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA("ztestbi"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(GetModuleHandleA("ZTESTBI.DLL"), nullptr);

    gBuiltinPresent = true;
    const HMODULE h = LoadLibraryA("ZTESTBI");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GetModuleHandleA("ztestbi.dll"), h);
    char system[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryA(system, sizeof system), 0u);
    EXPECT_EQ(LoadLibraryA((std::string(system) + "\\ztestbi.dll").c_str()), h);
    auto answer = reinterpret_cast<int (*)()>(GetProcAddress(h, "Answer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 7);
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(h, "Question"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_TRUE(FreeLibrary(h));
    gBuiltinPresent = false;
}

}  // namespace
