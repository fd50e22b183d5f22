// Runs a program of build/bin as a user would and collects its exit code and output.
#pragma once
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace testsupport {

struct ProcessResult {
    int exitCode = -1;
    std::string output;  // standard output; standard error too when asked for
};

// Runs `command` through the shell; `env` is prepended as "NAME=value ..." assignments.
inline ProcessResult runCommand(const std::string& command, bool withStderr = false) {
    ProcessResult r;
    FILE* p = ::popen((command + (withStderr ? " 2>&1" : "")).c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
    const int status = ::pclose(p);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

inline std::string binPath(const std::string& program) { return std::string(ZELFIN_BIN_DIR) + "/" + program; }

}  // namespace testsupport
