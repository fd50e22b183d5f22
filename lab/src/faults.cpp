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

// "C1.D2": bmRequestType and bRequest of a control request as the device receives it; "any".
void parseControl(const std::string& text, Fault& f, const std::string& written) {
    if (lowered(text) == "any") return;
    const size_t dot = text.find('.');
    if (dot == std::string::npos || !isHexByte(text.substr(0, dot)) || !isHexByte(text.substr(dot + 1)))
        throw std::invalid_argument("bad control request '" + text + "' in fault '" + written +
                                    "' (bmRequestType.bRequest in hex, such as C1.D2, or any)");
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

using Bus = FaultRequest::Bus;

constexpr unsigned on(Bus bus) { return 1u << static_cast<unsigned>(bus); }
constexpr unsigned kRequests = on(Bus::Scsi) | on(Bus::UsbControl) | on(Bus::Bulk) | on(Bus::Port);
constexpr unsigned kUsb = on(Bus::UsbControl) | on(Bus::Bulk);

// What an action takes after what it hits, before its count.
enum class Value { None, Sense, Status, Ids, Delay, Bytes, Wrapper, BlockKind };

struct ActionInfo {
    Fault::Action action;
    const char* name;
    unsigned buses;     // the buses it works on
    const char* where;  // the same in words, for the message that refuses another bus
    Value value;
    bool once;  // it happens once, so it takes no count
};

// The actions in the order the help lists them; the parser, the canonical spelling and the
// message for an unknown action all read this table.
constexpr ActionInfo kActions[] = {
    {Fault::Action::Fail, "fail", kRequests, "SCSI commands, USB requests and the port", Value::None, false},
    {Fault::Action::Sense, "sense", on(Bus::Scsi), "SCSI commands", Value::Sense, false},
    {Fault::Action::Stall, "stall", kRequests, "SCSI commands, USB requests and the port", Value::None, false},
    {Fault::Action::Corrupt, "corrupt", kRequests, "SCSI commands, USB requests and the port", Value::None, false},
    {Fault::Action::Unplug, "unplug", kRequests, "SCSI commands, USB requests and the port", Value::None, true},
    {Fault::Action::UsbStatus, "usbstatus", kUsb, "USB requests (usb:, bulk:)", Value::Status, false},
    {Fault::Action::NtStatus, "ntstatus", kUsb, "USB requests (usb:, bulk:)", Value::Status, false},
    {Fault::Action::Replug, "replug", kUsb | on(Bus::Scsi), "USB requests (usb:, bulk:) and SCSI commands", Value::None,
     true},
    {Fault::Action::Lost, "lost", on(Bus::Leave), "the device leaving its port (leave:K)", Value::None, false},
    {Fault::Action::Stuck, "stuck", on(Bus::Leave) | on(Bus::Port), "leave:K and port", Value::None, false},
    {Fault::Action::UsbStor, "usbstor", on(Bus::Leave), "leave:detach", Value::None, false},
    {Fault::Action::Ids, "ids", on(Bus::Leave), "the device leaving its port (leave:K)", Value::Ids, false},
    {Fault::Action::Slow, "slow", on(Bus::Leave) | on(Bus::Scsi), "SCSI commands and the device leaving its port (leave:K)",
     Value::Delay, false},
    {Fault::Action::Empty, "empty", on(Bus::Port), "port", Value::None, false},
    {Fault::Action::Short, "short", on(Bus::Scsi), "SCSI commands", Value::Bytes, false},
    {Fault::Action::Csw, "csw", on(Bus::Scsi), "SCSI commands", Value::Wrapper, false},
    {Fault::Action::Bad, "bad", on(Bus::Block), "block+HEX", Value::BlockKind, false},
};

constexpr std::pair<Fault::Wrapper, const char*> kWrappers[] = {
    {Fault::Wrapper::Short12, "12"}, {Fault::Wrapper::Long14, "14"}, {Fault::Wrapper::BadTag, "tag"},
    {Fault::Wrapper::Phase, "phase"}};
constexpr std::pair<Fault::BlockKind, const char*> kBlockKinds[] = {
    {Fault::BlockKind::Written, "written"}, {Fault::BlockKind::Erase, "erase"}, {Fault::BlockKind::Never, "never"}};

// The name of `value` in `table`, or the value for `name` (without regard to case).
template <typename E, size_t N>
const char* nameIn(const std::pair<E, const char*> (&table)[N], E value) {
    for (const auto& [v, name] : table)
        if (v == value) return name;
    return "?";
}
template <typename E, size_t N>
std::optional<E> valueIn(const std::pair<E, const char*> (&table)[N], const std::string& name) {
    for (const auto& [v, n] : table)
        if (lowered(name) == n) return v;
    return std::nullopt;
}

const ActionInfo& infoOf(Fault::Action action) {
    for (const ActionInfo& info : kActions)
        if (info.action == action) return info;
    throw std::logic_error("a fault action missing from kActions");
}

const ActionInfo& infoNamed(const std::string& name, const std::string& written) {
    for (const ActionInfo& info : kActions)
        if (name == info.name) return info;
    std::string names;
    for (const ActionInfo& info : kActions) names += std::string(info.name) + ", ";
    throw std::invalid_argument("unknown fault '" + written + "' (" + names + "plug, clear)");
}

constexpr std::pair<LeaveKind, const char*> kLeaveKinds[] = {
    {LeaveKind::Detach, "detach"}, {LeaveKind::Cycle, "cycle"}, {LeaveKind::Power, "power"}, {LeaveKind::Any, "any"}};

void parseLeave(const std::string& text, Fault& f, const std::string& written) {
    for (const auto& [kind, name] : kLeaveKinds)
        if (lowered(text) == name) {
            f.leaveKind = kind;
            return;
        }
    throw std::invalid_argument("bad leave kind '" + text + "' in fault '" + written +
                                "' (detach, cycle, power or any)");
}

const char* leaveName(LeaveKind kind) {
    for (const auto& [k, name] : kLeaveKinds)
        if (k == kind) return name;
    return "?";
}

// Hex digits, between minDigits and maxDigits of them (at most 8); none when the text is not that.
std::optional<uint32_t> hexNumber(const std::string& text, size_t minDigits, size_t maxDigits) {
    if (text.size() < minDigits || text.size() > maxDigits) return std::nullopt;
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    return static_cast<uint32_t>(std::stoul(text, nullptr, 16));
}

// Decimal digits, at most maxDigits of them, for a value from low to high; none otherwise.
std::optional<uint32_t> decimal(const std::string& text, size_t maxDigits, uint32_t low, uint32_t high) {
    if (text.empty() || text.size() > maxDigits) return std::nullopt;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    const unsigned long v = std::stoul(text);
    if (v < low || v > high) return std::nullopt;
    return static_cast<uint32_t>(v);
}

void parseValue(Value value, const std::string& text, Fault& f, const std::string& written) {
    switch (value) {
    case Value::None: return;
    case Value::Sense: {
        const std::vector<std::string> sense = split(text, '/');
        if (sense.size() != 3) throw std::invalid_argument("fault '" + written + "' needs sense data KK/AA/QQ");
        f.senseKey = parseHexByte(sense[0], written, "sense byte");
        f.asc = parseHexByte(sense[1], written, "sense byte");
        f.ascq = parseHexByte(sense[2], written, "sense byte");
        if (f.senseKey > 0x0F) throw std::invalid_argument("sense key above 0F in fault '" + written + "'");
        return;
    }
    case Value::Status: {
        const auto status = hexNumber(text, 8, 8);
        if (!status)
            throw std::invalid_argument("bad status '" + text + "' in fault '" + written +
                                        "' (8 hex digits, such as C0000004)");
        f.status = *status;
        return;
    }
    case Value::Ids: {
        const size_t dot = text.find('.');
        const auto vendor = hexNumber(text.substr(0, dot), 4, 4);
        const auto product = dot == std::string::npos ? std::nullopt : hexNumber(text.substr(dot + 1), 4, 4);
        if (!vendor || !product)
            throw std::invalid_argument("bad USB identifiers '" + text + "' in fault '" + written +
                                        "' (vendor.product, 4 hex digits each)");
        f.vendorId = static_cast<uint16_t>(*vendor);
        f.productId = static_cast<uint16_t>(*product);
        return;
    }
    case Value::Delay: {
        const auto ms = decimal(text, 7, 1, 3600000);
        if (!ms)
            throw std::invalid_argument("bad delay '" + text + "' in fault '" + written +
                                        "' (lab milliseconds, 1 to 3600000)");
        f.delayMs = *ms;
        return;
    }
    case Value::Bytes: {
        const auto n = decimal(text, 5, 1, 65535);
        if (!n) throw std::invalid_argument("bad length '" + text + "' in fault '" + written + "' (bytes, 1 to 65535)");
        f.bytes = *n;
        return;
    }
    case Value::Wrapper: {
        const auto w = valueIn(kWrappers, text);
        if (!w)
            throw std::invalid_argument("bad status wrapper '" + text + "' in fault '" + written +
                                        "' (12, 14, tag or phase)");
        f.wrapper = *w;
        return;
    }
    case Value::BlockKind: {
        const auto k = valueIn(kBlockKinds, text);
        if (!k)
            throw std::invalid_argument("bad block kind '" + text + "' in fault '" + written +
                                        "' (written, erase or never)");
        f.blockKind = *k;
        return;
    }
    }
}

const char* valueNeeded(Value value) {
    switch (value) {
    case Value::None: break;
    case Value::Sense: return "sense data KK/AA/QQ";
    case Value::Status: return "a status XXXXXXXX (8 hex digits)";
    case Value::Ids: return "USB identifiers VVVV.PPPP";
    case Value::Delay: return "a delay in lab milliseconds";
    case Value::Bytes: return "a length in bytes";
    case Value::Wrapper: return "what is wrong with the status wrapper (12, 14, tag or phase)";
    case Value::BlockKind: return "what the block does (written, erase or never)";
    }
    return "";
}

}  // namespace

bool Fault::matches(const FaultRequest& r) const {
    if (r.bus != bus) return false;
    if (position && (r.located || r.dataLength) &&
        (*position < r.dataOffset || *position - r.dataOffset >= r.dataLength))
        return false;
    switch (bus) {
    case Bus::Port:
    case Bus::Block: return true;
    case Bus::Leave: return leaveKind == LeaveKind::Any || leaveKind == r.leaveKind;
    case Bus::UsbControl: return !control || (control->first == r.requestType && control->second == r.request);
    case Bus::Bulk:
    case Bus::Scsi: break;
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
    const ActionInfo& info = infoOf(action);
    std::string s = info.name;
    s += ':';
    char buf[32];
    switch (bus) {
    case Bus::Port: s += "port"; break;
    case Bus::Block: s += "block"; break;
    case Bus::Leave: s += std::string("leave:") + leaveName(leaveKind); break;
    case Bus::UsbControl:
        if (control) std::snprintf(buf, sizeof buf, "usb:%02X.%02X", control->first, control->second);
        else std::snprintf(buf, sizeof buf, "usb:any");
        s += buf;
        break;
    case Bus::Bulk:
    case Bus::Scsi:
        if (bus == Bus::Bulk) s += "bulk:";
        switch (match) {
        case Match::Any: s += "any"; break;
        case Match::Read: s += bus == Bus::Bulk ? "in" : "read"; break;
        case Match::Write: s += bus == Bus::Bulk ? "out" : "write"; break;
        case Match::Prefix:
            for (uint8_t b : prefix) {
                std::snprintf(buf, sizeof buf, "%02X", b);
                s += buf;
            }
            break;
        }
        break;
    }
    if (position) {
        std::snprintf(buf, sizeof buf, "+%X", static_cast<unsigned>(*position));
        s += buf;
    }
    switch (info.value) {
    case Value::None: buf[0] = '\0'; break;
    case Value::Sense: std::snprintf(buf, sizeof buf, ":%02X/%02X/%02X", senseKey, asc, ascq); break;
    case Value::Status: std::snprintf(buf, sizeof buf, ":%08X", static_cast<unsigned>(status)); break;
    case Value::Ids: std::snprintf(buf, sizeof buf, ":%04X.%04X", vendorId, productId); break;
    case Value::Delay: std::snprintf(buf, sizeof buf, ":%u", static_cast<unsigned>(delayMs)); break;
    case Value::Bytes: std::snprintf(buf, sizeof buf, ":%u", static_cast<unsigned>(bytes)); break;
    case Value::Wrapper: std::snprintf(buf, sizeof buf, ":%s", nameIn(kWrappers, wrapper)); break;
    case Value::BlockKind: std::snprintf(buf, sizeof buf, ":%s", nameIn(kBlockKinds, blockKind)); break;
    }
    s += buf;
    if (remaining && !info.once) s += ":" + std::to_string(*remaining);
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
    const ActionInfo& info = infoNamed(parts[0], written);
    f.action = info.action;
    size_t next = 1;
    if (parts.size() <= next) throw std::invalid_argument("fault '" + written + "' needs a command (CDB bytes in hex)");

    // What it hits: a bus that names itself and its argument, "port", or a SCSI command on its
    // own; the last of these may carry a byte position.
    std::string bus = lowered(parts[next]);
    const bool named = bus == "scsi" || bus == "usb" || bus == "bulk" || bus == "leave";
    const bool block = bus.substr(0, 5) == "block" && (bus.size() == 5 || bus[5] == '+');
    if (named && parts.size() <= ++next)
        throw std::invalid_argument("fault '" + written + "' needs what it hits after " + bus + ":");
    std::string target = parts[next++];
    std::optional<std::string> position;
    if (const size_t plus = target.find('+'); plus != std::string::npos) {
        position = target.substr(plus + 1);
        target.erase(plus);
    }
    if (!named) bus = lowered(target) == "port" ? "port" : block ? "block" : "scsi";
    if (bus == "usb") {
        f.bus = Bus::UsbControl;
        parseControl(target, f, written);
    } else if (bus == "bulk") {
        f.bus = Bus::Bulk;
        parseBulk(target, f, written);
    } else if (bus == "leave") {
        f.bus = Bus::Leave;
        parseLeave(target, f, written);
    } else if (bus == "port") {
        f.bus = Bus::Port;
    } else if (bus == "block") {
        f.bus = Bus::Block;
    } else {
        parseMatch(target, f, written);
    }

    if (!(info.buses & on(f.bus)))
        throw std::invalid_argument(std::string(info.name) + " is for " + info.where + " only, not in '" + written +
                                    "'");
    if (f.action == Fault::Action::UsbStor && f.leaveKind != LeaveKind::Detach)
        throw std::invalid_argument("usbstor is for leave:detach only, not in '" + written + "'");
    if (f.bus == Bus::Block && !position)
        throw std::invalid_argument("fault '" + written + "' needs the block's position: block+HEX");
    if (position) {
        if (f.bus == Bus::Port || f.bus == Bus::Leave)
            throw std::invalid_argument("a byte position (+HEX) is for requests that carry data, not in '" + written +
                                        "'");
        f.position = hexNumber(*position, 1, 8);
        if (!f.position)
            throw std::invalid_argument("bad byte position '" + *position + "' in fault '" + written +
                                        "' (a hex offset, up to 8 digits)");
    }
    if (info.value != Value::None) {
        if (parts.size() <= next)
            throw std::invalid_argument("fault '" + written + "' needs " + valueNeeded(info.value));
        parseValue(info.value, parts[next++], f, written);
    }
    if (parts.size() > next) {
        if (info.once)
            throw std::invalid_argument(std::string(info.name) + " happens once: no count in '" + written +
                                        "' (use @M)");
        f.remaining = parseCount(parts[next++], written);
        if (*f.remaining == 0) throw std::invalid_argument("a count of 0 in fault '" + written + "' hits nothing");
    }
    if (info.once) f.remaining = 1;
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
