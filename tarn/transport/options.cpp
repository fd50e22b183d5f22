#include "options.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

#include <plugin-common/read_option.h>

#include "plugin_state.h"
#include "tarn_log.h"

namespace tarn {

namespace {

struct OptionKey {
    const char* key;
    uint8_t bit;
    const char* line;
};
constexpr OptionKey kOptionKeys[] = {
    {"MATCHVIDPID", kOptionMatchVidPid, "%s(%i) :Match VID/PID"},
    {"UPGRADEONLY", kOptionUpgradeOnly, "%s(%i) :FW Upgrade Only"},
    {"MATCHFEATURE", kOptionMatchFeature, "%s(%i) :Match FW Feature"},
    {"EXCLUSIVEDFU", kOptionExclusiveDfu, "%s(%i) :Exclusive DFU Feature"},
    {"RECOVERKRD50N", kOptionRecoverKrd50n, "%s(%i) :Recover KRD50N Feature"},
};

// The retry count of RETRIES' text: the value of its leading digits (a sign allowed), as the
// count of extra attempts; -1 retries without end. A value below -1 means nothing sensible and
// gives the default.
int32_t retriesOf(const char* text) {
    const long value = std::strtol(text, nullptr, 10);
    if (value < -1) {
        TARN_LOG_AT("kpltarn", "%s(%i) :RETRIES %s is not valid; the default is used", text);
        return 1;
    }
    // Past what an int holds the count stays the largest one (one attempt is added to it).
    return static_cast<int32_t>(std::min<long>(value, INT32_MAX - 1));
}

}  // namespace

void ReadOptions(const char* configPath) {
    PluginState& s = plugin();
    char value[kOptionValueSize];
    for (const OptionKey& o : kOptionKeys) {
        if (ReadOption(configPath, o.key, value) && OptionIsYes(value)) {
            s.options |= o.bit;
            TARN_LOG_AT("kpltarn", o.line);
        }
    }
    s.retries = 1;
    if (ReadOption(configPath, "RETRIES", value)) s.retries = retriesOf(value);
    if (s.retries >= 0) ++s.retries;  // from retries to attempts
    s.retryForever = s.retries == -1 ? 1 : 0;
    TARN_LOG_AT("kpltarn", "%s(%i) :Retries %d", s.retries);
}

}  // namespace tarn
