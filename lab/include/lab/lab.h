// The lab: a simulated PC kept in a folder. It holds the settings (operating system, language,
// system drive, time scale), the system drive "drive_c", the registry and, per device, the files
// of its persistent memories. Every winsim call works on the lab of its process.
#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "lab/clock.h"

namespace lab {

class Registry;
class Hardware;

struct OsVersion {
    uint32_t platformId = 2;  // VER_PLATFORM_WIN32_NT; 1 is the 9x family
    uint32_t major = 5;
    uint32_t minor = 1;
    uint32_t build = 2600;
    uint16_t servicePackMajor = 3;
    std::string csdVersion = "Service Pack 3";
};

struct Settings {
    OsVersion os;
    // The user interface language when the lab fixes it; otherwise it follows LANG.
    std::optional<uint16_t> language;
    bool systemDriveWritable = true;
    double timeScale = 1.0;
    // The Windows folder as Windows names it; it lies on the system drive.
    std::string windowsDirectory = "C:\\WINDOWS";
    // Whether a PC of the 9x family has its ASPI manager (WNASPI32.DLL) installed.
    bool aspiInstalled = true;
    // Whether a new lab gets the Plug and Play driver installer (C:\WINDOWS\system32\newdev.dll).
    bool newdevInstalled = true;
    // How the driver installer behaves: it asks for a restart after every update, and an update
    // takes this long (lab milliseconds) before it does anything.
    bool driverUpdateNeedsReboot = false;
    uint32_t driverUpdateDelayMs = 0;
};

nlohmann::json settingsToJson(const Settings& s);
// Reads what is present and keeps the defaults for the rest; throws std::runtime_error on a
// value of the wrong kind, naming the key.
Settings settingsFromJson(const nlohmann::json& j);

// The language a LANG value stands for: de_DE gives 0x0407, de_CH 0x0807, anything else 0x0409.
uint16_t languageFromLocaleName(const char* lang);

class Lab {
public:
    // Opens an existing lab folder; throws std::runtime_error when lab.json is missing or invalid.
    static std::unique_ptr<Lab> open(const std::filesystem::path& dir);
    // Creates (or re-creates) a lab folder from a scenario: "default", "empty" or a JSON file.
    // An existing lab.json is replaced; memories and registry of an existing lab are reset.
    static std::unique_ptr<Lab> create(const std::filesystem::path& dir, const std::string& scenario);
    // The folder this process uses: ZELFIN_LAB, else $XDG_DATA_HOME/zelfin/lab
    // (~/.local/share/zelfin/lab without XDG_DATA_HOME).
    static std::filesystem::path defaultDir();
    // The lab of this process, opened on first use and created from the default scenario when
    // its folder holds no lab yet.
    static Lab& current();

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path driveC() const { return root_ / "drive_c"; }
    std::filesystem::path runDir() const { return root_ / "run"; }
    std::filesystem::path registryFile() const { return root_ / "registry.json"; }
    std::filesystem::path labFile() const { return root_ / "lab.json"; }
    // The Linux folder behind the Windows folder of the settings.
    std::filesystem::path windowsFolder() const;

    const Settings& settings() const { return settings_; }
    void setSettings(const Settings& s);  // and saves lab.json

    // Resolved values, with the environment applied.
    uint16_t uiLanguage() const;   // the lab's setting, else from LANG
    double timeScale() const;      // ZELFIN_TIME_SCALE, else the lab's setting; always > 0
    // The one lab clock of this process, running at timeScale() as it was when first asked for.
    const Clock& clock() const;
    bool is9x() const { return settings_.os.platformId == 1; }

    Registry& registry();
    nlohmann::json toJson() const;  // what "zelfin-lab show --json" prints
    ~Lab();

    // ---- devices (lab/device_entry.h describes the entries) ------------------------------------
    nlohmann::json devices() const;
    std::filesystem::path deviceDir(const std::string& id) const { return root_ / "devices" / id; }
    // Attaches a device: the request is normalized, its memories are written into its folder
    // and lab.json is saved. Memory files named in the request are read relative to baseDir.
    // Answers the new device's id; throws std::runtime_error for a bad request.
    std::string attachDevice(const nlohmann::json& request, const std::filesystem::path& baseDir = {});
    // Removes a device and its memories, with every device plugged into it (behind a hub or a
    // KRD50N unit, in a monitor's slots), and theirs in turn: nothing is left pointing at a hub
    // that is gone. Answers the ids of those that went with it, in lab.json's order; throws
    // std::runtime_error for an unknown id.
    std::vector<std::string> detachDevice(const std::string& id);
    // Changes one device's entry. lab.json is read again first, under the lab's lock, so that
    // what other processes changed meanwhile is kept. Throws std::runtime_error for an unknown id.
    void changeDevice(const std::string& id, const std::function<void(nlohmann::json&)>& change);
    // The same for a change the hardware of this process already holds (a device's own state,
    // written so other processes see it). When lab.json had nothing this process had not read,
    // the write counts as read: taking it back in later could only put back an older copy of
    // state the device has moved on from (plugged again after a re-plug, say).
    void recordDevice(const std::string& id, const std::function<void(nlohmann::json&)>& change);
    // Adds a fault (lab/faults.h) to a device, or applies "unplug", "plug" or "clear".
    void applyFault(const std::string& id, const std::string& fault);
    // Takes the device list of lab.json again when lab.json changed since this process last
    // read it; answers whether it did.
    bool reloadIfChanged();
    // The hardware of this lab, built on first use.
    Hardware& hardware();

private:
    explicit Lab(std::filesystem::path root);
    void load();
    void save() const;
    void ensureFolders() const;
    nlohmann::json readDevicesFromFile() const;
    void writeMemories(const std::string& id, const std::map<std::string, std::vector<uint8_t>>& memories) const;

    std::filesystem::path root_;
    Settings settings_;
    nlohmann::json devices_ = nlohmann::json::array();
    std::unique_ptr<Registry> registry_;
    mutable std::mutex mutex_;
    // The identity of lab.json when this process last read it.
    struct FileStamp {
        uint64_t device = 0, inode = 0, size = 0;
        int64_t mtimeNs = -1;
        bool operator==(const FileStamp&) const = default;
    } seen_;
    FileStamp stampOfLabFile() const;
    void changeDevice(const std::string& id, const std::function<void(nlohmann::json&)>& change, bool alreadyHeld);
    mutable std::once_flag clockOnce_;
    mutable std::unique_ptr<Clock> clock_;
    std::mutex hardwareMutex_;
    std::unique_ptr<Hardware> hardware_;  // last: it goes before the registry it uses
};

}  // namespace lab
