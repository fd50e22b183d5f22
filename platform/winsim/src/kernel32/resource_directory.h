// The resource directory a module carries in its ELF section ".zrsrc", and the reader for it.
//
// zelfin-rc writes the directory, winsim reads it back from the module's file (never from the
// loaded image, so that a module can be inspected without being loaded). Layout, little endian,
// every offset counted from the start of the blob:
//
//   Header   magic "ZRSR", version, sizes and offsets of the three areas below, total size
//   Entry[]  {type, name, language, offset, size}: type and name hold a 16-bit id, or
//            kNameInPool | offset of a NUL-terminated, upper-case UTF-8 name in the pool
//   pool     the names
//   data     the resources, each starting on an 8-byte boundary
//
// The resources hold what Windows keeps in them, with two differences of this platform:
//   RT_BITMAP      the .bmp file without its 14-byte BITMAPFILEHEADER (the DIB), as Windows;
//   RT_GROUP_ICON  the whole .ico file as it was given; there are no separate RT_ICON entries.
// RT_STRING blocks, RT_VERSION blocks and RT_DIALOG templates have the Windows binary layouts.
#pragma once
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace winsim {

namespace rsrc {

inline constexpr uint32_t kMagic = 0x5253525Au;  // "ZRSR"
inline constexpr uint16_t kVersion = 1;
inline constexpr uint32_t kNameInPool = 0x80000000u;
inline constexpr uint32_t kDataAlignment = 8;
// More entries than this cannot be told apart by an HRSRC value; no module comes near it.
inline constexpr uint32_t kMaxEntries = 0x10000;
inline constexpr const char* kSectionName = ".zrsrc";

struct Header {
    uint32_t magic;
    uint16_t version;
    uint16_t headerSize;  // sizeof(Header)
    uint32_t entryCount;
    uint32_t entrySize;   // sizeof(Entry)
    uint32_t entriesOffset;
    uint32_t poolOffset;
    uint32_t poolSize;
    uint32_t dataOffset;
    uint32_t dataSize;
    uint32_t totalSize;   // the whole blob
};
static_assert(sizeof(Header) == 40, "resource directory header layout");

struct Entry {
    uint32_t type;      // id, or kNameInPool | pool offset
    uint32_t name;      // id, or kNameInPool | pool offset
    uint16_t language;  // LANGID
    uint16_t reserved;
    uint32_t offset;    // of the data, from the start of the blob
    uint32_t size;
    uint32_t reserved2;
};
static_assert(sizeof(Entry) == 24, "resource directory entry layout");

}  // namespace rsrc

// A resource type or name: a 16-bit id, or a name (kept upper-case; names compare without
// regard to case).
struct ResourceKey {
    uint16_t id = 0;
    std::string name;  // empty for an id

    bool isName() const { return !name.empty(); }
    static ResourceKey fromId(uint16_t id) { return ResourceKey{id, {}}; }
    static ResourceKey fromName(const std::string& name);  // upper-cases it
    bool operator==(const ResourceKey& other) const { return id == other.id && name == other.name; }
};

struct ResourceEntry {
    ResourceKey type;
    ResourceKey name;
    uint16_t language = 0;
    const uint8_t* data = nullptr;  // points into the directory's blob
    uint32_t size = 0;
};

enum class ResourceReadStatus {
    Ok,
    FileError,  // cannot open or read the file
    NotElf,     // not a 64-bit little-endian ELF file
    NoSection,  // a valid ELF file without resources
    Corrupt,    // the ELF headers or the directory are inconsistent
};

class ResourceDirectory {
public:
    // Takes a blob and checks every offset and size in it against the blob's size.
    static std::shared_ptr<const ResourceDirectory> fromBlob(std::vector<uint8_t> blob);
    // A directory without resources.
    static std::shared_ptr<const ResourceDirectory> empty();
    // Reads the ".zrsrc" section of an ELF file. With NoSection, *out is an empty directory.
    static ResourceReadStatus readFile(const std::filesystem::path& file,
                                       std::shared_ptr<const ResourceDirectory>* out);

    const std::vector<ResourceEntry>& entries() const { return entries_; }
    // True when the module carries a resource section at all (Windows tells "no resources"
    // apart from "no such type").
    bool hasSection() const { return hasSection_; }

    enum class Lookup { Found, NoType, NoName, NoLanguage };
    static constexpr int kAnyLanguage = -1;
    // Looks up (type, name) in the given languages, in order; kAnyLanguage matches the first
    // entry of any language. On Found, *index is the entry's position in entries().
    Lookup find(const ResourceKey& type, const ResourceKey& name, const std::vector<int>& languages,
                size_t* index) const;

private:
    ResourceDirectory() = default;
    std::vector<uint8_t> blob_;
    std::vector<ResourceEntry> entries_;
    bool hasSection_ = false;
};

// Reads the bytes of the named section of a 64-bit little-endian ELF file from its section
// headers, without loading the file. NoSection when the file has no such section.
ResourceReadStatus readElfSection(const std::filesystem::path& file, const char* sectionName,
                                  std::vector<uint8_t>* out);

}  // namespace winsim
