// The flows a run can take after start-up: exactly one runs per process.
#pragma once
#include <cstdint>

namespace zelfin {

// The configuration read at start-up: 1 when a file exists and was read successfully.
int32_t readStartupConfiguration();
// "/CE": the configuration editor as the main window.
void runConfigEditor();
// "/DI": the device information dialog (the device lists are made by the caller).
void runDeviceInfo();
// A configured (unattended) update from the configuration file.
void runConfiguredUpdate();
// The interactive main dialog.
void runInteractive();

}  // namespace zelfin
