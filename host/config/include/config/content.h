// What a configuration file says, as plain values: the options in order, the image paths in
// order and the symbolic link record when there is one.
#pragma once
#include <optional>
#include <string>
#include <vector>

namespace zelfin::config {

struct ConfigOption {
    std::string key;
    std::string value;
    bool operator==(const ConfigOption&) const = default;
};

struct ConfigContent {
    std::vector<ConfigOption> options;
    std::vector<std::string> downloads;
    std::optional<std::string> symLink;
    bool operator==(const ConfigContent&) const = default;
};

}  // namespace zelfin::config
