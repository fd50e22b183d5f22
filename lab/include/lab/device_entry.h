// The devices attached to a lab, as lab.json describes them. A scenario's "devices" array and
// "zelfin-lab attach KIND --option value ..." use one vocabulary: each option of attach is a key
// of a scenario entry ("drive", "inquiry", "memory", ...). An entry is normalized once, when the
// device is attached: id, drive letter, SCSI address and inquiry text are filled in, and the
// device's memories are made (from the given files or the kind's factory contents).
#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace lab {

class Hardware;
class PhysicalDevice;

struct PreparedDevice {
    nlohmann::json entry;                                   // what lab.json keeps
    std::map<std::string, std::vector<uint8_t>> memories;  // initial contents by memory name
    // Devices that come with this one, attached right after it (a unit's fixed parts): requests
    // as attach takes them.
    std::vector<nlohmann::json> companions;
};

// A kind of device, as it registers itself: the options it takes beyond the common ones (id,
// drive, memory, fault, plugged) and the address of its bus, its memories, and how its entries
// and models are made. attach, scenario files and "zelfin-lab attach --help" know kinds only
// through this.
struct DeviceKind {
    enum class Bus { Scsi, Usb };  // addressed by target and lun, or by hub and port
    std::string name;
    Bus bus = Bus::Scsi;
    std::string summary;  // one line for people
    std::vector<std::pair<std::string, std::string>> options;  // the kind's own: name, meaning
    std::vector<std::pair<std::string, uint32_t>> memories;   // each kept as NAME.bin
    char firstDrive = 'E';  // where automatic drive letters start
    // The names its address options go by: "target"/"lun" on SCSI, "hub"/"port" on USB unless a
    // kind names them after what it plugs into (a module's monitor and slot). The entry keeps
    // them under the bus's own names.
    std::pair<std::string, std::string> addressNames;
    // Adds the kind's own keys to a normalized entry (the common ones are filled in) and the
    // factory contents of every memory not given; throws std::runtime_error naming a bad option.
    std::function<void(const nlohmann::json& request, PreparedDevice& out)> prepare;
    std::function<std::shared_ptr<PhysicalDevice>(Hardware&, const nlohmann::json& entry,
                                                  const std::filesystem::path& folder)>
        make;
};

// Adds (or replaces) a kind.
void registerDeviceKind(DeviceKind kind);
const DeviceKind* findDeviceKind(const std::string& name);
// The names of the kinds, in the order they registered.
std::vector<std::string> deviceKinds();
// The persistent memories of a kind, with their sizes; none for an unknown kind.
std::vector<std::pair<std::string, uint32_t>> memoriesOf(const std::string& kind);

// Readers of option values for the kinds' prepare functions; each throws std::runtime_error
// naming the option.
namespace option {
std::string text(const nlohmann::json& v, const char* key);
long integer(const nlohmann::json& request, const char* key, long low, long high, long fallback);
bool flag(const nlohmann::json& request, const char* key, bool fallback);
// Vendor (8) + product (16) + revision (4), printable ASCII, blank-padded to 28.
std::string inquiry(const nlohmann::json& request, const char* fallback);
// "MM.mm" into *major and *minor, left as they are without the option.
void version(const nlohmann::json& request, uint8_t* major, uint8_t* minor);
}  // namespace option

// Normalizes a device request against the devices already in the lab. Memory files named in
// "memory" are read relative to baseDir. Throws std::runtime_error naming the bad option.
//
// Common options: id, drive (letter or "none"), memory ({name: file}), fault (one fault or a
// list), plugged (true|false); the address of the kind's bus (SCSI: target 0-15, lun 0-7); and
// the kind's own options.
PreparedDevice prepareDevice(const nlohmann::json& request, const nlohmann::json& existing,
                             const std::filesystem::path& baseDir);

// Converts "attach" arguments ("--drive", "E", "--memory", "flash=old.bin", ...) into a request;
// throws std::runtime_error for an option without a value or a malformed NAME=FILE.
nlohmann::json requestFromArguments(const std::string& kind, const std::vector<std::string>& args);

}  // namespace lab
