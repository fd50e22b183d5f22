// A folder of its own for one test, removed with everything in it when the object goes.
#pragma once
#include <stdlib.h>

#include <filesystem>
#include <string>

namespace testsupport {

class TempDir {
public:
    explicit TempDir(const char* prefix = "zelfin-test") {
        std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
        const char* made = ::mkdtemp(pattern.data());
        path_ = made ? made : "/tmp";
    }
    ~TempDir() {
        std::error_code ec;
        if (path_ != "/tmp") std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

}  // namespace testsupport
