// The Tarn plug-in's module-wide state: its options, retry count, string library, the system it
// runs on, the DFU driver package and the hardware identifiers the package serves. The host
// drives the plug-in from one thread at a time; the update thread that a mode switch starts reads
// the package path and the identifier table, which only a scan writes.
#pragma once
#include <cstdint>

#include <plugin-api/kpl.h>
#include <winsim/windows.h>

namespace tarn {

// Option bits; an option once read as YES stays on while the plug-in is loaded.
constexpr uint8_t kOptionMatchVidPid = 0x04;
constexpr uint8_t kOptionUpgradeOnly = 0x08;
constexpr uint8_t kOptionMatchFeature = 0x10;
constexpr uint8_t kOptionExclusiveDfu = 0x20;
constexpr uint8_t kOptionRecoverKrd50n = 0x40;

// The identifiers of the package's "QVX.Section" that the plug-in keeps; more lines are ignored.
constexpr int kMaxHwIds = 25;

struct PluginState {
    uint8_t options = 0;
    int32_t retries = 1;       // attempts of the operations that retry; -1 with retryForever
    int32_t retryForever = 0;  // 1: they retry until they succeed, are aborted or the reader is gone
    HMODULE strings = nullptr;  // ZELFNRES.DLL while a scan's I/O layer has it loaded
    LANGID language = 0x409;    // 0x407 for German texts, else US English
    int32_t platform = 2;       // GetPlatformId: 1 is the NT family
    char packagePath[MAX_PATH] = "";  // the current directory and "\TARNDFU.INF"
    char hwIds[kMaxHwIds][MAX_PATH] = {};
    int hwIdCount = 0;
};

PluginState& plugin();

// Whether two texts are equal when ASCII letters are compared without regard to case.
bool EqualNoCase(const char* a, const char* b);

// Text `id` of the string library in the plug-in's language into out (KPL_TEXT_SIZE bytes);
// empty without the library.
void LoadText(UINT id, char* out);
// Reports a progress step with text `id` when the host asked for progress.
void Report(ProgressCallback progress, int32_t step, UINT id);

}  // namespace tarn
