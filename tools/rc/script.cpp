// Parsing the tokens of a resource script into resources: LANGUAGE, STRINGTABLE, DIALOG(EX),
// VERSIONINFO and resources read from files (BITMAP, ICON, RCDATA, HTML and custom types).
#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>

#include "rc.h"
#include "symbols.h"

namespace fs = std::filesystem;

namespace rc {

namespace {

constexpr uint32_t WS_CHILD = 0x40000000, WS_VISIBLE = 0x10000000, WS_TABSTOP = 0x00010000,
                   WS_GROUP = 0x00020000, WS_BORDER = 0x00800000, WS_POPUP = 0x80000000,
                   WS_SYSMENU = 0x00080000, WS_CAPTION = 0x00C00000, DS_SETFONT = 0x40;
constexpr uint16_t kButton = 0x80, kEdit = 0x81, kStatic = 0x82, kListBox = 0x83, kComboBox = 0x85;

constexpr uint16_t RT_BITMAP = 2, RT_DIALOG = 5, RT_RCDATA = 10, RT_GROUP_ICON = 14, RT_VERSION = 16,
                   RT_HTML = 23, RT_MANIFEST = 24;

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::optional<uint32_t> symbolValue(const std::string& name) {
    for (const Symbol& s : kSymbols)
        if (s.name == name) return s.value;
    return std::nullopt;
}

// How each control statement is written and what RC gives it by default.
enum class Form { Text, NoText, Icon, Control };
struct ControlKind {
    const char* keyword;
    Form form;
    uint16_t classOrdinal;
    uint32_t defaultStyle;
};
constexpr ControlKind kControls[] = {
    {"PUSHBUTTON", Form::Text, kButton, 0x0 | WS_TABSTOP},
    {"DEFPUSHBUTTON", Form::Text, kButton, 0x1 | WS_TABSTOP},
    {"CHECKBOX", Form::Text, kButton, 0x2 | WS_TABSTOP},
    {"AUTOCHECKBOX", Form::Text, kButton, 0x3 | WS_TABSTOP},
    {"RADIOBUTTON", Form::Text, kButton, 0x4 | WS_TABSTOP},
    {"AUTORADIOBUTTON", Form::Text, kButton, 0x9 | WS_TABSTOP},
    {"GROUPBOX", Form::Text, kButton, 0x7},
    {"LTEXT", Form::Text, kStatic, 0x0 | WS_GROUP},
    {"CTEXT", Form::Text, kStatic, 0x1 | WS_GROUP},
    {"RTEXT", Form::Text, kStatic, 0x2 | WS_GROUP},
    {"EDITTEXT", Form::NoText, kEdit, 0x0 | WS_BORDER | WS_TABSTOP},
    {"COMBOBOX", Form::NoText, kComboBox, 0x1 | WS_TABSTOP},
    {"LISTBOX", Form::NoText, kListBox, 0x1 | WS_BORDER},
    {"ICON", Form::Icon, kStatic, 0x3},
    {"CONTROL", Form::Control, 0, 0},
};

const char* const kMemoryFlags[] = {"PRELOAD", "LOADONCALL", "FIXED",  "MOVEABLE", "DISCARDABLE",
                                    "PURE",    "IMPURE",     "SHARED", "NONSHARED"};

class Parser {
public:
    Parser(Source source, const fs::path& script, const std::vector<fs::path>& includeDirs)
        : tokens_(std::move(source.tokens)), script_(script), includeDirs_(includeDirs) {
        result_.dependencies = std::move(source.files);
    }

    Script run() {
        while (peek().kind != Token::End) {
            if (acceptWord("LANGUAGE")) {
                language_ = languageArguments();
            } else if (acceptWord("STRINGTABLE")) {
                stringTable();
            } else {
                resourceStatement();
            }
        }
        return std::move(result_);
    }

private:
    // ---- token access ----------------------------------------------------------------------
    const Token& peek(size_t ahead = 0) const { return tokens_[std::min(pos_ + ahead, tokens_.size() - 1)]; }
    const Token& next() {
        const Token& t = peek();
        if (pos_ < tokens_.size() - 1) ++pos_;
        return t;
    }
    static bool isPunct(const Token& t, char c) { return t.kind == Token::Punct && t.text[0] == c; }
    static bool isWord(const Token& t, const char* word) {
        return t.kind == Token::Identifier && upper(t.text) == word;
    }
    bool acceptPunct(char c) {
        if (!isPunct(peek(), c)) return false;
        next();
        return true;
    }
    bool acceptWord(const char* word) {
        if (!isWord(peek(), word)) return false;
        next();
        return true;
    }
    static std::string describe(const Token& t) {
        switch (t.kind) {
            case Token::End: return "end of file";
            case Token::String: return "\"" + t.text + "\"";
            default: return "'" + t.text + "'";
        }
    }
    [[noreturn]] void unexpected(const std::string& wanted) {
        fail(peek().where, "expected " + wanted + ", found " + describe(peek()));
    }
    void expectPunct(char c) {
        if (!acceptPunct(c)) unexpected(std::string("'") + c + "'");
    }
    void expectComma() { expectPunct(','); }
    bool atBegin() const { return isWord(peek(), "BEGIN") || isPunct(peek(), '{'); }
    void expectBegin() {
        if (!atBegin()) unexpected("BEGIN");
        next();
    }
    // Consumes END and returns true at the end of a block.
    bool acceptEnd() {
        if (peek().kind == Token::End) unexpected("END");
        if (!isWord(peek(), "END") && !isPunct(peek(), '}')) return false;
        next();
        return true;
    }
    void skipMemoryFlags() {
        while (peek().kind == Token::Identifier &&
               std::any_of(std::begin(kMemoryFlags), std::end(kMemoryFlags),
                           [&](const char* f) { return isWord(peek(), f); }))
            next();
    }

    // ---- expressions -----------------------------------------------------------------------
    // RC's style expressions: terms joined by '|', where "NOT x" clears x from what came
    // before; so a statement's default style can be the starting value.
    uint32_t expression(uint32_t base = 0) {
        uint32_t v = base;
        do {
            const bool clear = acceptWord("NOT");
            const uint32_t term = andExpression();
            v = clear ? (v & ~term) : (v | term);
        } while (acceptPunct('|'));
        return v;
    }
    uint32_t andExpression() {
        uint32_t v = additive();
        while (acceptPunct('&')) v &= additive();
        return v;
    }
    uint32_t additive() {
        uint32_t v = unary();
        for (;;) {
            if (acceptPunct('+'))
                v += unary();
            else if (acceptPunct('-'))
                v -= unary();
            else
                return v;
        }
    }
    uint32_t unary() {
        const Token& t = peek();
        if (acceptPunct('-')) return 0u - unary();
        if (acceptPunct('~')) return ~unary();
        if (acceptPunct('+')) return unary();
        if (acceptPunct('(')) {
            const uint32_t v = expression();
            expectPunct(')');
            return v;
        }
        if (t.kind == Token::Number) {
            sawLong_ = sawLong_ || t.isLong;
            return next().value;
        }
        if (t.kind == Token::Identifier) {
            if (auto v = symbolValue(t.text)) {
                next();
                return *v;
            }
            fail(t.where, "undefined symbol '" + t.text + "'");
        }
        unexpected("a number");
    }
    bool startsExpression() const {
        const Token& t = peek();
        return t.kind == Token::Number || isPunct(t, '(') || isPunct(t, '-') || isPunct(t, '~') ||
               isPunct(t, '+') || (t.kind == Token::Identifier && symbolValue(t.text));
    }
    uint16_t wordValue(const char* what) {
        const Location where = peek().where;
        const uint32_t v = expression();
        if (v > 0xFFFF) fail(where, std::string(what) + " " + std::to_string(v) + " does not fit in 16 bits");
        return static_cast<uint16_t>(v);
    }
    int16_t coordinate(const char* what) {
        const Location where = peek().where;
        const auto v = static_cast<int32_t>(expression());
        if (v < -32768 || v > 32767) fail(where, std::string(what) + " " + std::to_string(v) + " is out of range");
        return static_cast<int16_t>(v);
    }
    uint16_t languageArguments() {
        const Location where = peek().where;
        const uint32_t primary = expression();
        expectComma();
        const uint32_t sub = expression();
        if (primary > 0x3FF || sub > 0x3F) fail(where, "language out of range");
        return static_cast<uint16_t>((sub << 10) | primary);
    }
    std::u16string stringLiteral(const char* what) {
        if (peek().kind != Token::String) unexpected(what);
        std::u16string text;
        while (peek().kind == Token::String) text += next().wide;  // adjacent literals join
        return text;
    }

    // ---- names -----------------------------------------------------------------------------
    // A resource name or type: a number, a known symbol, or a word or string taken as a name.
    Key nameOrId(const char* what) {
        const Token& t = peek();
        if (t.kind == Token::String || (t.kind == Token::Identifier && !symbolValue(t.text))) {
            next();
            if (t.text.empty()) fail(t.where, std::string(what) + " must not be empty");
            return Key{0, upper(t.text)};
        }
        return Key{wordValue(what), {}};
    }
    NameOrOrdinal nameOrOrdinal(const char* what) {
        NameOrOrdinal n;
        const Key k = nameOrId(what);
        if (k.name.empty())
            n.ordinal = k.id;
        else
            appendUtf8AsUtf16(k.name, &n.name);  // valid: it came from a token
        return n;
    }

    // ---- statements ------------------------------------------------------------------------
    void stringTable() {
        skipMemoryFlags();
        uint16_t language = language_;
        while (!atBegin()) {
            if (acceptWord("LANGUAGE")) {
                language = languageArguments();
            } else if (acceptWord("CHARACTERISTICS") || acceptWord("VERSION")) {
                expression();
            } else {
                unexpected("BEGIN");
            }
        }
        next();
        auto& table = result_.strings[language];
        while (!acceptEnd()) {
            const Location where = peek().where;
            const uint16_t id = wordValue("string id");
            acceptPunct(',');
            const std::u16string text = stringLiteral("a string");
            if (text.size() > 0xFFFF) fail(where, "string " + std::to_string(id) + " is too long");
            auto [it, inserted] = table.emplace(id, StringEntry{text, where});
            if (!inserted)
                fail(where, "string " + std::to_string(id) + " is defined twice (first at " + it->second.where.file +
                                ":" + std::to_string(it->second.where.line) + ")");
        }
    }

    void resourceStatement() {
        const Location where = peek().where;
        const Key name = nameOrId("resource name");
        const Token& typeTok = peek();
        if (typeTok.kind == Token::Identifier) {
            const std::string kw = upper(typeTok.text);
            if (kw == "DIALOG" || kw == "DIALOGEX") {
                next();
                return dialog(name, kw == "DIALOGEX", where);
            }
            if (kw == "VERSIONINFO") {
                next();
                return versionInfo(name, where);
            }
            if (kw == "MENU" || kw == "MENUEX" || kw == "ACCELERATORS" || kw == "CURSOR" || kw == "FONT" ||
                kw == "MESSAGETABLE" || kw == "TOOLBAR" || kw == "DLGINIT")
                fail(typeTok.where, kw + " resources are not supported");
        }
        Key type;
        if (typeTok.kind == Token::Identifier && !symbolValue(typeTok.text)) {
            const std::string kw = upper(next().text);
            static const std::pair<const char*, uint16_t> kTypes[] = {
                {"BITMAP", RT_BITMAP}, {"ICON", RT_GROUP_ICON}, {"RCDATA", RT_RCDATA},
                {"HTML", RT_HTML},     {"MANIFEST", RT_MANIFEST}};
            type = Key{0, kw};
            for (const auto& [word, id] : kTypes)
                if (kw == word) type = Key{id, {}};
        } else if (typeTok.kind == Token::String) {
            type = Key{0, upper(next().text)};
        } else if (startsExpression()) {
            type = Key{wordValue("resource type"), {}};
        } else {
            unexpected("a resource type");
        }
        skipMemoryFlags();
        Resource r{type, name, language_, {}, where};
        if (atBegin()) {
            r.data = inlineData();
        } else {
            if (peek().kind != Token::String) unexpected("a file name");
            const Token& file = next();
            r.data = readDataFile(file);
            if (type == Key{RT_BITMAP, {}}) {
                // Windows keeps the DIB of a bitmap, without the file header.
                if (r.data.size() < 14 || r.data[0] != 'B' || r.data[1] != 'M')
                    fail(file.where, "'" + file.text + "' is not a .bmp file");
                r.data.erase(r.data.begin(), r.data.begin() + 14);
            } else if (type == Key{RT_GROUP_ICON, {}}) {
                if (r.data.size() < 6 || r.data[0] != 0 || r.data[1] != 0 || r.data[2] != 1 || r.data[3] != 0)
                    fail(file.where, "'" + file.text + "' is not an .ico file");
            }
        }
        result_.resources.push_back(std::move(r));
    }

    // RCDATA-style data written in the script: strings (L"..." as UTF-16, "..." as UTF-8,
    // neither terminated) and numbers (WORDs, DWORDs with an L suffix).
    std::vector<uint8_t> inlineData() {
        next();
        std::vector<uint8_t> data;
        while (!acceptEnd()) {
            if (peek().kind == Token::String) {
                const Token& t = next();
                if (t.isLong) {
                    for (char16_t u : t.wide) data.insert(data.end(), {uint8_t(u & 0xFF), uint8_t(u >> 8)});
                } else {
                    data.insert(data.end(), t.text.begin(), t.text.end());
                }
            } else {
                appendNumber(&data, "value");
            }
            acceptPunct(',');
        }
        return data;
    }

    void appendNumber(std::vector<uint8_t>* out, const char* what) {
        const Location where = peek().where;
        sawLong_ = false;
        const uint32_t v = expression();
        if (sawLong_) {
            for (int k = 0; k < 4; ++k) out->push_back(static_cast<uint8_t>(v >> (8 * k)));
            return;
        }
        if (v > 0xFFFF && v < 0xFFFF8000u)
            fail(where, std::string(what) + " " + std::to_string(v) + " does not fit in 16 bits (write it with L)");
        out->push_back(static_cast<uint8_t>(v));
        out->push_back(static_cast<uint8_t>(v >> 8));
    }

    std::vector<uint8_t> readDataFile(const Token& file) {
        std::string name = file.text;
        std::replace(name.begin(), name.end(), '\\', '/');
        std::vector<fs::path> candidates;
        if (fs::path(name).is_absolute()) {
            candidates.push_back(name);
        } else {
            candidates.push_back(fs::path(file.where.file).parent_path() / name);
            candidates.push_back(script_.parent_path() / name);
            for (const fs::path& dir : includeDirs_) candidates.push_back(dir / name);
        }
        for (const fs::path& candidate : candidates) {
            std::error_code ec;
            if (!fs::is_regular_file(candidate, ec)) continue;
            std::ifstream in(candidate, std::ios::binary);
            if (!in) fail(file.where, "cannot read '" + candidate.string() + "'");
            std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (in.bad()) fail(file.where, "cannot read '" + candidate.string() + "'");
            result_.dependencies.push_back(candidate.lexically_normal());
            return data;
        }
        fail(file.where, "cannot find file '" + file.text + "'");
    }

    // ---- dialogs ---------------------------------------------------------------------------
    void dialog(const Key& name, bool extended, const Location& where) {
        skipMemoryFlags();
        Dialog d;
        d.extended = extended;
        d.x = coordinate("x");
        expectComma();
        d.y = coordinate("y");
        expectComma();
        d.cx = coordinate("width");
        expectComma();
        d.cy = coordinate("height");
        if (extended && acceptPunct(',')) d.helpId = expression();

        uint16_t language = language_;
        bool styled = false;
        bool captioned = false;
        while (!atBegin()) {
            const Token& t = peek();
            if (t.kind != Token::Identifier) unexpected("BEGIN");
            const std::string kw = upper(next().text);
            if (kw == "STYLE") {
                d.style = expression();
                styled = true;
            } else if (kw == "EXSTYLE") {
                d.exStyle = expression();
            } else if (kw == "CAPTION") {
                d.caption = stringLiteral("a caption");
                captioned = true;
            } else if (kw == "FONT") {
                d.hasFont = true;
                d.pointSize = wordValue("point size");
                expectComma();
                d.typeface = stringLiteral("a typeface");
                if (acceptPunct(',')) {
                    d.weight = wordValue("weight");
                    if (acceptPunct(',')) {
                        d.italic = static_cast<uint8_t>(expression() != 0);
                        if (acceptPunct(',')) d.charset = static_cast<uint8_t>(expression());
                    }
                }
            } else if (kw == "CLASS") {
                d.windowClass = className();
            } else if (kw == "MENU") {
                nameOrId("menu");  // dialogs of this system have no menu bar
            } else if (kw == "LANGUAGE") {
                language = languageArguments();
            } else if (kw == "CHARACTERISTICS" || kw == "VERSION") {
                expression();
            } else {
                fail(t.where, "unknown dialog statement '" + t.text + "'");
            }
        }
        next();
        if (!styled) d.style = WS_POPUP | WS_BORDER | WS_SYSMENU;  // RC's default
        if (captioned) d.style |= WS_CAPTION;
        if (d.hasFont) d.style |= DS_SETFONT;
        if ((d.style & DS_SETFONT) && !d.hasFont) fail(where, "DS_SETFONT needs a FONT statement");

        while (!acceptEnd()) d.controls.push_back(control());
        result_.resources.push_back(Resource{Key{RT_DIALOG, {}}, name, language, encodeDialog(d, where), where});
    }

    NameOrOrdinal className() {
        NameOrOrdinal n;
        const Token& t = peek();
        std::string cls;
        if (t.kind == Token::String) {
            cls = next().text;
        } else if (t.kind == Token::Identifier && !symbolValue(t.text)) {
            cls = next().text;
            for (const ClassName& c : kClassNames)
                if (c.symbol == cls) cls = std::string(c.className);
        } else {
            n.ordinal = wordValue("class");
            return n;
        }
        for (const ClassOrdinal& c : kClassOrdinals)
            if (upper(cls) == c.name) {
                n.ordinal = c.ordinal;
                return n;
            }
        if (!appendUtf8AsUtf16(cls, &n.name) || n.name.empty()) fail(t.where, "bad class name");
        return n;
    }

    DialogControl control() {
        const Token& kwTok = peek();
        const ControlKind* kind = nullptr;
        for (const ControlKind& k : kControls)
            if (isWord(kwTok, k.keyword)) kind = &k;
        if (!kind) fail(kwTok.where, "unknown control statement " + describe(kwTok));
        next();

        DialogControl c;
        c.where = kwTok.where;
        const uint32_t base = WS_CHILD | WS_VISIBLE | kind->defaultStyle;
        c.style = base;
        if (kind->classOrdinal) c.className.ordinal = kind->classOrdinal;
        if (kind->form == Form::Text || kind->form == Form::Control) {
            if (peek().kind == Token::String)
                c.text.name = stringLiteral("the control's text");
            else if (kind->form == Form::Control)
                c.text.ordinal = wordValue("text ordinal");
            else
                unexpected("the control's text");
            expectComma();
        } else if (kind->form == Form::Icon) {
            c.text = nameOrOrdinal("icon");
            expectComma();
        }
        c.id = expression();
        expectComma();
        if (kind->form == Form::Control) {
            c.className = className();
            expectComma();
            c.style = expression(base);
            expectComma();
        }
        c.x = coordinate("x");
        expectComma();
        c.y = coordinate("y");
        if (kind->form == Form::Icon) {
            if (acceptPunct(',')) {
                c.cx = coordinate("width");
                expectComma();
                c.cy = coordinate("height");
                if (acceptPunct(',')) c.style = expression(base);
                if (acceptPunct(',')) c.exStyle = expression();
            }
            return c;
        }
        expectComma();
        c.cx = coordinate("width");
        expectComma();
        c.cy = coordinate("height");
        if (kind->form != Form::Control && acceptPunct(',')) c.style = expression(base);
        if (acceptPunct(',')) c.exStyle = expression();
        if (acceptPunct(',')) c.helpId = expression();
        return c;
    }

    // ---- version blocks --------------------------------------------------------------------
    void versionInfo(const Key& name, const Location& where) {
        skipMemoryFlags();
        VersionInfo v;
        auto fourPart = [&](uint32_t* ms, uint32_t* ls) {
            uint16_t parts[4] = {0, 0, 0, 0};
            parts[0] = wordValue("version part");
            for (int k = 1; k < 4 && acceptPunct(','); ++k) parts[k] = wordValue("version part");
            *ms = (uint32_t{parts[0]} << 16) | parts[1];
            *ls = (uint32_t{parts[2]} << 16) | parts[3];
        };
        while (!atBegin()) {
            const Token& t = peek();
            if (t.kind != Token::Identifier) unexpected("BEGIN");
            const std::string kw = upper(next().text);
            if (kw == "FILEVERSION")
                fourPart(&v.fileVersionMS, &v.fileVersionLS);
            else if (kw == "PRODUCTVERSION")
                fourPart(&v.productVersionMS, &v.productVersionLS);
            else if (kw == "FILEFLAGSMASK")
                v.fileFlagsMask = expression();
            else if (kw == "FILEFLAGS")
                v.fileFlags = expression();
            else if (kw == "FILEOS")
                v.fileOS = expression();
            else if (kw == "FILETYPE")
                v.fileType = expression();
            else if (kw == "FILESUBTYPE")
                v.fileSubtype = expression();
            else
                fail(t.where, "unknown VERSIONINFO statement '" + t.text + "'");
        }
        next();
        while (!acceptEnd()) v.children.push_back(versionNode());
        result_.resources.push_back(
            Resource{Key{RT_VERSION, {}}, name, language_, encodeVersionInfo(v, where), where});
    }

    VersionNode versionNode() {
        VersionNode node;
        if (acceptWord("BLOCK")) {
            node.isBlock = true;
            node.key = stringLiteral("the block's name");
            expectBegin();
            while (!acceptEnd()) node.children.push_back(versionNode());
            return node;
        }
        if (!acceptWord("VALUE")) unexpected("BLOCK or VALUE");
        node.key = stringLiteral("the value's name");
        expectComma();
        if (peek().kind == Token::String) {
            node.isText = true;
            node.text = stringLiteral("text");
            return node;
        }
        do appendNumber(&node.binary, "value");
        while (acceptPunct(','));
        return node;
    }

    std::vector<Token> tokens_;
    size_t pos_ = 0;
    fs::path script_;
    std::vector<fs::path> includeDirs_;
    Script result_;
    uint16_t language_ = 0x0409;
    bool sawLong_ = false;
};

}  // namespace

Script parse(const fs::path& script, const std::vector<fs::path>& includeDirs) {
    return Parser(preprocess(script, includeDirs), script, includeDirs).run();
}

}  // namespace rc
