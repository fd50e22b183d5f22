#include "paths.h"

#include <cctype>
#include <filesystem>

#include <lab/lab.h>
#include <winsim/windows.h>

namespace fs = std::filesystem;

namespace ui::detail {

namespace {

std::optional<fs::path> driveCRoot() {
    try {
        return fs::weakly_canonical(lab::Lab::current().driveC());
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string withSlashes(std::string s) {
    for (char& c : s)
        if (c == '\\') c = '/';
    return s;
}

}  // namespace

std::optional<std::string> hostPathOf(const std::string& windowsPath) {
    char full[MAX_PATH * 4];
    const DWORD n = GetFullPathNameA(windowsPath.empty() ? "." : windowsPath.c_str(), sizeof full, full, nullptr);
    if (n == 0 || n >= sizeof full || n < 2 || full[1] != ':') return std::nullopt;
    const char drive = static_cast<char>(std::toupper(static_cast<unsigned char>(full[0])));
    const std::string rest = withSlashes(full + 2);  // "\dir\file" -> "/dir/file"
    if (drive == 'Z') return rest.empty() ? "/" : rest;
    if (drive == 'C') {
        auto root = driveCRoot();
        if (!root) return std::nullopt;
        return (*root / fs::path(rest).relative_path()).string();
    }
    return std::nullopt;
}

std::string windowsPathOf(const std::string& hostPath) {
    fs::path p = fs::weakly_canonical(fs::path(hostPath));
    std::string drive = "Z:";
    if (auto root = driveCRoot()) {
        auto rel = p.lexically_relative(*root);
        if (!rel.empty() && rel.native().rfind("..", 0) != 0) {
            drive = "C:";
            p = fs::path("/") / (rel == "." ? fs::path() : rel);
        }
    }
    std::string s = p.string();
    for (char& c : s)
        if (c == '/') c = '\\';
    return drive + s;
}

}  // namespace ui::detail
