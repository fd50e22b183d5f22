// Finding and binding the plug-ins, and their device lists.
#pragma once
#include "app.h"

namespace zelfin {

// Binds every "KPL*.DLL" of the current folder (at most four): 0 when at least one is bound,
// kNoPluginFiles when no file matches, kNoPluginBound when none could be bound.
int32_t bindPlugins();
// Calls every plug-in's KPLCreateDeviceInfoList and counts the devices.
HostStatus createDeviceLists();
// Calls every plug-in's KPLDestroyDeviceInfoList and clears the lists. A failure is shown at once,
// unless `showFailures` is false; the status of the last plug-in is returned either way.
HostStatus destroyDeviceLists(bool showFailures = true);
// Unloads every plug-in module.
void unloadPlugins();
// Whether a plug-in offers upload for its devices: it lacks KPLIsUploadSupported or answers 0.
bool offersUpload(const PluginSlot& slot);
// Number of entries up to the first empty name, at most 30.
uint8_t countDevices(const DeviceInfoList& list);

}  // namespace zelfin
