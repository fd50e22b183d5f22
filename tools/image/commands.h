// The two commands of zelfin-image and what they share.
#pragma once
#include <image/binfile.h>

#include <string>
#include <vector>

namespace imagetool {

// Exit codes.
constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr int kRefused = 3;  // info: no family (of those asked) accepts the image

extern const char kUsageText[];
extern const char kInfoUsage[];
extern const char kBuildUsage[];

// Prints "zelfin-image: message" and the hint to --help; returns kUsage.
int usageError(const std::string& message);
// Prints "zelfin-image: message"; returns kFailed.
int failure(const std::string& message);

bool parseFamily(const std::string& text, image::BinFamily* family);
// Decimal, or hexadecimal with 0x; the whole text must be a number no larger than max.
bool parseNumber(const std::string& text, uint64_t max, uint64_t* value);
bool parseHex(const std::string& text, uint64_t max, uint64_t* value);

// The logger handed to BinFile: keeps the last line, for error messages.
void captureLog(const char* format, ...);
std::string lastLogMessage();

int runInfo(const std::vector<std::string>& args);
int runBuild(const std::vector<std::string>& args);

}  // namespace imagetool
