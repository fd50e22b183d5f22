#include <devaccess/sysutil.h>

#include <cstdio>

namespace {

struct DeviceTypeName {
    int32_t code;
    const char* name;
};

// The reader families and slot configurations, by the device type their firmware reports. The
// names become device names in lists, so each is unique and none is the start of another.
const DeviceTypeName kDeviceTypes[] = {
    {1, "Solo SD Reader"},
    {2, "Solo CF Reader"},
    {3, "Solo MS Reader"},
    {4, "Solo SM Reader"},
    {5, "Solo xD Reader"},
    {6, "Duo SD/MS Reader"},
    {7, "Duo CF/SD Reader"},
    {10, "Trio CF/SD/MS Reader"},
    {11, "Quad CF/SD/MS/xD Reader"},
    {14, "Quad Slim Reader"},
    {16, "Pocket SD Stick"},
    {17, "Pocket microSD Stick"},
    {18, "Pocket MS Duo Stick"},
    {19, "Pocket Combo Stick"},
    {20, "Bay Module 4-in-1"},
    {21, "Bay Module 6-in-1"},
    {22, "Bay Module 7-in-1"},
    {23, "Bay Module 9-in-1"},
    {24, "Bay Module 12-in-1"},
    {25, "Bay Module 15-in-1"},
    {26, "Bay Module 19-in-1"},
    {27, "Bay Module 21-in-1"},
    {28, "Desk Hub Reader 3-Port"},
    {29, "Desk Hub Reader 4-Port"},
    {30, "Desk Hub Reader 7-Port"},
    {31, "Kiosk Reader Single Bay"},
    {32, "Kiosk Reader Dual Bay"},
    {33, "Kiosk Reader Quad Bay"},
    {34, "Panel Reader SD+CF"},
    {35, "Panel Reader SD+MS"},
    {36, "Panel Reader SD+xD"},
    {37, "Panel Reader All-Slot"},
    {38, "Secure SD Reader"},
    {39, "Secure Smart Card Reader"},
    {40, "Secure Combo Reader SD+SC"},
    {41, "Secure PIN Pad Reader"},
    {48, "OEM Board SD Only"},
    {49, "OEM Board CF Only"},
    {50, "OEM Board SD/MS"},
    {51, "OEM Board CF/SD/MS"},
    {52, "OEM Board 5-Slot"},
    {53, "OEM Board 6-Slot"},
    {54, "OEM Board 8-Slot"},
    {55, "OEM Board Smart Card"},
    {56, "OEM Board SIM"},
    {57, "OEM Board Dual SIM"},
    {64, "Monitor Bay 2-Slot"},
    {65, "Monitor Bay 4-Slot"},
    {66, "Monitor Bay 6-Slot"},
    {-1, nullptr},
};

}  // namespace

void GetDeviceTypeName(int32_t code, char* out, size_t outSize) {
    if (!out || outSize == 0) return;
    const auto wanted = static_cast<uint16_t>(code);
    // The sentinel ends the walk before any comparison: a 16-bit 0xFFFF must not match its -1.
    for (const DeviceTypeName* e = kDeviceTypes; e->code != -1; ++e) {
        if (static_cast<uint16_t>(e->code) == wanted) {
            std::snprintf(out, outSize, "%s", e->name);
            return;
        }
    }
    std::snprintf(out, outSize, "UnKnown: %d (0x%X)", static_cast<int>(wanted), static_cast<unsigned>(wanted));
}
