// The service switch: a reader's device node gets another service (and description) for one
// start, so that the helper driver, not the reader's own driver, is loaded for it; afterwards the
// saved values go back. Log lines carry the source unit KRD50N.
#include <cstring>
#include <initializer_list>

#include "helper_client.h"
#include "tarn_log.h"

namespace tarn {

namespace {

constexpr const char* kUnit = "KRD50N";
constexpr const char* kCompositeService = "TESSORA";

struct SavedValues {
    char service[kServiceValueSize] = {};
    char description[kServiceValueSize] = {};
    bool serviceWritten = false;  // the last ChangeService wrote a service that may need undoing
};
SavedValues& saved() {
    static SavedValues s;
    return s;
}

// A value as written to the node: the text, zero-padded to the full buffer.
struct PaddedValue {
    char bytes[kServiceValueSize] = {};
    explicit PaddedValue(const char* text) { std::strncpy(bytes, text ? text : "", sizeof bytes - 1); }
};

bool readProperty(HDEVINFO set, SP_DEVINFO_DATA* dev, DWORD property, char* out) {
    std::memset(out, 0, kServiceValueSize);
    const BOOL ok = SetupDiGetDeviceRegistryPropertyA(set, dev, property, nullptr, reinterpret_cast<BYTE*>(out),
                                                      kServiceValueSize, nullptr);
    out[kServiceValueSize - 1] = '\0';
    return ok;
}

bool writeProperty(HDEVINFO set, SP_DEVINFO_DATA* dev, DWORD property, const PaddedValue& value) {
    return SetupDiSetDeviceRegistryPropertyA(set, dev, property, reinterpret_cast<const BYTE*>(value.bytes),
                                             kServiceValueSize);
}

// Whether the grandchild under `child` names a reader of ours; false also when it cannot be read.
bool readerBelow(DEVINST child, bool* readFailed) {
    DEVINST grandchild = 0;
    *readFailed = false;
    if (CM_Get_Child(&grandchild, child, 0) != CR_SUCCESS) return false;
    char ids[kServiceValueSize] = {};
    ULONG length = sizeof ids - 2;
    if (CM_Get_DevNode_Registry_PropertyA(grandchild, CM_DRP_HARDWAREID, nullptr, ids, &length, 0) != CR_SUCCESS) {
        *readFailed = true;
        return false;
    }
    for (const char* id = ids; *id && id < ids + sizeof ids; id += std::strlen(id) + 1)
        if (std::strstr(id, "Tarn") || std::strstr(id, "QVX") || std::strstr(id, "KRD")) return true;
    return false;
}

// A composite device stands for the reader on one of its first two children: the search stops
// at the first child whose grandchild cannot be read or names one of our readers.
bool compositeHolds(DEVINST composite, DEVINST wanted) {
    DEVINST children[2] = {};
    if (CM_Get_Child(&children[0], composite, 0) != CR_SUCCESS) return false;
    const int count = CM_Get_Sibling(&children[1], children[0], 0) == CR_SUCCESS ? 2 : 1;
    for (int i = 0; i < count; ++i) {
        bool readFailed = false;
        if (readerBelow(children[i], &readFailed) || readFailed) return children[i] == wanted;
    }
    return false;
}

}  // namespace

const char* SavedService() { return saved().service; }
const char* SavedDescription() { return saved().description; }

int32_t ChangeService(DEVINST* devInst, const GUID* interfaceClass, const char* newService, const char* newDescription,
                      int32_t restart) {
    // The new values are copied first: a caller that changes a device back passes the saved
    // values, which this change overwrites with the ones it replaces.
    const PaddedValue service(newService);
    const PaddedValue description(newDescription);

    HDEVINFO set = SetupDiGetClassDevsA(interfaceClass, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE || !set) {
        const DWORD error = GetLastError();
        TARN_LOG_AT(kUnit, "%s(%i) :SetupDiGetClassDevs failed. Error: %xh.", error);
        return 0;
    }
    int32_t result = 0;
    for (DWORD member = 0;; ++member) {
        SP_DEVICE_INTERFACE_DATA itf{};
        itf.cbSize = sizeof itf;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, interfaceClass, member, &itf)) {
            const DWORD error = GetLastError();
            TARN_LOG_AT(kUnit, "%s(%i) :SetupDiEnumDeviceInterfaces failed. Error: %xh.", error);
            break;
        }
        alignas(8) char buffer[1024];
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVINFO_DATA dev{};
        dev.cbSize = sizeof dev;
        if (!SetupDiGetDeviceInterfaceDetailA(set, &itf, detail, sizeof buffer, nullptr, &dev)) {
            const DWORD error = GetLastError();
            TARN_LOG_AT(kUnit, "%s(%i) :SetupDiGetDeviceInterfaceDetail failed. Error: %xh.", error);
            continue;
        }
        bool throughParent = false;
        if (dev.DevInst != *devInst) {
            char memberService[kServiceValueSize];
            if (!readProperty(set, &dev, SPDRP_SERVICE, memberService) || std::strcmp(memberService, kCompositeService) != 0 ||
                !compositeHolds(dev.DevInst, *devInst))
                continue;
            throughParent = true;
        }
        SavedValues& s = saved();
        s.serviceWritten = false;
        if (readProperty(set, &dev, SPDRP_SERVICE, s.service) && readProperty(set, &dev, SPDRP_DEVICEDESC, s.description) &&
            (s.serviceWritten = writeProperty(set, &dev, SPDRP_SERVICE, service)) &&
            writeProperty(set, &dev, SPDRP_DEVICEDESC, description) && (!restart || RestartDevice(set, &dev))) {
            if (throughParent) *devInst = dev.DevInst;
            result = 1;
        }
        break;
    }
    SetupDiDestroyDeviceInfoList(set);
    return result;
}

int32_t ChangeServiceBack(DEVINST* devInst, const GUID* interfaceClass) {
    if (!saved().serviceWritten) return 1;
    char service[kServiceValueSize], description[kServiceValueSize];
    std::memcpy(service, saved().service, sizeof service);
    std::memcpy(description, saved().description, sizeof description);
    const int32_t result = ChangeService(devInst, interfaceClass, service, description, 0);
    // What the change back replaced (the helper's service) is nothing to undo.
    saved().serviceWritten = false;
    return result;
}

int32_t RestartDevice(HDEVINFO set, SP_DEVINFO_DATA* element) {
    for (DWORD change : {static_cast<DWORD>(DICS_STOP), static_cast<DWORD>(DICS_START)}) {
        SP_PROPCHANGE_PARAMS p{};
        p.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
        p.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
        p.StateChange = change;
        p.Scope = DICS_FLAG_CONFIGSPECIFIC;
        p.HwProfile = 0;
        if (!SetupDiSetClassInstallParamsA(set, element, &p.ClassInstallHeader, sizeof p) ||
            !SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, element))
            return 0;
    }
    SP_DEVINSTALL_PARAMS_A params{};
    params.cbSize = sizeof params;
    if (!SetupDiGetDeviceInstallParamsA(set, element, &params)) return 0;
    return (params.Flags & DI_NEEDREBOOT) ? 0 : 1;
}

}  // namespace tarn
