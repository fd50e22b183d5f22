#include "io_layer.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include <devaccess/sysutil.h>
#include <plugin-api/kpl.h>
#include <winsim/setupapi.h>

#include "dfu_package.h"
#include "plugin_state.h"
#include "tarn_log.h"

namespace tarn {

namespace {

// The end of a section's lines: the code SetupFindNextLine gives, and the same condition as the
// setup functions' HRESULT, which some code compares against instead.
constexpr DWORD kNoMoreLines = ERROR_LINE_NOT_FOUND;
constexpr DWORD kNoMoreLinesResult = 0x800F0102;

// The file the extractor wrote last, deleted when the plug-in is unloaded: the helper driver's
// image is not left behind in the system's driver folder.
class Extractor {
public:
    void remember(const char* path) {
        std::lock_guard<std::mutex> lock(mutex_);
        path_ = path;
    }
    ~Extractor() {
        if (!path_.empty()) DeleteFileA(path_.c_str());
    }

private:
    std::mutex mutex_;
    std::string path_;
};

Extractor& extractor() {
    static Extractor e;
    return e;
}

}  // namespace

bool ExtractResource(WORD id, const char* type, const char* target) {
    char name[16];
    std::snprintf(name, sizeof name, "%u", static_cast<unsigned>(id));
    HMODULE self = GetModuleHandleA("KPLTARN.DLL");
    if (!self) {
        TARN_LOG_AT("Rsrc", "%s(%i) :Unable to get KPLTARN.DLL's handle. Error: %xh", static_cast<unsigned>(GetLastError()));
        return false;
    }
    HRSRC info = FindResourceA(self, MAKEINTRESOURCEA(id), type);
    if (!info) {
        TARN_LOG_AT("Rsrc", "%s(%i) :Unable to find resource %s in KPLTARN.DLL. Error: %xh", name,
                    static_cast<unsigned>(GetLastError()));
        return false;
    }
    const DWORD size = SizeofResource(self, info);
    if (size == 0) {
        TARN_LOG_AT("Rsrc", "%s(%i) :Size of resource %s is zero. Error: %xh", name, static_cast<unsigned>(GetLastError()));
        return false;
    }
    HGLOBAL loaded = LoadResource(self, info);
    if (!loaded) {
        TARN_LOG_AT("Rsrc", "%s(%i) :Unable to load resource %s. Error: %xh", name, static_cast<unsigned>(GetLastError()));
        return false;
    }
    const void* bytes = LockResource(loaded);
    if (!bytes) {
        TARN_LOG_AT("Rsrc", "%s(%i) :LockResource failed. Error: %xh.", static_cast<unsigned>(GetLastError()));
        return false;
    }
    extractor().remember(target);
    HANDLE file = CreateFileA(target, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        TARN_LOG_AT("Rsrc", "%s(%i) :Failed to create file %s for writing. Error: %xh", target,
                    static_cast<unsigned>(GetLastError()));
        return false;
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes, size, &written, nullptr) && written == size;
    CloseHandle(file);
    return ok;
}

void ReadPackageHwIds() {
    PluginState& s = plugin();
    s.hwIdCount = 0;  // a scan lists what the package lists now, not what an earlier scan read
    if (!s.packagePath[0]) {
        TARN_LOG_AT("tarnutils", "%s(%i) :Path of the Tarndfu.inf file is not known");
        return;
    }
    UINT errorLine = 0;
    HINF inf = SetupOpenInfFileA(s.packagePath, nullptr, INF_STYLE_WIN4, &errorLine);
    if (inf == INVALID_HANDLE_VALUE) {
        TARN_LOG_AT("tarnutils", "%s(%i) :Error %x in SetupOpenInfFile at index %d", static_cast<unsigned>(GetLastError()),
                    static_cast<int>(errorLine));
        return;
    }
    INFCONTEXT line;
    BOOL more = SetupFindFirstLineA(inf, "QVX.Section", nullptr, &line);
    if (!more) TARN_LOG_AT("tarnutils", "%s (%i) :Error %x in getting QVX.Section", static_cast<unsigned>(GetLastError()));
    bool overflowLogged = false;
    while (more) {
        char id[MAX_PATH];
        if (!SetupGetStringFieldA(&line, 2, id, sizeof id, nullptr)) {
            TARN_LOG_AT("tarnutils", "%s(%i) :Error %x in getting HwID from QVX.Section", static_cast<unsigned>(GetLastError()));
            break;
        }
        if (s.hwIdCount < kMaxHwIds) {
            std::snprintf(s.hwIds[s.hwIdCount++], MAX_PATH, "%s", id);
        } else if (!overflowLogged) {
            TARN_LOG_AT("tarnutils", "%s(%i) :QVX.Section lists more than %d identifiers; the rest are ignored", kMaxHwIds);
            overflowLogged = true;
        }
        more = SetupFindNextLine(&line, &line);
        if (!more) {
            const DWORD error = GetLastError();
            if (error != kNoMoreLines && error != kNoMoreLinesResult)
                TARN_LOG_AT("tarnutils", "%s(%i) :Error %x in finding next line in QVX.Section", static_cast<unsigned>(error));
        }
    }
    SetupCloseInfFile(inf);
}

int32_t InitializeIoLayer() {
    PluginState& s = plugin();
    TARN_PLAIN("Initializing IO Layer...");
    if (s.strings) FreeLibrary(s.strings);
    s.strings = LoadLibraryA("ZELFNRES.DLL");
    if (!s.strings) {
        TARN_LOG_AT("tarnutils", "%s(%i) :Failed to load ZELFNRES.DLL. Error: %xh", static_cast<unsigned>(GetLastError()));
        return 1;
    }
    s.language = GetUserDefaultLangID() == 0x407 ? 0x407 : 0x409;
    s.platform = GetPlatformId();
    if (s.platform != 1) return KPL_E_OS_FAMILY;
    TARN_LOG_AT("tarnutils", "%s(%i) :OS Type = %d", s.platform);
    char temp[MAX_PATH];
    if (!GetTempPathA(sizeof temp, temp)) return KPL_E_SYSTEM;
    char windows[MAX_PATH];
    if (!GetWindowsDir(windows)) return KPL_E_HELPER_IMAGE;
    char image[MAX_PATH];
    const int n = std::snprintf(image, sizeof image, "%s\\System32\\Drivers\\DMHLP.SYS", windows);
    if (n < 0 || static_cast<size_t>(n) >= sizeof image) return KPL_E_HELPER_IMAGE;
    if (!ExtractResource(kHelperImageId, kHelperImageType, image)) return KPL_E_HELPER_IMAGE;

    char current[MAX_PATH];
    const DWORD length = GetCurrentDirectoryA(sizeof current, current);
    s.packagePath[0] = '\0';
    if (length > 0 && length < sizeof current) {
        // A path cut short would name another file: the package path stays unknown then.
        const int written = std::snprintf(s.packagePath, sizeof s.packagePath, "%s\\TARNDFU.INF", current);
        if (written < 0 || static_cast<size_t>(written) >= sizeof s.packagePath) s.packagePath[0] = '\0';
    }
    if (const int32_t status = InstallDfuPackage(windows)) return status;
    ReadPackageHwIds();
    ForceDfuDriverOnListedDevices();
    return KPL_OK;
}

}  // namespace tarn
