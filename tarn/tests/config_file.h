// A configuration file as the host writes it, for the plug-in's tests: a checksum placeholder, then
// 520-byte records (name and value, 260 bytes each) of one leading section.
#pragma once
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace tarntest {

using Options = std::vector<std::pair<std::string, std::string>>;

// A configuration file whose leading "Options" section holds these options.
inline void writeConfig(const std::filesystem::path& path, const Options& options, const char* section = "Options") {
    std::string bytes(4, '\0');
    auto add = [&bytes](const std::string& name, const std::string& value) {
        std::string r(520, '\0');
        std::memcpy(r.data(), name.data(), std::min<size_t>(name.size(), 259));
        std::memcpy(r.data() + 260, value.data(), std::min<size_t>(value.size(), 259));
        bytes += r;
    };
    add(section, std::to_string(options.size()));
    for (const auto& [name, value] : options) add(name, value);
    std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace tarntest
