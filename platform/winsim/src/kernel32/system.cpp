// System information: version, languages, command line, process and environment.
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "internal.h"

using namespace winsim;

namespace winsim {

// The command line as Windows would hold it for these arguments: each argument quoted when it
// is empty or holds a blank, tab or quote, with backslashes doubled before a quote.
std::string quoteCommandLine(const std::vector<std::string>& args) {
    std::string line;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (i) line += ' ';
        if (!a.empty() && a.find_first_of(" \t\"") == std::string::npos) {
            line += a;
            continue;
        }
        line += '"';
        size_t backslashes = 0;
        for (char c : a) {
            if (c == '\\') {
                ++backslashes;
                continue;
            }
            if (c == '"') {
                line.append(backslashes * 2 + 1, '\\');
            } else {
                line.append(backslashes, '\\');
            }
            backslashes = 0;
            line += c;
        }
        line.append(backslashes * 2, '\\');
        line += '"';
    }
    return line;
}

}  // namespace winsim

namespace {

std::vector<std::string> processArguments() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> args;
    size_t start = 0;
    while (start < raw.size()) {
        const size_t end = raw.find('\0', start);
        args.push_back(raw.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return args;
}

}  // namespace

extern "C" {

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
    if (!info || (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) &&
                  info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXA))) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    const lab::OsVersion& os = currentLab().settings().os;
    info->dwMajorVersion = os.major;
    info->dwMinorVersion = os.minor;
    info->dwBuildNumber = os.build;
    info->dwPlatformId = os.platformId;
    std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    std::strncpy(info->szCSDVersion, os.csdVersion.c_str(), sizeof info->szCSDVersion - 1);
    if (info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXA)) {
        auto* ex = reinterpret_cast<LPOSVERSIONINFOEXA>(info);
        ex->wServicePackMajor = os.servicePackMajor;
        ex->wServicePackMinor = 0;
        ex->wSuiteMask = 0;
        ex->wProductType = 1;  // VER_NT_WORKSTATION
        ex->wReserved = 0;
    }
    return TRUE;
}

LPSTR WINAPI GetCommandLineA(void) {
    // One buffer for the life of the process: callers may change it in place, as on Windows.
    static std::vector<char>* buffer = [] {
        const std::string line = quoteCommandLine(processArguments());
        auto* b = new std::vector<char>(line.begin(), line.end());
        b->push_back('\0');
        return b;
    }();
    return buffer->data();
}

DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(::getpid()); }

DWORD WINAPI GetCurrentThreadId(void) { return static_cast<DWORD>(::syscall(SYS_gettid)); }

DWORD WINAPI GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
    const char* v = name ? std::getenv(name) : nullptr;
    if (!v) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    return copyOut(v, buffer, size);
}

BOOL WINAPI GetComputerNameA(LPSTR buffer, LPDWORD size) {
    if (!size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string name = "ZELFIN-LAB";
    if (!buffer || *size <= name.size()) {
        *size = static_cast<DWORD>(name.size() + 1);
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    *size = static_cast<DWORD>(name.size());
    return TRUE;
}

// One setting gives every language query, so that the host, the plug-ins and plain string
// loading always agree on the language.
LANGID WINAPI GetUserDefaultUILanguage(void) { return currentLab().uiLanguage(); }
LANGID WINAPI GetUserDefaultLangID(void) { return currentLab().uiLanguage(); }
LANGID WINAPI GetSystemDefaultLangID(void) { return currentLab().uiLanguage(); }
LCID WINAPI GetUserDefaultLCID(void) { return currentLab().uiLanguage(); }

}  // extern "C"
