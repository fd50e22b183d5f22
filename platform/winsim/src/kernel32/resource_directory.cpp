// Reading a module's resource directory from its file: the ELF section headers lead to the
// ".zrsrc" section, whose blob is checked completely before anything points into it.
#include "resource_directory.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace winsim {

namespace {

// A section larger than this is not a resource directory the build could have made.
constexpr uint64_t kMaxSectionSize = 512u << 20;

class File {
public:
    explicit File(const std::filesystem::path& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~File() {
        if (fd_ >= 0) ::close(fd_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool ok() const { return fd_ >= 0; }
    bool size(uint64_t* out) const {
        struct stat st {};
        if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return false;
        *out = static_cast<uint64_t>(st.st_size);
        return true;
    }
    bool readAt(uint64_t offset, void* buffer, size_t length) const {
        auto* p = static_cast<uint8_t*>(buffer);
        while (length > 0) {
            const ssize_t n = ::pread(fd_, p, length, static_cast<off_t>(offset));
            if (n <= 0) return false;
            p += n;
            offset += static_cast<uint64_t>(n);
            length -= static_cast<size_t>(n);
        }
        return true;
    }

private:
    int fd_;
};

// True when [offset, offset + length) lies inside [0, limit).
bool within(uint64_t offset, uint64_t length, uint64_t limit) {
    return offset <= limit && length <= limit - offset;
}

bool readNameFromPool(const std::vector<uint8_t>& blob, const rsrc::Header& h, uint32_t value, ResourceKey* out) {
    if ((value & rsrc::kNameInPool) == 0) {
        if (value > 0xFFFF) return false;
        *out = ResourceKey::fromId(static_cast<uint16_t>(value));
        return true;
    }
    const uint32_t offset = value & ~rsrc::kNameInPool;
    if (offset >= h.poolSize) return false;
    const char* start = reinterpret_cast<const char*>(blob.data() + h.poolOffset + offset);
    const size_t room = h.poolSize - offset;
    const void* nul = std::memchr(start, 0, room);
    if (!nul || nul == start) return false;  // unterminated or empty name
    *out = ResourceKey::fromName(std::string(start, static_cast<const char*>(nul)));
    return true;
}

}  // namespace

ResourceKey ResourceKey::fromName(const std::string& name) {
    ResourceKey key;
    key.name = name;
    for (char& c : key.name)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return key;
}

std::shared_ptr<const ResourceDirectory> ResourceDirectory::empty() {
    static const std::shared_ptr<const ResourceDirectory> none(new ResourceDirectory);
    return none;
}

std::shared_ptr<const ResourceDirectory> ResourceDirectory::fromBlob(std::vector<uint8_t> blob) {
    rsrc::Header h{};
    if (blob.size() < sizeof h || blob.size() > kMaxSectionSize) return nullptr;
    std::memcpy(&h, blob.data(), sizeof h);
    // The section may be padded by the linker; the blob itself says how long it is.
    if (h.magic != rsrc::kMagic || h.version != rsrc::kVersion || h.headerSize != sizeof h ||
        h.entrySize != sizeof(rsrc::Entry) || h.totalSize > blob.size() || h.totalSize < sizeof h)
        return nullptr;
    if (h.entryCount > rsrc::kMaxEntries ||
        !within(h.entriesOffset, uint64_t{h.entryCount} * sizeof(rsrc::Entry), h.totalSize) ||
        !within(h.poolOffset, h.poolSize, h.totalSize) || !within(h.dataOffset, h.dataSize, h.totalSize))
        return nullptr;
    blob.resize(h.totalSize);

    std::shared_ptr<ResourceDirectory> dir(new ResourceDirectory);
    dir->hasSection_ = true;
    dir->blob_ = std::move(blob);  // from here on the bytes do not move, so entries may point at them
    const std::vector<uint8_t>& bytes = dir->blob_;
    dir->entries_.reserve(h.entryCount);
    for (uint32_t i = 0; i < h.entryCount; ++i) {
        rsrc::Entry e{};
        std::memcpy(&e, bytes.data() + h.entriesOffset + uint64_t{i} * sizeof e, sizeof e);
        ResourceEntry entry;
        if (!readNameFromPool(bytes, h, e.type, &entry.type) || !readNameFromPool(bytes, h, e.name, &entry.name))
            return nullptr;
        // Data must lie in the data area, not in the header, the entries or the names.
        if (e.offset < h.dataOffset || !within(e.offset - uint64_t{h.dataOffset}, e.size, h.dataSize)) return nullptr;
        entry.language = e.language;
        entry.data = bytes.data() + e.offset;
        entry.size = e.size;
        dir->entries_.push_back(std::move(entry));
    }
    return dir;
}

ResourceDirectory::Lookup ResourceDirectory::find(const ResourceKey& type, const ResourceKey& name,
                                                  const std::vector<int>& languages, size_t* index) const {
    bool typeSeen = false;
    bool nameSeen = false;
    for (const ResourceEntry& e : entries_) {
        if (!(e.type == type)) continue;
        typeSeen = true;
        if (e.name == name) {
            nameSeen = true;
            break;
        }
    }
    if (!typeSeen) return Lookup::NoType;
    if (!nameSeen) return Lookup::NoName;
    for (int language : languages) {
        for (size_t i = 0; i < entries_.size(); ++i) {
            const ResourceEntry& e = entries_[i];
            if (!(e.type == type) || !(e.name == name)) continue;
            if (language == kAnyLanguage || e.language == language) {
                *index = i;
                return Lookup::Found;
            }
        }
    }
    return Lookup::NoLanguage;
}

ResourceReadStatus readElfSection(const std::filesystem::path& path, const char* sectionName,
                                  std::vector<uint8_t>* out) {
    File file(path);
    uint64_t fileSize = 0;
    if (!file.ok() || !file.size(&fileSize)) return ResourceReadStatus::FileError;

    Elf64_Ehdr eh{};
    if (fileSize < sizeof eh) return ResourceReadStatus::NotElf;
    if (!file.readAt(0, &eh, sizeof eh)) return ResourceReadStatus::FileError;
    if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64 ||
        eh.e_ident[EI_DATA] != ELFDATA2LSB)
        return ResourceReadStatus::NotElf;
    if (eh.e_shoff == 0) return ResourceReadStatus::NoSection;
    if (eh.e_shentsize != sizeof(Elf64_Shdr)) return ResourceReadStatus::Corrupt;

    // With many sections the count and the name table's index live in section header 0.
    Elf64_Shdr first{};
    if (!within(eh.e_shoff, sizeof first, fileSize)) return ResourceReadStatus::Corrupt;
    if (!file.readAt(eh.e_shoff, &first, sizeof first)) return ResourceReadStatus::FileError;
    const uint64_t count = eh.e_shnum != 0 ? eh.e_shnum : first.sh_size;
    const uint64_t nameIndex = eh.e_shstrndx != SHN_XINDEX ? eh.e_shstrndx : first.sh_link;
    if (count == 0 || count > fileSize / sizeof(Elf64_Shdr) ||
        !within(eh.e_shoff, count * sizeof(Elf64_Shdr), fileSize) || nameIndex >= count)
        return ResourceReadStatus::Corrupt;

    std::vector<Elf64_Shdr> sections(count);
    if (!file.readAt(eh.e_shoff, sections.data(), count * sizeof(Elf64_Shdr))) return ResourceReadStatus::FileError;

    const Elf64_Shdr& names = sections[nameIndex];
    if (names.sh_type == SHT_NOBITS || names.sh_size > kMaxSectionSize ||
        !within(names.sh_offset, names.sh_size, fileSize))
        return ResourceReadStatus::Corrupt;
    std::vector<char> nameTable(names.sh_size + 1, '\0');  // the extra NUL bounds every name
    if (!file.readAt(names.sh_offset, nameTable.data(), names.sh_size)) return ResourceReadStatus::FileError;

    for (const Elf64_Shdr& s : sections) {
        if (s.sh_name >= names.sh_size || std::strcmp(nameTable.data() + s.sh_name, sectionName) != 0) continue;
        if (s.sh_type == SHT_NOBITS || s.sh_size > kMaxSectionSize || !within(s.sh_offset, s.sh_size, fileSize))
            return ResourceReadStatus::Corrupt;
        out->assign(s.sh_size, 0);
        if (s.sh_size && !file.readAt(s.sh_offset, out->data(), s.sh_size)) return ResourceReadStatus::FileError;
        return ResourceReadStatus::Ok;
    }
    return ResourceReadStatus::NoSection;
}

ResourceReadStatus ResourceDirectory::readFile(const std::filesystem::path& file,
                                               std::shared_ptr<const ResourceDirectory>* out) {
    std::vector<uint8_t> blob;
    const ResourceReadStatus status = readElfSection(file, rsrc::kSectionName, &blob);
    if (status == ResourceReadStatus::NoSection) {
        *out = empty();
        return status;
    }
    if (status != ResourceReadStatus::Ok) return status;
    auto dir = fromBlob(std::move(blob));
    if (!dir) return ResourceReadStatus::Corrupt;
    *out = std::move(dir);
    return ResourceReadStatus::Ok;
}

}  // namespace winsim
