// Configuration files made byte by byte for the tests, in a private folder per test.
#pragma once
#include <config/crc.h>
#include <config/record.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "test_lab.h"

namespace cfgtest {

using Bytes = std::vector<uint8_t>;

// Appends a record; a text of 260 bytes fills its field without a NUL.
inline void addRecord(Bytes& b, std::string_view name, std::string_view value) {
    const size_t at = b.size();
    b.resize(at + zelfin::config::kRecordSize, 0);
    std::memcpy(&b[at], name.data(), std::min(name.size(), zelfin::config::kFieldSize));
    std::memcpy(&b[at + zelfin::config::kFieldSize], value.data(), std::min(value.size(), zelfin::config::kFieldSize));
}

// The records behind their checksum, as a valid file holds them.
inline Bytes withCrc(const Bytes& records) {
    const uint32_t crc = zelfin::config::configCrc(records.data(), records.size());
    // Sized once and filled in place (growing a 4-byte vector by insert trips a false
    // array-bounds warning of GCC 12 at -O2).
    Bytes file(4 + records.size());
    for (int i = 0; i < 4; ++i) file[i] = static_cast<uint8_t>(crc >> (8 * i));
    std::copy(records.begin(), records.end(), file.begin() + 4);
    return file;
}

inline uint32_t recordOffset(int index) {
    return zelfin::config::kFirstRecordOffset + zelfin::config::kRecordSize * static_cast<uint32_t>(index);
}

inline void writeBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline Bytes readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A fresh folder of its own for each test.
class ConfigDir : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zelfin-cfg-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::vector<std::string> filesInDir() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir_)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string dir_;
};

}  // namespace cfgtest
