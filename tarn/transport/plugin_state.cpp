#include "plugin_state.h"

#include <cctype>

#include <devaccess/sysutil.h>

namespace tarn {

PluginState& plugin() {
    static PluginState state;
    return state;
}

bool EqualNoCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b)
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) return false;
    return *a == *b;
}

void LoadText(UINT id, char* out) {
    out[0] = '\0';
    if (plugin().strings) LoadResString(plugin().strings, id, plugin().language, out, KPL_TEXT_SIZE);
}

void Report(ProgressCallback progress, int32_t step, UINT id) {
    if (!progress) return;
    char text[KPL_TEXT_SIZE];
    LoadText(id, text);
    progress(step, text);
}

}  // namespace tarn
