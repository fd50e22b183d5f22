// Connects the lab's hardware to the rest of winsim when the library loads: CreateFile on
// device paths, the extra drive letters and the WNASPI32.DLL pseudo-module. The hardware itself
// is built on first use. This file's name sorts after files.cpp and drives.cpp on purpose: the
// hooks they keep are initialized when their own files' initializers run, and setting them
// here, later in the same library's start-up, keeps them from being reset afterwards.
#include "devices.h"
#include "modules.h"

namespace winsim {

namespace {

const bool kHooked = [] {
    setDeviceOpener(openDevice);
    setDriveProvider(hardwareDrives);
    registerBuiltinModule("WNASPI32.DLL", aspiAvailable, aspiExport);
    return true;
}();

}  // namespace

}  // namespace winsim
