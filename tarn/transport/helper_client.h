// The plug-in's side of the helper driver DMHLP: installing and starting its service, opening and
// closing its control device, the requests the plug-in sends to it, and the service switch that
// makes DMHLP (not the reader's own driver) the function driver of a reader for one start.
#pragma once
#include <cstddef>
#include <cstdint>

#include <winsim/cfgmgr32.h>
#include <winsim/setupapi.h>
#include <winsim/windows.h>

#include "dmhlp_interface.h"

namespace tarn {

// The plug-in-wide handle of "\\.\DMHLPDRV", or INVALID_HANDLE_VALUE.
HANDLE& helperHandle();

// Registers (when needed) and starts the service `serviceName` for the image
// "<Windows>\System32\Drivers\<imageName>" and opens its control device into *handle. An already
// valid *handle is left as it is. 0, KPL_E_OS_FAMILY (202) off the NT family,
// KPL_E_HELPER_REGISTER (217) when the service cannot be registered, KPL_E_HELPER_START (219) when
// it cannot be started or its control device cannot be opened (*handle then stays invalid).
int32_t LoadHelperDriver(HANDLE* handle, const char* imageName, const char* serviceName);
// Closes the helper handle and stops the service, which stays registered. Always 0.
int32_t UnloadHelperDriver();

// ---- requests ------------------------------------------------------------------------------------
// Each sends one request on `helper` and answers DeviceIoControl's result (the last error set).
BOOL QueryDevice(HANDLE helper, dmhlp::QueryRecord* record);
// A query record for the device named `deviceName` (its physical device object name).
void PrepareQuery(dmhlp::QueryRecord* record, const char* deviceName, uint32_t retryCount, uint32_t platformId,
                  uint8_t dfuType);
BOOL SendDeviceObject(HANDLE helper, uint32_t deviceObject);
BOOL DetachDevice(HANDLE helper, uint32_t deviceObject);
BOOL CyclePort(HANDLE helper, uint32_t deviceObject);
BOOL ResetDevice(HANDLE helper, uint32_t deviceObject);
BOOL HookAddDevice(HANDLE helper, uint32_t kv7);
// A hub port request; *ntStatus (when given) receives the envelope's ntStatus. TRUE only when the
// request succeeded and ntStatus is 0.
BOOL HubPortRequest(HANDLE helper, dmhlp::HubPortRequest* request, uint32_t* ntStatus = nullptr);
// Switches a port of the named hub on or off.
BOOL SetPortPower(HANDLE helper, const char* hubName, uint16_t port, bool on);
BOOL HubPowerUp(HANDLE helper, const char* hubName);

// The core of KPLResetDevice: IOCTL_DMHLP_RESET_DEVICE for `deviceObject` (sent even when it is
// 0); nonzero on success, else the failure is logged.
int32_t ResetHelperDevice(HANDLE helper, uint32_t deviceObject);

// ---- the service switch --------------------------------------------------------------------------
inline constexpr size_t kServiceValueSize = 1024;

// Changes the service and description of the device whose instance is *devInst (or of the
// composite device it belongs to, whose instance *devInst then becomes) among the devices of the
// interface class; restarts it when `restart` is set. The values replaced are kept as the saved
// service and description. 1 on success, 0 on failure.
int32_t ChangeService(DEVINST* devInst, const GUID* interfaceClass, const char* newService, const char* newDescription,
                      int32_t restart);
// The change back: the saved service and description return to the device, without a restart,
// when the last ChangeService wrote a service (else there is nothing to undo and the answer is 1).
int32_t ChangeServiceBack(DEVINST* devInst, const GUID* interfaceClass);
const char* SavedService();
const char* SavedDescription();

// Stops and starts the device through its class installer; 1 when both went through and the
// device needs no reboot.
int32_t RestartDevice(HDEVINFO set, SP_DEVINFO_DATA* element);

}  // namespace tarn
