#include "lab/faults.h"

#include <cctype>
#include <cstdio>
#include <stdexcept>

namespace lab {

namespace {

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = s.find(sep, start);
        parts.push_back(s.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

uint32_t parseCount(const std::string& text, const std::string& written) {
    if (text.empty() || text.size() > 9) throw std::invalid_argument("bad count in fault '" + written + "'");
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c))) throw std::invalid_argument("bad count in fault '" + written + "'");
    return static_cast<uint32_t>(std::stoul(text));
}

// `what` names the byte in the message ("sense byte", "command byte"), so that the user sees
// which part of the fault is wrong.
uint8_t parseHexByte(const std::string& text, const std::string& written, const char* what) {
    if (text.size() != 2 || !std::isxdigit(static_cast<unsigned char>(text[0])) ||
        !std::isxdigit(static_cast<unsigned char>(text[1])))
        throw std::invalid_argument(std::string("bad ") + what + " '" + text + "' in fault '" + written +
                                    "' (two hex digits each)");
    return static_cast<uint8_t>(std::stoul(text, nullptr, 16));
}

void parseMatch(const std::string& text, Fault& f, const std::string& written) {
    std::string lower;
    for (char c : text) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "read") {
        f.match = Fault::Match::Read;
    } else if (lower == "write") {
        f.match = Fault::Match::Write;
    } else if (lower == "any") {
        f.match = Fault::Match::Any;
    } else {
        if (text.empty() || text.size() % 2 || text.size() > 32)
            throw std::invalid_argument("bad command '" + text + "' in fault '" + written +
                                        "' (hex CDB bytes, or read, write, any)");
        f.match = Fault::Match::Prefix;
        for (size_t i = 0; i < text.size(); i += 2) f.prefix.push_back(parseHexByte(text.substr(i, 2), written, "command byte"));
    }
}

const char* actionName(Fault::Action a) {
    switch (a) {
    case Fault::Action::Fail: return "fail";
    case Fault::Action::Sense: return "sense";
    case Fault::Action::Stall: return "stall";
    case Fault::Action::Corrupt: return "corrupt";
    case Fault::Action::Unplug: return "unplug";
    }
    return "?";
}

}  // namespace

bool Fault::matches(const uint8_t* cdb, size_t cdbLength, DataDirection direction) const {
    switch (match) {
    case Match::Any: return true;
    case Match::Read: return direction == DataDirection::In;
    case Match::Write: return direction == DataDirection::Out;
    case Match::Prefix:
        if (cdbLength < prefix.size()) return false;
        for (size_t i = 0; i < prefix.size(); ++i)
            if (cdb[i] != prefix[i]) return false;
        return true;
    }
    return false;
}

std::string Fault::toString() const {
    std::string s = actionName(action);
    s += ':';
    switch (match) {
    case Match::Any: s += "any"; break;
    case Match::Read: s += "read"; break;
    case Match::Write: s += "write"; break;
    case Match::Prefix:
        for (uint8_t b : prefix) {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%02X", b);
            s += buf;
        }
        break;
    }
    if (action == Action::Sense) {
        char buf[16];
        std::snprintf(buf, sizeof buf, ":%02X/%02X/%02X", senseKey, asc, ascq);
        s += buf;
    }
    if (remaining && action != Action::Unplug) s += ":" + std::to_string(*remaining);
    if (skip) s += "@" + std::to_string(skip);
    return s;
}

Fault parseFault(const std::string& written) {
    std::string body = written;
    Fault f;
    if (const size_t at = body.find('@'); at != std::string::npos) {
        f.skip = parseCount(body.substr(at + 1), written);
        body.erase(at);
    }
    const std::vector<std::string> parts = split(body, ':');
    const std::string& action = parts[0];
    size_t next = 1;
    if (action == "fail") {
        f.action = Fault::Action::Fail;
    } else if (action == "sense") {
        f.action = Fault::Action::Sense;
    } else if (action == "stall") {
        f.action = Fault::Action::Stall;
    } else if (action == "corrupt") {
        f.action = Fault::Action::Corrupt;
    } else if (action == "unplug") {
        f.action = Fault::Action::Unplug;
    } else {
        throw std::invalid_argument("unknown fault '" + written + "' (fail, sense, stall, corrupt, unplug, plug, clear)");
    }
    if (parts.size() <= next) throw std::invalid_argument("fault '" + written + "' needs a command (CDB bytes in hex)");
    parseMatch(parts[next++], f, written);
    if (f.action == Fault::Action::Sense) {
        if (parts.size() <= next) throw std::invalid_argument("fault '" + written + "' needs sense data KK/AA/QQ");
        const std::vector<std::string> sense = split(parts[next++], '/');
        if (sense.size() != 3) throw std::invalid_argument("fault '" + written + "' needs sense data KK/AA/QQ");
        f.senseKey = parseHexByte(sense[0], written, "sense byte");
        f.asc = parseHexByte(sense[1], written, "sense byte");
        f.ascq = parseHexByte(sense[2], written, "sense byte");
        if (f.senseKey > 0x0F) throw std::invalid_argument("sense key above 0F in fault '" + written + "'");
    }
    if (parts.size() > next) {
        if (f.action == Fault::Action::Unplug)
            throw std::invalid_argument("an unplug happens once: no count in '" + written + "' (use @K)");
        f.remaining = parseCount(parts[next++], written);
        if (*f.remaining == 0) throw std::invalid_argument("a count of 0 in fault '" + written + "' hits nothing");
    }
    if (f.action == Fault::Action::Unplug) f.remaining = 1;
    if (parts.size() > next) throw std::invalid_argument("too many fields in fault '" + written + "'");
    return f;
}

std::optional<Fault> takeFault(std::vector<Fault>& faults, const uint8_t* cdb, size_t cdbLength,
                               DataDirection direction, bool* changed) {
    *changed = false;
    for (size_t i = 0; i < faults.size(); ++i) {
        Fault& f = faults[i];
        if (!f.matches(cdb, cdbLength, direction)) continue;
        *changed = f.skip > 0 || f.remaining.has_value();
        if (f.skip > 0) {
            --f.skip;
            return std::nullopt;
        }
        Fault hit = f;
        if (f.remaining && --*f.remaining == 0) faults.erase(faults.begin() + static_cast<std::ptrdiff_t>(i));
        return hit;
    }
    return std::nullopt;
}

}  // namespace lab
