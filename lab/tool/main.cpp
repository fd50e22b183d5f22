// zelfin-lab: creates, shows and changes labs, the simulated PCs Zelfin runs on.
#include <lab/device_entry.h>
#include <lab/faults.h>
#include <lab/hardware.h>
#include <lab/lab.h>
#include <lab/registry.h>
#include <winsim/winerror.h>
#include <winsim/winreg.h>
#include <winsim/winsim.h>
#include <winsim/windows.h>
#include <winsim/dbt.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const char kUsageCommands[] =
    "Usage: zelfin-lab COMMAND [ARGS]\n"
    "\n"
    "Creates, shows and changes labs: simulated PCs with their settings, system drive,\n"
    "registry and devices, kept in a folder.\n"
    "\n"
    "Commands:\n"
    "  init DIR [--scenario default|empty|FILE] [--force]\n"
    "                                             create a lab from a scenario; a folder that\n"
    "                                             already holds a lab is reset only with --force\n"
    "  show [DIR] [--json]                        print a lab's settings and a table of its\n"
    "                                             devices (id, kind, drive, mode, SCSI port,\n"
    "                                             the firmware in a reader's flash, faults)\n"
    "  reg DIR get KEY [NAME]                     print a registry value (or a key's values)\n"
    "  reg DIR set KEY NAME TYPE VALUE            write a value; TYPE is REG_SZ, REG_EXPAND_SZ,\n"
    "                                             REG_DWORD (decimal or 0x hex) or REG_BINARY (hex)\n"
    "  reg DIR delete KEY [NAME]                  delete a value, or a key without subkeys\n"
    "  attach DIR KIND [--OPTION VALUE]...        attach a device and print its id\n"
    "  detach DIR ID                              remove a device and its memories, with the\n"
    "                                             devices behind it (a hub's, a KRD50N unit's\n"
    "                                             readers, a monitor's modules): prints their ids\n"
    "  fault DIR ID SPEC...                       give a device faults (see below)\n"
    "  dump DIR ID MEMORY FILE                    copy a device's memory into FILE\n"
    "  services DIR                               list the lab's services: the drivers it provides\n"
    "                                             itself and the kernel drivers registered in its\n"
    "                                             registry, with their start type and image\n"
    "  notify DIR EVENT                           send the programs running on the lab a system\n"
    "                                             notice and print each window's answer: EVENT is\n"
    "                                             query-suspend, suspend, resume (WM_POWERBROADCAST)\n"
    "                                             or query-end-session (WM_QUERYENDSESSION); ends\n"
    "                                             with 3 when a window refuses\n"
    "\n";

const char kUsageFaults[] =
    "Faults (CMD names what the fault hits: a SCSI command as the hex bytes its CDB starts with,\n"
    "such as AC00A0 or scsi:AC00A0, or read, write, any; a USB control request usb:RT.RQ (hex\n"
    "bmRequestType.bRequest as the device receives them, such as usb:C1.D2) or usb:any; a bulk\n"
    "transfer bulk:in, bulk:out, bulk:any; a request to the device's hub port: port. N: how many\n"
    "matching requests are hit, all without it; @M: let M matching requests pass first. CMD+HEX:\n"
    "only the request whose data holds that byte of the image (a DFU or KV7 block). On USB, fail\n"
    "stalls the request and stall lets it time out):\n"
    "  fail:CMD[:N][@M]                the command ends with CHECK CONDITION, HARDWARE ERROR 04/44/00\n"
    "  sense:CMD:KK/AA/QQ[:N][@M]      the command ends with this sense key/ASC/ASCQ (hex; SCSI only)\n"
    "  stall:CMD[:N][@M]               the command never completes; the caller's time-out runs out\n"
    "  corrupt:CMD[+HEX][:N][@M]       data read comes back altered, data written is stored altered;\n"
    "                                  +HEX: the byte at this offset of the transfer's data (of the\n"
    "                                  image, for a whole image), else one the device picks\n"
    "  unplug:CMD[@M]                  the device is pulled out during the command (a write is half\n"
    "                                  done)\n"
    "  slow:CMD:MS[:N][@M]             the SCSI command takes MS lab milliseconds (1 to 3600000);\n"
    "                                  past the caller's time-out it is cut off (a write half done)\n"
    "  short:CMD:BYTES[:N][@M]         the SCSI command's data in ends after BYTES bytes (1 to 65535)\n"
    "  csw:CMD:KIND[:N][@M]            behind a USB bridge its status wrapper goes wrong: 12 (short,\n"
    "                                  whole on the next read), 14 (a byte too long), tag (another\n"
    "                                  tag) or phase (status 2)\n"
    "On USB requests only (usb:..., bulk:...; replug also on SCSI commands behind USB):\n"
    "  usbstatus:CMD:XXXXXXXX[:N][@M]  the request completes with this USBD status (8 hex digits:\n"
    "                                  C0000004 stall, C0000011 transaction error, C0000012 babble)\n"
    "  ntstatus:CMD:XXXXXXXX[:N][@M]   the request fails with this NT status (C00002B6 device\n"
    "                                  removed, C000009D not connected)\n"
    "  replug:CMD[@M]                  just before the request the device is unplugged and plugged\n"
    "                                  in again: the request reaches a device that has left\n"
    "When the device leaves its port to come back, leave:K, where K is detach (to its other mode),\n"
    "cycle (a port cycle or reset), power (its port's power off and on) or any:\n"
    "  lost:leave:K[:N][@M]            it never comes back (until it is plugged in again)\n"
    "  stuck:leave:K[:N][@M]           its port shows a failed enumeration until its power is cycled\n"
    "  usbstor:leave:detach[:N][@M]    it comes back in upgrade mode but bound to the generic\n"
    "                                  mass-storage driver instead of the DFU driver\n"
    "  ids:leave:K:VVVV.PPPP[:N][@M]   it comes back under these USB identifiers (vendor.product,\n"
    "                                  4 hex digits each)\n"
    "  slow:leave:K:MS[:N][@M]         it comes back MS lab milliseconds (1 to 3600000) later\n"
    "  stuck:port[:N][@M]              its port is in a failed-enumeration state now: the device is\n"
    "                                  not enumerated until the port's power is cycled\n"
    "  empty:port[:N][@M]              its port shows no device until the port's power is cycled\n"
    "On a KV7 reader's flash:\n"
    "  bad:block+HEX:KIND[:N][@M]      the block holding image byte HEX is bad: written (the write\n"
    "                                  reports an error, the data is stored), erase (nothing stored\n"
    "                                  until its sector is erased) or never\n"
    "On the whole device:\n"
    "  unplug, plug                    pull the device out now, plug it back in\n"
    "  clear                           remove every fault and plug the device back in\n"
    "Examples: fail:AC00A0:3  sense:AC0090:05/24/00  stall:FD0082  corrupt:read  unplug:AC0090@7\n"
    "          usbstatus:bulk:in:C0000011:1  corrupt:usb:A1.02+8F00:1  lost:leave:detach:1\n"
    "          stuck:port:1  slow:leave:cycle:5000  slow:FC0091:15000  empty:port:1\n"
    "          bad:block+1040:erase  replug:usb:41.05+2000  csw:E402:12:1  short:E402:10\n"
    "\n"
    "KEY is a full key path such as HKLM\\SOFTWARE\\Quorvex\\KRDMgmt\\KRDConf. An empty NAME (\"\")\n"
    "is the key's default value. Without DIR, show uses the lab Zelfin would use: ZELFIN_LAB, else\n"
    "$XDG_DATA_HOME/zelfin/lab.\n"
    "\n"
    "Environment: ZELFIN_LAB (the lab folder), ZELFIN_TIME_SCALE (lab clock speed-up), LANG (the\n"
    "user interface language when the lab does not fix one). A folder named by ZELFIN_LAB must\n"
    "hold a lab (made with init); only the default folder is made on first use.\n"
    "\n"
    "show --json prints {\"path\", \"settings\", \"devices\": [...]}; each device has the keys of\n"
    "attach, \"memories\" (name: file) and \"firmware\": null, or for a reader {\"family\": \"scsi\",\n"
    "\"type\": upgrade type or null, \"productType\", \"feature\", \"version\": \"MM.mm\"}.\n"
    "\n"
    "--version prints the version. Exit codes: 0 done, 1 failed (the reason is one line on\n"
    "standard error), 2 wrong usage.\n";

// The usage with the device kinds and their options, as each kind registered them.
std::string usage() {
    std::ostringstream out;
    out << kUsageCommands;
    out << "Device kinds (attach DIR KIND [--OPTION VALUE]...; a scenario's \"devices\" entries take the\n"
           "same keys):\n";
    for (const std::string& name : lab::deviceKinds()) {
        const lab::DeviceKind* kind = lab::findDeviceKind(name);
        if (!kind) continue;
        out << "  " << std::left << std::setw(13) << name << " " << kind->summary << "\n";
        for (const auto& [option, meaning] : kind->options)
            out << "      --" << std::left << std::setw(15) << option << " " << meaning << "\n";
        for (const auto& [memory, size] : kind->memories)
            out << "      --memory " << memory << "=FILE   preload its " << memory << " (" << size << " bytes)\n";
    }
    out << "Every kind also takes --id ID, --drive LETTER|none, --fault SPEC, --plugged 0|1 and the\n"
           "address on its bus: --target N (0-15) and --lun N (0-7) on the SCSI adapter.\n\n";
    out << kUsageFaults;
    return out.str();
}

int usageError(const std::string& message) {
    std::cerr << "zelfin-lab: " << message << "\nTry 'zelfin-lab --help'.\n";
    return 2;
}

const char* typeName(uint32_t type) {
    switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_QWORD: return "REG_QWORD";
    default: return "REG_UNKNOWN";
    }
}

std::string describeValue(const lab::RegValue& v) {
    char buf[16];
    if ((v.type == REG_SZ || v.type == REG_EXPAND_SZ) && !v.data.empty()) {
        std::string s(v.data.begin(), v.data.end());
        if (!s.empty() && s.back() == '\0') s.pop_back();
        return s;
    }
    if (v.type == REG_DWORD && v.data.size() == 4) {
        const uint32_t d = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<uint32_t>(v.data[3]) << 24);
        std::snprintf(buf, sizeof buf, "0x%08x", d);
        return std::string(buf) + " (" + std::to_string(d) + ")";
    }
    std::string hex;
    for (uint8_t b : v.data) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        hex += buf;
    }
    return hex;
}

bool parseValue(const std::string& type, const std::string& text, lab::RegValue* out, std::string* error) {
    if (type == "REG_SZ" || type == "REG_EXPAND_SZ") {
        out->type = type == "REG_SZ" ? REG_SZ : REG_EXPAND_SZ;
        out->data.assign(text.begin(), text.end());
        out->data.push_back(0);
        return true;
    }
    if (type == "REG_DWORD") {
        char* end = nullptr;
        errno = 0;
        const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
        if (text.empty() || *end || errno || v > 0xFFFFFFFFull) {
            *error = "REG_DWORD needs a number from 0 to 4294967295, not '" + text + "'";
            return false;
        }
        out->type = REG_DWORD;
        out->data = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                     static_cast<uint8_t>(v >> 24)};
        return true;
    }
    if (type == "REG_BINARY") {
        if (text.size() % 2) {
            *error = "REG_BINARY needs an even number of hex digits";
            return false;
        }
        out->type = REG_BINARY;
        out->data.clear();
        for (size_t i = 0; i < text.size(); i += 2) {
            const std::string byte = text.substr(i, 2);
            char* end = nullptr;
            const unsigned long b = std::strtoul(byte.c_str(), &end, 16);
            if (*end || !std::isxdigit(static_cast<unsigned char>(byte[0]))) {
                *error = "REG_BINARY needs hex digits, not '" + byte + "'";
                return false;
            }
            out->data.push_back(static_cast<uint8_t>(b));
        }
        return true;
    }
    *error = "unknown value type '" + type + "' (REG_SZ, REG_EXPAND_SZ, REG_DWORD or REG_BINARY)";
    return false;
}

std::string errorText(long code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND: return "not found";
    case ERROR_ACCESS_DENIED: return "access denied (a key with subkeys cannot be deleted)";
    case ERROR_INVALID_PARAMETER: return "invalid key path";
    case ERROR_REGISTRY_CORRUPT: return "the lab's registry file is corrupt";
    case ERROR_REGISTRY_IO_FAILED: return "the lab's registry file cannot be read or written";
    default: return "error " + std::to_string(code);
    }
}

int cmdInit(const std::vector<std::string>& args) {
    if (args.empty()) return usageError("init needs a lab folder");
    std::string scenario = "default";
    bool force = false;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--scenario" && i + 1 < args.size()) {
            scenario = args[++i];
        } else if (args[i] == "--force") {
            force = true;
        } else {
            return usageError("unknown argument to init: " + args[i]);
        }
    }
    std::error_code ec;
    if (!force && fs::exists(fs::path(args[0]) / "lab.json", ec)) {
        std::cerr << "zelfin-lab: " << args[0]
                  << " already holds a lab; init --force resets it (its devices' memories are lost)\n";
        return 1;
    }
    auto lab = lab::Lab::create(args[0], scenario);
    std::cout << "Created lab " << lab->root().string() << " from scenario " << scenario << "\n";
    return 0;
}

// One table cell of a device: the firmware its reader's flash holds.
std::string firmwareCell(const json& fw) {
    if (!fw.is_object()) return "-";
    std::ostringstream out;
    if (fw.value("family", "") == "tarn") {
        out << "tarn dfu " << fw.value("dfuType", 0);
        if (fw.contains("version")) out << " product " << fw.value("productType", 0) << " v" << fw.value("version", "");
        if (fw.contains("serial")) out << " serial " << fw.value("serial", "");
        if (!fw.value("complete", false)) out << " (incomplete)";
        return out.str();
    }
    out << fw.value("family", "") << " type ";
    if (fw["type"].is_null())
        out << "none";
    else
        out << fw["type"].get<int>();
    out << " product " << fw.value("productType", 0) << " v" << fw.value("version", "");
    return out.str();
}

std::string faultsCell(const json& d) {
    std::string text;
    if (!d.value("plugged", true)) text = "unplugged";
    for (const json& f : d.value("faults", json::array())) {
        if (!text.empty()) text += " ";
        text += f.is_string() ? f.get<std::string>() : f.dump();
    }
    return text.empty() ? "-" : text;
}

void printDeviceTable(const json& devices) {
    const std::vector<std::string> head = {"ID", "KIND", "DRIVE", "MODE", "PORT", "FIRMWARE", "FAULTS"};
    std::vector<std::vector<std::string>> rows = {head};
    for (const json& d : devices) {
        const std::string drive = d["drive"].is_string() ? d["drive"].get<std::string>() + ":" : "-";
        std::string port = "-";
        if (d.contains("target"))
            port = "SCSI " + std::to_string(d.value("target", 0L)) + ":" + std::to_string(d.value("lun", 0L));
        else if (d.contains("hub"))
            port = "USB " + d.value("hub", std::string()) + ":" + std::to_string(d.value("port", 0L));
        std::string mode = d.value("mode", "-");
        if (d.contains("usbIds") && !d["usbIds"].get<std::string>().empty()) mode += " " + d["usbIds"].get<std::string>();
        rows.push_back({d.value("id", ""), d.value("kind", ""), drive, mode, port,
                        firmwareCell(d.value("firmware", json(nullptr))), faultsCell(d)});
    }
    std::vector<size_t> width(head.size(), 0);
    for (const auto& r : rows)
        for (size_t c = 0; c < r.size(); ++c) width[c] = std::max(width[c], r[c].size());
    for (const auto& r : rows) {
        std::string line = " ";
        for (size_t c = 0; c < r.size(); ++c) {
            line += " " + r[c];
            if (c + 1 < r.size()) line += std::string(width[c] - r[c].size() + 1, ' ');
        }
        std::cout << line << "\n";
    }
}

int cmdShow(const std::vector<std::string>& args) {
    bool asJson = false;
    std::string dir;
    for (const std::string& a : args) {
        if (a == "--json") {
            asJson = true;
        } else if (dir.empty() && a.rfind("--", 0) != 0) {
            dir = a;
        } else {
            return usageError("unknown argument to show: " + a);
        }
    }
    auto lab = lab::Lab::open(dir.empty() ? lab::Lab::defaultDir() : fs::path(dir));
    const json j = lab->toJson();
    if (asJson) {
        std::cout << j.dump(2) << "\n";
        return 0;
    }
    const lab::Settings& s = lab->settings();
    std::cout << "Lab:             " << lab->root().string() << "\n"
              << "Windows:         " << (s.os.platformId == 1 ? "9x family " : "NT family ") << s.os.major << "."
              << s.os.minor << " build " << s.os.build << (s.os.csdVersion.empty() ? "" : " " + s.os.csdVersion)
              << "\n"
              << "Language:        " << j["settings"]["effectiveLanguage"].get<std::string>()
              << (s.language ? " (fixed by the lab)" : " (from LANG)") << "\n"
              << "C:\\ writable:    " << (s.systemDriveWritable ? "yes" : "no") << "\n"
              << "Time scale:      " << lab->timeScale() << "\n"
              << "newdev.dll:      " << (fs::exists(lab->windowsFolder() / "System32" / "newdev.dll") ? "yes" : "no")
              << (s.driverUpdateNeedsReboot ? ", asks for a restart" : "")
              << (s.driverUpdateDelayMs ? ", takes " + std::to_string(s.driverUpdateDelayMs) + " ms" : std::string())
              << "\n"
              << "System drive:    " << lab->driveC().string() << "\n"
              << "Devices:         " << j["devices"].size() << "\n";
    if (!j["devices"].empty()) printDeviceTable(j["devices"]);
    return 0;
}

int cmdReg(const std::vector<std::string>& args) {
    if (args.size() < 3) return usageError("reg needs a lab folder, an action and a key");
    auto lab = lab::Lab::open(args[0]);
    lab::Registry& reg = lab->registry();
    const std::string& action = args[1];
    const std::string& key = args[2];
    if (action == "get") {
        if (args.size() == 3) {
            std::vector<std::pair<std::string, lab::RegValue>> values;
            if (long rc = reg.values(key, &values); rc != ERROR_SUCCESS) {
                std::cerr << "zelfin-lab: " << key << ": " << errorText(rc) << "\n";
                return 1;
            }
            for (const auto& [name, v] : values)
                std::cout << (name.empty() ? "(default)" : name) << "\t" << typeName(v.type) << "\t"
                          << describeValue(v) << "\n";
            return 0;
        }
        if (args.size() != 4) return usageError("reg get takes a key and at most one value name");
        lab::RegValue v;
        if (long rc = reg.getValue(key, args[3], &v); rc != ERROR_SUCCESS) {
            std::cerr << "zelfin-lab: " << key << " " << args[3] << ": " << errorText(rc) << "\n";
            return 1;
        }
        std::cout << typeName(v.type) << "\t" << describeValue(v) << "\n";
        return 0;
    }
    if (action == "set") {
        if (args.size() != 6) return usageError("reg set takes KEY NAME TYPE VALUE");
        lab::RegValue v;
        std::string error;
        if (!parseValue(args[4], args[5], &v, &error)) return usageError(error);
        bool created = false;
        long rc = reg.createKey(key, &created);
        if (rc == ERROR_SUCCESS) rc = reg.setValue(key, args[3], v);
        if (rc != ERROR_SUCCESS) {
            std::cerr << "zelfin-lab: " << key << ": " << errorText(rc) << "\n";
            return 1;
        }
        return 0;
    }
    if (action == "delete") {
        long rc;
        if (args.size() == 4) {
            rc = reg.deleteValue(key, args[3]);
        } else if (args.size() == 3) {
            rc = reg.deleteKey(key);
        } else {
            return usageError("reg delete takes a key and at most one value name");
        }
        if (rc != ERROR_SUCCESS) {
            std::cerr << "zelfin-lab: " << key << ": " << errorText(rc) << "\n";
            return 1;
        }
        return 0;
    }
    return usageError("unknown reg action: " + action + " (get, set or delete)");
}

int cmdAttach(const std::vector<std::string>& args) {
    if (args.size() < 2) return usageError("attach needs a lab folder and a device kind");
    json request;
    try {
        request = lab::requestFromArguments(args[1], std::vector<std::string>(args.begin() + 2, args.end()));
    } catch (const std::runtime_error& e) {
        return usageError(e.what());
    }
    auto lab = lab::Lab::open(args[0]);
    std::cout << lab->attachDevice(request, fs::current_path()) << "\n";
    return 0;
}

int cmdDetach(const std::vector<std::string>& args) {
    if (args.size() != 2) return usageError("detach takes a lab folder and a device id");
    // The devices that were plugged into it go with it, one id a line.
    for (const std::string& id : lab::Lab::open(args[0])->detachDevice(args[1])) std::cout << id << "\n";
    return 0;
}

int cmdFault(const std::vector<std::string>& args) {
    if (args.size() < 3) return usageError("fault takes a lab folder, a device id and at least one fault");
    // A mistyped fault is wrong usage, found before the lab is touched.
    for (size_t i = 2; i < args.size(); ++i) {
        if (args[i] == "unplug" || args[i] == "plug" || args[i] == "clear") continue;
        try {
            lab::parseFault(args[i]);
        } catch (const std::invalid_argument& e) {
            return usageError(e.what());
        }
    }
    auto lab = lab::Lab::open(args[0]);
    for (size_t i = 2; i < args.size(); ++i) lab->applyFault(args[1], args[i]);
    return 0;
}

// The services of the lab's PC: the drivers it provides itself, and the kernel drivers registered
// in its registry (as a program registers its own). A driver image runs in the program that
// starts it; this lists what is there to start.
int cmdServices(const std::vector<std::string>& args) {
    if (args.size() != 1) return usageError("services takes a lab folder");
    auto lab = lab::Lab::open(args[0]);
    const std::string root = "HKLM\\SYSTEM\\CurrentControlSet\\Services";
    std::vector<std::string> registered;
    lab->registry().subKeys(root, &registered);
    auto dword = [&](const std::string& service, const char* name) -> std::string {
        lab::RegValue v;
        if (lab->registry().getValue(root + "\\" + service, name, &v) != ERROR_SUCCESS || v.data.size() != 4) return "-";
        uint32_t x;
        std::memcpy(&x, v.data.data(), 4);
        return std::to_string(x);
    };
    auto text = [&](const std::string& service, const char* name) -> std::string {
        lab::RegValue v;
        if (lab->registry().getValue(root + "\\" + service, name, &v) != ERROR_SUCCESS) return "-";
        std::string t(v.data.begin(), v.data.end());
        return t.substr(0, t.find('\0'));
    };
    static const char* kStart[] = {"boot", "system", "auto", "demand", "disabled"};
    std::vector<std::vector<std::string>> rows = {{"SERVICE", "DRIVER", "START", "IMAGE"}};
    std::set<std::string> seen;
    for (const std::string& name : registered) {
        const std::string type = dword(name, "Type"), start = dword(name, "Start");
        const bool kernel = type == "1";
        const int s = start == "-" ? -1 : std::stoi(start);
        rows.push_back({name, kernel ? "kernel driver" : type == "-" ? "-" : "type " + type,
                        s >= 0 && s <= 4 ? kStart[s] : start, text(name, "ImagePath")});
        std::string lower = name;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        seen.insert(lower);
    }
    for (const std::string& name : lab->hardware().builtinServices()) {
        std::string lower = name;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (seen.count(lower)) continue;
        rows.push_back({name, "built into the lab", "-", "-"});
    }
    std::vector<size_t> width(4, 0);
    for (const auto& r : rows)
        for (size_t i = 0; i < r.size(); ++i) width[i] = std::max(width[i], r[i].size());
    for (const auto& r : rows) {
        std::string line = "  ";
        for (size_t i = 0; i < r.size(); ++i) line += r[i] + (i + 1 < r.size() ? std::string(width[i] - r[i].size() + 2, ' ') : "");
        std::cout << line << "\n";
    }
    return 0;
}

int cmdDump(const std::vector<std::string>& args) {
    if (args.size() != 4) return usageError("dump takes a lab folder, a device id, a memory name and a file");
    auto lab = lab::Lab::open(args[0]);
    const json shown = lab->toJson();
    for (const json& d : shown["devices"]) {
        if (d.value("id", "") != args[1]) continue;
        if (!d["memories"].contains(args[2])) {
            std::cerr << "zelfin-lab: device " << args[1] << " has no memory '" << args[2] << "'\n";
            return 1;
        }
        std::ifstream in(d["memories"][args[2]].get<std::string>(), std::ios::binary);
        std::ofstream out(args[3], std::ios::binary | std::ios::trunc);
        if (!in || !out || !(out << in.rdbuf()) || !out.flush()) {
            std::cerr << "zelfin-lab: cannot copy " << args[2] << " of " << args[1] << " to " << args[3] << "\n";
            return 1;
        }
        return 0;
    }
    std::cerr << "zelfin-lab: no device " << args[1] << " in " << lab->root().string() << "\n";
    return 1;
}

// The system notices a user can send: the message, its wParam, and the answer that refuses it
// (none for a notice that cannot be refused).
struct Notice {
    const char* name;
    UINT msg;
    WPARAM wParam;
    std::optional<LRESULT> refusal;
};
const Notice kNotices[] = {
    {"query-suspend", WM_POWERBROADCAST, PBT_APMQUERYSUSPEND, LRESULT{BROADCAST_QUERY_DENY}},
    {"suspend", WM_POWERBROADCAST, PBT_APMSUSPEND, std::nullopt},
    {"resume", WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, std::nullopt},
    {"query-end-session", WM_QUERYENDSESSION, 0, LRESULT{0}},
};
// How long each program has to answer, as the system waits for a program before it counts it
// as hung.
constexpr DWORD kNoticeTimeoutMs = 5000;

int cmdNotify(const std::vector<std::string>& args) {
    if (args.size() != 2) return usageError("notify takes a lab folder and an event");
    const Notice* notice = nullptr;
    for (const Notice& n : kNotices)
        if (args[1] == n.name) notice = &n;
    if (!notice)
        return usageError("unknown event: " + args[1] + " (query-suspend, suspend, resume or query-end-session)");
    // The programs to reach are those running on this lab: winsim takes its lab from ZELFIN_LAB.
    const fs::path dir = fs::absolute(args[0]);
    lab::Lab::open(dir);  // a folder that holds no lab is refused here, with its reason
    ::setenv("ZELFIN_LAB", dir.c_str(), 1);
    std::vector<WINSIM_NOTICE_ANSWER> answers(64);
    DWORD n = WinsimSendSystemNotice(notice->msg, notice->wParam, 0, kNoticeTimeoutMs, answers.data(),
                                     static_cast<DWORD>(answers.size()));
    if (n > answers.size()) {
        answers.resize(n);
        n = WinsimSendSystemNotice(notice->msg, notice->wParam, 0, kNoticeTimeoutMs, answers.data(),
                                   static_cast<DWORD>(answers.size()));
    }
    if (n == 0 && GetLastError() != ERROR_SUCCESS) {
        std::cerr << "zelfin-lab: cannot send " << notice->name << ": " << errorText(static_cast<long>(GetLastError()))
                  << "\n";
        return 1;
    }
    int refused = 0;
    for (DWORD i = 0; i < n && i < answers.size(); ++i) {
        const WINSIM_NOTICE_ANSWER& a = answers[i];
        std::ostringstream line;
        line << "window " << std::hex << reinterpret_cast<uintptr_t>(a.hwnd) << std::dec << " (" << a.className << "): ";
        if (!a.answered) {
            line << "no answer";
        } else {
            const bool refuses = notice->refusal && a.result == *notice->refusal;
            refused += refuses;
            line << (refuses ? "refuses" : "agrees") << " (" << std::hex << "0x" << static_cast<uint64_t>(a.result) << ")";
        }
        std::cout << line.str() << "\n";
    }
    if (n == 0) std::cout << "no program with a window runs on this lab\n";
    if (refused) {
        std::cout << notice->name << ": refused by " << refused << (refused == 1 ? " window" : " windows") << "\n";
        return 3;
    }
    std::cout << notice->name << ": " << (notice->refusal ? "granted" : "sent") << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return usageError("no command given");
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::cout << usage();
        return 0;
    }
    if (args[0] == "--version") {
        std::cout << "zelfin-lab " << ZELFIN_VERSION << "\n";
        return 0;
    }
    const std::string cmd = args[0];
    args.erase(args.begin());
    try {
        if (cmd == "init") return cmdInit(args);
        if (cmd == "show") return cmdShow(args);
        if (cmd == "reg") return cmdReg(args);
        if (cmd == "attach") return cmdAttach(args);
        if (cmd == "detach") return cmdDetach(args);
        if (cmd == "fault") return cmdFault(args);
        if (cmd == "dump") return cmdDump(args);
        if (cmd == "notify") return cmdNotify(args);
        if (cmd == "services") return cmdServices(args);
    } catch (const fs::filesystem_error& e) {
        // The library's own text names its call ("filesystem error: cannot create directories");
        // the user needs the path and the reason.
        std::cerr << "zelfin-lab: cannot use " << e.path1().string() << ": " << e.code().message() << "\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "zelfin-lab: " << e.what() << "\n";
        return 1;
    }
    return usageError("unknown command: " + cmd);
}
