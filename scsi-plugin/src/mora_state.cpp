// Module state, the texts of the string library, and the two entry points that only hand state
// over: the logger and the message of a status.
#include <cstring>

#include "mora.h"

namespace mora {

namespace {

// Releases what the plug-in keeps across scans when the host unloads it.
struct Unload {
    State state;
    ~Unload() {
        ScsiDestroyDeviceInfoList(state.scsiDevices);
        if (state.strings) FreeLibrary(state.strings);
    }
};

Unload& unload() {
    static Unload u;
    return u;
}

// One name per upgrade type; none is the start of another, so that a name found in a longer
// text is never taken for a different model.
const char* const kModelNames[] = {
    "Quorvex CR-210 Card Reader",
    "Quorvex MS-420 Multi-Slot Reader",
    "Quorvex RM-630 Reader Module",
};

}  // namespace

State& state() { return unload().state; }

const char* ModelName(uint8_t dfuType) {
    return dfuType < sizeof kModelNames / sizeof kModelNames[0] ? kModelNames[dfuType] : nullptr;
}

void LoadText(UINT id, char* out) {
    out[0] = '\0';
    if (state().strings) LoadStringA(state().strings, id, out, KPL_TEXT_SIZE);
}

void Report(ProgressCallback progress, int32_t step, UINT id) {
    if (!progress) return;
    char text[KPL_TEXT_SIZE];
    LoadText(id, text);
    progress(step, text);
}

bool NameContains(const char (&name)[KPL_TEXT_SIZE], const char* text) {
    const size_t length = strnlen(name, KPL_TEXT_SIZE), n = std::strlen(text);
    for (size_t i = 0; n <= length && i <= length - n; ++i)
        if (std::memcmp(name + i, text, n) == 0) return true;
    return false;
}

ScsiDeviceRecord* RecordAt(DeviceInfoList* list, uint8_t index) {
    bool listed = list && index < KPL_MAX_DEVICES;
    // The list ends at its first empty name: an entry behind that is not listed, whatever it holds.
    for (uint8_t i = 0; listed && i <= index; ++i) listed = list->entries[i].name[0] != '\0';
    auto* record = listed ? static_cast<ScsiDeviceRecord*>(list->entries[index].device) : nullptr;
    if (!record) MORA_LOG("%s(%i) :Invalid device index %d", index);
    return record;
}

}  // namespace mora

using namespace mora;

KPL_EXPORT int32_t KPLInitializeLogger(LoggerCallback logger) {
    state().logger = logger;
    return static_cast<int32_t>(reinterpret_cast<uintptr_t>(logger));
}

KPL_EXPORT int32_t KPLGetErrorMessage(int32_t status, char* buffer) {
    if (!buffer) return 0;
    buffer[0] = '\0';
    if (state().strings) {
        if (status > 0 && status <= 0xFFFF) LoadStringA(state().strings, static_cast<UINT>(status), buffer, KPL_TEXT_SIZE);
        return 0;
    }
    // Without the string library the system's own text of what went wrong is the best there is.
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr,
                   GetLastError(), 0, buffer, KPL_TEXT_SIZE, nullptr);
    return 0;
}
