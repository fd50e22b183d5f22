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

std::string lowered(const std::string& text) {
    std::string lower;
    for (char c : text) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

bool isHexByte(const std::string& text) {
    return text.size() == 2 && std::isxdigit(static_cast<unsigned char>(text[0])) &&
           std::isxdigit(static_cast<unsigned char>(text[1]));
}

// "C0.D2": bmRequestType and bRequest of a control request; "any".
void parseControl(const std::string& text, Fault& f, const std::string& written) {
    if (lowered(text) == "any") return;
    const size_t dot = text.find('.');
    if (dot == std::string::npos || !isHexByte(text.substr(0, dot)) || !isHexByte(text.substr(dot + 1)))
        throw std::invalid_argument("bad control request '" + text + "' in fault '" + written +
                                    "' (bmRequestType.bRequest in hex, such as C0.D2, or any)");
    f.control = std::make_pair(static_cast<uint8_t>(std::stoul(text.substr(0, dot), nullptr, 16)),
                               static_cast<uint8_t>(std::stoul(text.substr(dot + 1), nullptr, 16)));
}

void parseBulk(const std::string& text, Fault& f, const std::string& written) {
    const std::string lower = lowered(text);
    if (lower == "in") f.match = Fault::Match::Read;
    else if (lower == "out") f.match = Fault::Match::Write;
    else if (lower == "any") f.match = Fault::Match::Any;
    else throw std::invalid_argument("bad bulk direction '" + text + "' in fault '" + written + "' (in, out or any)");
}

void parseMatch(const std::string& text, Fault& f, const std::string& written) {
    const std::string lower = lowered(text);
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

bool Fault::matches(const FaultRequest& r) const {
    if (r.bus != bus) return false;
    switch (bus) {
    case FaultRequest::Bus::Port: return true;
    case FaultRequest::Bus::UsbControl: return !control || (control->first == r.requestType && control->second == r.request);
    case FaultRequest::Bus::Bulk:
    case FaultRequest::Bus::Scsi: break;
    }
    switch (match) {
    case Match::Any: return true;
    case Match::Read: return r.direction == DataDirection::In;
    case Match::Write: return r.direction == DataDirection::Out;
    case Match::Prefix:
        if (!r.cdb || r.cdbLength < prefix.size()) return false;
        for (size_t i = 0; i < prefix.size(); ++i)
            if (r.cdb[i] != prefix[i]) return false;
        return true;
    }
    return false;
}

std::string Fault::toString() const {
    std::string s = actionName(action);
    s += ':';
    if (bus == FaultRequest::Bus::Port) {
        s += "port";
    } else if (bus == FaultRequest::Bus::UsbControl) {
        char buf[16];
        if (control) std::snprintf(buf, sizeof buf, "usb:%02X.%02X", control->first, control->second);
        else std::snprintf(buf, sizeof buf, "usb:any");
        s += buf;
    } else {
        if (bus == FaultRequest::Bus::Bulk) s += "bulk:";
        switch (match) {
        case Match::Any: s += "any"; break;
        case Match::Read: s += bus == FaultRequest::Bus::Bulk ? "in" : "read"; break;
        case Match::Write: s += bus == FaultRequest::Bus::Bulk ? "out" : "write"; break;
        case Match::Prefix:
            for (uint8_t b : prefix) {
                char buf[4];
                std::snprintf(buf, sizeof buf, "%02X", b);
                s += buf;
            }
            break;
        }
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
    const std::string bus = lowered(parts[next]);
    if (bus == "scsi" || bus == "usb" || bus == "bulk") {
        ++next;
        if (parts.size() <= next)
            throw std::invalid_argument("fault '" + written + "' needs what it hits after " + bus + ":");
    }
    if (bus == "usb") {
        f.bus = FaultRequest::Bus::UsbControl;
        parseControl(parts[next++], f, written);
    } else if (bus == "bulk") {
        f.bus = FaultRequest::Bus::Bulk;
        parseBulk(parts[next++], f, written);
    } else if (bus == "port") {
        f.bus = FaultRequest::Bus::Port;
        ++next;
    } else {
        parseMatch(parts[next++], f, written);
    }
    if (f.action == Fault::Action::Sense && f.bus != FaultRequest::Bus::Scsi)
        throw std::invalid_argument("sense data is for SCSI commands only, not in '" + written + "'");
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

std::optional<Fault> takeFault(std::vector<Fault>& faults, const FaultRequest& request, bool* changed) {
    *changed = false;
    for (size_t i = 0; i < faults.size(); ++i) {
        Fault& f = faults[i];
        if (!f.matches(request)) continue;
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
