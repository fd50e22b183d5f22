// Drive letters of ASPI devices on the 9x family. ASPI knows addresses, not drives; the
// configuration manager's dynamic registry names, for each device node, its hardware key under
// HKLM\Enum, and a SCSI device's key there holds its product identification and its current
// drive letter.
#include <cctype>
#include <cstring>

#include "scsi_internal.h"

namespace scsi {

namespace {

constexpr size_t kProductLength = 16;  // the product field of the inquiry string
constexpr size_t kProductOffset = 8;   // after the vendor field

// A REG_SZ value into buffer, always terminated; false when it cannot be read.
bool readText(HKEY key, const char* name, char* buffer, DWORD size) {
    std::memset(buffer, 0, size);
    DWORD length = size - 1;  // a value stored without its terminator still ends in one
    return RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &length) == ERROR_SUCCESS;
}

// The first list device without a letter whose product field equals the first 16 characters of
// productId (a shorter value does not match a blank-padded field).
ScsiDevice* deviceForProduct(ScsiDevice* first, const char* productId) {
    for (ScsiDevice* d = first; deviceValid(d); d = d->next)
        if (d->drive == 0 && std::strncmp(d->inquiry + kProductOffset, productId, kProductLength) == 0) return d;
    return nullptr;
}

}  // namespace

void assignNineXDriveLetters(ScsiDevice* first, uint32_t wanted) {
    HKEY nodes = nullptr, hardware = nullptr;
    if (RegOpenKeyExA(HKEY_DYN_DATA, "Config Manager\\Enum", 0, KEY_READ, &nodes) != ERROR_SUCCESS) return;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum", 0, KEY_READ, &hardware) != ERROR_SUCCESS) {
        RegCloseKey(nodes);
        return;
    }
    uint32_t found = 0;
    for (DWORD index = 0; found < wanted; ++index) {
        char name[256];
        DWORD nameLength = sizeof name;
        if (RegEnumKeyExA(nodes, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        HKEY node = nullptr;
        if (RegOpenKeyExA(nodes, name, 0, KEY_READ, &node) != ERROR_SUCCESS) break;
        char hardwareKey[512];
        // The machine's own nodes (root, adapters) come first; only SCSI devices have letters.
        if (!readText(node, "HardWareKey", hardwareKey, sizeof hardwareKey) ||
            std::strncmp(hardwareKey, "SCSI", 4) != 0) {
            RegCloseKey(node);
            continue;
        }
        HKEY device = nullptr;
        char productId[MAX_PATH];
        const bool described = RegOpenKeyExA(hardware, hardwareKey, 0, KEY_READ, &device) == ERROR_SUCCESS &&
                               readText(device, "ProductId", productId, sizeof productId);
        if (described) {
            if (ScsiDevice* match = deviceForProduct(first, productId)) {
                char letter[MAX_PATH];
                if (readText(device, "CurrentDriveLetterAssignment", letter, sizeof letter) &&
                    std::isalpha(static_cast<unsigned char>(letter[0]))) {
                    match->drive = static_cast<char>(std::toupper(static_cast<unsigned char>(letter[0])));
                    ++found;
                }
            }
        }
        if (device) RegCloseKey(device);
        RegCloseKey(node);
        if (!described) break;
    }
    RegCloseKey(hardware);
    RegCloseKey(nodes);
}

}  // namespace scsi
