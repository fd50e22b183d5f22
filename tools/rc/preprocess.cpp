// Reading a resource script: comments, #include and #define, and the tokens of what is left.
// Conditional directives (#if, #ifdef ... #endif) are header guards in the scripts this tool
// reads, so they are passed over and every line counts.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>

#include "rc.h"

namespace fs = std::filesystem;

namespace rc {

// ---- text ----------------------------------------------------------------------------------

bool appendUtf8AsUtf16(const std::string& utf8, std::u16string* out) {
    size_t i = 0;
    while (i < utf8.size()) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        uint32_t cp = 0;
        size_t extra = 0;
        if (b < 0x80) {
            cp = b;
        } else if ((b & 0xE0) == 0xC0) {
            cp = b & 0x1F, extra = 1;
        } else if ((b & 0xF0) == 0xE0) {
            cp = b & 0x0F, extra = 2;
        } else if ((b & 0xF8) == 0xF0) {
            cp = b & 0x07, extra = 3;
        } else {
            return false;
        }
        if (extra > 0 && i + extra >= utf8.size()) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const auto c = static_cast<unsigned char>(utf8[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        // Overlong forms, surrogates and values beyond Unicode are not text.
        static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out->push_back(static_cast<char16_t>(cp));
        }
        i += extra + 1;
    }
    return true;
}

std::string utf16ToUtf8(const std::u16string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

namespace {

bool isIdentStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool isIdentChar(char c) { return isIdentStart(c) || (c >= '0' && c <= '9'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string describeChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x21 && u < 0x7F) return std::string("'") + c + "'";
    char buf[16];
    std::snprintf(buf, sizeof buf, "byte 0x%02X", u);
    return buf;
}

// Lexes one token at text[*pos] (whitespace and comments already skipped). Returns false for a
// character that starts no token, leaving *pos on it.
bool lexToken(const std::string& text, size_t* pos, const Location& where, Token* tok) {
    size_t i = *pos;
    tok->where = where;
    tok->text.clear();
    tok->wide.clear();
    tok->value = 0;
    tok->isLong = false;
    const char c = text[i];

    const bool wideString = (c == 'L' || c == 'l') && i + 1 < text.size() && text[i + 1] == '"';
    if (c == '"' || wideString) {
        tok->kind = Token::String;
        tok->isLong = wideString;
        i += wideString ? 2 : 1;
        std::string run;  // UTF-8 bytes waiting to be converted
        auto flush = [&] {
            if (!appendUtf8AsUtf16(run, &tok->wide)) fail(where, "string is not valid UTF-8");
            run.clear();
        };
        for (;;) {
            if (i >= text.size() || text[i] == '\n' || text[i] == '\r') fail(where, "unterminated string");
            const char ch = text[i];
            if (ch == '"') {
                if (i + 1 < text.size() && text[i + 1] == '"') {  // "" stands for one quote
                    run += '"';
                    i += 2;
                    continue;
                }
                ++i;
                break;
            }
            if (ch == '\\' && i + 1 < text.size()) {
                const char e = text[i + 1];
                char16_t unit = 0;
                bool escaped = true;
                size_t used = 2;
                switch (e) {
                    case 'n': unit = u'\n'; break;
                    case 't': unit = u'\t'; break;
                    case 'r': unit = u'\r'; break;
                    case '0': unit = 0; break;
                    case '\\': unit = u'\\'; break;
                    case '"': unit = u'"'; break;
                    case 'x':
                    case 'X': {
                        int v = 0, digits = 0;
                        while (digits < 2 && i + 2 + digits < text.size() && hexValue(text[i + 2 + digits]) >= 0)
                            v = v * 16 + hexValue(text[i + 2 + digits++]);
                        if (digits == 0) fail(where, "\\x needs hexadecimal digits");
                        unit = static_cast<char16_t>(v);
                        used = 2 + digits;
                        break;
                    }
                    default: escaped = false; break;  // kept as written, as in file names "dir\name"
                }
                if (escaped) {
                    flush();
                    tok->wide.push_back(unit);
                    i += used;
                    continue;
                }
            }
            run += ch;
            ++i;
        }
        flush();
        tok->text = utf16ToUtf8(tok->wide);
        *pos = i;
        return true;
    }
    if (isDigit(c)) {
        tok->kind = Token::Number;
        uint64_t v = 0;
        if (c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
            i += 2;
            const size_t start = i;
            while (i < text.size() && hexValue(text[i]) >= 0) {
                v = v * 16 + static_cast<uint64_t>(hexValue(text[i++]));
                if (v > 0xFFFFFFFFu) fail(where, "number does not fit in 32 bits");
            }
            if (i == start) fail(where, "0x needs hexadecimal digits");
        } else {
            while (i < text.size() && isDigit(text[i])) {
                v = v * 10 + static_cast<uint64_t>(text[i++] - '0');
                if (v > 0xFFFFFFFFu) fail(where, "number does not fit in 32 bits");
            }
        }
        while (i < text.size() && (text[i] == 'L' || text[i] == 'l' || text[i] == 'U' || text[i] == 'u')) {
            if (text[i] == 'L' || text[i] == 'l') tok->isLong = true;
            ++i;
        }
        if (i < text.size() && isIdentChar(text[i])) fail(where, "malformed number");
        tok->value = static_cast<uint32_t>(v);
        tok->text = text.substr(*pos, i - *pos);
        *pos = i;
        return true;
    }
    if (isIdentStart(c)) {
        tok->kind = Token::Identifier;
        while (i < text.size() && isIdentChar(text[i])) ++i;
        tok->text = text.substr(*pos, i - *pos);
        *pos = i;
        return true;
    }
    static const std::string kPunct = ",|()+-~&{}";
    if (kPunct.find(c) != std::string::npos) {
        tok->kind = Token::Punct;
        tok->text = std::string(1, c);
        *pos = i + 1;
        return true;
    }
    return false;
}

struct Define {
    std::vector<Token> tokens;
    bool usable = true;  // false when the value is C that no script expression can use
    Location where;
};

class Preprocessor {
public:
    explicit Preprocessor(const std::vector<fs::path>& includeDirs) : includeDirs_(includeDirs) {}

    Source run(const fs::path& script) {
        processFile(script, false, 0, Location{script.string(), 0});
        Token end;
        end.kind = Token::End;
        end.where = Location{script.string(), lastLine_};
        source_.tokens.push_back(end);
        return std::move(source_);
    }

private:
    static constexpr int kMaxDepth = 32;

    void processFile(const fs::path& path, bool definesOnly, int depth, const Location& from) {
        std::ifstream in(path, std::ios::binary);
        if (!in) fail(from, "cannot open '" + path.string() + "'");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
        source_.files.push_back(path);

        const std::string name = path.string();
        size_t i = 0;
        int line = 1;
        bool lineStart = true;
        auto skipBlockComment = [&](size_t at) {
            const size_t end = text.find("*/", at + 2);
            if (end == std::string::npos) fail(Location{name, line}, "unterminated comment");
            for (size_t k = at; k < end; ++k)
                if (text[k] == '\n') ++line;
            return end + 2;
        };
        while (i < text.size()) {
            const char c = text[i];
            const char n = i + 1 < text.size() ? text[i + 1] : '\0';
            if (c == '\n') {
                ++line;
                lineStart = true;
                ++i;
            } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
                ++i;
            } else if (c == '/' && n == '/') {
                while (i < text.size() && text[i] != '\n') ++i;
            } else if (c == '/' && n == '*') {
                i = skipBlockComment(i);
            } else if (c == '#' && lineStart) {
                const Location where{name, line};
                std::string body;
                ++i;
                while (i < text.size() && text[i] != '\n') {
                    const char d = text[i];
                    const char dn = i + 1 < text.size() ? text[i + 1] : '\0';
                    if (d == '\\' && (dn == '\n' || (dn == '\r' && i + 2 < text.size() && text[i + 2] == '\n'))) {
                        i += dn == '\n' ? 2 : 3;  // a continued directive line
                        ++line;
                        body += ' ';
                    } else if (d == '/' && dn == '/') {
                        while (i < text.size() && text[i] != '\n') ++i;
                    } else if (d == '/' && dn == '*') {
                        i = skipBlockComment(i);
                        body += ' ';
                    } else if (d == '"') {
                        body += text[i++];
                        while (i < text.size() && text[i] != '"' && text[i] != '\n') {
                            if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] != '\n') body += text[i++];
                            body += text[i++];
                        }
                        if (i < text.size() && text[i] == '"') body += text[i++];
                    } else {
                        body += text[i++];
                    }
                }
                directive(body, where, path, definesOnly, depth);
            } else {
                lineStart = false;
                const Location where{name, line};
                if (definesOnly) {
                    // C in a header: only its #defines count; skip literals so that their
                    // contents are not taken for comments.
                    if (c == '"' || c == '\'')
                        skipLiteral(text, &i);
                    else
                        ++i;
                    continue;
                }
                Token tok;
                if (!lexToken(text, &i, where, &tok)) fail(where, "unexpected " + describeChar(c));
                std::vector<std::string> expanding;
                emit(std::move(tok), &expanding);
            }
        }
        if (depth == 0) lastLine_ = line;
    }

    static void skipLiteral(const std::string& text, size_t* pos) {
        const char quote = text[*pos];
        size_t i = *pos + 1;
        while (i < text.size() && text[i] != quote && text[i] != '\n')
            i += text[i] == '\\' && i + 1 < text.size() && text[i + 1] != '\n' ? 2 : 1;
        // An unterminated literal ends at its line; the newline still counts.
        *pos = i < text.size() && text[i] == quote ? i + 1 : std::min(i, text.size());
    }

    void emit(Token tok, std::vector<std::string>* expanding) {
        if (tok.kind == Token::Identifier) {
            auto it = defines_.find(tok.text);
            if (it != defines_.end() &&
                std::find(expanding->begin(), expanding->end(), tok.text) == expanding->end()) {
                const Define& d = it->second;
                if (!d.usable)
                    fail(tok.where, "'" + tok.text + "' (defined at " + d.where.file + ":" +
                                        std::to_string(d.where.line) + ") is not a value a script can use");
                expanding->push_back(tok.text);
                for (Token t : d.tokens) {
                    t.where = tok.where;  // errors point at the use, not the header
                    emit(std::move(t), expanding);
                }
                expanding->pop_back();
                return;
            }
        }
        source_.tokens.push_back(std::move(tok));
    }

    void directive(const std::string& body, const Location& where, const fs::path& file, bool definesOnly,
                   int depth) {
        size_t i = 0;
        auto skipSpace = [&] {
            while (i < body.size() && (body[i] == ' ' || body[i] == '\t' || body[i] == '\r')) ++i;
        };
        skipSpace();
        const size_t start = i;
        while (i < body.size() && isIdentChar(body[i])) ++i;
        const std::string word = body.substr(start, i - start);
        skipSpace();

        if (word == "include") {
            if (i >= body.size() || (body[i] != '"' && body[i] != '<')) fail(where, "#include needs \"file\"");
            const char close = body[i] == '"' ? '"' : '>';
            const size_t end = body.find(close, i + 1);
            if (end == std::string::npos) fail(where, "#include: missing closing " + std::string(1, close));
            const std::string name = body.substr(i + 1, end - i - 1);
            include(name, close == '>', where, file, definesOnly, depth);
        } else if (word == "define") {
            const size_t nameStart = i;
            while (i < body.size() && isIdentChar(body[i])) ++i;
            const std::string name = body.substr(nameStart, i - nameStart);
            if (name.empty() || !isIdentStart(name[0])) fail(where, "#define needs a name");
            if (i < body.size() && body[i] == '(') return;  // function-like macros never reach a script
            Define d;
            d.where = where;
            while (true) {
                skipSpace();
                if (i >= body.size()) break;
                Token tok;
                bool lexed = false;
                try {
                    lexed = lexToken(body, &i, where, &tok);
                } catch (const Error&) {
                    if (!definesOnly) throw;
                }
                if (!lexed) {
                    // C that no script expression can use (casts, floats, ...): fine in a
                    // header as long as the script does not use the name.
                    if (!definesOnly) fail(where, "unexpected " + describeChar(body[i]) + " in #define");
                    d.usable = false;
                    break;
                }
                d.tokens.push_back(std::move(tok));
            }
            defines_[name] = std::move(d);
        } else if (word.empty() || word == "undef" || word == "if" || word == "ifdef" || word == "ifndef" ||
                   word == "elif" || word == "else" || word == "endif" || word == "pragma" || word == "line" ||
                   word == "error" || word == "warning") {
            // Header guards and compiler hints: nothing for a resource script.
        } else {
            fail(where, "unknown directive #" + word);
        }
    }

    void include(const std::string& name, bool system, const Location& where, const fs::path& from,
                 bool definesOnly, int depth) {
        if (depth + 1 > kMaxDepth) fail(where, "#include nested too deeply");
        std::vector<fs::path> candidates{from.parent_path() / name};
        for (const fs::path& dir : includeDirs_) candidates.push_back(dir / name);
        for (const fs::path& candidate : candidates) {
            std::error_code ec;
            if (!fs::is_regular_file(candidate, ec)) continue;
            std::string ext = candidate.extension().string();
            for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            const bool header = ext == ".h" || ext == ".hh" || ext == ".hpp" || ext == ".c";
            processFile(candidate.lexically_normal(), definesOnly || header, depth + 1, where);
            return;
        }
        // <windows.h> and friends: their names this tool knows already (symbols.h).
        if (system) return;
        fail(where, "cannot find include file '" + name + "'");
    }

    std::vector<fs::path> includeDirs_;
    std::map<std::string, Define> defines_;
    Source source_;
    int lastLine_ = 0;
};

}  // namespace

Source preprocess(const fs::path& script, const std::vector<fs::path>& includeDirs) {
    return Preprocessor(includeDirs).run(script);
}

}  // namespace rc
