// newdev.dll of the simulated PC: UpdateDriverForPlugAndPlayDevicesA installs the driver of a
// package's INF on every present device that has the hardware identifier. It reads the INF as
// SetupAPI does, copies the files of the model's install section (CopyFiles) from the package's
// folder into their destination folders, adds the model's service as the INF's AddService
// directive does (the service's key in the registry), and binds the service to each device
// through the class installer: the node's service changes and a property change restarts it with
// its new driver, which Plug and Play loads from the image the service names. A service without
// a driver leaves the device with the problem Windows shows for it.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <lab/facade.h>
#include <winsim/newdev.h>
#include <winsim/setupapi.h>
#include <winsim/windows.h>
#include <winsim/winreg.h>

#include "internal.h"
#include "trace.h"

namespace {

using winsim::equalsNoCase;

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

std::string field(const INFCONTEXT& line, DWORD index) {
    DWORD size = 0;
    if (!SetupGetStringFieldA(&line, index, nullptr, 0, &size) || size == 0) return {};
    std::string text(size, '\0');
    if (!SetupGetStringFieldA(&line, index, text.data(), size, nullptr)) return {};
    text.resize(size - 1);
    return text;
}

// Calls `visit` for each line of a section until it answers true; whether one did.
template <class Visit>
bool eachLine(HINF inf, const std::string& section, Visit&& visit) {
    INFCONTEXT line;
    for (BOOL ok = SetupFindFirstLineA(inf, section.c_str(), nullptr, &line); ok; ok = SetupFindNextLine(&line, &line))
        if (visit(line)) return true;
    return false;
}

bool hasSection(HINF inf, const std::string& section) {
    INFCONTEXT line;
    return SetupFindFirstLineA(inf, section.c_str(), nullptr, &line) != FALSE;
}

struct Model {
    std::string description;
    std::string installSection;
};

// The model line of the manufacturers' models sections (plain and decorated) that lists the
// identifier as its hardware or a compatible identifier.
bool findModel(HINF inf, const std::string& hardwareId, Model* model) {
    return eachLine(inf, "Manufacturer", [&](const INFCONTEXT& mfg) {
        const std::string models = field(mfg, 1);
        std::vector<std::string> sections = {models};
        for (DWORD i = 2; !field(mfg, i).empty(); ++i) sections.push_back(models + "." + field(mfg, i));
        for (const std::string& s : sections)
            if (eachLine(inf, s, [&](const INFCONTEXT& m) {
                    for (DWORD i = 2; !field(m, i).empty(); ++i)
                        if (equalsNoCase(field(m, i), hardwareId)) {
                            *model = {field(m, 0), field(m, 1)};
                            return true;
                        }
                    return false;
                }))
                return true;
        return false;
    });
}

DWORD number(const std::string& text) { return static_cast<DWORD>(std::strtoul(text.c_str(), nullptr, 0)); }

// The Windows folder of this PC ("C:\WINDOWS"), "" when it cannot be had.
std::string windowsFolder() {
    char windows[MAX_PATH];
    const UINT n = GetWindowsDirectoryA(windows, sizeof windows);
    return n == 0 || n >= sizeof windows ? std::string() : std::string(windows, n);
}

// Where the files of a copy-files section go (of a single "@file" for none): its DestinationDirs
// entry (or the default entry, or the system folder without one), a directory id and a
// subfolder. The ids are those a driver package uses: the Windows folder (10), the system folder
// (11), the drivers folder (12).
DWORD destinationOf(HINF inf, const std::string& copySection, std::string* folder) {
    INFCONTEXT line;
    DWORD id = 11;
    std::string sub;
    if ((!copySection.empty() && SetupFindFirstLineA(inf, "DestinationDirs", copySection.c_str(), &line)) ||
        SetupFindFirstLineA(inf, "DestinationDirs", "DefaultDestDir", &line)) {
        id = number(field(line, 1));
        sub = field(line, 2);
    }
    const std::string windows = windowsFolder();
    if (windows.empty()) return GetLastError();
    switch (id) {
    case 10: *folder = windows; break;
    case 11: *folder = windows + "\\system32"; break;
    case 12: *folder = windows + "\\system32\\DRIVERS"; break;
    default:
        TRACE_UNSUPPORTED("setupapi", "UpdateDriverForPlugAndPlayDevices: destination directory id %u", id);
        return ERROR_NOT_SUPPORTED;
    }
    if (!sub.empty()) *folder += "\\" + sub;
    return ERROR_SUCCESS;
}

// Where a file of the package lies: the INF's folder, the path of its source disk
// (SourceDisksNames field 4) and its own subfolder (SourceDisksFiles field 2).
std::string sourceOf(HINF inf, const std::string& infFolder, const std::string& file) {
    std::string at = infFolder;
    INFCONTEXT line;
    if (SetupFindFirstLineA(inf, "SourceDisksFiles", file.c_str(), &line)) {
        const std::string disk = field(line, 1), sub = field(line, 2);
        INFCONTEXT diskLine;
        if (!disk.empty() && SetupFindFirstLineA(inf, "SourceDisksNames", disk.c_str(), &diskLine)) {
            const std::string path = field(diskLine, 4);
            if (!path.empty()) at += "\\" + path;
        }
        if (!sub.empty()) at += "\\" + sub;
    }
    return at + "\\" + file;
}

DWORD copyFile(const std::string& from, const std::string& folder, const std::string& name) {
    const std::string to = folder + "\\" + name;
    TRACE("setupapi", "UpdateDriverForPlugAndPlayDevices copies %s to %s", from.c_str(), to.c_str());
    return CopyFileA(from.c_str(), to.c_str(), FALSE) ? ERROR_SUCCESS : GetLastError();
}

// What CopyFiles does for an install section: each named copy-files section's files (a line
// names the file as installed, and optionally the file of the package it comes from), or one
// file given as "@name".
DWORD copyFiles(HINF inf, const std::string& infPath, const std::string& installSection) {
    const size_t slash = infPath.find_last_of("\\/");
    const std::string infFolder = slash == std::string::npos ? std::string(".") : infPath.substr(0, slash);
    DWORD error = ERROR_SUCCESS;
    eachLine(inf, installSection, [&](const INFCONTEXT& directive) {
        if (!equalsNoCase(field(directive, 0), "CopyFiles")) return false;
        for (DWORD i = 1; !error && !field(directive, i).empty(); ++i) {
            const std::string entry = field(directive, i);
            std::string folder;
            if (entry[0] == '@') {
                const std::string name = entry.substr(1);
                error = destinationOf(inf, "", &folder);
                if (!error) error = copyFile(sourceOf(inf, infFolder, name), folder, name);
                continue;
            }
            error = destinationOf(inf, entry, &folder);
            eachLine(inf, entry, [&](const INFCONTEXT& file) {
                if (error) return true;
                const std::string name = field(file, 1);
                const std::string from = field(file, 2).empty() ? name : field(file, 2);
                if (!name.empty()) error = copyFile(sourceOf(inf, infFolder, from), folder, name);
                return error != ERROR_SUCCESS;
            });
        }
        return error != ERROR_SUCCESS;
    });
    return error;
}

// What AddService does: the service's key, with the values of its service-install section.
DWORD addService(HINF inf, const std::string& name, const std::string& installSection) {
    const std::string path = "SYSTEM\\CurrentControlSet\\Services\\" + name;
    HKEY key;
    if (LSTATUS s = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
        return static_cast<DWORD>(s);
    LSTATUS status = ERROR_SUCCESS;
    eachLine(inf, installSection, [&](const INFCONTEXT& line) {
        const std::string k = field(line, 0), v = field(line, 1);
        static const char* const dwords[][2] = {
            {"ServiceType", "Type"}, {"StartType", "Start"}, {"ErrorControl", "ErrorControl"}};
        for (const auto& d : dwords)
            if (equalsNoCase(k, d[0])) {
                const DWORD n = number(v);
                status = RegSetValueExA(key, d[1], 0, REG_DWORD, reinterpret_cast<const BYTE*>(&n), sizeof n);
            }
        if (equalsNoCase(k, "ServiceBinary")) {
            // %12% is the drivers folder; the image path is relative to the system root.
            std::string image = v;
            if (image.rfind("%12%", 0) == 0) image = "system32\\DRIVERS" + image.substr(4);
            status = RegSetValueExA(key, "ImagePath", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(image.c_str()),
                                    static_cast<DWORD>(image.size() + 1));
        }
        return status != ERROR_SUCCESS;
    });
    RegCloseKey(key);
    return static_cast<DWORD>(status);
}

bool hasHardwareId(HDEVINFO set, SP_DEVINFO_DATA& dev, const std::string& hardwareId) {
    DWORD size = 0;
    SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_HARDWAREID, nullptr, nullptr, 0, &size);
    if (size == 0) return false;
    std::vector<char> ids(size + 2, '\0');
    if (!SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE*>(ids.data()),
                                           size, nullptr))
        return false;
    for (const char* id = ids.data(); *id; id += std::strlen(id) + 1)
        if (equalsNoCase(id, hardwareId)) return true;
    return false;
}

// Binds the service to the device and restarts it; whether the PC must restart for it.
DWORD bindService(HDEVINFO set, SP_DEVINFO_DATA& dev, const std::string& service, const std::string& description,
           bool* reboot) {
    auto setText = [&](DWORD property, const std::string& text) {
        return SetupDiSetDeviceRegistryPropertyA(set, &dev, property, reinterpret_cast<const BYTE*>(text.c_str()),
                                                 static_cast<DWORD>(text.size() + 1));
    };
    if (!setText(SPDRP_SERVICE, service) || (!description.empty() && !setText(SPDRP_DEVICEDESC, description)))
        return GetLastError();
    SP_PROPCHANGE_PARAMS change{};
    change.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    change.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    change.StateChange = DICS_PROPCHANGE;
    change.Scope = DICS_FLAG_GLOBAL;
    if (!SetupDiSetClassInstallParamsA(set, &dev, &change.ClassInstallHeader, sizeof change) ||
        !SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &dev))
        return GetLastError();
    SP_DEVINSTALL_PARAMS_A params{};
    params.cbSize = sizeof params;
    if (SetupDiGetDeviceInstallParamsA(set, &dev, &params) && (params.Flags & DI_NEEDREBOOT)) *reboot = true;
    return ERROR_SUCCESS;
}

BOOL updateDriver(LPCSTR hardwareId, LPCSTR infPath, DWORD flags, LPBOOL rebootRequired) {
    TRACE("setupapi", "UpdateDriverForPlugAndPlayDevices %s from %s flags %#x", hardwareId ? hardwareId : "(null)",
          infPath ? infPath : "(null)", flags);
    if (flags != INSTALLFLAG_FORCE) {
        // Without the force flag Windows ranks the package's driver against the installed one;
        // nothing here calls it that way.
        TRACE_UNSUPPORTED("setupapi", "UpdateDriverForPlugAndPlayDevices: flags %#x", flags);
        return fail(flags == 0 ? ERROR_NOT_SUPPORTED : ERROR_INVALID_FLAGS);
    }
    if (!hardwareId || !*hardwareId || std::strlen(hardwareId) >= MAX_DEVICE_ID_LEN || !infPath)
        return fail(ERROR_INVALID_PARAMETER);
    const lab::Settings& settings = lab::facade::settings();
    if (settings.driverUpdateDelayMs) Sleep(settings.driverUpdateDelayMs);

    HINF inf = SetupOpenInfFileA(infPath, nullptr, INF_STYLE_WIN4, nullptr);
    if (inf == INVALID_HANDLE_VALUE) return FALSE;
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        SetupCloseInfFile(inf);
        return fail(error);
    }
    DWORD error = ERROR_SUCCESS;
    bool reboot = settings.driverUpdateNeedsReboot;
    std::vector<SP_DEVINFO_DATA> devices;
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &dev); ++i)
        if (hasHardwareId(set, dev, hardwareId)) devices.push_back(dev);
    Model model;
    std::string service, serviceInstall;
    if (devices.empty()) {
        error = ERROR_NO_SUCH_DEVINST;
    } else if (!findModel(inf, hardwareId, &model)) {
        // Devices have the identifier but the package has no driver for it: nothing better to
        // install, as Windows says it.
        error = ERROR_NO_MORE_ITEMS;
    } else {
        std::string services = model.installSection + ".NT.Services";
        if (!hasSection(inf, services)) services = model.installSection + ".Services";
        eachLine(inf, services, [&](const INFCONTEXT& line) {
            if (!equalsNoCase(field(line, 0), "AddService")) return false;
            service = field(line, 1);
            serviceInstall = field(line, 3);
            return true;
        });
        if (service.empty()) error = ERROR_SECTION_NOT_FOUND;
    }
    // The files first: a package whose driver is missing installs nothing.
    if (!error) {
        const std::string decorated = model.installSection + ".NT";
        error = copyFiles(inf, infPath, hasSection(inf, decorated) ? decorated : model.installSection);
    }
    if (!error) error = addService(inf, service, serviceInstall);
    for (SP_DEVINFO_DATA& d : devices) {
        if (error) break;
        error = bindService(set, d, service, model.description, &reboot);
    }
    SetupDiDestroyDeviceInfoList(set);
    SetupCloseInfFile(inf);
    if (error) return fail(error);
    if (rebootRequired) *rebootRequired = reboot ? TRUE : FALSE;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(
    HWND, LPCSTR hardwareId, LPCSTR fullInfPath, DWORD installFlags, LPBOOL rebootRequired) {
    return winsim::guarded(__func__, FALSE, [&] { return updateDriver(hardwareId, fullInfPath, installFlags, rebootRequired); });
}
