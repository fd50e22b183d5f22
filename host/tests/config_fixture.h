// A working folder with a string library and a log, and configuration files written record by
// record, for the tests of the configuration reader and editor.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <config/crc.h>
#include <config/record.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app.h"
#include "test_lab.h"

namespace hosttest {

namespace fs = std::filesystem;

using Records = std::vector<std::pair<std::string, std::string>>;

inline std::string readBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void writeBytes(const fs::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The records as the file holds them; each text is copied into its 260-byte field as far as it
// goes, so that a text of 260 characters fills the field without a terminator.
inline std::string recordBytes(const Records& records) {
    std::string body;
    for (const auto& [name, value] : records) {
        zelfin::config::ConfigRecord r{};
        std::memcpy(r.name, name.data(), std::min(name.size(), sizeof r.name));
        std::memcpy(r.value, value.data(), std::min(value.size(), sizeof r.value));
        body.append(reinterpret_cast<const char*>(&r), sizeof r);
    }
    return body;
}

// A whole file: its checksum (the right one unless `crc` says otherwise), then the records.
inline std::string configBytes(const Records& records, std::optional<uint32_t> crc = std::nullopt) {
    const std::string body = recordBytes(records);
    const uint32_t sum = crc ? *crc : zelfin::config::configCrc(body.data(), body.size());
    std::string file(4, '\0');
    for (int i = 0; i < 4; ++i) file[i] = static_cast<char>((sum >> (8 * i)) & 0xFF);
    return file + body;
}

// An image whose capability block names `deviceType` (32 is the Merrow reader).
inline std::string imageWithType(int deviceType) {
    std::string image(64, '\x11');
    image.replace(16, 5, "CAPAB");
    image[16 + 6] = static_cast<char>(deviceType);
    return image;
}

// Runs in a folder of its own with the host's application record fresh, the string library
// loaded and the log in "test.log" of that folder.
class HostFolder : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("ZELFIN_UI", "headless", 1);
        char tmpl[] = "/tmp/zelfin-host-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        previous_ = fs::current_path();
        fs::current_path(dir_);
        zelfin::theApp = zelfin::ZelfinApp{};
        zelfin::theApp.osFamily = 1;
        zelfin::theApp.stringLibrary = LoadLibraryA(ZELFIN_BIN_DIR "/ZELFNRES.DLL");
        ASSERT_NE(zelfin::theApp.stringLibrary, nullptr);
        zelfin::theApp.logFile = CreateFileA("test.log", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                             CREATE_ALWAYS, FILE_FLAG_WRITE_THROUGH, nullptr);
        ASSERT_NE(zelfin::theApp.logFile, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (zelfin::theApp.configFile != INVALID_HANDLE_VALUE) CloseHandle(zelfin::theApp.configFile);
        CloseHandle(zelfin::theApp.logFile);
        FreeLibrary(zelfin::theApp.stringLibrary);
        zelfin::theApp = zelfin::ZelfinApp{};
        fs::current_path(previous_);
        fs::remove_all(dir_);
    }

    std::string logText() const { return readBytes(dir_ / "test.log"); }
    // The library string `id` as the message boxes show it.
    static std::string libraryString(UINT id) {
        char text[zelfin::kTextSize];
        zelfin::loadString(id, text);
        return text;
    }
    // One plug-in slot that accepts the images whose names end in ".bin".
    static void acceptBinImages() {
        zelfin::theApp.pluginCount = 1;
        zelfin::theApp.plugins[0].isBinaryValid = [](const char* path) -> int32_t {
            const std::string p = path;
            return p.size() > 4 && p.compare(p.size() - 4, 4, ".bin") == 0 ? 0 : KPL_E_IMAGE_TYPE;
        };
    }

    fs::path dir_, previous_;
};

}  // namespace hosttest
