// The USB host controllers: enabling and disabling a device through its class installer, and the
// switch that takes the high-speed (EHCI) controllers out of the way for the whole run, so that
// readers run on the full-speed companions, where their boot loaders behave.
#pragma once
#include <cstdint>

#include <winsim/windows.h>

namespace tarn {

// Enables or disables member `member` of the devices of an interface class (present or not);
// true unless a step failed or the system asks for a restart.
bool SetDeviceEnabled(const GUID& interfaceClass, DWORD member, bool enable);

// Enables or disables the EHCI host controllers. After disabling, waits up to 60 pauses of a
// second for the USB devices and drives to be back on the other controllers: 0 when they are; when
// they are not, every host controller is disabled and enabled again and the result is 624.
int32_t SwitchHighSpeedControllers(bool enable);

}  // namespace tarn
