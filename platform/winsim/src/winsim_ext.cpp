// The few non-Win32 answers the toolkit and tools get from winsim (winsim/winsim.h).
#include <winsim/winsim.h>

#include "internal.h"

namespace fs = std::filesystem;
using namespace winsim;

extern "C" {

int64_t WINAPI WinsimRealNanoseconds(DWORD labMs) { return labClock().realDuration(labMs).count(); }

DWORD WINAPI WinsimHostPathFromWindows(LPCSTR windowsPath, LPSTR buffer, DWORD size) {
    auto hp = resolvePath(windowsPath && *windowsPath ? windowsPath : ".", false);
    if (!hp) return 0;
    return copyOut(hp->path.string(), buffer, size);
}

DWORD WINAPI WinsimWindowsPathFromHost(LPCSTR hostPath, LPSTR buffer, DWORD size) {
    if (!hostPath) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::error_code ec;
    fs::path p = fs::weakly_canonical(fs::path(hostPath), ec);
    if (ec) p = fs::path(hostPath);
    return copyOut(toWindowsPath(p), buffer, size);
}

DWORD WINAPI WinsimRunFolder(LPSTR buffer, DWORD size) { return copyOut(currentLab().runDir().string(), buffer, size); }

}  // extern "C"
