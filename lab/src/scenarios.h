// The built-in scenarios a lab can be created from.
#pragma once
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace lab {

// The scenario of a built-in name ("default", "empty"), or nothing.
std::optional<nlohmann::json> builtinScenario(const std::string& name);

}  // namespace lab
