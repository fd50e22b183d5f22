// The service control manager, for kernel-mode driver services: a service is its key under
// HKLM\SYSTEM\CurrentControlSet\Services in the lab's registry (Type, Start, ErrorControl,
// ImagePath, DisplayName); starting it loads its image from the system drive and calls its
// DriverEntry, stopping it calls its unload routine. Drivers run in the kernel of this process
// (each program on a lab has a PC of its own), so a service is running where it was started.
// Handles are entries of this module's own table: a closed or forged one is refused.
#include <winsim/wdm.h>
#include <winsim/winsvc.h>

#include <cstring>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "internal.h"
#include "trace.h"

namespace winsim {

namespace {

constexpr const char* kServicesKey = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\";
constexpr DWORD kManagerAccess = SC_MANAGER_ALL_ACCESS | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;
constexpr DWORD kServiceAccess = SERVICE_ALL_ACCESS | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;

struct ScObject {
    bool manager = false;
    std::string service;  // the service's key name as it was opened or created
    DWORD access = 0;
};

// Services marked for deletion: their key goes when no handle names them and they are stopped.
struct Table {
    std::mutex mutex;
    std::unordered_map<uintptr_t, ScObject> objects;
    std::unordered_map<std::string, bool> marked;  // lower-case name
    uintptr_t next = 0x20000000;  // apart from the kernel handles and the registry's keys
};

Table& table() {
    static Table* t = new Table;  // never destroyed: handles may be closed during exit
    return *t;
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Generic rights as the manager and a service map them.
DWORD mapped(DWORD access, bool manager) {
    const DWORD all = manager ? SC_MANAGER_ALL_ACCESS : SERVICE_ALL_ACCESS;
    DWORD out = access & all;
    if (access & GENERIC_ALL) out |= all;
    if (access & GENERIC_READ) out |= manager ? SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS
                                              : SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE;
    if (access & GENERIC_WRITE) out |= manager ? SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG
                                               : SERVICE_CHANGE_CONFIG;
    if (access & GENERIC_EXECUTE) out |= manager ? SC_MANAGER_CONNECT | SC_MANAGER_LOCK
                                                 : SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE;
    return out;
}

SC_HANDLE insert(ScObject object) {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    const uintptr_t value = t.next;
    t.next += 4;  // never reused
    t.objects.emplace(value, std::move(object));
    return reinterpret_cast<SC_HANDLE>(value);
}

std::optional<ScObject> find(SC_HANDLE h) {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
    if (it == t.objects.end()) return std::nullopt;
    return it->second;
}

// The handle's object when it is a service (a manager's when `manager`), with the access
// `needed`; the last error set otherwise.
std::optional<ScObject> use(SC_HANDLE h, bool manager, DWORD needed) {
    auto o = find(h);
    if (!o || o->manager != manager) {
        SetLastError(ERROR_INVALID_HANDLE);
        return std::nullopt;
    }
    if ((o->access & needed) != needed) {
        SetLastError(ERROR_ACCESS_DENIED);
        return std::nullopt;
    }
    return o;
}

lab::Registry& registry() { return lab::facade::registry(); }

std::optional<DWORD> dwordValue(const std::string& service, const char* name) {
    lab::RegValue v;
    if (registry().getValue(kServicesKey + service, name, &v) != ERROR_SUCCESS || v.type != REG_DWORD ||
        v.data.size() != 4)
        return std::nullopt;
    DWORD out;
    std::memcpy(&out, v.data.data(), 4);
    return out;
}

lab::RegValue dwordOf(DWORD v) {
    lab::RegValue r;
    r.type = REG_DWORD;
    r.data.resize(4);
    std::memcpy(r.data.data(), &v, 4);
    return r;
}

lab::RegValue textOf(DWORD type, const std::string& s) {
    lab::RegValue r;
    r.type = type;
    r.data.assign(s.begin(), s.end());
    r.data.push_back(0);
    return r;
}

bool isMarked(const std::string& service) {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    return t.marked.count(lower(service)) != 0;
}

bool running(const std::string& service) {
    return lab::facade::hardware().serviceState(service) != lab::Hardware::ServiceState::Stopped;
}

// A service marked for deletion goes once it is stopped and no handle names it.
void deleteIfDue(const std::string& service) {
    Table& t = table();
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        if (!t.marked.count(lower(service))) return;
        for (const auto& [value, o] : t.objects)
            if (!o.manager && lower(o.service) == lower(service)) return;
    }
    if (running(service)) return;
    std::vector<std::string> subkeys;
    const std::string key = kServicesKey + service;
    if (registry().subKeys(key, &subkeys) == ERROR_SUCCESS)
        for (const std::string& sub : subkeys) registry().deleteKey(key + "\\" + sub);
    registry().deleteKey(key);
    std::lock_guard<std::mutex> lock(t.mutex);
    t.marked.erase(lower(service));
}

void fillStatus(const std::string& service, LPSERVICE_STATUS status) {
    std::memset(status, 0, sizeof *status);
    status->dwServiceType = dwordValue(service, "Type").value_or(SERVICE_KERNEL_DRIVER);
    lab::Hardware& hw = lab::facade::hardware();
    const bool on = hw.serviceState(service) != lab::Hardware::ServiceState::Stopped;
    status->dwCurrentState = on ? SERVICE_RUNNING : SERVICE_STOPPED;
    status->dwControlsAccepted = on && hw.canUnload(service) ? SERVICE_ACCEPT_STOP : 0;
}

bool validName(LPCSTR name) {
    if (!name || !*name || std::strlen(name) > 256) return false;
    return std::strchr(name, '\\') == nullptr && std::strchr(name, '/') == nullptr;
}

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) {
    return guarded("OpenSCManagerA", static_cast<SC_HANDLE>(nullptr), [&]() -> SC_HANDLE {
        TRACE("services", "OpenSCManagerA %s %s access %#x", machine ? machine : "(local)", database ? database : "(null)",
              access);
        if (machine && *machine) {
            TRACE_UNSUPPORTED("services", "OpenSCManagerA on another machine: %s", machine);
            SetLastError(ERROR_NOT_SUPPORTED);
            return nullptr;
        }
        if (database && *database && lower(database) != "servicesactive") {
            SetLastError(ERROR_DATABASE_DOES_NOT_EXIST);
            return nullptr;
        }
        if (access & ~kManagerAccess) {
            TRACE_UNSUPPORTED("services", "OpenSCManagerA access %#x", access & ~kManagerAccess);
        }
        ScObject o;
        o.manager = true;
        o.access = mapped(access, true) | SC_MANAGER_CONNECT;
        return insert(std::move(o));
    });
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) {
    return guarded("OpenServiceA", static_cast<SC_HANDLE>(nullptr), [&]() -> SC_HANDLE {
        if (!use(manager, true, SC_MANAGER_CONNECT)) return nullptr;
        if (!validName(name)) {
            SetLastError(name ? ERROR_INVALID_NAME : ERROR_INVALID_ADDRESS);
            return nullptr;
        }
        TRACE("services", "OpenServiceA %s access %#x", name, access);
        if (registry().keyExists(kServicesKey + std::string(name)) != ERROR_SUCCESS) {
            SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
            return nullptr;
        }
        ScObject o;
        o.service = name;
        o.access = mapped(access, false);
        return insert(std::move(o));
    });
}

SC_HANDLE WINAPI CreateServiceA(SC_HANDLE manager, LPCSTR name, LPCSTR displayName, DWORD access, DWORD type,
                                DWORD startType, DWORD errorControl, LPCSTR binaryPath, LPCSTR loadOrderGroup,
                                LPDWORD tagId, LPCSTR dependencies, LPCSTR startName, LPCSTR password) {
    return guarded("CreateServiceA", static_cast<SC_HANDLE>(nullptr), [&]() -> SC_HANDLE {
        if (!use(manager, true, SC_MANAGER_CREATE_SERVICE)) return nullptr;
        if (!validName(name)) {
            SetLastError(name ? ERROR_INVALID_NAME : ERROR_INVALID_ADDRESS);
            return nullptr;
        }
        TRACE("services", "CreateServiceA %s type %#x start %#x error %#x path %s", name, type, startType, errorControl,
              binaryPath ? binaryPath : "(null)");
        if (type != SERVICE_KERNEL_DRIVER) {
            // Only driver services are ever installed on this PC.
            TRACE_UNSUPPORTED("services", "CreateServiceA service type %#x", type);
            SetLastError(type & ~0x13Fu ? ERROR_INVALID_PARAMETER : ERROR_NOT_SUPPORTED);
            return nullptr;
        }
        if (startType > SERVICE_DISABLED || errorControl > SERVICE_ERROR_CRITICAL || !binaryPath || !*binaryPath) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        if ((loadOrderGroup && *loadOrderGroup) || tagId || (dependencies && *dependencies) || (startName && *startName) ||
            password) {
            TRACE_UNSUPPORTED("services", "CreateServiceA %s", "load-order group, tag, dependencies or account");
            SetLastError(ERROR_NOT_SUPPORTED);
            return nullptr;
        }
        const std::string key = kServicesKey + std::string(name);
        if (registry().keyExists(key) == ERROR_SUCCESS) {
            SetLastError(isMarked(name) ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS);
            return nullptr;
        }
        bool created = false;
        // A driver's path is kept as the kernel names it: "\??\C:\...".
        std::string image = binaryPath;
        if (image.size() > 2 && image[1] == ':') image = "\\??\\" + image;
        long rc = registry().createKey(key, &created);
        if (rc == ERROR_SUCCESS) rc = registry().setValue(key, "Type", dwordOf(type));
        if (rc == ERROR_SUCCESS) rc = registry().setValue(key, "Start", dwordOf(startType));
        if (rc == ERROR_SUCCESS) rc = registry().setValue(key, "ErrorControl", dwordOf(errorControl));
        if (rc == ERROR_SUCCESS) rc = registry().setValue(key, "ImagePath", textOf(REG_EXPAND_SZ, image));
        if (rc == ERROR_SUCCESS) rc = registry().setValue(key, "DisplayName", textOf(REG_SZ, displayName ? displayName : name));
        if (rc != ERROR_SUCCESS) {
            SetLastError(static_cast<DWORD>(rc));
            return nullptr;
        }
        ScObject o;
        o.service = name;
        o.access = mapped(access, false);
        return insert(std::move(o));
    });
}

BOOL WINAPI StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR* argv) {
    return guarded("StartServiceA", FALSE, [&]() -> BOOL {
        auto o = use(service, false, SERVICE_START);
        if (!o) return FALSE;
        if (argc || argv) {
            TRACE_UNSUPPORTED("services", "StartServiceA with %u arguments", argc);
            SetLastError(ERROR_NOT_SUPPORTED);
            return FALSE;
        }
        TRACE("services", "StartServiceA %s", o->service.c_str());
        if (registry().keyExists(kServicesKey + o->service) != ERROR_SUCCESS) {
            SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
            return FALSE;
        }
        if (isMarked(o->service)) {
            SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
            return FALSE;
        }
        if (dwordValue(o->service, "Start") == SERVICE_DISABLED) {
            SetLastError(ERROR_SERVICE_DISABLED);
            return FALSE;
        }
        if (running(o->service)) {
            SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
            return FALSE;
        }
        const NTSTATUS status = lab::facade::hardware().loadRegisteredDriver(o->service);
        if (status == STATUS_OBJECT_NAME_COLLISION) {
            SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
            return FALSE;
        }
        if (!NT_SUCCESS(status)) {
            // The image is not there, is no driver, or its DriverEntry failed: the loader's status,
            // as the system reports it.
            SetLastError(status == STATUS_PROCEDURE_NOT_FOUND ? ERROR_BAD_EXE_FORMAT : RtlNtStatusToDosError(status));
            return FALSE;
        }
        return TRUE;
    });
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
    return guarded("QueryServiceStatus", FALSE, [&]() -> BOOL {
        auto o = use(service, false, SERVICE_QUERY_STATUS);
        if (!o) return FALSE;
        if (!status) {
            SetLastError(ERROR_INVALID_ADDRESS);
            return FALSE;
        }
        fillStatus(o->service, status);
        return TRUE;
    });
}

BOOL WINAPI ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    return guarded("ControlService", FALSE, [&]() -> BOOL {
        const DWORD needed = control == SERVICE_CONTROL_STOP ? SERVICE_STOP : SERVICE_INTERROGATE;
        auto o = use(service, false, needed);
        if (!o) return FALSE;
        if (!status) {
            SetLastError(ERROR_INVALID_ADDRESS);
            return FALSE;
        }
        TRACE("services", "ControlService %s control %u", o->service.c_str(), control);
        if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_INTERROGATE) {
            // A driver takes no other control.
            SetLastError(control > 0xFF ? ERROR_INVALID_PARAMETER : ERROR_INVALID_SERVICE_CONTROL);
            return FALSE;
        }
        lab::Hardware& hw = lab::facade::hardware();
        const lab::Hardware::ServiceState state = hw.serviceState(o->service);
        if (state == lab::Hardware::ServiceState::Stopped) {
            fillStatus(o->service, status);
            SetLastError(ERROR_SERVICE_NOT_ACTIVE);
            return FALSE;
        }
        if (control == SERVICE_CONTROL_INTERROGATE) {
            fillStatus(o->service, status);
            return TRUE;
        }
        // The PC's own drivers, and a driver that still has devices or no unload routine, stay.
        const NTSTATUS unloaded =
            state == lab::Hardware::ServiceState::Loaded ? hw.unloadDriver(o->service) : STATUS_INVALID_DEVICE_REQUEST;
        fillStatus(o->service, status);
        if (!NT_SUCCESS(unloaded)) {
            SetLastError(ERROR_INVALID_SERVICE_CONTROL);
            return FALSE;
        }
        deleteIfDue(o->service);
        return TRUE;
    });
}

BOOL WINAPI DeleteService(SC_HANDLE service) {
    return guarded("DeleteService", FALSE, [&]() -> BOOL {
        auto o = use(service, false, DELETE);
        if (!o) return FALSE;
        TRACE("services", "DeleteService %s", o->service.c_str());
        {
            Table& t = table();
            std::lock_guard<std::mutex> lock(t.mutex);
            if (!t.marked.emplace(lower(o->service), true).second) {
                SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
                return FALSE;
            }
        }
        deleteIfDue(o->service);
        return TRUE;
    });
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE object) {
    return guarded("CloseServiceHandle", FALSE, [&]() -> BOOL {
        std::optional<ScObject> o;
        {
            Table& t = table();
            std::lock_guard<std::mutex> lock(t.mutex);
            auto it = t.objects.find(reinterpret_cast<uintptr_t>(object));
            if (it != t.objects.end()) {
                o = it->second;
                t.objects.erase(it);
            }
        }
        if (!o) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (!o->manager) deleteIfDue(o->service);
        return TRUE;
    });
}

}  // extern "C"
