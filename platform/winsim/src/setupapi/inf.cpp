// SetupAPI: setup information (INF) files in the Windows 4.0 style, read as Windows reads them.
// A file is parsed once when it is opened: sections (found without regard to case, a section
// named twice is one section), lines with an optional key before "=" and comma-separated
// values, quotes (a doubled quote inside quotes is one quote), ";" comments, "\" at the end of
// a line continuing it, and %strkey% replaced from [Strings] ("%%" is a percent sign). An
// INFCONTEXT names a line by section and line index in the file of its handle.
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

#include <winsim/setupapi.h>

#include "handle_table.h"
#include "internal.h"
#include "trace.h"

namespace winsim {

namespace {

struct InfLine {
    std::string key;  // field 0: "" for a line without "="
    std::vector<std::string> values;
};

struct InfSection {
    std::string name;
    std::vector<InfLine> lines;
};

struct InfFile {
    std::vector<InfSection> sections;

    InfSection* find(const std::string& name) {
        for (InfSection& s : sections)
            if (equalsNoCase(s.name, name)) return &s;
        return nullptr;
    }
};

// Apart from kernel handles, HKEYs and device information sets.
using InfTable = SetupHandleTable<InfFile, 0x50000000>;

InfTable& infs() {
    static auto* t = new InfTable;
    return *t;
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && isBlank(s[b])) ++b;
    while (e > b && isBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// The line without its comment: ";" outside quotes starts one.
std::string withoutComment(const std::string& line) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') quoted = !quoted;
        if (line[i] == ';' && !quoted) return line.substr(0, i);
    }
    return line;
}

// Splits a line into its key (text before the first "=" outside quotes, if any) and its
// values. Blanks around an unquoted value go; those inside quotes stay.
InfLine splitLine(const std::string& text) {
    std::vector<std::string> fields;
    bool hasKey = false;
    std::string cur;
    size_t significant = 0;  // length of cur up to its last character that is not an outer blank
    bool quoted = false, started = false;
    auto endField = [&] {
        cur.resize(significant);
        fields.push_back(cur);
        cur.clear();
        significant = 0;
        started = false;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c != '"') {
                cur += c;
            } else if (i + 1 < text.size() && text[i + 1] == '"') {
                cur += '"';
                ++i;
            } else {
                quoted = false;
            }
            significant = cur.size();
            continue;
        }
        if (c == '"') {
            quoted = started = true;
        } else if (c == '=' && !hasKey && fields.empty()) {
            endField();
            hasKey = true;
        } else if (c == ',') {
            endField();
        } else if (!isBlank(c) || started) {
            started = true;
            cur += c;
            if (!isBlank(c)) significant = cur.size();
        }
    }
    endField();
    InfLine line;
    if (hasKey) {
        line.key = fields.front();
        fields.erase(fields.begin());
    }
    line.values = std::move(fields);
    return line;
}

// %strkey% from [Strings]; an unknown key stays as written.
std::string substitute(const std::string& text, const std::map<std::string, std::string>& strings) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const size_t close = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
        if (close == std::string::npos) {
            out += text[i];
            continue;
        }
        std::string name = text.substr(i + 1, close - i - 1);
        for (char& ch : name) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        if (name.empty()) {
            out += '%';
        } else if (auto it = strings.find(name); it != strings.end()) {
            out += it->second;
        } else {
            out += text.substr(i, close - i + 1);
        }
        i = close;
    }
    return out;
}

// The whole file, or 0 with the syntax error and its line in *errorLine.
DWORD parse(const std::string& text, InfFile* inf, UINT* errorLine) {
    size_t at = 0;
    UINT number = 0;
    std::string pending;
    InfSection* section = nullptr;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) at = 3;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string physical = trim(withoutComment(text.substr(at, end - at)));
        at = end + 1;
        ++number;
        if (!physical.empty() && physical.back() == '\\') {
            physical.pop_back();
            pending += physical;
            continue;
        }
        const std::string line = trim(pending + physical);
        pending.clear();
        if (line.empty()) continue;
        if (line.front() == '[') {
            const size_t close = line.find(']');
            *errorLine = number;
            if (close == std::string::npos) return ERROR_BAD_SECTION_NAME_LINE;
            const std::string name = trim(line.substr(1, close - 1));
            if (name.size() > MAX_SECTION_NAME_LEN) return ERROR_SECTION_NAME_TOO_LONG;
            section = inf->find(name);
            if (!section) {
                inf->sections.push_back({name, {}});
                section = &inf->sections.back();
            }
            continue;
        }
        if (!section) {
            *errorLine = number;
            return ERROR_EXPECTED_SECTION_NAME;
        }
        section->lines.push_back(splitLine(line));
    }
    std::map<std::string, std::string> strings;
    if (const InfSection* s = inf->find("Strings"))
        for (const InfLine& l : s->lines) {
            std::string name = l.key, value;
            for (char& ch : name) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            for (size_t i = 0; i < l.values.size(); ++i) value += (i ? "," : "") + l.values[i];
            strings[name] = value;
        }
    for (InfSection& s : inf->sections) {
        if (equalsNoCase(s.name, "Strings")) continue;
        for (InfLine& l : s.lines) {
            l.key = substitute(l.key, strings);
            for (std::string& v : l.values) v = substitute(v, strings);
        }
    }
    return 0;
}

// A Windows 4.0 style file signs its [Version] section.
bool isWin4(InfFile& inf) {
    const InfSection* version = inf.find("Version");
    if (!version) return false;
    for (const InfLine& l : version->lines)
        if (equalsNoCase(l.key, "Signature") && !l.values.empty())
            for (const char* sig : {"$Windows NT$", "$Chicago$", "$Windows 95$"})
                if (equalsNoCase(l.values.front(), sig)) return true;
    return false;
}

// A name without a folder is looked for in the INF store, then in the system folder.
std::optional<HostPath> locate(const std::string& name) {
    if (name.find_first_of("\\/:") != std::string::npos) return resolvePath(name.c_str(), true);
    char windows[MAX_PATH];
    const UINT n = GetWindowsDirectoryA(windows, sizeof windows);
    if (n == 0 || n >= sizeof windows) return std::nullopt;
    for (const char* folder : {"\\Inf\\", "\\system32\\"})
        if (auto hp = resolvePath((std::string(windows) + folder + name).c_str(), true)) return hp;
    return std::nullopt;
}

HINF openInf(PCSTR name, PCSTR infClass, DWORD style, PUINT errorLine) {
    TRACE("setupapi", "SetupOpenInfFile %s style %#x", name ? name : "(null)", style);
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (style != INF_STYLE_WIN4) {
        TRACE_UNSUPPORTED("setupapi", "SetupOpenInfFile: style %#x", style);
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    if (infClass) {
        TRACE_UNSUPPORTED("setupapi", "SetupOpenInfFile: a class filter (%s)", infClass);
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    auto hp = locate(name);
    if (!hp) return INVALID_HANDLE_VALUE;
    std::error_code ec;
    std::ifstream in(hp->path, std::ios::binary);
    if (std::filesystem::is_directory(hp->path, ec) || !in) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto inf = std::make_shared<InfFile>();
    UINT line = 0;
    if (DWORD error = parse(text, inf.get(), &line)) {
        if (errorLine) *errorLine = line;
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    if (!isWin4(*inf)) {
        SetLastError(ERROR_WRONG_INF_STYLE);
        return INVALID_HANDLE_VALUE;
    }
    HINF h = infs().insert(std::move(inf));
    SetLastError(ERROR_SUCCESS);
    return h;
}

// The line a context names, or null with the last error set.
const InfLine* lineOf(const INFCONTEXT* context, std::shared_ptr<InfFile>* keep) {
    if (!context) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    *keep = infs().find(context->Inf);
    if (!*keep) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const InfFile& inf = **keep;
    if (context->Section >= inf.sections.size() || context->Line >= inf.sections[context->Section].lines.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return &inf.sections[context->Section].lines[context->Line];
}

void fillContext(HINF h, UINT section, UINT line, PINFCONTEXT context) {
    context->Inf = h;
    context->CurrentInf = h;
    context->Section = section;
    context->Line = line;
}

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

HINF WINAPI SetupOpenInfFileA(PCSTR name, PCSTR infClass, DWORD style, PUINT errorLine) {
    return winsim::guarded(__func__, static_cast<HINF>(INVALID_HANDLE_VALUE),
                           [&] { return openInf(name, infClass, style, errorLine); });
}

void WINAPI SetupCloseInfFile(HINF h) {
    // An unknown handle is ignored, as Windows ignores it.
    winsim::guarded(__func__, false, [&] { return infs().remove(h); });
}

BOOL WINAPI SetupFindFirstLineA(HINF h, PCSTR section, PCSTR key, PINFCONTEXT context) {
    return winsim::guarded(__func__, FALSE, [&] {
        auto inf = infs().find(h);
        if (!inf) return fail(ERROR_INVALID_HANDLE);
        if (!section || !context) return fail(ERROR_INVALID_PARAMETER);
        const InfSection* s = inf->find(section);
        // A section that is missing, or has no such line, reads as one without the line.
        if (!s) return fail(ERROR_LINE_NOT_FOUND);
        for (size_t i = 0; i < s->lines.size(); ++i)
            if (!key || equalsNoCase(s->lines[i].key, key)) {
                fillContext(h, static_cast<UINT>(s - inf->sections.data()), static_cast<UINT>(i), context);
                SetLastError(ERROR_SUCCESS);
                return TRUE;
            }
        return fail(ERROR_LINE_NOT_FOUND);
    });
}

BOOL WINAPI SetupFindNextLine(const INFCONTEXT* in, PINFCONTEXT out) {
    return winsim::guarded(__func__, FALSE, [&] {
        std::shared_ptr<InfFile> inf;
        if (!lineOf(in, &inf)) return FALSE;
        if (!out) return fail(ERROR_INVALID_PARAMETER);
        const INFCONTEXT from = *in;  // out may be in
        if (from.Line + 1 >= inf->sections[from.Section].lines.size()) return fail(ERROR_LINE_NOT_FOUND);
        fillContext(from.Inf, from.Section, from.Line + 1, out);
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    });
}

BOOL WINAPI SetupGetStringFieldA(const INFCONTEXT* context, DWORD index, PSTR buffer, DWORD size, PDWORD required) {
    return winsim::guarded(__func__, FALSE, [&] {
        std::shared_ptr<InfFile> inf;
        const InfLine* line = lineOf(context, &inf);
        if (!line) return FALSE;
        if (index > line->values.size()) return fail(ERROR_INVALID_PARAMETER);
        const std::string& text = index == 0 ? line->key : line->values[index - 1];
        const DWORD needed = static_cast<DWORD>(text.size() + 1);
        if (required) *required = needed;
        // Without a buffer the call only answers the size.
        if (buffer) {
            if (size < needed) return fail(ERROR_INSUFFICIENT_BUFFER);
            std::memcpy(buffer, text.c_str(), needed);
        }
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    });
}

}  // extern "C"
