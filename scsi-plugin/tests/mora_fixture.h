// Drives KPLMORA.DLL as the host does: loaded by its bare name from the current folder with
// LoadLibraryA, entry points bound with GetProcAddress, the logger handed over first. Every test
// loads its own copy of the file, so that each starts with the plug-in's state fresh.
#pragma once
#include <gtest/gtest.h>
#include <image/builder.h>
#include <stdarg.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "mora.h"
#include "log_capture.h"
#include "reader_lab.h"

namespace moratest {

namespace fs = std::filesystem;

inline std::vector<std::string>& logLines() { return testsupport::logged(); }
using testsupport::captureLog;

using Report = std::pair<int32_t, std::string>;

inline std::vector<Report>& progressReports() {
    static std::vector<Report> reports;
    return reports;
}

inline void captureProgress(int32_t step, const char* text) { progressReports().push_back({step, text}); }

// A log line with its location numbers as "#": "KPLMORA(#) :Tag = 1399018345".
inline std::string unlocated(const std::string& line) {
    static const std::regex number(R"(\(\d+\))");
    return std::regex_replace(line, number, "(#)");
}

// A text of the string library, in the language the lab's PC uses, as the plug-in loads it.
inline std::string libraryText(UINT id) {
    static HMODULE strings = LoadLibraryA(ZELFIN_BIN_DIR "/ZELFNRES.DLL");
    char text[KPL_TEXT_SIZE] = {};
    LoadStringA(strings, id, text, sizeof text);
    return text;
}

// The system's text of an error code, on one line.
inline std::string systemText(DWORD error) {
    char text[KPL_TEXT_SIZE] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr,
                   error, 0, text, sizeof text, nullptr);
    return text;
}

class MoraPlugin : public ::testing::Test {
protected:
    // Set before SetUp runs to leave the string library out of the plug-in's folder.
    bool withStrings_ = true;

    void SetUp() override {
        readerlab::setPc(readerlab::typicalDevices());
        char pattern[] = "/tmp/zelfin-kplmora-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        fs::copy_file(KPLMORA_DLL, dir_ / "KPLMORA.DLL");
        if (withStrings_) fs::copy_file(fs::path(ZELFIN_BIN_DIR) / "ZELFNRES.DLL", dir_ / "ZELFNRES.DLL");
        previous_ = fs::current_path();
        fs::current_path(dir_);
        module_ = LoadLibraryA("KPLMORA.DLL");
        ASSERT_NE(module_, nullptr) << GetLastError();
        bind(initializeLogger_, "KPLInitializeLogger");
        bind(createList_, "KPLCreateDeviceInfoList");
        bind(isBinaryValid_, "KPLIsBinaryValid");
        bind(filter_, "KPLFilterDeviceInfoSet");
        bind(upload_, "KPLUploadFirmware");
        bind(download_, "KPLDownloadFirmware");
        bind(displayInfo_, "KPLGetDisplayInfo");
        bind(errorMessage_, "KPLGetErrorMessage");
        bind(destroyList_, "KPLDestroyDeviceInfoList");
        logLines().clear();
        progressReports().clear();
        initializeLogger_(captureLog);
        std::memset(&list_, 0, sizeof list_);
    }

    void TearDown() override {
        if (created_) destroy();
        if (module_) FreeLibrary(module_);
        fs::current_path(previous_);
        fs::remove_all(dir_);
        readerlab::setPc(readerlab::typicalDevices());
    }

    template <typename F>
    void bind(F& f, const char* name) {
        f = reinterpret_cast<F>(GetProcAddress(module_, name));
        ASSERT_NE(f, nullptr) << name;
    }

    int32_t create(const char* configPath = nullptr) {
        created_ = true;
        return createList_(&list_, configPath);
    }
    int32_t destroy() {
        created_ = false;
        const int32_t status = destroyList_(&list_);
        std::memset(&list_, 0, sizeof list_);  // as the host does after every destroy
        return status;
    }

    // The names of the list, up to its end.
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const DeviceInfoEntry& e : list_.entries) {
            if (!e.name[0]) break;
            out.push_back(std::string(e.name, strnlen(e.name, sizeof e.name)));
        }
        return out;
    }
    std::vector<int32_t> selected() const {
        std::vector<int32_t> out;
        for (size_t i = 0; i < names().size(); ++i) out.push_back(list_.entries[i].selected);
        return out;
    }
    mora::ScsiDeviceRecord* record(int index) {
        return static_cast<mora::ScsiDeviceRecord*>(list_.entries[index].device);
    }

    // Writes a SCSI-family image built from spec into the plug-in's folder; `patch` may change
    // its bytes afterwards.
    std::string writeImage(const std::string& name, const image::ImageSpec& spec,
                           void (*patch)(std::vector<uint8_t>&) = nullptr) {
        std::vector<uint8_t> bytes;
        std::string error;
        EXPECT_TRUE(image::BuildImage(spec, &bytes, &error)) << error;
        if (patch) patch(bytes);
        const fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }
    static image::ImageSpec scsiImage(int type, uint8_t major = 1, uint8_t minor = 0, uint8_t feature = 0x01) {
        image::ImageSpec spec = image::DefaultImageSpec(image::BinFamily::Scsi, type);
        spec.versionMajor = major;
        spec.versionMinor = minor;
        spec.feature = feature;
        return spec;
    }

    // A configuration file whose leading "Options" section holds these options.
    std::string writeConfig(const std::vector<std::pair<std::string, std::string>>& options) {
        std::string bytes(4, '\0');
        auto add = [&bytes](const std::string& name, const std::string& value) {
            std::string r(520, '\0');
            std::memcpy(r.data(), name.data(), name.size());
            std::memcpy(r.data() + 260, value.data(), value.size());
            bytes += r;
        };
        add("Options", std::to_string(options.size()));
        for (const auto& [name, value] : options) add(name, value);
        const fs::path path = dir_ / "Zelfin.cfg";
        std::ofstream(path, std::ios::binary) << bytes;
        return path.string();
    }

    // The log lines since the last call, without their location numbers.
    std::vector<std::string> takeLog() {
        std::vector<std::string> lines;
        for (const std::string& l : logLines()) lines.push_back(unlocated(l));
        logLines().clear();
        return lines;
    }
    static bool contains(const std::vector<std::string>& lines, const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    // True when `wanted` appear in this order among lines (others may lie between them).
    static bool inOrder(const std::vector<std::string>& lines, const std::vector<std::string>& wanted) {
        auto at = lines.begin();
        for (const std::string& w : wanted) {
            at = std::find(at, lines.end(), w);
            if (at == lines.end()) return false;
            ++at;
        }
        return true;
    }

    fs::path dir_, previous_;
    HMODULE module_ = nullptr;
    bool created_ = false;
    DeviceInfoList list_;
    KPLInitializeLogger_t initializeLogger_ = nullptr;
    KPLCreateDeviceInfoList_t createList_ = nullptr;
    KPLIsBinaryValid_t isBinaryValid_ = nullptr;
    KPLFilterDeviceInfoSet_t filter_ = nullptr;
    KPLUploadFirmware_t upload_ = nullptr;
    KPLDownloadFirmware_t download_ = nullptr;
    KPLGetDisplayInfo_t displayInfo_ = nullptr;
    KPLGetErrorMessage_t errorMessage_ = nullptr;
    KPLDestroyDeviceInfoList_t destroyList_ = nullptr;
};

}  // namespace moratest
