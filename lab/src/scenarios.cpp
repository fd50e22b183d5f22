#include "scenarios.h"

namespace lab {

std::optional<nlohmann::json> builtinScenario(const std::string& name) {
    if (name == "empty") {
        return nlohmann::json{{"settings", nlohmann::json::object()}, {"devices", nlohmann::json::array()}};
    }
    if (name == "default") {
        // The PC an operator would typically have: Windows XP SP3, the language taken from LANG,
        // a writable system drive, a fixed disk and a CD-ROM drive on its SCSI side, and two
        // readers of the SCSI family, one running its firmware and one stuck in its boot loader.
        return nlohmann::json{{"settings", nlohmann::json::object()},
                              {"devices", nlohmann::json::array({
                                              {{"kind", "disk"}, {"id", "disk-1"}, {"drive", "C"}},
                                              {{"kind", "cdrom"}, {"id", "cdrom-1"}, {"drive", "D"}},
                                              {{"kind", "scsi-reader"}, {"id", "scsi-reader-1"}, {"drive", "E"}},
                                              {{"kind", "scsi-reader"},
                                               {"id", "scsi-reader-2"},
                                               {"drive", "F"},
                                               {"mode", "upgrade"}},
                                          })}};
    }
    return std::nullopt;
}

}  // namespace lab
