// SetupCopyOEMInf: puts a driver package's INF into the PC's INF store (the Windows folder's
// "Inf") as oemN.inf, where Plug and Play finds it. A package whose INF is already there with
// the same content keeps its name, so installing it again at every scan adds no copies.
#include <cstring>
#include <fstream>
#include <iterator>

#include <winsim/setupapi.h>

#include "internal.h"
#include "trace.h"

namespace fs = std::filesystem;

namespace winsim {

namespace {

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

bool readAll(const fs::path& p, std::string* out) {
    std::ifstream in(p, std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// The store's oemN.inf with this content, or else the first free oemN.inf.
std::string storeName(const fs::path& store, const std::string& content, bool* exists) {
    std::error_code ec;
    std::vector<std::string> taken;
    for (const fs::directory_entry& e : fs::directory_iterator(store, ec)) {
        const std::string name = e.path().filename().string();
        taken.push_back(name);
        if (name.size() < 8 || !equalsNoCase(name.substr(0, 3), "oem") || !equalsNoCase(name.substr(name.size() - 4), ".inf") ||
            name.find_first_not_of("0123456789", 3) != name.size() - 4)
            continue;
        std::string held;
        if (readAll(e.path(), &held) && held == content) {
            *exists = true;
            return name;
        }
    }
    *exists = false;
    for (unsigned n = 0;; ++n) {
        const std::string name = "oem" + std::to_string(n) + ".inf";
        bool used = false;
        for (const std::string& t : taken) used = used || equalsNoCase(t, name);
        if (!used) return name;
    }
}

BOOL copyOemInf(PCSTR source, PCSTR mediaLocation, DWORD mediaType, DWORD copyStyle, PSTR destination,
                DWORD destinationSize, PDWORD required, PSTR* component) {
    TRACE("setupapi", "SetupCopyOEMInf %s media type %u style %#x", source ? source : "(null)", mediaType, copyStyle);
    if (!source || mediaType >= SPOST_MAX || (!destination && destinationSize)) return fail(ERROR_INVALID_PARAMETER);
    // Packages come from a folder; remembering where (for a later search of the media) and the
    // copy styles have no use on this PC.
    if (mediaType != SPOST_PATH) {
        TRACE_UNSUPPORTED("setupapi", "SetupCopyOEMInf: media type %u", mediaType);
        return fail(ERROR_NOT_SUPPORTED);
    }
    if (mediaLocation) {
        TRACE_UNSUPPORTED("setupapi", "SetupCopyOEMInf: a media location (%s)", mediaLocation);
        return fail(ERROR_NOT_SUPPORTED);
    }
    if (copyStyle) {
        TRACE_UNSUPPORTED("setupapi", "SetupCopyOEMInf: copy style %#x", copyStyle);
        return fail(ERROR_NOT_SUPPORTED);
    }
    // Only a readable Windows 4.0 INF goes into the store; its error is the caller's answer.
    HINF inf = SetupOpenInfFileA(source, nullptr, INF_STYLE_WIN4, nullptr);
    if (inf == INVALID_HANDLE_VALUE) return FALSE;
    SetupCloseInfFile(inf);
    auto src = resolvePath(source, true);
    std::string content;
    if (!src || !readAll(src->path, &content)) return fail(ERROR_ACCESS_DENIED);

    char windows[MAX_PATH];
    const UINT n = GetWindowsDirectoryA(windows, sizeof windows);
    if (n == 0 || n >= sizeof windows) return FALSE;
    const std::string storeWin = std::string(windows) + "\\Inf";
    auto store = resolvePath(storeWin.c_str(), true);
    if (!store) return FALSE;
    bool exists = false;
    const std::string name = storeName(store->path, content, &exists);
    const std::string full = storeWin + "\\" + name;
    if (required) *required = static_cast<DWORD>(full.size() + 1);
    if (destination && destinationSize < full.size() + 1) return fail(ERROR_INSUFFICIENT_BUFFER);
    if (!exists) {
        const fs::path target = store->path / name;
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        if (!out || !(out << content) || !out.flush()) {
            std::error_code ec;
            fs::remove(target, ec);
            return fail(ERROR_WRITE_FAULT);
        }
    }
    if (destination) {
        std::memcpy(destination, full.c_str(), full.size() + 1);
        if (component) *component = destination + storeWin.size() + 1;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace

}  // namespace winsim

extern "C" BOOL WINAPI SetupCopyOEMInfA(PCSTR source, PCSTR mediaLocation, DWORD mediaType, DWORD copyStyle,
                                        PSTR destination, DWORD destinationSize, PDWORD required, PSTR* component) {
    return winsim::guarded(__func__, FALSE, [&] {
        return winsim::copyOemInf(source, mediaLocation, mediaType, copyStyle, destination, destinationSize, required,
                                  component);
    });
}
