// A whole configuration file read at once, section by section as the host's reader walks it, for
// tools and tests. The host itself drives ConfigReader and applies each record as it comes.
#pragma once
#include <winsim/windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "config/content.h"
#include "config/reader.h"

namespace zelfin::config {

enum class SectionKind { Options, Download, SymLink };

struct ConfigSection {
    SectionKind kind = SectionKind::Options;
    uint32_t offset = 0;  // of the header record
    int32_t count = 0;    // Options, Download: the header's count
    std::vector<ConfigOption> options;   // Options: the records read
    std::vector<std::string> downloads;  // Download: the records read
    std::string symLink;                 // SymLink: the value
};

struct ParsedConfig {
    bool opened = false;
    DWORD openError = 0;
    CrcCheck crc;
    // The records are walked even when the checksum fails, so that a damaged file can be shown;
    // the host would use none of them.
    std::vector<ConfigSection> sections;
    bool complete = false;  // the walk reached the end of the file where a header was due
    ConfigEvent stop;       // the Failed event when the walk did not complete

    // What the host would accept without complaint: opened, checksum right, walk complete.
    bool ok() const { return opened && crc.ok() && complete; }
    // Every option, image and the first "SymLink" record, over all sections in file order.
    ConfigContent content() const;
};

ParsedConfig parseConfig(HANDLE file);
// Opens the file for reading (sharing read access), parses it and closes it.
ParsedConfig parseConfig(const char* path);

// A short English description of why a walk stopped, e.g. "unknown header 'Foo' at offset 524".
std::string describeStop(const ConfigEvent& stop);

}  // namespace zelfin::config
