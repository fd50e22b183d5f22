// Directory listings. They come sorted without regard to case, so that the plug-in order and
// every listing are the same on every machine, whatever order the file system keeps.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "internal.h"

namespace fs = std::filesystem;
using namespace winsim;

namespace winsim {

namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool matchAt(const std::string& p, size_t pi, const std::string& s, size_t si) {
    while (pi < p.size()) {
        const char c = p[pi];
        if (c == '*') {
            // A trailing ".*" also matches a name without an extension ("*.*" matches all).
            if (p.compare(pi, std::string::npos, "*") == 0) return true;
            for (size_t k = si; k <= s.size(); ++k)
                if (matchAt(p, pi + 1, s, k)) return true;
            return false;
        }
        if (c == '.' && p.compare(pi, std::string::npos, ".*") == 0 && si == s.size()) return true;
        if (c == '.' && pi + 1 == p.size() && si == s.size()) return true;  // "name." matches "name"
        if (c == '?') {
            // As in DOS, "?" matches one character, or none at the end of the name or before a dot.
            if (si < s.size() && matchAt(p, pi + 1, s, si + 1)) return true;
            if (si < s.size() && s[si] != '.') return false;
            ++pi;
            continue;
        }
        if (si >= s.size() || lower(c) != lower(s[si])) return false;
        ++pi;
        ++si;
    }
    return si == s.size();
}

}  // namespace

// Matches a file name against a pattern with "*" and "?" without regard to case.
bool wildcardMatch(const std::string& pattern, const std::string& name) { return matchAt(pattern, 0, name, 0); }

}  // namespace winsim

namespace {

struct FindEntry {
    std::string name;
    struct stat st;
};

struct FindObject : KernelObject {
    std::vector<FindEntry> entries;
    size_t next = 0;
};

void fillFindData(const FindEntry& e, WIN32_FIND_DATAA* data) {
    std::memset(data, 0, sizeof *data);
    data->dwFileAttributes = S_ISDIR(e.st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if ((e.st.st_mode & 0222) == 0) data->dwFileAttributes |= FILE_ATTRIBUTE_READONLY;
    // FILETIME counts 100 ns units since 1601.
    const uint64_t ft = (static_cast<uint64_t>(e.st.st_mtim.tv_sec) + 11644473600ull) * 10000000ull +
                        static_cast<uint64_t>(e.st.st_mtim.tv_nsec) / 100;
    data->ftLastWriteTime = {static_cast<DWORD>(ft), static_cast<DWORD>(ft >> 32)};
    data->ftCreationTime = data->ftLastWriteTime;
    data->ftLastAccessTime = data->ftLastWriteTime;
    if (!S_ISDIR(e.st.st_mode)) {
        const auto size = static_cast<uint64_t>(e.st.st_size);
        data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
        data->nFileSizeLow = static_cast<DWORD>(size);
    }
    std::memcpy(data->cFileName, e.name.c_str(), e.name.size() + 1);  // names are < MAX_PATH, see below
}

}  // namespace

extern "C" {

HANDLE WINAPI FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
    if (!pattern || !data || !*pattern) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string full = pattern;
    const size_t cut = full.find_last_of("\\/");
    std::string dirPart = cut == std::string::npos ? "" : full.substr(0, cut + 1);
    std::string namePart = cut == std::string::npos ? full : full.substr(cut + 1);
    if (dirPart.empty() && full.size() >= 2 && full[1] == ':') {  // "C:*.cfg"
        dirPart = full.substr(0, 2) + "\\";
        namePart = full.substr(2);
    }
    if (namePart.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto dir = resolvePath(dirPart.empty() ? "." : dirPart.c_str(), true);
    if (!dir) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::error_code ec;
    if (!fs::is_directory(dir->path, ec)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto find = std::make_shared<FindObject>();
    std::vector<std::string> names;
    if (!dir->isDriveRoot) names = {".", ".."};
    for (fs::directory_iterator it(dir->path, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    for (const std::string& n : names) {
        // A name that cannot be told through the fixed 260-byte field is left out, not cut.
        if (n.size() >= MAX_PATH || !wildcardMatch(namePart, n)) continue;
        FindEntry e{n, {}};
        if (::stat((dir->path / n).c_str(), &e.st) != 0) continue;
        find->entries.push_back(std::move(e));
    }
    std::sort(find->entries.begin(), find->entries.end(), [](const FindEntry& a, const FindEntry& b) {
        const int c = compareNoCase(a.name, b.name);
        return c != 0 ? c < 0 : a.name < b.name;
    });
    if (find->entries.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    fillFindData(find->entries[0], data);
    find->next = 1;
    SetLastError(ERROR_SUCCESS);
    return insertHandle(std::move(find));
}

BOOL WINAPI FindNextFileA(HANDLE h, LPWIN32_FIND_DATAA data) {
    auto find = handleAs<FindObject>(h);
    if (!find) return FALSE;
    if (!data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (find->next >= find->entries.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    fillFindData(find->entries[find->next++], data);
    return TRUE;
}

BOOL WINAPI FindClose(HANDLE h) {
    if (!handleAs<FindObject>(h)) return FALSE;
    removeHandle(h);
    return TRUE;
}

}  // extern "C"
