// Connects the lab's hardware to the rest of winsim when the library loads: CreateFile on
// device paths, the extra drive letters and the WNASPI32.DLL pseudo-module. The hardware itself
// is built on first use, and so are the places the hooks are kept in, so the order in which the
// library's files are initialized does not matter.
#include "devices.h"
#include "kernel32/modules.h"

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
