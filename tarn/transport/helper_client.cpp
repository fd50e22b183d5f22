#include "helper_client.h"

#include <cstdio>
#include <cstring>

#include <devaccess/sysutil.h>
#include <plugin-api/kpl.h>
#include <winsim/winioctl.h>
#include <winsim/winsvc.h>

#include "tarn_log.h"

namespace tarn {

namespace {

constexpr int32_t kPlatformNt = 1;

// Whether the service reports that it runs.
bool serviceRunning(SC_HANDLE service) {
    SERVICE_STATUS status{};
    return QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING;
}

// Registers the service with the image in the system's driver folder: 0 or 217.
int32_t registerService(SC_HANDLE manager, const char* imageName, const char* serviceName) {
    char windows[MAX_PATH];
    if (!GetWindowsDir(windows)) return KPL_E_HELPER_REGISTER;
    char image[MAX_PATH];
    const int n = std::snprintf(image, sizeof image, "%s\\System32\\Drivers\\%s", windows, imageName);
    if (n < 0 || static_cast<size_t>(n) >= sizeof image) return KPL_E_HELPER_REGISTER;
    SC_HANDLE service = CreateServiceA(manager, serviceName, serviceName, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, image, nullptr, nullptr, nullptr,
                                       nullptr, nullptr);
    if (!service) return KPL_E_HELPER_REGISTER;
    CloseServiceHandle(service);
    return 0;
}

BOOL deviceRequest(HANDLE helper, DWORD code, uint32_t value) {
    DWORD returned = 0;
    return DeviceIoControl(helper, code, &value, sizeof value, nullptr, 0, &returned, nullptr);
}

}  // namespace

HANDLE& helperHandle() {
    static HANDLE handle = INVALID_HANDLE_VALUE;
    return handle;
}

int32_t LoadHelperDriver(HANDLE* handle, const char* imageName, const char* serviceName) {
    char device[MAX_PATH];
    const int n = std::snprintf(device, sizeof device, "\\\\.\\%s", serviceName);
    if (n < 0 || static_cast<size_t>(n) >= sizeof device) return KPL_E_HELPER_START;
    if (*handle != INVALID_HANDLE_VALUE) return 0;
    if (GetPlatformId() != kPlatformNt) return KPL_E_OS_FAMILY;

    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return KPL_E_HELPER_REGISTER;
    SC_HANDLE existing = OpenServiceA(manager, serviceName, SERVICE_ALL_ACCESS);
    if (existing) {
        CloseServiceHandle(existing);
    } else if (const int32_t status = registerService(manager, imageName, serviceName); status != 0) {
        CloseServiceHandle(manager);
        return status;
    }
    SC_HANDLE service = OpenServiceA(manager, serviceName, SERVICE_QUERY_STATUS | SERVICE_START);
    const bool started = service && (serviceRunning(service) || StartServiceA(service, 0, nullptr));
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (!started) return KPL_E_HELPER_START;

    // A started service whose control device cannot be opened is of no use to any request: the
    // caller learns it here, not from every request it would send with an invalid handle.
    *handle = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    return *handle == INVALID_HANDLE_VALUE ? KPL_E_HELPER_START : 0;
}

int32_t UnloadHelperDriver() {
    HANDLE& handle = helperHandle();
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
    if (GetPlatformId() != kPlatformNt) return 0;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return 0;
    if (SC_HANDLE service = OpenServiceA(manager, dmhlp::kServiceName, SERVICE_ALL_ACCESS)) {
        SERVICE_STATUS status{};
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return 0;
}

void PrepareQuery(dmhlp::QueryRecord* record, const char* deviceName, uint32_t retryCount, uint32_t platformId,
                  uint8_t dfuType) {
    std::memset(record, 0, sizeof *record);
    record->size = dmhlp::kQueryRecordSize;
    std::snprintf(record->deviceName, sizeof record->deviceName, "%s", deviceName);
    record->retryCount = retryCount;
    record->platformId = platformId;
    record->dfuType = dfuType;
}

BOOL QueryDevice(HANDLE helper, dmhlp::QueryRecord* record) {
    DWORD returned = 0;
    return DeviceIoControl(helper, kIoctlDmhlpQueryDfuCapab, record, sizeof *record, record, sizeof *record, &returned,
                           nullptr);
}

BOOL SendDeviceObject(HANDLE helper, uint32_t deviceObject) {
    return deviceRequest(helper, kIoctlDmhlpSendDeviceObject, deviceObject);
}
BOOL DetachDevice(HANDLE helper, uint32_t deviceObject) { return deviceRequest(helper, kIoctlDmhlpDetach, deviceObject); }
BOOL CyclePort(HANDLE helper, uint32_t deviceObject) { return deviceRequest(helper, kIoctlDmhlpCyclePort, deviceObject); }
BOOL ResetDevice(HANDLE helper, uint32_t deviceObject) { return deviceRequest(helper, kIoctlDmhlpResetDevice, deviceObject); }
BOOL HookAddDevice(HANDLE helper, uint32_t kv7) { return deviceRequest(helper, kIoctlDmhlpHookAddDevice, kv7); }

BOOL HubPortRequest(HANDLE helper, dmhlp::HubPortRequest* request, uint32_t* ntStatus) {
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(helper, kIoctlDmhlpHubPortRequest, request, sizeof *request, request, sizeof *request,
                                    &returned, nullptr);
    const uint32_t nt = request->envelope.ntStatus;
    if (ntStatus) *ntStatus = nt;
    return ok && nt == 0;
}

BOOL SetPortPower(HANDLE helper, const char* hubName, uint16_t port, bool on) {
    dmhlp::HubPortRequest r{};
    std::snprintf(r.hubName, sizeof r.hubName, "%s", hubName);
    r.envelope.kind = kKindControl;
    r.envelope.urbFunction = kUrbClassOther;
    r.envelope.bRequest = on ? dmhlp::kHubSetFeature : dmhlp::kHubClearFeature;
    r.envelope.wValue = dmhlp::kHubPortPower;
    r.envelope.wIndex = port;
    return HubPortRequest(helper, &r);
}

BOOL HubPowerUp(HANDLE helper, const char* hubName) {
    DWORD returned = 0;
    return DeviceIoControl(helper, kIoctlDmhlpHubPowerUp, const_cast<char*>(hubName),
                           static_cast<DWORD>(std::strlen(hubName)), nullptr, 0, &returned, nullptr);
}

int32_t ResetHelperDevice(HANDLE helper, uint32_t deviceObject) {
    if (ResetDevice(helper, deviceObject)) return 1;
    const DWORD error = GetLastError();
    TARN_LOG_AT("kpltarn", "%s(%i) :IOCTL_DMHLP_RESET_DEVICE failed. Error: %xh.", error);
    return 0;
}

}  // namespace tarn
