// Drive letters: C: (the lab's system drive), Z: (the Linux root) and the volumes of the lab's
// hardware.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>

#include "internal.h"

namespace winsim {

namespace {
// Built on first use, so that the hardware can set it from any file's initializer.
struct ProviderSlot {
    std::mutex mutex;
    DriveProvider provider;
};
ProviderSlot& providerSlot() {
    static ProviderSlot slot;
    return slot;
}
}  // namespace

void setDriveProvider(DriveProvider p) {
    ProviderSlot& slot = providerSlot();
    std::lock_guard<std::mutex> lock(slot.mutex);
    slot.provider = std::move(p);
}

std::vector<DriveInfo> logicalDrives() {
    std::vector<DriveInfo> drives{{'C', DRIVE_FIXED}, {'Z', DRIVE_FIXED}};
    DriveProvider p;
    {
        ProviderSlot& slot = providerSlot();
        std::lock_guard<std::mutex> lock(slot.mutex);
        p = slot.provider;
    }
    if (p) {
        for (const DriveInfo& d : p())
            if (d.letter != 'C' && d.letter != 'Z') drives.push_back(d);
    }
    std::sort(drives.begin(), drives.end(), [](const DriveInfo& a, const DriveInfo& b) { return a.letter < b.letter; });
    return drives;
}

}  // namespace winsim

using namespace winsim;

namespace {

std::string driveStrings() {
    std::string s;
    for (const DriveInfo& d : logicalDrives()) {
        s += d.letter;
        s += ":\\";
        s += '\0';
    }
    return s;  // each root closed by a NUL; the caller adds the final one
}

UINT driveType(const std::string& root) {
    char letter;
    if (root.empty()) {
        char cwd[MAX_PATH];
        if (GetCurrentDirectoryA(sizeof cwd, cwd) == 0) return DRIVE_NO_ROOT_DIR;
        letter = cwd[0];
    } else {
        // Only a drive's root is a root: "C:\" or "C:" (and the "C:/" spelling).
        if (root.size() < 2 || root[1] != ':' || root.size() > 3 || (root.size() == 3 && root[2] != '\\' && root[2] != '/'))
            return DRIVE_NO_ROOT_DIR;
        letter = static_cast<char>(std::toupper(static_cast<unsigned char>(root[0])));
    }
    for (const DriveInfo& d : logicalDrives())
        if (d.letter == letter) return d.type;
    return DRIVE_NO_ROOT_DIR;
}

}  // namespace

extern "C" {

DWORD WINAPI GetLogicalDrives(void) {
    DWORD mask = 0;
    for (const DriveInfo& d : logicalDrives()) mask |= 1u << (d.letter - 'A');
    return mask;
}

DWORD WINAPI GetLogicalDriveStringsA(DWORD size, LPSTR buffer) {
    const std::string s = driveStrings();
    // The result is the length without the final NUL when it fits, else the size it needs.
    if (!buffer || s.size() + 1 > size) return static_cast<DWORD>(s.size() + 1);
    std::memcpy(buffer, s.data(), s.size());
    buffer[s.size()] = '\0';
    return static_cast<DWORD>(s.size());
}

DWORD WINAPI GetLogicalDriveStringsW(DWORD size, LPWSTR buffer) {
    const std::string s = driveStrings();
    if (!buffer || s.size() + 1 > size) return static_cast<DWORD>(s.size() + 1);
    for (size_t i = 0; i < s.size(); ++i) buffer[i] = static_cast<WCHAR>(static_cast<unsigned char>(s[i]));
    buffer[s.size()] = 0;
    return static_cast<DWORD>(s.size());
}

UINT WINAPI GetDriveTypeA(LPCSTR root) { return driveType(root ? root : ""); }

UINT WINAPI GetDriveTypeW(LPCWSTR root) { return driveType(root ? utf16ToUtf8(std::u16string(root)) : ""); }

}  // extern "C"
