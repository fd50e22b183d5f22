// The option keys the host knows, in the order the configuration reader looks them up.
#pragma once
#include <string_view>

namespace zelfin::config {

// How the editor offers a key: a yes/no choice, a typed number, or not at all.
enum class OptionKind { YesNo, Number, NotOffered };

enum OptionKey : int {
    kOptGui,
    kOptBackup,
    kOptDisableLog,
    kOptReportStatus,
    kOptUpgradeOnly,
    kOptMatchFeature,
    kOptMatchVidPid,
    kOptRecoverKrd50n,
    kOptForceFs,
    kOptExclusiveDfu,
    kOptRetries,
    kOptMatchBySymLink,
    kOptMatchDfuDevByProdType,
    kOptDisableHelp,
    kOptSigFileOnly,
    kOptForceComPort,
    kOptDeviceAddress,
    kOptionKeyCount
};

struct OptionKeyInfo {
    const char* name;
    OptionKind kind;
};

// Indexed by OptionKey.
extern const OptionKeyInfo kOptionKeys[kOptionKeyCount];

// The key named exactly `name` (case matters), or -1 when the host does not know it; plug-ins
// may still know such a key.
int findOptionKey(std::string_view name);

// An option value means "on" when it equals "yes" ignoring case; anything else means "off".
bool isYes(std::string_view value);

}  // namespace zelfin::config
