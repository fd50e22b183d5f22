#include "script_parse.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace ui::detail {

namespace {

using Op = ScriptLine::Op;

struct Cursor {
    const std::string& line;
    size_t pos = 0;

    void skipBlanks() {
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    }
    std::string word() {
        skipBlanks();
        const size_t start = pos;
        while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t') ++pos;
        return line.substr(start, pos - start);
    }
    bool atEnd() {
        skipBlanks();
        return pos >= line.size();
    }
    // The rest of the line after the one blank that separates it.
    std::string rest() {
        if (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
        return line.substr(pos);
    }
};

bool number(const std::string& w, int* out) {
    if (w.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(w.c_str(), &end, 0);
    if (errno || !end || *end || v < -2147483648L || v > 4294967295L) return false;
    // Ids such as 0xFFFFFFFF (IDC_STATIC) wrap to the negative ints they are in code.
    *out = v < 0 ? static_cast<int>(v) : static_cast<int>(static_cast<uint32_t>(v));
    return true;
}

struct Shape {
    const char* word;
    Op op;
    int numbers;     // how many numbers follow the word
    bool text;       // the rest of the line is text
};

constexpr Shape kShapes[] = {
    {"click", Op::Click, 1, false},          {"select", Op::Select, 2, false},
    {"text", Op::Text, 1, true},             {"close", Op::Close, 0, false},
    {"enter", Op::Enter, 0, false},
    {"help", Op::Help, 0, false},            {"about", Op::About, 0, false},
    {"wait-enabled", Op::WaitEnabled, 1, false}, {"wait-disabled", Op::WaitDisabled, 1, false},
    {"wait-text", Op::WaitText, 1, true},    {"wait-pos", Op::WaitPos, 2, false},
    {"wait-closed", Op::WaitClosed, 0, false},
    {"expect-text", Op::ExpectText, 1, true}, {"expect-item", Op::ExpectItem, 3, true},
    {"file", Op::File, 0, true},             {"file-cancel", Op::FileCancel, 0, false},
};

}  // namespace

std::optional<std::vector<ScriptLine>> parseScript(const std::string& content, std::string* error) {
    std::vector<ScriptLine> lines;
    size_t start = 0;
    int lineNo = 0;
    while (start <= content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        std::string raw = content.substr(start, end - start);
        start = end + 1;
        ++lineNo;
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        Cursor cur{raw};
        if (cur.atEnd() || raw[cur.pos] == '#') {
            if (end == content.size()) break;
            continue;
        }
        ScriptLine l;
        l.number = lineNo;
        l.source = raw.substr(cur.pos);
        const std::string verb = cur.word();
        auto bad = [&](const std::string& why) {
            *error = "line " + std::to_string(lineNo) + ": " + why + ": " + l.source;
            return std::nullopt;
        };
        if (verb == "check" || verb == "uncheck") {
            const bool on = verb == "check";
            if (!number(cur.word(), &l.id)) return bad("a control id must follow");
            if (cur.atEnd()) {
                l.op = on ? Op::Check : Op::Uncheck;
            } else {
                if (!number(cur.word(), &l.row)) return bad("a row number must follow the id");
                l.op = on ? Op::CheckRow : Op::UncheckRow;
            }
            if (!cur.atEnd()) return bad("too much on the line");
            lines.push_back(std::move(l));
            if (end == content.size()) break;
            continue;
        }
        const Shape* shape = nullptr;
        for (const Shape& s : kShapes)
            if (verb == s.word) shape = &s;
        if (!shape) return bad("unknown action \"" + verb + "\"");
        l.op = shape->op;
        int values[3] = {0, 0, 0};
        for (int i = 0; i < shape->numbers; ++i)
            if (!number(cur.word(), &values[i])) return bad("a number is missing");
        l.id = values[0];
        if (shape->op == Op::Select || shape->op == Op::WaitPos) l.row = values[1];
        if (shape->op == Op::ExpectItem) {
            l.row = values[1];
            l.column = values[2];
        }
        if (shape->text) {
            l.text = cur.rest();
            if (shape->op == Op::File && l.text.empty()) return bad("a path must follow");
        } else if (!cur.atEnd()) {
            return bad("too much on the line");
        }
        lines.push_back(std::move(l));
        if (end == content.size()) break;
    }
    return lines;
}

}  // namespace ui::detail
