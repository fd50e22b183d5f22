// Version information: GetFileVersionInfoSizeA, GetFileVersionInfoA and VerQueryValueA over the
// RT_VERSION resource of a module's file.
//
// The buffer GetFileVersionInfoA fills holds the VS_VERSIONINFO block exactly as the module has
// it, then a small trailer, then room for the ANSI (UTF-8) forms of the block's texts. Each text
// has a fixed place in that room (one and a half times its offset in the block), so a query
// converts into the caller's buffer and the pointer it returns lives as long as that buffer, as
// with Windows. Text values can therefore be queried only in a buffer from GetFileVersionInfoA.
#include <cstring>

#include "internal.h"
#include "kernel32/resource_directory.h"

namespace fs = std::filesystem;

namespace winsim {

namespace {

constexpr uint16_t kVersionType = 16;  // RT_VERSION
constexpr uint32_t kTrailerMagic = 0x4151565Au;  // "ZVQA"

struct Trailer {
    uint32_t magic;
    uint32_t rawSize;     // the block's own length
    uint32_t bufferSize;  // what the caller gave GetFileVersionInfoA
    uint32_t reserved;
};
static_assert(sizeof(Trailer) == 16, "version buffer trailer layout");

size_t align4(size_t v) { return (v + 3) & ~size_t{3}; }
size_t conversionBase(size_t rawSize) { return align4(rawSize) + sizeof(Trailer); }
size_t bufferSizeFor(size_t rawSize) { return conversionBase(rawSize) + rawSize * 3 / 2 + 4; }

uint16_t read16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

// The file a version query names: a path, or a bare name found in the program's folder, then
// the current folder (as Windows finds modules).
std::optional<fs::path> versionFile(const char* name) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return std::nullopt;
    }
    const bool bare = std::strpbrk(name, "\\/:") == nullptr;
    if (bare) {
        const std::string inProgramFolder = toWindowsPath(programDirectory()) + "\\" + name;
        if (auto hp = resolvePath(inProgramFolder.c_str(), true)) return hp->path;
    }
    if (auto hp = resolvePath(name, true)) return hp->path;
    return std::nullopt;  // resolvePath set the error
}

// The raw VS_VERSIONINFO block of a file (RT_VERSION, name 1, any language).
std::optional<std::vector<uint8_t>> readVersionBlock(const char* name) {
    const auto file = versionFile(name);
    if (!file) return std::nullopt;
    std::shared_ptr<const ResourceDirectory> dir;
    switch (ResourceDirectory::readFile(*file, &dir)) {
        case ResourceReadStatus::Ok: break;
        case ResourceReadStatus::NoSection: SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND); return std::nullopt;
        case ResourceReadStatus::FileError: SetLastError(ERROR_ACCESS_DENIED); return std::nullopt;
        default: SetLastError(ERROR_BAD_FORMAT); return std::nullopt;
    }
    size_t index = 0;
    const auto result = dir->find(ResourceKey::fromId(kVersionType), ResourceKey::fromId(1),
                                  {ResourceDirectory::kAnyLanguage}, &index);
    if (result != ResourceDirectory::Lookup::Found) {
        SetLastError(result == ResourceDirectory::Lookup::NoType ? ERROR_RESOURCE_TYPE_NOT_FOUND
                                                                  : ERROR_RESOURCE_NAME_NOT_FOUND);
        return std::nullopt;
    }
    const ResourceEntry& e = dir->entries()[index];
    // The block says how long it is; it must lie inside the resource.
    if (e.size < 6 || read16(e.data) < 6 || read16(e.data) > e.size) {
        SetLastError(ERROR_INVALID_DATA);
        return std::nullopt;
    }
    return std::vector<uint8_t>(e.data, e.data + read16(e.data));
}

// One node of a version block, every field checked against the node's own bounds.
struct Node {
    size_t start = 0, end = 0;          // [start, end) in the block
    uint16_t valueLength = 0, type = 0;
    std::u16string key;
    size_t valueStart = 0, childrenStart = 0;
};

std::optional<Node> readNode(const uint8_t* block, size_t start, size_t limit) {
    if (start + 6 > limit) return std::nullopt;
    Node n;
    n.start = start;
    const uint16_t length = read16(block + start);
    if (length < 6 || start + length > limit) return std::nullopt;
    n.end = start + length;
    n.valueLength = read16(block + start + 2);
    n.type = read16(block + start + 4);
    size_t at = start + 6;
    for (;;) {
        if (at + 2 > n.end) return std::nullopt;  // a key must end inside its node
        const uint16_t unit = read16(block + at);
        at += 2;
        if (unit == 0) break;
        n.key.push_back(static_cast<char16_t>(unit));
    }
    n.valueStart = std::min(align4(at), n.end);
    const size_t valueBytes = n.type == 1 ? size_t{n.valueLength} * 2 : n.valueLength;
    n.childrenStart = std::min(align4(n.valueStart + std::min(valueBytes, n.end - n.valueStart)), n.end);
    return n;
}

std::vector<std::string> splitQuery(const char* query) {
    std::vector<std::string> parts;
    std::string cur;
    for (const char* p = query; *p; ++p) {
        if (*p == '\\') {
            if (!cur.empty()) parts.push_back(cur);
            cur.clear();
        } else {
            cur += *p;
        }
    }
    if (!cur.empty()) parts.push_back(cur);
    return parts;
}

BOOL notFound(PUINT length) {
    *length = 0;
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
}

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

DWORD WINAPI GetFileVersionInfoSizeA(LPCSTR name, LPDWORD handle) {
    if (handle) *handle = 0;
    try {
        const auto raw = readVersionBlock(name);
        if (!raw) return 0;
        return static_cast<DWORD>(bufferSizeFor(raw->size()));
    } catch (const std::exception&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

BOOL WINAPI GetFileVersionInfoA(LPCSTR name, DWORD, DWORD length, LPVOID data) {
    if (!data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    try {
        const auto raw = readVersionBlock(name);
        if (!raw) return FALSE;
        // Without room for the block and its trailer nothing useful fits; a buffer short of
        // the conversion room still serves the binary values.
        const size_t base = conversionBase(raw->size());
        if (length < base) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        auto* out = static_cast<uint8_t*>(data);
        std::memcpy(out, raw->data(), raw->size());
        std::memset(out + raw->size(), 0, align4(raw->size()) - raw->size());
        const Trailer trailer{kTrailerMagic, static_cast<uint32_t>(raw->size()), length, 0};
        std::memcpy(out + align4(raw->size()), &trailer, sizeof trailer);
        return TRUE;
    } catch (const std::exception&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

BOOL WINAPI VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID* buffer, PUINT length) {
    if (!block || !subBlock || !buffer || !length) {
        if (length) *length = 0;
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *buffer = nullptr;
    *length = 0;
    try {
        const auto* b = static_cast<const uint8_t*>(block);
        const size_t rawSize = read16(b);
        auto node = readNode(b, 0, rawSize);
        if (!node) return notFound(length);

        for (const std::string& part : splitQuery(subBlock)) {
            std::optional<Node> match;
            for (size_t at = node->childrenStart; at < node->end;) {
                auto child = readNode(b, at, node->end);
                if (!child) break;
                if (equalsNoCase(utf16ToUtf8(child->key), part)) {
                    match = child;
                    break;
                }
                at = align4(child->end);
            }
            if (!match) return notFound(length);
            node = match;
        }

        const size_t room = node->end - node->valueStart;
        if (node->valueLength == 0 || room == 0) return notFound(length);
        if (node->type != 1) {  // binary: VS_FIXEDFILEINFO, Translation, numbers
            *buffer = const_cast<uint8_t*>(b + node->valueStart);
            *length = static_cast<UINT>(std::min<size_t>(node->valueLength, room));
            return TRUE;
        }

        // Text: convert into its place in the room behind the block.
        Trailer trailer{};
        std::memcpy(&trailer, b + align4(rawSize), sizeof trailer);
        const size_t base = conversionBase(rawSize);
        if (trailer.magic != kTrailerMagic || trailer.rawSize != rawSize || trailer.bufferSize < base) {
            SetLastError(ERROR_INVALID_DATA);
            return FALSE;
        }
        const size_t valueBytes = std::min(size_t{node->valueLength} * 2, room);
        std::u16string text;
        for (size_t at = 0; at + 2 <= valueBytes; at += 2) {
            const uint16_t unit = read16(b + node->valueStart + at);
            if (unit == 0) break;
            text.push_back(static_cast<char16_t>(unit));
        }
        std::string utf8 = utf16ToUtf8(text);
        const size_t slot = base + node->valueStart * 3 / 2;
        const size_t slotSize = valueBytes * 3 / 2;
        if (slot + slotSize > trailer.bufferSize || slotSize == 0) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        if (utf8.size() + 1 > slotSize) {  // only a text without its terminator comes here
            size_t n = slotSize - 1;
            while (n > 0 && (static_cast<unsigned char>(utf8[n]) & 0xC0) == 0x80) --n;
            utf8.resize(n);
        }
        auto* out = const_cast<uint8_t*>(b) + slot;
        std::memcpy(out, utf8.c_str(), utf8.size() + 1);
        *buffer = out;
        *length = static_cast<UINT>(utf8.size() + 1);
        return TRUE;
    } catch (const std::exception&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

}  // extern "C"
