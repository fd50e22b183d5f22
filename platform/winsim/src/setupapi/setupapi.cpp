// SetupAPI: device information sets over the lab's device tree. A set holds the devices found
// when it was made; properties, interfaces and state are read from the tree when asked, as
// Windows reads them from the live system.
#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>

#include <winsim/devguid.h>
#include <winsim/setupapi.h>

#include "devices.h"
#include "handle_table.h"
#include "trace.h"

namespace winsim {

namespace {

struct Element {
    DWORD devInst = 0;
    GUID classGuid{};
    std::vector<uint8_t> params;  // class-install parameters, as the caller gave them
    DWORD installFlags = 0;
};

struct DeviceSet {
    bool presentOnly = false;
    std::vector<Element> devices;
    std::vector<lab::InterfaceInfo> interfaces;  // handed out through SP_DEVICE_INTERFACE_DATA.Reserved
};

// Apart from kernel handles and HKEYs.
using SetTable = SetupHandleTable<DeviceSet, 0x40000000>;

SetTable& sets() {
    static auto* t = new SetTable;
    return *t;
}

// Sets are used by one thread at a time, as on Windows; the lock guards the table and the
// sets' contents against a caller that shares them anyway.
std::recursive_mutex& setMutex() {
    static auto* m = new std::recursive_mutex;
    return *m;
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// A flag or value the subset does not have: said on the trace channel, and ERROR_NOT_SUPPORTED.
BOOL unsupported(const char* function, const char* what, uint64_t value) {
    TRACE_UNSUPPORTED("setupapi", "%s: %s %#llx", function, what, static_cast<unsigned long long>(value));
    return fail(ERROR_NOT_SUPPORTED);
}

template <class F>
BOOL guarded(F&& f) {
    return winsim::guarded("setupapi", FALSE, std::forward<F>(f));
}

std::shared_ptr<DeviceSet> setOf(HDEVINFO h) {
    auto s = sets().find(h);
    if (!s) SetLastError(ERROR_INVALID_HANDLE);
    return s;
}

// The element a caller's SP_DEVINFO_DATA names, or null with the last error set.
Element* elementOf(DeviceSet& set, const SP_DEVINFO_DATA* data) {
    if (!data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return nullptr;
    }
    if (data->Reserved == 0 || data->Reserved > set.devices.size() || set.devices[data->Reserved - 1].devInst != data->DevInst) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return &set.devices[data->Reserved - 1];
}

size_t addElement(DeviceSet& set, DWORD devInst) {
    for (size_t i = 0; i < set.devices.size(); ++i)
        if (set.devices[i].devInst == devInst) return i;
    Element e;
    e.devInst = devInst;
    if (auto n = hardware().node(devInst)) e.classGuid = n->classGuid;
    set.devices.push_back(e);
    return set.devices.size() - 1;
}

void fillDevInfo(const DeviceSet& set, size_t index, SP_DEVINFO_DATA* data) {
    data->ClassGuid = set.devices[index].classGuid;
    data->DevInst = set.devices[index].devInst;
    data->Reserved = index + 1;
}

ULONG_PTR addInterfaceRecord(DeviceSet& set, const lab::InterfaceInfo& itf) {
    for (size_t i = 0; i < set.interfaces.size(); ++i)
        if (set.interfaces[i].symbolicLink == itf.symbolicLink) {
            set.interfaces[i] = itf;
            return i + 1;
        }
    set.interfaces.push_back(itf);
    return set.interfaces.size();
}

void fillInterfaceData(const lab::InterfaceInfo& itf, ULONG_PTR record, SP_DEVICE_INTERFACE_DATA* data) {
    data->InterfaceClassGuid = itf.interfaceClass;
    data->Flags = itf.active ? SPINT_ACTIVE : 0;
    data->Reserved = record;
}

const lab::InterfaceInfo* interfaceOf(DeviceSet& set, const SP_DEVICE_INTERFACE_DATA* data) {
    if (!data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return nullptr;
    }
    if (data->Reserved == 0 || data->Reserved > set.interfaces.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return &set.interfaces[data->Reserved - 1];
}

bool matchesEnumerator(const std::string& instanceId, const std::string& enumerator) {
    if (enumerator.empty()) return true;
    return equalsNoCase(instanceId, enumerator) || equalsNoCase(instanceId.substr(0, instanceId.find('\\')), enumerator);
}

HDEVINFO getClassDevs(const GUID* guid, const std::string& enumerator, DWORD flags) {
    TRACE("setupapi", "SetupDiGetClassDevs enumerator '%s' flags %#x", enumerator.c_str(), flags);
    if (flags & ~static_cast<DWORD>(DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_DEVICEINTERFACE)) {
        unsupported("SetupDiGetClassDevs", "flags", flags & ~static_cast<DWORD>(DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_DEVICEINTERFACE));
        return INVALID_HANDLE_VALUE;
    }
    const bool all = flags & DIGCF_ALLCLASSES;
    if (!all && !guid) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_shared<DeviceSet>();
    set->presentOnly = flags & DIGCF_PRESENT;
    lab::Hardware& hw = hardware();
    for (const lab::NodeInfo& n : hw.nodes()) {
        if (n.instanceId.rfind("HTREE\\", 0) == 0) continue;  // the tree's root is no device
        if (set->presentOnly && !n.present) continue;
        if (!matchesEnumerator(n.instanceId, enumerator)) continue;
        if (flags & DIGCF_DEVICEINTERFACE) {
            bool has = false;
            for (const lab::InterfaceInfo& itf : hw.interfaces(n.devInst))
                has = has || ((all || IsEqualGUID(itf.interfaceClass, *guid)) && (itf.active || !set->presentOnly));
            if (!has) continue;
        } else if (!all && !IsEqualGUID(n.classGuid, *guid)) {
            continue;
        }
        Element e;
        e.devInst = n.devInst;
        e.classGuid = n.classGuid;
        set->devices.push_back(e);
    }
    HDEVINFO h = sets().insert(std::move(set));
    SetLastError(ERROR_SUCCESS);
    return h;
}

// Copies a property in the form of the "A" or "W" call.
std::vector<uint8_t> propertyBytes(const lab::PropertyValue& v, bool wide) {
    if (!wide || (v.type != REG_SZ && v.type != REG_MULTI_SZ && v.type != REG_EXPAND_SZ)) return v.data;
    const std::u16string w = utf8ToUtf16(std::string(v.data.begin(), v.data.end()));
    std::vector<uint8_t> out(w.size() * sizeof(char16_t));
    std::memcpy(out.data(), w.data(), out.size());
    return out;
}

BOOL getRegistryProperty(HDEVINFO h, PSP_DEVINFO_DATA data, DWORD property, PDWORD type, PBYTE buffer, DWORD size,
                         PDWORD required, bool wide) {
    return guarded([&] {
        auto set = setOf(h);
        if (!set) return FALSE;
        std::lock_guard<std::recursive_mutex> lock(setMutex());
        Element* e = elementOf(*set, data);
        if (!e) return FALSE;
        if (property >= SPDRP_MAXIMUM_PROPERTY) return fail(ERROR_INVALID_REG_PROPERTY);
        if (!buffer && size) return fail(ERROR_INVALID_USER_BUFFER);
        lab::PropertyValue value;
        if (uint32_t error = hardware().property(e->devInst, property, &value)) return fail(error);
        const std::vector<uint8_t> bytes = propertyBytes(value, wide);
        if (type) *type = value.type;
        if (required) *required = static_cast<DWORD>(bytes.size());
        if (size < bytes.size()) return fail(ERROR_INSUFFICIENT_BUFFER);
        std::memcpy(buffer, bytes.data(), bytes.size());
        return TRUE;
    });
}

template <class Char>
BOOL interfaceDetail(HDEVINFO h, PSP_DEVICE_INTERFACE_DATA itfData, void* detail, DWORD size, PDWORD required,
                     PSP_DEVINFO_DATA devData, DWORD detailSize) {
    return guarded([&] {
        auto set = setOf(h);
        if (!set) return FALSE;
        std::lock_guard<std::recursive_mutex> lock(setMutex());
        const lab::InterfaceInfo* itf = interfaceOf(*set, itfData);
        if (!itf) return FALSE;
        // cbSize tells the structure's version: it must be the size of the fixed part of this
        // build's layout, never the size of the whole buffer.
        constexpr DWORD offset = sizeof(DWORD);
        if ((!detail && size) || (detail && (*static_cast<DWORD*>(detail) != detailSize || size < offset + sizeof(Char))))
            return fail(ERROR_INVALID_USER_BUFFER);
        if (devData && devData->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
        std::basic_string<Char> path;
        if constexpr (sizeof(Char) == 1) {
            path = itf->symbolicLink;
        } else {
            path = utf8ToUtf16(itf->symbolicLink);
        }
        const DWORD needed = offset + static_cast<DWORD>((path.size() + 1) * sizeof(Char));
        if (required) *required = needed;
        if (devData) fillDevInfo(*set, addElement(*set, itf->devInst), devData);
        if (!detail || size < needed) return fail(ERROR_INSUFFICIENT_BUFFER);
        std::memcpy(static_cast<uint8_t*>(detail) + offset, path.c_str(), (path.size() + 1) * sizeof(Char));
        return TRUE;
    });
}

template <class Char>
BOOL copyText(const std::string& text, Char* buffer, DWORD size, PDWORD required) {
    std::basic_string<Char> s;
    if constexpr (sizeof(Char) == 1) {
        s = text;
    } else {
        s = utf8ToUtf16(text);
    }
    if (!buffer && size) return fail(ERROR_INVALID_USER_BUFFER);
    if (required) *required = static_cast<DWORD>(s.size() + 1);
    if (size < s.size() + 1) return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, s.c_str(), (s.size() + 1) * sizeof(Char));
    return TRUE;
}

template <class Char>
BOOL instanceId(HDEVINFO h, PSP_DEVINFO_DATA data, Char* buffer, DWORD size, PDWORD required) {
    return guarded([&] {
        auto set = setOf(h);
        if (!set) return FALSE;
        std::lock_guard<std::recursive_mutex> lock(setMutex());
        Element* e = elementOf(*set, data);
        if (!e) return FALSE;
        auto n = hardware().node(e->devInst);
        if (!n) return fail(ERROR_NO_SUCH_DEVINST);
        return copyText<Char>(n->instanceId, buffer, size, required);
    });
}

const char* classDescription(const GUID& g) {
    struct Entry {
        const GUID* guid;
        const char* text;
    };
    static const Entry table[] = {
        {&GUID_DEVCLASS_CDROM, "DVD/CD-ROM drives"},
        {&GUID_DEVCLASS_DISKDRIVE, "Disk drives"},
        {&GUID_DEVCLASS_HDC, "IDE ATA/ATAPI controllers"},
        {&GUID_DEVCLASS_SCSIADAPTER, "SCSI and RAID controllers"},
        {&GUID_DEVCLASS_SYSTEM, "System devices"},
        {&GUID_DEVCLASS_UNKNOWN, "Other devices"},
        {&GUID_DEVCLASS_USB, "Universal Serial Bus controllers"},
        {&GUID_DEVCLASS_VOLUME, "Storage volumes"},
    };
    for (const Entry& e : table)
        if (IsEqualGUID(*e.guid, g)) return e.text;
    return nullptr;
}

template <class Char>
BOOL classDescriptionOf(const GUID* guid, Char* buffer, DWORD size, PDWORD required) {
    return guarded([&] {
        if (!guid) return fail(ERROR_INVALID_PARAMETER);
        const char* text = classDescription(*guid);
        if (!text) return fail(ERROR_INVALID_CLASS);
        return copyText<Char>(text, buffer, size, required);
    });
}

BOOL setClassInstallParams(HDEVINFO h, PSP_DEVINFO_DATA data, PSP_CLASSINSTALL_HEADER params, DWORD size) {
    return guarded([&] {
        auto set = setOf(h);
        if (!set) return FALSE;
        // Parameters for the whole set would apply to every device; nothing here needs them.
        if (!data) return unsupported(__func__, "parameters for a whole set", 0);
        std::lock_guard<std::recursive_mutex> lock(setMutex());
        Element* e = elementOf(*set, data);
        if (!e) return FALSE;
        if (!params) {
            if (size) return fail(ERROR_INVALID_PARAMETER);
            e->params.clear();
            return TRUE;
        }
        if (params->cbSize != sizeof(SP_CLASSINSTALL_HEADER)) return fail(ERROR_INVALID_USER_BUFFER);
        if (params->InstallFunction == DIF_PROPERTYCHANGE) {
            if (size != sizeof(SP_PROPCHANGE_PARAMS)) return fail(ERROR_INVALID_PARAMETER);
            const auto* p = reinterpret_cast<const SP_PROPCHANGE_PARAMS*>(params);
            if (p->StateChange < DICS_ENABLE || p->StateChange > DICS_STOP) return fail(ERROR_INVALID_PARAMETER);
            if (p->Scope != DICS_FLAG_GLOBAL && p->Scope != DICS_FLAG_CONFIGSPECIFIC)
                return unsupported("SetupDiSetClassInstallParams", "scope", p->Scope);
            if ((p->StateChange == DICS_START || p->StateChange == DICS_STOP) && p->Scope != DICS_FLAG_CONFIGSPECIFIC)
                return fail(ERROR_INVALID_FLAGS);
            // One hardware profile: the current one.
            if (p->HwProfile != 0) return unsupported("SetupDiSetClassInstallParams", "hardware profile", p->HwProfile);
        } else if (params->InstallFunction == DIF_REMOVE) {
            if (size != sizeof(SP_REMOVEDEVICE_PARAMS)) return fail(ERROR_INVALID_PARAMETER);
            const auto* p = reinterpret_cast<const SP_REMOVEDEVICE_PARAMS*>(params);
            if (p->Scope != DI_REMOVEDEVICE_GLOBAL && p->Scope != DI_REMOVEDEVICE_CONFIGSPECIFIC)
                return fail(ERROR_INVALID_PARAMETER);
            if (p->HwProfile != 0) return unsupported("SetupDiSetClassInstallParams", "hardware profile", p->HwProfile);
        } else {
            return unsupported("SetupDiSetClassInstallParams", "install function", params->InstallFunction);
        }
        e->params.assign(reinterpret_cast<const uint8_t*>(params), reinterpret_cast<const uint8_t*>(params) + size);
        return TRUE;
    });
}

template <class Params>
BOOL installParams(HDEVINFO h, PSP_DEVINFO_DATA data, Params* params) {
    return guarded([&] {
        auto set = setOf(h);
        if (!set) return FALSE;
        if (!params) return fail(ERROR_INVALID_PARAMETER);
        if (params->cbSize != sizeof(Params)) return fail(ERROR_INVALID_USER_BUFFER);
        std::lock_guard<std::recursive_mutex> lock(setMutex());
        DWORD flags = 0;
        if (data) {
            Element* e = elementOf(*set, data);
            if (!e) return FALSE;
            flags = e->installFlags;
        }
        std::memset(params, 0, sizeof(Params));
        params->cbSize = sizeof(Params);
        params->Flags = flags;
        return TRUE;
    });
}

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* guid, PCSTR enumerator, HWND, DWORD flags) {
    return winsim::guarded(__func__, INVALID_HANDLE_VALUE,
                           [&] { return getClassDevs(guid, enumerator ? enumerator : "", flags); });
}

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* guid, PCWSTR enumerator, HWND, DWORD flags) {
    return winsim::guarded(__func__, INVALID_HANDLE_VALUE,
                           [&] { return getClassDevs(guid, enumerator ? utf16ToUtf8(enumerator) : "", flags); });
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO h) {
    if (!sets().remove(h)) return fail(ERROR_INVALID_HANDLE);
    return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO h, DWORD index, PSP_DEVINFO_DATA data) {
    auto set = setOf(h);
    if (!set) return FALSE;
    if (!data) return fail(ERROR_INVALID_PARAMETER);
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
    std::lock_guard<std::recursive_mutex> lock(setMutex());
    if (index >= set->devices.size()) return fail(ERROR_NO_MORE_ITEMS);
    fillDevInfo(*set, index, data);
    return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO h, PSP_DEVINFO_DATA devData, const GUID* guid, DWORD index,
                                        PSP_DEVICE_INTERFACE_DATA itfData) {
    return guarded([&] {
        auto set = setOf(h);
        if (!set) return FALSE;
        if (!guid || !itfData) return fail(ERROR_INVALID_PARAMETER);
        if (itfData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
        std::lock_guard<std::recursive_mutex> lock(setMutex());
        std::vector<DWORD> devices;
        if (devData) {
            Element* e = elementOf(*set, devData);
            if (!e) return FALSE;
            devices.push_back(e->devInst);
        } else {
            for (const Element& e : set->devices) devices.push_back(e.devInst);
        }
        DWORD seen = 0;
        for (DWORD d : devices)
            for (const lab::InterfaceInfo& itf : hardware().interfaces(d)) {
                if (!IsEqualGUID(itf.interfaceClass, *guid) || (set->presentOnly && !itf.active)) continue;
                if (seen++ != index) continue;
                fillInterfaceData(itf, addInterfaceRecord(*set, itf), itfData);
                return TRUE;
            }
        return fail(ERROR_NO_MORE_ITEMS);
    });
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO h, PSP_DEVICE_INTERFACE_DATA itfData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size, PDWORD required,
                                             PSP_DEVINFO_DATA devData) {
    return interfaceDetail<char>(h, itfData, detail, size, required, devData, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO h, PSP_DEVICE_INTERFACE_DATA itfData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size, PDWORD required,
                                             PSP_DEVINFO_DATA devData) {
    return interfaceDetail<char16_t>(h, itfData, detail, size, required, devData,
                                     sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
}

BOOL WINAPI SetupDiOpenDeviceInterfaceA(HDEVINFO h, PCSTR path, DWORD flags, PSP_DEVICE_INTERFACE_DATA itfData) {
    return guarded([&] {
        auto set = setOf(h);
        if (!set) return FALSE;
        TRACE("setupapi", "SetupDiOpenDeviceInterface %s flags %#x", path ? path : "(null)", flags);
        if (flags & ~static_cast<DWORD>(DIODI_NO_ADD)) return unsupported(__func__, "flags", flags);
        if (!path) return fail(ERROR_INVALID_PARAMETER);
        if (itfData && itfData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
        auto itf = hardware().interfaceByPath(path);
        if (!itf) return fail(ERROR_NO_SUCH_DEVICE_INTERFACE);
        std::lock_guard<std::recursive_mutex> lock(setMutex());
        if (!(flags & DIODI_NO_ADD)) addElement(*set, itf->devInst);
        const ULONG_PTR record = addInterfaceRecord(*set, *itf);
        if (itfData) fillInterfaceData(*itf, record, itfData);
        return TRUE;
    });
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO h, PSP_DEVINFO_DATA data, DWORD property, PDWORD type,
                                              PBYTE buffer, DWORD size, PDWORD required) {
    return getRegistryProperty(h, data, property, type, buffer, size, required, false);
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO h, PSP_DEVINFO_DATA data, DWORD property, PDWORD type,
                                              PBYTE buffer, DWORD size, PDWORD required) {
    return getRegistryProperty(h, data, property, type, buffer, size, required, true);
}

BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO h, PSP_DEVINFO_DATA data, DWORD property, const BYTE* buffer,
                                              DWORD size) {
    return guarded([&] {
        auto set = setOf(h);
        if (!set) return FALSE;
        if (!buffer && size) return fail(ERROR_INVALID_PARAMETER);
        std::lock_guard<std::recursive_mutex> lock(setMutex());
        Element* e = elementOf(*set, data);
        if (!e) return FALSE;
        if (property >= SPDRP_MAXIMUM_PROPERTY) return fail(ERROR_INVALID_REG_PROPERTY);
        lab::PropertyValue value;
        if (property == SPDRP_CONFIGFLAGS) {
            if (size != sizeof(DWORD)) return fail(ERROR_INVALID_PARAMETER);
            value.type = REG_DWORD;
            value.data.assign(buffer, buffer + size);
        } else if (property == SPDRP_UPPERFILTERS || property == SPDRP_LOWERFILTERS || property == SPDRP_HARDWAREID ||
                   property == SPDRP_COMPATIBLEIDS) {
            value.type = REG_MULTI_SZ;
            if (size) value.data.assign(buffer, buffer + size);
        } else if (size) {
            // A text property keeps its text up to the first terminator, however large the
            // buffer it came in.
            value.type = REG_SZ;
            const BYTE* end = static_cast<const BYTE*>(std::memchr(buffer, 0, size));
            value.data.assign(buffer, end ? end : buffer + size);
            value.data.push_back(0);
        }
        if (uint32_t error = hardware().setProperty(e->devInst, property, value)) return fail(error);
        return TRUE;
    });
}

BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO h, PSP_DEVINFO_DATA data, PSTR buffer, DWORD size, PDWORD required) {
    return instanceId<char>(h, data, buffer, size, required);
}

BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO h, PSP_DEVINFO_DATA data, PWSTR buffer, DWORD size, PDWORD required) {
    return instanceId<char16_t>(h, data, buffer, size, required);
}

BOOL WINAPI SetupDiGetClassDescriptionA(const GUID* guid, PSTR buffer, DWORD size, PDWORD required) {
    return classDescriptionOf<char>(guid, buffer, size, required);
}

BOOL WINAPI SetupDiGetClassDescriptionW(const GUID* guid, PWSTR buffer, DWORD size, PDWORD required) {
    return classDescriptionOf<char16_t>(guid, buffer, size, required);
}

BOOL WINAPI SetupDiSetClassInstallParamsA(HDEVINFO h, PSP_DEVINFO_DATA data, PSP_CLASSINSTALL_HEADER params,
                                          DWORD size) {
    return setClassInstallParams(h, data, params, size);
}

BOOL WINAPI SetupDiSetClassInstallParamsW(HDEVINFO h, PSP_DEVINFO_DATA data, PSP_CLASSINSTALL_HEADER params,
                                          DWORD size) {
    return setClassInstallParams(h, data, params, size);
}

BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO h, PSP_DEVINFO_DATA data) {
    return guarded([&] {
        auto set = setOf(h);
        if (!set) return FALSE;
        TRACE("setupapi", "SetupDiCallClassInstaller function %#x", function);
        if (function != DIF_PROPERTYCHANGE && function != DIF_REMOVE) return unsupported(__func__, "function", function);
        std::lock_guard<std::recursive_mutex> lock(setMutex());
        Element* e = elementOf(*set, data);
        if (!e) return FALSE;
        SP_CLASSINSTALL_HEADER header{};
        if (e->params.size() >= sizeof header) std::memcpy(&header, e->params.data(), sizeof header);
        if (function == DIF_PROPERTYCHANGE && (e->params.empty() || header.InstallFunction != DIF_PROPERTYCHANGE))
            return fail(ERROR_NO_CLASSINSTALL_PARAMS);
        bool needsReboot = false;
        uint32_t error;
        if (function == DIF_PROPERTYCHANGE) {
            SP_PROPCHANGE_PARAMS p;
            std::memcpy(&p, e->params.data(), sizeof p);
            static const lab::StateChange changes[] = {lab::StateChange::Enable, lab::StateChange::Disable,
                                                       lab::StateChange::Restart, lab::StateChange::Start,
                                                       lab::StateChange::Stop};
            error = hardware().changeState(e->devInst, changes[p.StateChange - DICS_ENABLE], &needsReboot);
        } else {
            // Without parameters a removal is global, as Windows does it.
            error = hardware().remove(e->devInst, &needsReboot);
        }
        if (error) return fail(error);
        if (needsReboot) e->installFlags |= DI_NEEDREBOOT;
        return TRUE;
    });
}

BOOL WINAPI SetupDiGetDeviceInstallParamsA(HDEVINFO h, PSP_DEVINFO_DATA data, PSP_DEVINSTALL_PARAMS_A params) {
    return installParams(h, data, params);
}

BOOL WINAPI SetupDiGetDeviceInstallParamsW(HDEVINFO h, PSP_DEVINFO_DATA data, PSP_DEVINSTALL_PARAMS_W params) {
    return installParams(h, data, params);
}

}  // extern "C"
