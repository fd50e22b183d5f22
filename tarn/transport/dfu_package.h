// The Tarn DFU driver package (TARNDFU.INF and TARNDFU.SYS beside the plug-in): put where the
// system's Plug and Play manager finds it at every scan, and forced onto attached readers that it
// lists but that run another driver — at a scan, and in the background while a mode switch waits
// for a reader that came back on the generic mass-storage driver.
#pragma once
#include <atomic>
#include <cstdint>

#include <winsim/windows.h>

#include "arrival_state.h"

namespace tarn {

// Identifiers of present USB devices on one service: the first hardware identifier of each.
constexpr int kMaxCollectedIds = 127;
struct CollectedIds {
    char id[kMaxCollectedIds][MAX_PATH];
};

// Copies the INF into the system's store and TARNDFU.SYS into the drivers folder of `windowsDir`;
// 0, or 222 (KPL_E_DRIVER_PACKAGE).
int32_t InstallDfuPackage(const char* windowsDir);
// The first hardware identifiers of the present USB devices whose service is `service` (without
// regard to case); their number, 0 to 127.
int CollectServiceHwIds(CollectedIds& list, const char* service);
// 1 when some identifier of the package's table is contained in some collected one, without
// regard to case (both are upper-cased in place), else 0.
int HwIdTableMatches(CollectedIds& list, int count);
// Binds the package's driver to the present devices of every table identifier that a collected
// identifier contains, until a reader arrives in upgrade mode (the arrival state) or *stop is set.
void UpdateDfuDriver(CollectedIds& list, int count, const std::atomic<int32_t>* stop);
// The update thread's one pass over the readers on the generic mass-storage driver, until a
// reader arrives in upgrade mode or the wait says stop; it signals its end on the context. 0.
DWORD UpdateThread(WaitContext& context);
// The forced updates of a scan: the readers on the generic mass-storage driver, then those already
// on the DFU driver (so that a newer package replaces what an older one bound).
void ForceDfuDriverOnListedDevices();

}  // namespace tarn
