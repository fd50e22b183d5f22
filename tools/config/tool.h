// The commands of zelfin-config.
#pragma once
#include <string>
#include <vector>

namespace configtool {

constexpr int kExitOk = 0;
constexpr int kExitProblem = 1;  // the file cannot be read or written, or its content is wrong
constexpr int kExitUsage = 2;

// Prints the message and a pointer to --help on stderr; returns kExitUsage.
int usageError(const std::string& message);

int runShow(const std::vector<std::string>& args);
int runWrite(const std::vector<std::string>& args);

}  // namespace configtool
