// The simulated PC as winsim sees it: the one header of the lab that winsim includes. Everything
// the platform layer asks of the lab goes through these calls; the rest of the lab is its own
// business.
//
// What winsim may rely on:
// * lab()       mandatory. The lab of this process (ZELFIN_LAB, or the default folder created on
//               first use). Throws std::runtime_error when it cannot be used; winsim reports that
//               and ends the process, since nothing can run without its PC.
// * clock()     mandatory. One clock per process, scaled by the lab's time scale as it was at
//               first use. Every wait, pause and time-out of winsim runs on it.
// * settings()  mandatory. Operating system, language, system drive, Windows folder. Read-only
//               for winsim.
// * registry()  mandatory. The registry store; it persists values and serializes writers across
//               processes itself.
// * hardware()  mandatory. The Plug and Play tree, device stacks and drives (lab/hardware.h):
//               SetupAPI, the configuration manager, device I/O, ASPI and device notifications
//               are built on it. Safe to call from any thread.
// * runFolder() mandatory. A folder that the running programs of this PC share (named sections,
//               window sockets); it exists.
#pragma once
#include <filesystem>

#include "lab/clock.h"
#include "lab/hardware.h"
#include "lab/lab.h"
#include "lab/physical_device.h"
#include "lab/registry.h"

namespace lab::facade {

inline Lab& lab() { return Lab::current(); }
inline const Clock& clock() { return lab().clock(); }
inline const Settings& settings() { return lab().settings(); }
inline Registry& registry() { return lab().registry(); }
inline Hardware& hardware() { return lab().hardware(); }
inline std::filesystem::path runFolder() {
    std::filesystem::path dir = lab().runDir();
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return dir;
}

}  // namespace lab::facade
