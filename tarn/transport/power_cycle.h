// The power cycle of external hub ports: a reader that was told to change mode and did not come
// back often sits behind a port that shows a failed enumeration, a general failure or nothing at
// all; switching that port's power off and on has it enumerated afresh. Log lines carry the
// source unit tarnHUB.
#pragma once
#include <cstdint>

#include "arrival_state.h"

namespace tarn {

// The worker a long wait starts: walks the external hubs ("Generic USB Hub") and power-cycles
// every port in such a state, until the awaited reader has arrived or the wait says stop. The
// helper driver must already be loaded (by the transfer thread). 0.
DWORD PowerCycleThread(WaitContext& context);

// Switches the port of the hub named by its physical device object name off, waits three
// seconds and switches it on again, powering the hub up when a switch is refused; 1 when the
// port went off and on again.
int32_t PowerCyclePort(const char* hubName, uint16_t port);

}  // namespace tarn
