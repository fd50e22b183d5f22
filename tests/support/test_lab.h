// Gives every test program a private lab of its own, made before the first winsim call and
// removed at the end, so that tests never touch a user's lab or each other's.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

namespace testsupport {

class TestLabEnvironment : public ::testing::Environment {
public:
    explicit TestLabEnvironment(std::string dir) : dir_(std::move(dir)) {}
    // Made before the first test, as an operator makes one: a lab named by ZELFIN_LAB must exist
    // before any program uses it.
    void SetUp() override {
        if (std::filesystem::exists(std::filesystem::path(dir_) / "lab.json")) return;
        const std::string init = std::string(ZELFIN_BIN_DIR) + "/zelfin-lab init '" + dir_ + "' >/dev/null";
        ASSERT_EQ(std::system(init.c_str()), 0) << init;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

private:
    std::string dir_;
};

inline const std::string& testLabDir() {
    // Only the name is chosen here: the lab folder is made when the tests start, so that a
    // program that only lists its tests leaves nothing behind.
    static const std::string dir = [] {
        std::random_device rd;
        const std::string d = "/tmp/zelfin-test-lab-" + std::to_string(::getpid()) + "-" + std::to_string(rd());
        ::setenv("ZELFIN_LAB", d.c_str(), 1);
        if (!::getenv("ZELFIN_TIME_SCALE")) ::setenv("ZELFIN_TIME_SCALE", "1000", 1);
        ::testing::AddGlobalTestEnvironment(new TestLabEnvironment(d));
        return d;
    }();
    return dir;
}

// Set up at static initialisation of any test that includes this header.
inline const bool kTestLabReady = !testLabDir().empty();

}  // namespace testsupport
