// zelfin-rc: what a resource script turns into, and the steps that get it there.
//   preprocess.cpp  reads the script and its includes into tokens (#include, #define, comments)
//   script.cpp      parses the tokens into resources (string tables, dialogs, version blocks, files)
//   compile.cpp     encodes them in their Windows binary layouts and writes the directory
#pragma once
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace rc {

struct Location {
    std::string file;
    int line = 0;
};

// Every problem in a script: reported as "file:line: message".
class Error : public std::runtime_error {
public:
    Error(Location where, const std::string& message) : std::runtime_error(message), where(std::move(where)) {}
    Location where;
};
[[noreturn]] inline void fail(const Location& where, const std::string& message) { throw Error(where, message); }

// ---- tokens --------------------------------------------------------------------------------
struct Token {
    enum Kind { Identifier, Number, String, Punct, End };
    Kind kind = End;
    std::string text;     // identifier name, punctuation character; for strings the UTF-8 source
    std::u16string wide;  // string literal with its escapes applied
    uint32_t value = 0;   // number
    bool isLong = false;  // number written with an L suffix (a DWORD in VERSIONINFO values)
    Location where;
};

struct Source {
    std::vector<Token> tokens;                  // ends with an End token
    std::vector<std::filesystem::path> files;   // the script and everything it included
};

// Reads a script. Headers (.h, .c) included from it contribute only their #defines.
Source preprocess(const std::filesystem::path& script, const std::vector<std::filesystem::path>& includeDirs);

// ---- resources -----------------------------------------------------------------------------
struct Key {
    uint16_t id = 0;
    std::string name;  // upper-case; empty for an id
    bool operator<(const Key& o) const {
        if (name.empty() != o.name.empty()) return name.empty();  // ids before names, as Windows orders them
        return name.empty() ? id < o.id : name < o.name;
    }
    bool operator==(const Key& o) const { return id == o.id && name == o.name; }
};

struct Resource {
    Key type;
    Key name;
    uint16_t language = 0x0409;
    std::vector<uint8_t> data;
    Location where;
};

struct VersionNode {
    std::u16string key;
    bool isBlock = false;
    bool isText = false;          // a VALUE with text; otherwise binary
    std::u16string text;
    std::vector<uint8_t> binary;  // WORDs and DWORDs of a numeric VALUE
    std::vector<VersionNode> children;
};

struct VersionInfo {
    uint32_t fileVersionMS = 0, fileVersionLS = 0;
    uint32_t productVersionMS = 0, productVersionLS = 0;
    uint32_t fileFlagsMask = 0, fileFlags = 0, fileOS = 0, fileType = 0, fileSubtype = 0;
    std::vector<VersionNode> children;
};

// A window class or menu: nothing, an ordinal, or a name.
struct NameOrOrdinal {
    std::optional<uint16_t> ordinal;
    std::u16string name;
};

struct DialogControl {
    NameOrOrdinal className;
    NameOrOrdinal text;
    uint32_t id = 0;
    int16_t x = 0, y = 0, cx = 0, cy = 0;
    uint32_t style = 0, exStyle = 0, helpId = 0;
    Location where;
};

struct Dialog {
    bool extended = false;  // DIALOGEX
    int16_t x = 0, y = 0, cx = 0, cy = 0;
    uint32_t style = 0, exStyle = 0, helpId = 0;
    NameOrOrdinal menu, windowClass;
    std::u16string caption;
    bool hasFont = false;
    uint16_t pointSize = 0, weight = 0;
    uint8_t italic = 0, charset = 1;
    std::u16string typeface;
    std::vector<DialogControl> controls;
};

struct StringEntry {
    std::u16string text;
    Location where;
};

struct Script {
    std::vector<Resource> resources;                              // everything but string tables
    std::map<uint16_t, std::map<uint16_t, StringEntry>> strings;  // language -> id -> text
    std::vector<std::filesystem::path> dependencies;               // script, includes, data files
};

// Parses a script into resources; data files are looked up beside the script that names
// them, then beside the main script, then in the include folders.
Script parse(const std::filesystem::path& script, const std::vector<std::filesystem::path>& includeDirs);

// ---- encoders (compile.cpp) ----------------------------------------------------------------
// Both report layouts that do not fit their fields at `where`.
std::vector<uint8_t> encodeDialog(const Dialog& dialog, const Location& where);
std::vector<uint8_t> encodeVersionInfo(const VersionInfo& info, const Location& where);
// One RT_STRING resource per block of sixteen ids and language.
std::vector<Resource> encodeStringTables(const Script& script);
// The resource directory blob, with every resource of the script. Duplicates are errors.
std::vector<uint8_t> buildDirectory(const Script& script);

// ---- output --------------------------------------------------------------------------------
std::string assemblyFor(const std::vector<uint8_t>& blob);
std::string depfileFor(const std::string& target, const std::vector<std::filesystem::path>& dependencies);

// ---- text ----------------------------------------------------------------------------------
// Appends the UTF-16 form of UTF-8 text; false when the text is not valid UTF-8.
bool appendUtf8AsUtf16(const std::string& utf8, std::u16string* out);
std::string utf16ToUtf8(const std::u16string& text);

}  // namespace rc
