// zelfin-config write: a new configuration file from the command line.
#include <config/keys.h>
#include <config/writer.h>

#include <cctype>
#include <iostream>

#include <tools/file_reason.h>

#include "tool.h"

using namespace zelfin::config;

namespace configtool {

namespace {

bool equalsNoCase(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    }
    return i == a.size() && !b[i];
}

// Zelfin skips keys it does not know, but a plug-in may read them, so they are written anyway.
void warnIfUnknown(const std::string& key) {
    if (findOptionKey(key) >= 0) return;
    std::cerr << "zelfin-config: warning: option key '" << key << "' is not known to Zelfin";
    for (const OptionKeyInfo& k : kOptionKeys) {
        if (equalsNoCase(key, k.name)) {
            std::cerr << " (keys are case-sensitive: did you mean '" << k.name << "'?)";
            break;
        }
    }
    std::cerr << "; written anyway for the plug-ins\n";
}

// The folder part of a path as Zelfin takes it ("C:\\Zelfin" of "C:\\Zelfin\\run.cfg"); empty for
// a bare name.
std::string folderOf(const std::string& path) {
    const size_t cut = path.find_last_of("\\/");
    if (cut == std::string::npos) return "";
    if (cut == 0 || (cut == 2 && path[1] == ':')) return path.substr(0, cut + 1);  // a root
    return path.substr(0, cut);
}

bool isFolder(const std::string& path) {
    const DWORD attrs = GetFileAttributesA(path.c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY);
}

// Creates `folder` and the folders above it that are missing; false with the system error set.
bool makeFolders(const std::string& folder) {
    if (folder.empty() || isFolder(folder)) return true;
    const std::string parent = folderOf(folder);
    if (parent != folder && !makeFolders(parent)) return false;
    if (CreateDirectoryA(folder.c_str(), nullptr)) return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
    // Made meanwhile by someone else is fine; a file of that name is not.
    if (isFolder(folder)) return true;
    SetLastError(ERROR_ALREADY_EXISTS);
    return false;
}

// Why `file` cannot be written before anything is written, or empty; with `mkdir` a missing
// folder is created instead.
std::string targetProblem(const std::string& file, bool mkdir) {
    if (isFolder(file)) return "is a folder, not a file";
    const std::string folder = folderOf(file);
    if (folder.empty() || isFolder(folder)) return "";
    if (!mkdir) return "the folder " + folder + " does not exist (--mkdir creates it)";
    if (!makeFolders(folder)) return "cannot create the folder " + folder + ": " + tools::errorReason(GetLastError());
    return "";
}

}  // namespace

int runWrite(const std::vector<std::string>& args) {
    std::string file;
    ConfigContent content;
    bool mkdir = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool takesValue = a == "--option" || a == "--download" || a == "--symlink";
        if (takesValue && i + 1 >= args.size()) return usageError("write: " + a + " needs a value");
        if (a == "--option") {
            const std::string& kv = args[++i];
            const size_t eq = kv.find('=');
            if (eq == std::string::npos || eq == 0)
                return usageError("write: --option needs KEY=VALUE, not '" + kv + "'");
            content.options.push_back({kv.substr(0, eq), kv.substr(eq + 1)});
        } else if (a == "--download") {
            content.downloads.push_back(args[++i]);
        } else if (a == "--symlink") {
            if (content.symLink) return usageError("write: --symlink given twice");
            content.symLink = args[++i];
        } else if (a == "--mkdir") {
            mkdir = true;
        } else if (a.rfind("--", 0) == 0) {
            return usageError("write: unknown switch '" + a + "'");
        } else if (file.empty()) {
            file = a;
        } else {
            return usageError("write: more than one FILE");
        }
    }
    if (file.empty()) return usageError("write: no FILE given");

    const std::string problem = contentProblem(content);
    if (!problem.empty()) {
        std::cerr << "zelfin-config: nothing written: " << problem << "\n";
        return kExitProblem;
    }
    for (const ConfigOption& o : content.options) warnIfUnknown(o.key);
    const std::string target = targetProblem(file, mkdir);
    if (!target.empty()) {
        std::cerr << "zelfin-config: cannot write " << file << ": " << target << "\n";
        return kExitProblem;
    }
    const ConfigWriteResult written = writeConfig(file.c_str(), content);
    if (!written.ok) {
        std::cerr << "zelfin-config: cannot write " << file << ": " << tools::errorReason(written.error) << "\n";
        return kExitProblem;
    }
    return kExitOk;
}

}  // namespace configtool
