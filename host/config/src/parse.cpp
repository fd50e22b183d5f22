// Whole-file parsing on top of the reader walk.
#include "config/parse.h"

#include <cstdio>

namespace zelfin::config {

ParsedConfig parseConfig(HANDLE file) {
    ParsedConfig parsed;
    parsed.opened = true;
    ConfigReader reader(file);
    reader.walkDespiteCrc();
    parsed.crc = reader.crc();
    ConfigEvent event;
    while (reader.next(&event)) {
        switch (event.kind) {
        case ConfigEventKind::OptionsHeader:
        case ConfigEventKind::DownloadHeader:
        case ConfigEventKind::SymLink: {
            ConfigSection s;
            s.kind = event.kind == ConfigEventKind::OptionsHeader  ? SectionKind::Options
                     : event.kind == ConfigEventKind::DownloadHeader ? SectionKind::Download
                                                                     : SectionKind::SymLink;
            s.offset = event.offset;
            s.count = event.count;
            if (s.kind == SectionKind::SymLink) s.symLink = event.value();
            parsed.sections.push_back(std::move(s));
            break;
        }
        case ConfigEventKind::Option:
            parsed.sections.back().options.push_back({std::string(event.name()), std::string(event.value())});
            break;
        case ConfigEventKind::Download:
            parsed.sections.back().downloads.emplace_back(event.name());
            break;
        case ConfigEventKind::End:
            parsed.complete = true;
            break;
        case ConfigEventKind::Failed:
            parsed.stop = event;
            break;
        }
    }
    return parsed;
}

ParsedConfig parseConfig(const char* path) {
    const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        ParsedConfig parsed;
        parsed.openError = GetLastError();
        return parsed;
    }
    ParsedConfig parsed = parseConfig(file);
    CloseHandle(file);
    return parsed;
}

ConfigContent ParsedConfig::content() const {
    ConfigContent c;
    for (const ConfigSection& s : sections) {
        c.options.insert(c.options.end(), s.options.begin(), s.options.end());
        c.downloads.insert(c.downloads.end(), s.downloads.begin(), s.downloads.end());
        if (s.kind == SectionKind::SymLink && !c.symLink) c.symLink = s.symLink;
    }
    return c;
}

std::string describeStop(const ConfigEvent& stop) {
    char where[64];
    std::snprintf(where, sizeof where, " at offset %u", static_cast<unsigned>(stop.offset));
    auto cut = [&](const char* what) {
        char text[160];
        if (stop.error != 0)
            std::snprintf(text, sizeof text, "%s%s cannot be read (error %xh)", what, where,
                          static_cast<unsigned>(stop.error));
        else if (stop.bytesRead == 0)
            std::snprintf(text, sizeof text, "%s%s is missing: the file ends", what, where);
        else
            std::snprintf(text, sizeof text, "%s%s is cut short: %u of %u bytes", what, where,
                          static_cast<unsigned>(stop.bytesRead), static_cast<unsigned>(kRecordSize));
        return std::string(text);
    };
    switch (stop.failure) {
    case ConfigFailure::None: return "";
    case ConfigFailure::CrcMismatch: return "the checksum does not match";
    case ConfigFailure::ReadFailed: return cut("the header record");
    case ConfigFailure::MissingOption: return cut("an option record of the \"Options\" section");
    case ConfigFailure::MissingDownload: return cut("an image record of the \"Download\" section");
    case ConfigFailure::UnknownHeader: return "unknown header '" + std::string(stop.name()) + "'" + where;
    }
    return "";
}

}  // namespace zelfin::config
