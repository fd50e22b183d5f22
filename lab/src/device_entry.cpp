#include "lab/device_entry.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>

#include "device_kinds.h"
#include "lab/faults.h"
#include "lab/physical_device.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace lab {

namespace {

struct KindTable {
    std::mutex mutex;
    std::deque<DeviceKind> kinds;  // a deque: registering more keeps pointers to the others valid
};

KindTable& table() {
    static auto* t = new KindTable;
    return *t;
}

void ensureBuiltins() {
    static std::once_flag once;
    std::call_once(once, [] {
        registerScsiDeviceKinds();
        registerUsbHubKind();
        registerTarnDeviceKinds();
    });
}

// Options every kind takes, and those of each bus's address.
const std::set<std::string>& commonOptions() {
    static const std::set<std::string> o = {"id", "kind", "drive", "memory", "fault", "faults", "plugged"};
    return o;
}
const std::set<std::string>& addressOptions(DeviceKind::Bus bus) {
    static const std::set<std::string> scsi = {"target", "lun"}, usb = {"hub", "port"};
    return bus == DeviceKind::Bus::Scsi ? scsi : usb;
}

bool takesOption(const DeviceKind& kind, const std::string& key) {
    if (commonOptions().count(key)) return true;
    if (!kind.addressNames.first.empty()) {
        if (key == kind.addressNames.first || key == kind.addressNames.second) return true;
    } else if (addressOptions(kind.bus).count(key)) {
        return true;
    }
    return std::any_of(kind.options.begin(), kind.options.end(), [&](const auto& o) { return o.first == key; });
}

// An option this kind does not take: said with the kinds that do take it.
[[noreturn]] void refuseOption(const std::string& kind, const std::string& key) {
    std::string takers;
    for (const std::string& name : deviceKinds())
        if (name != kind && takesOption(*findDeviceKind(name), key)) takers += (takers.empty() ? "" : ", ") + name;
    if (takers.empty()) throw std::runtime_error("unknown device option '" + key + "'");
    throw std::runtime_error("option " + key + " is for " + takers + " devices");
}

std::vector<uint8_t> readMemoryFile(const fs::path& file, uint32_t size, const std::string& name) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read memory file " + file.string());
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.size() > size)
        throw std::runtime_error("memory file " + file.string() + " is larger than " + name + " (" +
                                 std::to_string(size) + " bytes)");
    data.resize(size, 0xFF);  // the rest reads as erased flash
    return data;
}

std::vector<std::string> faultList(const json& request) {
    std::vector<std::string> out;
    for (const char* key : {"fault", "faults"}) {
        if (!request.contains(key)) continue;
        const json& v = request.at(key);
        const json list = v.is_array() ? v : json::array({v});
        for (const json& f : list) {
            if (!f.is_string()) throw std::runtime_error("option fault must be text");
            try {
                out.push_back(parseFault(f.get<std::string>()).toString());
            } catch (const std::invalid_argument& e) {
                throw std::runtime_error(e.what());
            }
        }
    }
    return out;
}

}  // namespace

namespace option {

std::string text(const json& v, const char* key) {
    if (v.is_string()) return v.get<std::string>();
    if (v.is_number_integer()) return std::to_string(v.get<long long>());
    throw std::runtime_error(std::string("option ") + key + " must be text");
}

long integer(const json& request, const char* key, long low, long high, long fallback) {
    if (!request.contains(key)) return fallback;
    const json& v = request.at(key);
    long value;
    if (v.is_number_integer()) {
        value = v.get<long>();
    } else if (v.is_string()) {
        const std::string s = v.get<std::string>();
        char* end = nullptr;
        value = std::strtol(s.c_str(), &end, 0);
        if (s.empty() || *end) throw std::runtime_error(std::string("option ") + key + " must be a number, not '" + s + "'");
    } else {
        throw std::runtime_error(std::string("option ") + key + " must be a number");
    }
    if (value < low || value > high)
        throw std::runtime_error(std::string("option ") + key + " must lie between " + std::to_string(low) + " and " +
                                 std::to_string(high));
    return value;
}

bool flag(const json& request, const char* key, bool fallback) {
    if (!request.contains(key)) return fallback;
    const json& v = request.at(key);
    if (v.is_boolean()) return v.get<bool>();
    const std::string s = v.is_string() ? v.get<std::string>() : v.is_number_integer() ? std::to_string(v.get<long>()) : "";
    if (s == "1" || s == "true" || s == "yes") return true;
    if (s == "0" || s == "false" || s == "no") return false;
    throw std::runtime_error(std::string("option ") + key + " must be 0 or 1");
}

std::string inquiry(const json& request, const char* fallback) {
    const std::string s = request.contains("inquiry") ? text(request.at("inquiry"), "inquiry") : std::string(fallback);
    for (char c : s)
        if (c < 0x20 || c > 0x7E) throw std::runtime_error("option inquiry must be printable ASCII");
    std::string padded = s.substr(0, 28);
    padded.resize(28, ' ');
    return padded;
}

void version(const json& request, uint8_t* major, uint8_t* minor) {
    if (!request.contains("version")) return;
    const std::string v = text(request.at("version"), "version");
    unsigned a = 0, b = 0;
    char dot = 0, extra = 0;
    if (std::sscanf(v.c_str(), "%u%c%u%c", &a, &dot, &b, &extra) != 3 || dot != '.' || a > 255 || b > 255)
        throw std::runtime_error("option version must look like 1.02, not '" + v + "'");
    *major = static_cast<uint8_t>(a);
    *minor = static_cast<uint8_t>(b);
}

}  // namespace option

void registerDeviceKind(DeviceKind kind) {
    KindTable& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    for (DeviceKind& k : t.kinds)
        if (k.name == kind.name) {
            k = std::move(kind);
            return;
        }
    t.kinds.push_back(std::move(kind));
}

const DeviceKind* findDeviceKind(const std::string& name) {
    ensureBuiltins();
    KindTable& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    for (const DeviceKind& k : t.kinds)
        if (k.name == name) return &k;
    return nullptr;
}

std::vector<std::string> deviceKinds() {
    ensureBuiltins();
    KindTable& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    std::vector<std::string> names;
    for (const DeviceKind& k : t.kinds) names.push_back(k.name);
    return names;
}

std::vector<std::pair<std::string, uint32_t>> memoriesOf(const std::string& kind) {
    const DeviceKind* k = findDeviceKind(kind);
    return k ? k->memories : std::vector<std::pair<std::string, uint32_t>>{};
}

PreparedDevice prepareDevice(const json& request, const json& existing, const fs::path& baseDir) {
    using option::text;
    if (!request.is_object()) throw std::runtime_error("a device entry must be an object");
    if (!request.contains("kind")) throw std::runtime_error("a device entry needs a kind");
    const std::string kind = text(request.at("kind"), "kind");
    const DeviceKind* info = findDeviceKind(kind);
    if (!info) {
        std::string names;
        for (const std::string& n : deviceKinds()) names += (names.empty() ? "" : ", ") + n;
        throw std::runtime_error("unknown device kind '" + kind + "' (" + names + ")");
    }
    for (const auto& [key, value] : request.items())
        if (!takesOption(*info, key)) refuseOption(kind, key);

    std::set<std::string> ids;
    std::set<char> letters = {'C', 'Z'};
    std::set<std::pair<std::string, long>> addresses;  // (target or hub, lun or port)
    bool haveSystemDisk = false;
    for (const json& d : existing) {
        ids.insert(d.value("id", ""));
        if (d.contains("drive") && d["drive"].is_string() && !d["drive"].get<std::string>().empty())
            letters.insert(d["drive"].get<std::string>()[0]);
        if (d.contains("target")) addresses.insert({"scsi:" + std::to_string(d.value("target", -1L)), d.value("lun", 0L)});
        if (d.contains("hub")) addresses.insert({"usb:" + d.value("hub", std::string()), d.value("port", 0L)});
        haveSystemDisk = haveSystemDisk || (d.value("kind", "") == "disk" && d.value("drive", json()) == "C");
    }

    PreparedDevice out;
    json& e = out.entry;
    // id
    std::string id;
    if (request.contains("id")) {
        id = text(request.at("id"), "id");
        if (id.empty() || id.size() > 64 ||
            !std::all_of(id.begin(), id.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.'; }) ||
            id[0] == '.')
            throw std::runtime_error("device id '" + id + "' must be letters, digits, '-', '_' or '.'");
        if (ids.count(id)) throw std::runtime_error("there is already a device " + id);
    } else {
        for (int n = 1; id.empty() || ids.count(id); ++n) id = kind + "-" + std::to_string(n);
    }
    e["id"] = id;
    e["kind"] = kind;

    // drive letter
    json drive = nullptr;
    const bool wantsLetter = !request.contains("drive") || !(request.at("drive").is_null() ||
                                                              (request.at("drive").is_string() &&
                                                               request.at("drive").get<std::string>() == "none"));
    if (request.contains("drive") && wantsLetter) {
        std::string d = text(request.at("drive"), "drive");
        if (d.size() == 2 && d[1] == ':') d.pop_back();
        const char letter = d.size() == 1 ? static_cast<char>(std::toupper(static_cast<unsigned char>(d[0]))) : 0;
        if (letter < 'C' || letter > 'Y') throw std::runtime_error("option drive must be a letter from C to Y, or none");
        if (letter == 'C' && (kind != "disk" || haveSystemDisk))
            throw std::runtime_error("drive C: is the system drive; only one fixed disk can hold it");
        if (letter != 'C' && letters.count(letter)) throw std::runtime_error(std::string("drive ") + letter + ": is taken");
        drive = std::string(1, letter);
    } else if (wantsLetter && info->firstDrive) {
        char letter = info->firstDrive;
        if (letter == 'C' && haveSystemDisk) letter = 'D';
        while (letter <= 'Y' && letters.count(letter) && !(letter == 'C' && !haveSystemDisk)) ++letter;
        if (letter > 'Y') throw std::runtime_error("no drive letter is free");
        drive = std::string(1, letter);
    }
    e["drive"] = drive;

    if (info->bus == DeviceKind::Bus::Scsi) {
        // SCSI address: ASPI probes targets 0 to 6, so automatic ones stay in that range first.
        const long lun = option::integer(request, "lun", 0, 7, 0);
        long target = option::integer(request, "target", 0, 15, -1);
        auto taken = [&](long t) { return addresses.count({"scsi:" + std::to_string(t), lun}) != 0; };
        if (target < 0) {
            for (target = 0; target <= 15 && taken(target); ++target) {
            }
            if (target > 15) throw std::runtime_error("no SCSI target is free");
        } else if (taken(target)) {
            throw std::runtime_error("SCSI target " + std::to_string(target) + " LUN " + std::to_string(lun) + " is taken");
        }
        e["target"] = target;
        e["lun"] = lun;
    } else {
        // USB address: the hub (a hub device's id, or "root" for the root hub) and its port.
        const std::string hubKey = info->addressNames.first.empty() ? "hub" : info->addressNames.first;
        const std::string portKey = info->addressNames.second.empty() ? "port" : info->addressNames.second;
        const std::string hub = request.contains(hubKey) ? text(request.at(hubKey), hubKey.c_str()) : std::string("root");
        // What it plugs into must be there and have the port: the root hub, a hub, or for a
        // kind that names its own address (a module) the device of that kind.
        long ports = kRootHubPorts;
        if (!info->addressNames.first.empty() && !request.contains(hubKey))
            throw std::runtime_error("a " + kind + " needs --" + hubKey + " ID");
        if (hub != "root" || !info->addressNames.first.empty()) {
            const auto it = std::find_if(existing.begin(), existing.end(),
                                         [&](const json& d) { return d.value("id", "") == hub; });
            const bool module = !info->addressNames.first.empty();
            const std::string found = it == existing.end() ? std::string() : it->value("kind", "");
            // A KRD50N unit is a hub with readers at its ports.
            const bool fits = module ? found == "plex-monitor" : found == "usb-hub" || found == "krd50n";
            if (!fits)
                throw std::runtime_error("option " + hubKey + " names no " + (module ? "plex-monitor" : "usb-hub") +
                                         " of the lab: " + hub);
            ports = it->value(module ? "slots" : "ports", 4L);
        }
        long port = option::integer(request, portKey.c_str(), 1, ports, 0);
        auto taken = [&](long p) { return addresses.count({"usb:" + hub, p}) != 0; };
        if (port == 0) {
            for (port = 1; port <= ports && taken(port); ++port) {
            }
            if (port > ports) throw std::runtime_error("no " + portKey + " of " + hub + " is free");
        } else if (taken(port)) {
            throw std::runtime_error(portKey + " " + std::to_string(port) + " of " + hub + " is taken");
        }
        e["hub"] = hub;
        e["port"] = port;
    }

    e["faults"] = faultList(request);
    e["plugged"] = option::flag(request, "plugged", true);

    // memories: given files, else the factory contents of the kind
    json files = request.value("memory", json::object());
    if (!files.is_object()) throw std::runtime_error("option memory must map memory names to files");
    for (const auto& [name, file] : files.items()) {
        const auto& mems = info->memories;
        auto it = std::find_if(mems.begin(), mems.end(), [&](const auto& m) { return m.first == name; });
        if (it == mems.end()) throw std::runtime_error("a " + kind + " has no memory '" + name + "'");
        const fs::path path = fs::path(text(file, "memory"));
        out.memories[name] = readMemoryFile(path.is_absolute() ? path : baseDir / path, it->second, name);
    }
    if (info->prepare) info->prepare(request, out);
    for (const auto& [name, size] : info->memories)
        if (!out.memories.count(name)) out.memories[name] = std::vector<uint8_t>(size, 0xFF);
    return out;
}

std::shared_ptr<PhysicalDevice> makePhysicalDevice(Hardware& hw, const json& entry, const fs::path& folder) {
    const DeviceKind* kind = findDeviceKind(entry.value("kind", ""));
    return kind && kind->make ? kind->make(hw, entry, folder) : nullptr;
}

json requestFromArguments(const std::string& kind, const std::vector<std::string>& args) {
    json request = {{"kind", kind}};
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.rfind("--", 0) != 0 || a.size() == 2) throw std::runtime_error("unexpected argument '" + a + "'");
        const std::string key = a.substr(2);
        if (i + 1 >= args.size()) throw std::runtime_error("option " + a + " needs a value");
        const std::string& value = args[++i];
        if (key == "memory") {
            const size_t eq = value.find('=');
            if (eq == std::string::npos || eq == 0 || eq + 1 == value.size())
                throw std::runtime_error("--memory takes NAME=FILE, not '" + value + "'");
            request["memory"][value.substr(0, eq)] = value.substr(eq + 1);
        } else if (key == "fault") {
            request["fault"].push_back(value);
        } else {
            // An unknown kind is prepareDevice's to name; the options of a known one are checked here.
            const DeviceKind* k = findDeviceKind(kind);
            if (key == "kind" || key == "faults" || (k && !takesOption(*k, key)))
                throw std::runtime_error("unknown option " + a);
            request[key] = value;
        }
    }
    return request;
}

}  // namespace lab
