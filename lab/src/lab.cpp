#include "lab/lab.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <set>
#include <stdexcept>

#include "lab/device_entry.h"
#include "lab/faults.h"
#include "lab/hardware.h"
#include "lab/registry.h"
#include "firmware_images.h"
#include "scenarios.h"
#include "tarn_reader.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace lab {

namespace {

// Holds an exclusive lock on a lab's folder while it is created, so that two processes using a
// new lab at once do not both lay it out.
class FolderLock {
public:
    explicit FolderLock(const fs::path& dir) {
        fs::create_directories(dir);
        fd_ = ::open((dir / ".lab.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ >= 0) ::flock(fd_, LOCK_EX);
    }
    ~FolderLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int fd_ = -1;
};

std::string hex4(uint16_t v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%04X", v);
    return buf;
}

uint16_t parseLanguage(const json& j) {
    if (j.is_number_unsigned()) return static_cast<uint16_t>(j.get<unsigned>());
    if (j.is_string()) {
        const std::string s = j.get<std::string>();
        char* end = nullptr;
        const unsigned long v = std::strtoul(s.c_str(), &end, 0);
        if (end && *end == 0 && !s.empty() && v <= 0xFFFF) return static_cast<uint16_t>(v);
    }
    throw std::runtime_error("settings.language must be a language id such as \"0x0407\"");
}

template <class T>
void readField(const json& obj, const char* key, T& out, const char* where) {
    if (!obj.contains(key)) return;
    try {
        out = obj.at(key).get<T>();
    } catch (const json::exception&) {
        throw std::runtime_error(std::string(where) + "." + key + " has the wrong kind of value");
    }
}

void writeFileAtomically(const fs::path& file, const std::string& text) {
    const fs::path tmp = file.string() + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) throw std::runtime_error("cannot write " + tmp.string());
        out << text;
        if (!out.flush()) throw std::runtime_error("cannot write " + tmp.string());
    }
    fs::rename(tmp, file);
}

// The PC's driver installer is built beside winsim (and the lab tool); a new lab gets a copy in
// its system folder, where programs load it from.
void installNewdev(const fs::path& windows) {
    Dl_info info{};
    if (!::dladdr(reinterpret_cast<void*>(&installNewdev), &info) || !info.dli_fname) return;
    const fs::path built = fs::path(info.dli_fname).parent_path() / "newdev.dll";
    std::error_code ec;
    if (!fs::exists(built, ec)) return;
    fs::copy_file(built, windows / "System32" / "newdev.dll", fs::copy_options::overwrite_existing, ec);
    if (ec) throw std::runtime_error("cannot put newdev.dll into " + (windows / "System32").string() + ": " + ec.message());
}

}  // namespace

json settingsToJson(const Settings& s) {
    json j;
    j["os"] = {{"platformId", s.os.platformId},
               {"major", s.os.major},
               {"minor", s.os.minor},
               {"build", s.os.build},
               {"servicePack", s.os.servicePackMajor},
               {"csdVersion", s.os.csdVersion}};
    j["language"] = s.language ? json(hex4(*s.language)) : json(nullptr);
    j["systemDriveWritable"] = s.systemDriveWritable;
    j["timeScale"] = s.timeScale;
    j["windowsDirectory"] = s.windowsDirectory;
    j["aspi"] = s.aspiInstalled;
    j["newdev"] = s.newdevInstalled;
    j["driverUpdateReboot"] = s.driverUpdateNeedsReboot;
    j["driverUpdateDelayMs"] = s.driverUpdateDelayMs;
    return j;
}

Settings settingsFromJson(const json& j) {
    Settings s;
    if (j.is_null()) return s;
    if (!j.is_object()) throw std::runtime_error("settings must be an object");
    if (j.contains("os")) {
        const json& os = j.at("os");
        if (!os.is_object()) throw std::runtime_error("settings.os must be an object");
        readField(os, "platformId", s.os.platformId, "settings.os");
        readField(os, "major", s.os.major, "settings.os");
        readField(os, "minor", s.os.minor, "settings.os");
        readField(os, "build", s.os.build, "settings.os");
        readField(os, "servicePack", s.os.servicePackMajor, "settings.os");
        readField(os, "csdVersion", s.os.csdVersion, "settings.os");
        if (s.os.platformId != 1 && s.os.platformId != 2)
            throw std::runtime_error("settings.os.platformId must be 1 (9x family) or 2 (NT family)");
    }
    if (j.contains("language") && !j.at("language").is_null()) s.language = parseLanguage(j.at("language"));
    readField(j, "systemDriveWritable", s.systemDriveWritable, "settings");
    readField(j, "timeScale", s.timeScale, "settings");
    if (!(s.timeScale > 0)) throw std::runtime_error("settings.timeScale must be greater than 0");
    readField(j, "windowsDirectory", s.windowsDirectory, "settings");
    readField(j, "aspi", s.aspiInstalled, "settings");
    readField(j, "newdev", s.newdevInstalled, "settings");
    readField(j, "driverUpdateReboot", s.driverUpdateNeedsReboot, "settings");
    readField(j, "driverUpdateDelayMs", s.driverUpdateDelayMs, "settings");
    if (s.windowsDirectory.size() < 3 || s.windowsDirectory.compare(0, 3, "C:\\") != 0 ||
        s.windowsDirectory.size() >= 200)
        throw std::runtime_error("settings.windowsDirectory must be a folder on C:, such as \"C:\\WINDOWS\"");
    return s;
}

uint16_t languageFromLocaleName(const char* lang) {
    if (!lang) return 0x0409;
    if (std::strncmp(lang, "de_DE", 5) == 0) return 0x0407;
    if (std::strncmp(lang, "de_CH", 5) == 0) return 0x0807;
    return 0x0409;
}

Lab::Lab(fs::path root) : root_(std::move(root)) {}
Lab::~Lab() = default;

std::unique_ptr<Lab> Lab::open(const fs::path& dir) {
    std::unique_ptr<Lab> lab(new Lab(fs::absolute(dir)));
    lab->load();
    lab->ensureFolders();
    return lab;
}

std::unique_ptr<Lab> Lab::create(const fs::path& dir, const std::string& scenario) {
    json sc;
    fs::path base;  // memory files of a scenario's devices lie beside the scenario
    if (auto builtin = builtinScenario(scenario)) {
        sc = *builtin;
    } else {
        base = fs::absolute(scenario).parent_path();
        std::error_code ec;
        if (fs::is_directory(scenario, ec)) throw std::runtime_error("scenario " + scenario + " is a folder, not a file");
        std::ifstream in(scenario, std::ios::binary);
        if (!in) throw std::runtime_error("no such scenario: " + scenario + " (use default, empty or a JSON file)");
        if (in.peek() == std::char_traits<char>::eof()) throw std::runtime_error("scenario " + scenario + " is empty");
        try {
            sc = json::parse(in);
        } catch (const json::parse_error& e) {
            throw std::runtime_error("scenario " + scenario + " is not JSON (error at byte " + std::to_string(e.byte) + ")");
        } catch (const json::exception&) {
            throw std::runtime_error("scenario " + scenario + " is not JSON");
        }
        if (!sc.is_object()) throw std::runtime_error("scenario " + scenario + " must be a JSON object");
    }
    std::unique_ptr<Lab> lab(new Lab(fs::absolute(dir)));
    lab->settings_ = settingsFromJson(sc.value("settings", json::object()));
    const json requested = sc.value("devices", json::array());
    if (!requested.is_array()) throw std::runtime_error("scenario devices must be an array");
    std::vector<PreparedDevice> prepared;
    json devices = json::array();
    for (size_t i = 0; i < requested.size(); ++i) {
        try {
            std::vector<json> pending = {requested[i]};
            for (size_t k = 0; k < pending.size(); ++k) {
                prepared.push_back(prepareDevice(pending[k], devices, base));
                devices.push_back(prepared.back().entry);
                const std::vector<json> more = prepared.back().companions;
                pending.insert(pending.end(), more.begin(), more.end());
            }
        } catch (const std::runtime_error& e) {
            throw std::runtime_error("scenario devices[" + std::to_string(i) + "]: " + e.what());
        }
    }
    fs::create_directories(lab->root_);
    // A fresh lab starts with an empty registry and no memories of earlier devices.
    fs::remove(lab->registryFile());
    fs::remove_all(lab->root_ / "devices");
    fs::remove_all(lab->runDir());
    for (const PreparedDevice& p : prepared) lab->writeMemories(p.entry["id"], p.memories);
    lab->devices_ = devices;
    lab->ensureFolders();
    if (lab->settings_.newdevInstalled && !lab->is9x()) installNewdev(lab->windowsFolder());
    lab->save();
    return lab;
}

fs::path Lab::defaultDir() {
    if (const char* env = std::getenv("ZELFIN_LAB"); env && *env) return fs::absolute(env);
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) return fs::path(xdg) / "zelfin" / "lab";
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : "/tmp") / ".local" / "share" / "zelfin" / "lab";
}

Lab& Lab::current() {
    static std::unique_ptr<Lab> lab = [] {
        const fs::path dir = defaultDir();
        // A lab named by ZELFIN_LAB must be there already: a mistyped name would otherwise give a
        // fresh default PC, and a run on it would seem to work. Only the default place is made on
        // first use.
        if (const char* env = std::getenv("ZELFIN_LAB"); env && *env) {
            std::error_code ec;
            if (!fs::is_directory(dir, ec))
                throw std::runtime_error("ZELFIN_LAB names " + dir.string() +
                                         ", which does not exist (make a lab there with: zelfin-lab init " +
                                         dir.string() + ")");
            if (!fs::exists(dir / "lab.json", ec))
                throw std::runtime_error("ZELFIN_LAB names " + dir.string() +
                                         ", which holds no lab (no lab.json; make one with: zelfin-lab init " +
                                         dir.string() + ")");
            return open(dir);
        }
        FolderLock lock(dir);
        if (!fs::exists(dir / "lab.json")) return create(dir, "default");
        return open(dir);
    }();
    return *lab;
}

void Lab::load() {
    std::ifstream in(labFile(), std::ios::binary);
    if (!in) throw std::runtime_error("no lab in " + root_.string() + " (lab.json missing; run zelfin-lab init)");
    json j;
    try {
        j = json::parse(in);
    } catch (const json::exception& e) {
        throw std::runtime_error(labFile().string() + " is not valid JSON: " + e.what());
    }
    settings_ = settingsFromJson(j.value("settings", json::object()));
    devices_ = j.value("devices", json::array());
}

void Lab::save() const {
    json j;
    j["settings"] = settingsToJson(settings_);
    j["devices"] = devices_;
    writeFileAtomically(labFile(), j.dump(2) + "\n");
}

fs::path Lab::windowsFolder() const {
    fs::path p = driveC();
    std::string rest = settings_.windowsDirectory.substr(3);
    size_t start = 0;
    while (start < rest.size()) {
        size_t end = rest.find('\\', start);
        if (end == std::string::npos) end = rest.size();
        if (end > start) p /= rest.substr(start, end - start);
        start = end + 1;
    }
    return p;
}

void Lab::ensureFolders() const {
    const fs::path windows = windowsFolder();
    for (const char* sub : {is9x() ? "SYSTEM" : "System32/Drivers", "Inf", "TEMP"}) fs::create_directories(windows / sub);
    fs::create_directories(runDir());
}

void Lab::setSettings(const Settings& s) {
    std::lock_guard<std::mutex> lock(mutex_);
    FolderLock folder(root_);
    devices_ = readDevicesFromFile();  // keep what other processes attached meanwhile
    settings_ = s;
    save();
    ensureFolders();
}

uint16_t Lab::uiLanguage() const {
    if (settings_.language) return *settings_.language;
    return languageFromLocaleName(std::getenv("LANG"));
}

double Lab::timeScale() const {
    if (const char* env = std::getenv("ZELFIN_TIME_SCALE"); env && *env) {
        char* end = nullptr;
        const double v = std::strtod(env, &end);
        if (end && *end == 0 && v > 0) return v;
    }
    return settings_.timeScale;
}

Registry& Lab::registry() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!registry_) registry_ = std::make_unique<Registry>(registryFile());
    return *registry_;
}

namespace {

// What a SCSI-family reader's flash holds, as its firmware reports it: {"family", "type" (the
// upgrade type, null when the image has no marker), "productType", "feature", "version"}; null for
// devices without firmware of their own and for a flash that cannot be read.
// A Tarn reader's: {"family": "tarn", "dfuType", "complete", "productType", "feature",
// "version", "ids" (vendor:product of the image), "serial"}.
json tarnFirmwareOf(const json& device, const json& memories) {
    std::ifstream in(memories["flash"].get<std::string>(), std::ios::binary);
    std::vector<uint8_t> flash(kFirmwareSize, 0xFF);
    in.read(reinterpret_cast<char*>(flash.data()), flash.size());
    const uint8_t dfuType = static_cast<uint8_t>(device.value("dfu-type", 0));
    const TarnArea area = tarnArea(dfuType);
    const std::vector<uint8_t> programmable(flash.begin() + area.base, flash.begin() + area.base + area.size);
    json fw = tarnFirmwareSummary(programmable.data(), programmable.size(), dfuType);
    fw["family"] = "tarn";
    fw["dfuType"] = dfuType;
    return fw;
}

json firmwareOf(const json& device, const json& memories) {
    if (isTarnKind(device.value("kind", "")) && memories.contains("flash")) return tarnFirmwareOf(device, memories);
    if (device.value("kind", "") != "scsi-reader" || !memories.contains("flash")) return nullptr;
    std::ifstream in(memories["flash"].get<std::string>(), std::ios::binary);
    std::vector<uint8_t> flash(kFirmwareSize);
    if (!in.read(reinterpret_cast<char*>(flash.data()), flash.size())) return nullptr;
    const ScsiImageInfo fw = inspectScsiImage(flash.data(), flash.size());
    char version[16];
    std::snprintf(version, sizeof version, "%u.%02u", static_cast<unsigned>(fw.major), static_cast<unsigned>(fw.minor));
    return {{"family", "scsi"},
            {"type", fw.dfuType == 0xFF ? json(nullptr) : json(fw.dfuType)},
            {"productType", fw.productType},
            {"feature", fw.feature},
            {"version", version}};
}

}  // namespace

json Lab::toJson() const {
    json j;
    j["path"] = root_.string();
    j["settings"] = settingsToJson(settings_);
    j["settings"]["effectiveLanguage"] = hex4(uiLanguage());
    j["settings"]["effectiveTimeScale"] = timeScale();
    j["devices"] = json::array();
    for (json d : devices()) {
        json memories = json::object();
        for (const auto& [name, size] : memoriesOf(d.value("kind", "")))
            memories[name] = (deviceDir(d.value("id", "")) / (name + ".bin")).string();
        d["memories"] = memories;
        if (!d.contains("drive")) d["drive"] = nullptr;
        d["firmware"] = firmwareOf(d, memories);
        if (isTarnKind(d.value("kind", ""))) {
            // What the PC sees of it now: its mode and the identifiers it shows in that mode.
            const json state = d.value("state", json::object());
            if (state.is_object() && state.contains("mode")) d["mode"] = state["mode"];
            if (d["firmware"].is_object() && !d["firmware"].value("complete", false)) d["mode"] = "upgrade";
            std::string ids = d["firmware"].is_object() ? d["firmware"].value("ids", "") : "";
            if (d.value("mode", "") == "upgrade") {
                const auto loader = tarnLoaderIds(static_cast<uint8_t>(d.value("dfu-type", 0)));
                char text[16];
                std::snprintf(text, sizeof text, "%04x:%04x", loader.first, loader.second);
                ids = text;
            }
            if (state.is_object() && state.contains("ids") && state["ids"].is_array() && state["ids"].size() == 2) {
                char text[16];
                std::snprintf(text, sizeof text, "%04x:%04x", state["ids"][0].get<unsigned>(), state["ids"][1].get<unsigned>());
                ids = text;
            }
            d["usbIds"] = ids;
        }
        j["devices"].push_back(d);
    }
    return j;
}

// ---- devices ---------------------------------------------------------------------------------

json Lab::devices() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return devices_;
}

json Lab::readDevicesFromFile() const {
    std::ifstream in(labFile(), std::ios::binary);
    if (!in) return devices_;
    try {
        const json j = json::parse(in);
        const json d = j.value("devices", json::array());
        return d.is_array() ? d : devices_;
    } catch (const json::exception&) {
        return devices_;  // being rewritten by hand: keep what we know
    }
}

void Lab::writeMemories(const std::string& id, const std::map<std::string, std::vector<uint8_t>>& memories) const {
    const fs::path folder = deviceDir(id);
    fs::create_directories(folder);
    for (const auto& [name, data] : memories) {
        std::ofstream out(folder / (name + ".bin"), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        if (!out.flush()) throw std::runtime_error("cannot write " + (folder / (name + ".bin")).string());
    }
}

namespace {

std::string attachmentStamp() {
    static std::atomic<uint32_t> counter{0};
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    char text[40];
    std::snprintf(text, sizeof text, "%llx.%x.%x",
                  static_cast<unsigned long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()),
                  static_cast<unsigned>(::getpid()), counter++);
    return text;
}

}  // namespace

std::string Lab::attachDevice(const json& request, const fs::path& baseDir) {
    std::lock_guard<std::mutex> lock(mutex_);
    FolderLock folder(root_);
    devices_ = readDevicesFromFile();
    // The device and the devices that come with it go in together, or none of them.
    json devices = devices_;
    std::vector<PreparedDevice> prepared;
    std::vector<json> pending = {request};
    for (size_t k = 0; k < pending.size(); ++k) {
        prepared.push_back(prepareDevice(pending[k], devices, baseDir.empty() ? fs::current_path() : baseDir));
        PreparedDevice& p = prepared.back();
        // Which attachment this is: a device detached and attached again under the same id, with
        // the same options, is still a new device to a program that did not look in between.
        p.entry["attached"] = attachmentStamp();
        devices.push_back(p.entry);
        pending.insert(pending.end(), p.companions.begin(), p.companions.end());
    }
    for (const PreparedDevice& p : prepared) writeMemories(p.entry["id"], p.memories);
    devices_ = devices;
    save();
    return prepared.front().entry["id"].get<std::string>();
}

std::vector<std::string> Lab::detachDevice(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    FolderLock folder(root_);
    devices_ = readDevicesFromFile();
    std::set<std::string> going = {id};
    if (std::none_of(devices_.begin(), devices_.end(), [&](const json& d) { return d.value("id", "") == id; }))
        throw std::runtime_error("no device " + id + " in " + root_.string());
    // A device's hub comes before it in the list, but a hand-edited lab.json need not keep that
    // order: look again until a pass adds nobody. "root" is the PC's own root hub, whatever
    // device may be called so.
    for (size_t count = 0; count != going.size();) {
        count = going.size();
        for (const json& d : devices_) {
            const std::string hub = d.contains("hub") && d["hub"].is_string() ? d["hub"].get<std::string>() : "root";
            if (hub != "root" && going.count(hub)) going.insert(d.value("id", ""));
        }
    }
    std::vector<std::string> along;
    for (const json& d : devices_)
        if (const std::string other = d.value("id", ""); other != id && going.count(other)) along.push_back(other);
    devices_.erase(std::remove_if(devices_.begin(), devices_.end(),
                                  [&](const json& d) { return going.count(d.value("id", "")) != 0; }),
                   devices_.end());
    save();
    for (const std::string& gone : going) fs::remove_all(deviceDir(gone));
    return along;
}

void Lab::changeDevice(const std::string& id, const std::function<void(json&)>& change) {
    changeDevice(id, change, false);
}

void Lab::recordDevice(const std::string& id, const std::function<void(json&)>& change) {
    changeDevice(id, change, true);
}

void Lab::changeDevice(const std::string& id, const std::function<void(json&)>& change, bool alreadyHeld) {
    std::lock_guard<std::mutex> lock(mutex_);
    FolderLock folder(root_);
    const bool nothingNew = stampOfLabFile() == seen_;
    devices_ = readDevicesFromFile();
    for (json& d : devices_) {
        if (d.value("id", "") != id) continue;
        change(d);
        save();
        if (alreadyHeld && nothingNew) seen_ = stampOfLabFile();
        return;
    }
    throw std::runtime_error("no device " + id + " in " + root_.string());
}

void Lab::applyFault(const std::string& id, const std::string& fault) {
    std::string canonical;
    if (fault != "unplug" && fault != "plug" && fault != "clear") {
        try {
            canonical = parseFault(fault).toString();
        } catch (const std::invalid_argument& e) {
            throw std::runtime_error(e.what());
        }
    }
    changeDevice(id, [&](json& d) {
        if (fault == "unplug" || fault == "plug") {
            d["plugged"] = fault == "plug";
        } else if (fault == "clear") {
            d["faults"] = json::array();
            d["plugged"] = true;
        } else {
            if (!d.contains("faults") || !d["faults"].is_array()) d["faults"] = json::array();
            d["faults"].push_back(canonical);
        }
    });
}

Lab::FileStamp Lab::stampOfLabFile() const {
    struct stat st {};
    FileStamp now;
    if (::stat(labFile().c_str(), &st) == 0) {
        now.device = st.st_dev;
        now.inode = st.st_ino;
        now.size = static_cast<uint64_t>(st.st_size);
        now.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    }
    return now;
}

bool Lab::reloadIfChanged() {
    // Looked at under the lock, so a write this process records meanwhile is either seen whole
    // or not at all.
    std::lock_guard<std::mutex> lock(mutex_);
    const FileStamp now = stampOfLabFile();
    if (now == seen_) return false;
    seen_ = now;
    devices_ = readDevicesFromFile();
    return true;
}

const Clock& Lab::clock() const {
    std::call_once(clockOnce_, [this] { clock_ = std::make_unique<Clock>(timeScale()); });
    return *clock_;
}

Hardware& Lab::hardware() {
    std::lock_guard<std::mutex> lock(hardwareMutex_);
    if (!hardware_) {
        reloadIfChanged();
        hardware_ = std::make_unique<Hardware>(*this);
    }
    return *hardware_;
}

}  // namespace lab
