// The devices attached to a lab, as lab.json describes them. A scenario's "devices" array and
// "zelfin-lab attach KIND --option value ..." use one vocabulary: each option of attach is a key
// of a scenario entry ("drive", "inquiry", "memory", ...). An entry is normalized once, when the
// device is attached: id, drive letter, SCSI address and inquiry text are filled in, and the
// device's memories are made (from the given files or the kind's factory contents).
#pragma once
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace lab {

// Kinds of device: "scsi-reader", "quoll-unit", "cdrom", "removable", "disk".
const std::vector<std::string>& deviceKinds();

// The persistent memories of a kind, with their sizes; each lies in the device's folder as
// NAME.bin.
std::vector<std::pair<std::string, uint32_t>> memoriesOf(const std::string& kind);

struct PreparedDevice {
    nlohmann::json entry;                                   // what lab.json keeps
    std::map<std::string, std::vector<uint8_t>> memories;  // initial contents by memory name
};

// Normalizes a device request against the devices already in the lab. Memory files named in
// "memory" are read relative to baseDir. Throws std::runtime_error naming the bad option.
//
// Options: id, drive (letter or "none"), inquiry (vendor 8 + product 16 + revision 4), target
// (0-15), lun (0-7), mode (normal|upgrade, scsi-reader), version (MM.mm), feature, product-type,
// dfu-type (0-2) (the factory firmware of a scsi-reader; version also of a quoll-unit),
// write-protect (0|1), memory ({name: file}), fault (one fault or a list), plugged (true|false).
PreparedDevice prepareDevice(const nlohmann::json& request, const nlohmann::json& existing,
                             const std::filesystem::path& baseDir);

// Converts "attach" arguments ("--drive", "E", "--memory", "flash=old.bin", ...) into a request;
// throws std::runtime_error for an option without a value or a malformed NAME=FILE.
nlohmann::json requestFromArguments(const std::string& kind, const std::vector<std::string>& args);

}  // namespace lab
