// Windows paths over the Linux file system, as Wine maps them: Z:\ is the Linux root and C:\ the
// lab's system drive. Components are found without regard to case, so "ZELFIN.CFG" opens
// "zelfin.cfg" wherever it lies.
#include <unistd.h>

#include <cstring>
#include <system_error>
#include <vector>

#include "internal.h"

namespace fs = std::filesystem;

namespace winsim {

namespace {

bool isSep(char c) { return c == '\\' || c == '/'; }

const fs::path& driveCRoot() {
    static const fs::path root = [] {
        std::error_code ec;
        fs::path p = fs::weakly_canonical(currentLab().driveC(), ec);
        return ec ? currentLab().driveC() : p;
    }();
    return root;
}

fs::path currentDirectory() {
    std::error_code ec;
    fs::path p = fs::current_path(ec);
    return ec ? fs::path("/") : p;
}

// The drive a Linux path lies on, and that drive's root.
char driveOf(const fs::path& p, fs::path* root) {
    const fs::path& c = driveCRoot();
    auto [ci, pi] = std::mismatch(c.begin(), c.end(), p.begin(), p.end());
    if (ci == c.end()) {
        if (root) *root = c;
        return 'C';
    }
    if (root) *root = "/";
    return 'Z';
}

bool validComponent(const std::string& name) {
    for (unsigned char ch : name) {
        if (ch < 0x20 || std::strchr("<>:\"|?*", ch)) return false;
    }
    return true;
}

// Finds an entry of dir whose name equals `name` without regard to case; the exact spelling wins,
// then the first in sorted order so that the answer never depends on directory order.
std::optional<std::string> findNoCase(const fs::path& dir, const std::string& name) {
    std::error_code ec;
    if (fs::exists(dir / name, ec)) return name;
    std::optional<std::string> best;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string entry = it->path().filename().string();
        if (equalsNoCase(entry, name) && (!best || entry < *best)) best = entry;
    }
    return best;
}

}  // namespace

bool isDevicePath(const char* p) {
    return p && isSep(p[0]) && isSep(p[1]) && (p[2] == '.' || p[2] == '?') && isSep(p[3]);
}

std::optional<HostPath> resolvePath(const char* winPath, bool mustExist) {
    if (!winPath || !*winPath) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return std::nullopt;
    }
    if (std::strlen(winPath) >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return std::nullopt;
    }
    if (isSep(winPath[0]) && isSep(winPath[1])) {  // UNC and device paths are not files
        SetLastError(ERROR_BAD_PATHNAME);
        return std::nullopt;
    }
    std::string rest = winPath;
    fs::path base;
    fs::path driveRoot;
    char drive;
    if (rest.size() >= 2 && rest[1] == ':' && std::isalpha(static_cast<unsigned char>(rest[0]))) {
        drive = static_cast<char>(std::toupper(static_cast<unsigned char>(rest[0])));
        if (drive == 'C') {
            driveRoot = driveCRoot();
        } else if (drive == 'Z') {
            driveRoot = "/";
        } else {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return std::nullopt;
        }
        // "X:name" would be relative to that drive's own current folder; the simulated PC keeps
        // no such folder per drive, so it is taken from the drive's root.
        base = driveRoot;
        rest = rest.substr(2);
    } else {
        const fs::path cwd = currentDirectory();
        drive = driveOf(cwd, &driveRoot);
        base = isSep(rest[0]) ? driveRoot : cwd;
    }

    std::vector<std::string> parts;
    {
        std::string cur;
        for (char ch : rest) {
            if (isSep(ch)) {
                if (!cur.empty()) parts.push_back(cur);
                cur.clear();
            } else {
                cur += ch;
            }
        }
        if (!cur.empty()) parts.push_back(cur);
    }

    fs::path p = base;
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string& part = parts[i];
        const bool last = i + 1 == parts.size();
        if (part == ".") continue;
        if (part == "..") {
            if (p != driveRoot && p.has_parent_path()) p = p.parent_path();
            continue;
        }
        if (!validComponent(part)) {
            SetLastError(ERROR_INVALID_NAME);
            return std::nullopt;
        }
        if (auto found = findNoCase(p, part)) {
            p /= *found;
            continue;
        }
        if (last && !mustExist) {
            std::error_code ec;
            if (!fs::is_directory(p, ec)) {
                SetLastError(ERROR_PATH_NOT_FOUND);
                return std::nullopt;
            }
            p /= part;
            continue;
        }
        SetLastError(last ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
        return std::nullopt;
    }

    HostPath out;
    out.path = p;
    out.drive = drive;
    out.isDriveRoot = (p == driveRoot);
    out.inDriveRoot = !out.isDriveRoot && p.parent_path() == driveRoot;
    return out;
}

std::string toWindowsPath(const fs::path& hostPath) {
    fs::path p = hostPath.is_absolute() ? hostPath : currentDirectory() / hostPath;
    p = p.lexically_normal();
    fs::path root;
    const char drive = driveOf(p, &root);
    std::string rel = p.lexically_relative(root).generic_string();
    if (rel == ".") rel.clear();
    for (char& ch : rel)
        if (ch == '/') ch = '\\';
    while (!rel.empty() && rel.back() == '\\') rel.pop_back();
    return std::string(1, drive) + ":\\" + rel;
}

fs::path programDirectory() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? currentDirectory() : exe.parent_path();
}

}  // namespace winsim

using namespace winsim;

namespace {

// The Windows folder of the simulated PC, without a trailing backslash.
std::string windowsDirectory() {
    std::string dir = currentLab().settings().windowsDirectory;
    return dir;
}

// The Windows folder with exactly one backslash before `sub`, also when it is a drive's root.
std::string belowWindows(const char* sub) {
    std::string dir = windowsDirectory();
    if (dir.back() != '\\') dir += '\\';
    return dir + sub;
}

DWORD returnPath(const std::string& text, LPSTR buffer, DWORD size) {
    if (!buffer && size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return copyOut(text, buffer, size);
}

}  // namespace

extern "C" {

DWORD WINAPI GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
    return returnPath(toWindowsPath(fs::current_path()), buffer, size);
}

BOOL WINAPI SetCurrentDirectoryA(LPCSTR path) {
    auto hp = resolvePath(path, true);
    if (!hp) return FALSE;
    std::error_code ec;
    if (!fs::is_directory(hp->path, ec)) {
        SetLastError(ERROR_DIRECTORY);
        return FALSE;
    }
    if (::chdir(hp->path.c_str()) != 0) {
        SetLastError(win32ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI GetTempPathA(DWORD size, LPSTR buffer) { return returnPath(belowWindows("TEMP\\"), buffer, size); }

UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size) { return returnPath(windowsDirectory(), buffer, size); }

UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size) {
    return returnPath(belowWindows(currentLab().is9x() ? "SYSTEM" : "System32"), buffer, size);
}

DWORD WINAPI GetFullPathNameA(LPCSTR name, DWORD size, LPSTR buffer, LPSTR* filePart) {
    auto hp = resolvePath(name, false);
    if (!hp) return 0;
    const std::string full = toWindowsPath(hp->path);
    const DWORD r = returnPath(full, buffer, size);
    if (filePart && buffer && r < size) {
        const char* slash = std::strrchr(buffer, '\\');
        *filePart = (slash && slash[1]) ? const_cast<LPSTR>(slash + 1) : nullptr;
    }
    return r;
}

}  // extern "C"
