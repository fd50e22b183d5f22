#include "scenarios.h"

namespace lab {

std::optional<nlohmann::json> builtinScenario(const std::string& name) {
    if (name == "empty") {
        return nlohmann::json{{"settings", nlohmann::json::object()}, {"devices", nlohmann::json::array()}};
    }
    if (name == "default") {
        // The PC an operator would typically have: Windows XP SP3, the language taken from LANG,
        // a writable system drive. Its readers are added as the hardware models arrive.
        return nlohmann::json{{"settings", nlohmann::json::object()}, {"devices", nlohmann::json::array()}};
    }
    return std::nullopt;
}

}  // namespace lab
