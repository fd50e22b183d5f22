// ShellExecute over the Linux desktop: "open" hands the document or address to xdg-open. The
// operator's browser or viewer then runs on its own; Zelfin does not wait for it.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "internal.h"
#include <winsim/shellapi.h>

extern char** environ;

using namespace winsim;

namespace {

HINSTANCE result(intptr_t v) { return reinterpret_cast<HINSTANCE>(v); }

bool isAddress(const std::string& s) { return s.find("://") != std::string::npos || s.rfind("mailto:", 0) == 0; }

}  // namespace

extern "C" HINSTANCE WINAPI ShellExecuteA(HWND, LPCSTR operation, LPCSTR file, LPCSTR parameters, LPCSTR, INT) {
    if (operation && std::strcmp(operation, "open") != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return result(SE_ERR_NOASSOC);
    }
    if (!file) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return result(ERROR_FILE_NOT_FOUND);
    }
    // "explorer" with an address as its parameter opens the address, as on Windows.
    std::string target = file;
    if (parameters && *parameters && (target == "explorer" || target == "explorer.exe")) target = parameters;
    if (!isAddress(target)) {
        auto hp = resolvePath(target.c_str(), true);
        if (!hp) return result(ERROR_FILE_NOT_FOUND);
        target = hp->path.string();
    }
    // A test or a machine without a desktop can name its own opener (or "true" for none).
    const char* opener = std::getenv("ZELFIN_OPENER");
    const std::string program = opener && *opener ? opener : "xdg-open";
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(target.c_str()), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return result(SE_ERR_NOASSOC);
    }
    // Reap the opener in the background so it never lingers as a zombie.
    std::thread([pid] {
        int status = 0;
        waitpid(pid, &status, 0);
    }).detach();
    return result(42);
}
