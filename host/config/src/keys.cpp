// The host's option key table.
#include "config/keys.h"

namespace zelfin::config {

const OptionKeyInfo kOptionKeys[kOptionKeyCount] = {
    {"GUI", OptionKind::YesNo},
    {"BACKUP", OptionKind::YesNo},
    {"DISABLELOG", OptionKind::YesNo},
    {"REPORTSTATUS", OptionKind::YesNo},
    {"UPGRADEONLY", OptionKind::YesNo},
    {"MATCHFEATURE", OptionKind::YesNo},
    {"MATCHVIDPID", OptionKind::YesNo},
    {"RECOVERKRD50N", OptionKind::YesNo},
    {"FORCEFS", OptionKind::YesNo},
    {"EXCLUSIVEDFU", OptionKind::YesNo},
    {"RETRIES", OptionKind::Number},
    {"MATCHBYSYMLINK", OptionKind::NotOffered},
    {"MATCHDFUDEVBYPRODTYPE", OptionKind::NotOffered},
    {"DISABLEHELP", OptionKind::YesNo},
    {"SIGFILEONLY", OptionKind::YesNo},
    {"FORCE_COM_PORT", OptionKind::Number},
    {"DEVICE_ADDRESS", OptionKind::Number},
};

int findOptionKey(std::string_view name) {
    for (int i = 0; i < kOptionKeyCount; ++i) {
        if (name == kOptionKeys[i].name) return i;
    }
    return -1;
}

bool isYes(std::string_view value) {
    if (value.size() != 3) return false;
    const char* yes = "yes";
    for (size_t i = 0; i < 3; ++i) {
        const char c = value[i];
        if (c != yes[i] && c != yes[i] - ('a' - 'A')) return false;
    }
    return true;
}

}  // namespace zelfin::config
