// zelfin-config show: what a configuration file holds, as Zelfin's reader walks it.
#include <config/keys.h>
#include <config/parse.h>

#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include <tools/file_reason.h>

#include "tool.h"

using namespace zelfin::config;
using json = nlohmann::ordered_json;

namespace configtool {

namespace {

std::string hex32(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(v));
    return text;
}

bool hasStored(const CrcCheck& c) { return c.status == CrcStatus::Match || c.status == CrcStatus::Mismatch; }

const char* crcStatusName(CrcStatus s) {
    switch (s) {
    case CrcStatus::Empty: return "empty";
    case CrcStatus::TooShort: return "too-short";
    case CrcStatus::Match: return "match";
    case CrcStatus::Mismatch: return "mismatch";
    case CrcStatus::Unreadable: return "unreadable";
    }
    return "unreadable";
}

const char* failureName(ConfigFailure f) {
    switch (f) {
    case ConfigFailure::None: return "none";
    case ConfigFailure::CrcMismatch: return "crc-mismatch";
    case ConfigFailure::ReadFailed: return "read-failed";
    case ConfigFailure::MissingOption: return "missing-option";
    case ConfigFailure::MissingDownload: return "missing-download";
    case ConfigFailure::UnknownHeader: return "unknown-header";
    }
    return "none";
}

const char* headerName(SectionKind k) {
    switch (k) {
    case SectionKind::Options: return kOptionsHeader;
    case SectionKind::Download: return kDownloadHeader;
    case SectionKind::SymLink: return kSymLinkHeader;
    }
    return "";
}

// Texts of a file may hold any bytes; a terminal gets only printable text. Control bytes and bytes
// that are not part of a UTF-8 character are shown as \xNN.
std::string printable(std::string_view text) {
    std::string out;
    size_t i = 0;
    auto escape = [&out](unsigned char c) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", c);
        out += hex;
    };
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (len > 1 && (c == 0xC0 || c == 0xC1 || c > 0xF4)) len = 0;
        for (size_t k = 1; len > 1 && k < len; ++k)
            if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) len = 0;
        if (len == 1 && (c < 0x20 || c == 0x7F)) len = 0;
        if (len == 0) {
            escape(c);
            ++i;
        } else {
            out.append(text.substr(i, len));
            i += len;
        }
    }
    return out;
}

size_t recordsOf(const ConfigSection& s) { return s.kind == SectionKind::Options ? s.options.size() : s.downloads.size(); }

json toJson(const std::string& file, const ParsedConfig& p) {
    const ConfigContent content = p.content();
    json j;
    j["file"] = file;
    j["size"] = p.crc.fileSize;
    const bool computed = hasStored(p.crc);
    j["crc"] = {{"status", crcStatusName(p.crc.status)},
                {"stored", computed ? json(hex32(p.crc.stored)) : json(nullptr)},
                {"computed", computed ? json(hex32(p.crc.computed)) : json(nullptr)},
                {"ok", p.crc.ok()}};
    j["options"] = json::array();
    for (const ConfigOption& o : content.options)
        j["options"].push_back({{"key", o.key}, {"value", o.value}, {"known", findOptionKey(o.key) >= 0}});
    j["downloads"] = content.downloads;
    j["symlink"] = content.symLink ? json(*content.symLink) : json(nullptr);
    j["sections"] = json::array();
    for (const ConfigSection& s : p.sections) {
        json section = {{"header", headerName(s.kind)}, {"offset", s.offset}};
        if (s.kind != SectionKind::SymLink) {
            section["count"] = s.count;
            section["records"] = recordsOf(s);
        }
        j["sections"].push_back(section);
    }
    j["complete"] = p.complete;
    j["error"] = p.complete ? json(nullptr)
                            : json{{"reason", failureName(p.stop.failure)},
                                   {"offset", p.stop.offset},
                                   {"message", describeStop(p.stop)}};
    return j;
}

void printText(const std::string& file, const ParsedConfig& p) {
    const CrcCheck& c = p.crc;
    std::cout << "File: " << file << " (" << c.fileSize << " bytes)\n";
    switch (c.status) {
    case CrcStatus::Empty: std::cout << "Checksum: none (empty file: valid, nothing configured)\n"; break;
    case CrcStatus::TooShort:
        std::cout << "Checksum: missing (shorter than 4 bytes): WRONG, Zelfin uses nothing of this file\n";
        break;
    case CrcStatus::Match:
        std::cout << "Checksum: stored " << hex32(c.stored) << ", computed " << hex32(c.computed) << ": ok\n";
        break;
    case CrcStatus::Mismatch:
        std::cout << "Checksum: stored " << hex32(c.stored) << ", computed " << hex32(c.computed)
                  << ": WRONG, Zelfin uses nothing of this file\n";
        break;
    case CrcStatus::Unreadable:
        std::cout << "Checksum: the file cannot be read (" << tools::errorReason(c.error) << ")\n";
        break;
    }
    for (const ConfigSection& s : p.sections) {
        switch (s.kind) {
        case SectionKind::Options:
            std::cout << "Options (count " << s.count << ", offset " << s.offset << "):\n";
            for (const ConfigOption& o : s.options)
                std::cout << "  " << printable(o.key) << " = " << printable(o.value)
                          << (findOptionKey(o.key) >= 0 ? "" : "   (not a Zelfin key)") << "\n";
            break;
        case SectionKind::Download:
            std::cout << "Download (count " << s.count << ", offset " << s.offset << "):\n";
            for (const std::string& d : s.downloads) std::cout << "  " << printable(d) << "\n";
            break;
        case SectionKind::SymLink:
            std::cout << "SymLink (offset " << s.offset << "): " << printable(s.symLink) << "\n";
            break;
        }
    }
    if (p.complete)
        std::cout << "Read: complete\n";
    else
        std::cout << "Read: stopped, " << printable(describeStop(p.stop)) << "\n";
}

}  // namespace

int runShow(const std::vector<std::string>& args) {
    std::string file;
    bool asJson = false;
    for (const std::string& a : args) {
        if (a == "--json")
            asJson = true;
        else if (a.rfind("--", 0) == 0)
            return usageError("show: unknown switch '" + a + "'");
        else if (file.empty())
            file = a;
        else
            return usageError("show: more than one FILE");
    }
    if (file.empty()) return usageError("show: no FILE given");

    const std::string problem = tools::inputFileProblem(file, true);
    if (!problem.empty()) {
        std::cerr << "zelfin-config: cannot open " << file << ": " << problem << "\n";
        return kExitProblem;
    }
    const ParsedConfig parsed = parseConfig(file.c_str());
    if (!parsed.opened) {
        std::cerr << "zelfin-config: cannot open " << file << ": " << tools::errorReason(parsed.openError) << "\n";
        return kExitProblem;
    }
    if (asJson)
        std::cout << toJson(file, parsed).dump(2, ' ', false, json::error_handler_t::replace) << "\n";
    else
        printText(file, parsed);
    if (parsed.ok()) return kExitOk;
    // The report above says what is wrong; scripts that read only standard error get one line.
    if (!parsed.crc.ok())
        std::cerr << "zelfin-config: " << file << " is not a usable configuration file: "
                  << (parsed.crc.status == CrcStatus::Unreadable ? "it cannot be read" : "wrong checksum") << "\n";
    else
        std::cerr << "zelfin-config: " << file << ": the read stops early: " << printable(describeStop(parsed.stop)) << "\n";
    return kExitProblem;
}

}  // namespace configtool
