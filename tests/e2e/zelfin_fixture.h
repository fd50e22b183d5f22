// What the whole-process tests of zelfin share: a working folder and a lab of their own, the
// test plug-ins copied in, zelfin started headless there.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "run_process.h"

namespace e2e {

namespace fs = std::filesystem;
using testsupport::binPath;
using testsupport::runCommand;

inline std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// How often `part` occurs in `text`.
inline size_t occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// Waits (at most a minute) for the FIFO's writer to say something.
inline bool awaitFifo(const fs::path& fifo) {
    const int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) return false;
    pollfd p{fd, POLLIN, 0};
    const bool ready = ::poll(&p, 1, 60000) == 1 && (p.revents & POLLIN);
    ::close(fd);
    return ready;
}

// A working folder and a lab of its own for each test; zelfin runs headless in that folder.
class Zelfin : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zelfin-e2e-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        work_ = dir_ / "work";
        lab_ = dir_ / "lab";
        fs::create_directories(work_);
        ASSERT_EQ(runCommand(binPath("zelfin-lab") + " init " + lab_.string() + " --scenario " + scenario()).exitCode, 0);
    }
    void TearDown() override { fs::remove_all(dir_); }
    virtual std::string scenario() const { return "empty"; }

    void installPlugin(const std::string& target, const std::string& file) {
        fs::copy_file(fs::path(ZELFIN_TEST_DIR) / "plugins" / target / file, work_ / file);
    }
    std::string env(const std::string& extra = "") const {
        return "ZELFIN_LAB=" + lab_.string() + " ZELFIN_UI=headless ZELFIN_TIME_SCALE=1000 LANG=C " + extra + " ";
    }
    testsupport::ProcessResult zelfin(const std::string& args = "", const std::string& extra = "") const {
        return runCommand("cd " + work_.string() + " && " + env(extra) + binPath("zelfin") + " " + args, true);
    }
    // zelfin-config write in the working folder.
    void writeConfig(const std::string& arguments) const {
        const auto r = runCommand("cd " + work_.string() + " && " + binPath("zelfin-config") + " write Zelfin.cfg " +
                                  arguments, true);
        ASSERT_EQ(r.exitCode, 0) << r.output;
    }
    fs::path labLog() const { return lab_ / "drive_c" / "Zelfin.log"; }
    std::string log() const { return readFile(labLog()); }

    fs::path dir_, work_, lab_;
};

}  // namespace e2e
