// Writes a configuration file in the order the editor saves one: the checksum placeholder, the
// "Options" section (only with options), the "Download" section (only with images, each record's
// value a single blank), then the "SymLink" record when there is one, kept so that saving does not
// drop it; finally the checksum of everything after offset 4 goes to offset 0.
//
// The file being replaced survives any failure: everything is written to "<path>.tmp" beside it,
// which replaces the file only once it is complete with its checksum; on failure the temporary is
// removed.
#pragma once
#include <winsim/windows.h>

#include <string>

#include "config/content.h"

namespace zelfin::config {

struct ConfigWriteResult {
    bool ok = false;
    DWORD error = 0;      // the system error (ERROR_INVALID_PARAMETER for content that cannot be written)
    std::string message;  // English, for tools and logs: what failed
};

// Why `content` cannot be written, or empty: more than 30 images, or a text of 260 bytes or more.
std::string contentProblem(const ConfigContent& content);

ConfigWriteResult writeConfig(const char* path, const ConfigContent& content);

}  // namespace zelfin::config
