// Encoding resources in the layouts Windows gives them (DLGTEMPLATE(EX), VS_VERSIONINFO,
// RT_STRING blocks), building the resource directory and writing it out.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include "rc.h"
#include "resource_directory.h"  // the directory format, shared with its reader in winsim

namespace rc {

namespace {

constexpr uint16_t RT_STRING = 6;
constexpr uint32_t DS_SETFONT = 0x40;

class Writer {
public:
    void u8(uint8_t v) { bytes_.push_back(v); }
    void u16(uint16_t v) {
        u8(static_cast<uint8_t>(v));
        u8(static_cast<uint8_t>(v >> 8));
    }
    void i16(int16_t v) { u16(static_cast<uint16_t>(v)); }
    void u32(uint32_t v) {
        u16(static_cast<uint16_t>(v));
        u16(static_cast<uint16_t>(v >> 16));
    }
    void raw(const void* data, size_t size) {
        const auto* p = static_cast<const uint8_t*>(data);
        bytes_.insert(bytes_.end(), p, p + size);
    }
    void units(const std::u16string& s) {
        for (char16_t c : s) u16(c);
    }
    void wstring(const std::u16string& s) {  // NUL-terminated UTF-16
        units(s);
        u16(0);
    }
    void align(size_t n) {
        while (bytes_.size() % n) u8(0);
    }
    void patch16(size_t at, uint16_t v) {
        bytes_[at] = static_cast<uint8_t>(v);
        bytes_[at + 1] = static_cast<uint8_t>(v >> 8);
    }
    size_t size() const { return bytes_.size(); }
    std::vector<uint8_t> take() { return std::move(bytes_); }

private:
    std::vector<uint8_t> bytes_;
};

// sz_Or_Ord: 0x0000 for nothing, 0xFFFF and the ordinal, or the NUL-terminated name.
void nameOrOrdinal(Writer& w, const NameOrOrdinal& n) {
    if (n.ordinal) {
        w.u16(0xFFFF);
        w.u16(*n.ordinal);
    } else {
        w.wstring(n.name);
    }
}

std::string describeKey(const Key& k) { return k.name.empty() ? std::to_string(k.id) : k.name; }

// One node of a version block: wLength, wValueLength, wType, szKey, padding, value, children,
// every node starting on a 32-bit boundary of the block.
void versionNode(Writer& w, const std::u16string& key, uint16_t valueLength, uint16_t type,
                 const std::vector<uint8_t>& value, const std::vector<VersionNode>& children, const Location& where) {
    const size_t start = w.size();
    w.u16(0);
    w.u16(valueLength);
    w.u16(type);
    w.wstring(key);
    w.align(4);
    w.raw(value.data(), value.size());
    for (const VersionNode& child : children) {
        w.align(4);
        std::vector<uint8_t> childValue;
        uint16_t childLength = 0;
        if (child.isText) {
            for (char16_t u : child.text) childValue.insert(childValue.end(), {uint8_t(u & 0xFF), uint8_t(u >> 8)});
            childValue.insert(childValue.end(), {0, 0});
            childLength = static_cast<uint16_t>(std::min<size_t>(child.text.size() + 1, 0xFFFF));
        } else if (!child.isBlock) {
            childValue = child.binary;
            if (childValue.size() > 0xFFFF) fail(where, "version value too long");
            childLength = static_cast<uint16_t>(childValue.size());
        }
        versionNode(w, child.key, childLength, child.isBlock || child.isText ? 1 : 0, childValue, child.children,
                    where);
    }
    const size_t length = w.size() - start;
    if (length > 0xFFFF) fail(where, "version block larger than 64 KB");
    w.patch16(start, static_cast<uint16_t>(length));
}

}  // namespace

std::vector<uint8_t> encodeDialog(const Dialog& d, const Location& where) {
    if (d.controls.size() > 0xFFFF) fail(where, "too many controls");
    Writer w;
    if (d.extended) {
        w.u16(1);       // dlgVer
        w.u16(0xFFFF);  // signature: DLGTEMPLATEEX
        w.u32(d.helpId);
        w.u32(d.exStyle);
        w.u32(d.style);
    } else {
        w.u32(d.style);
        w.u32(d.exStyle);
    }
    w.u16(static_cast<uint16_t>(d.controls.size()));
    w.i16(d.x);
    w.i16(d.y);
    w.i16(d.cx);
    w.i16(d.cy);
    nameOrOrdinal(w, d.menu);
    nameOrOrdinal(w, d.windowClass);
    w.wstring(d.caption);
    if (d.style & DS_SETFONT) {
        w.u16(d.pointSize);
        if (d.extended) {
            w.u16(d.weight);
            w.u8(d.italic);
            w.u8(d.charset);
        }
        w.wstring(d.typeface);
    }
    for (const DialogControl& c : d.controls) {
        w.align(4);
        if (d.extended) {
            w.u32(c.helpId);
            w.u32(c.exStyle);
            w.u32(c.style);
        } else {
            w.u32(c.style);
            w.u32(c.exStyle);
        }
        w.i16(c.x);
        w.i16(c.y);
        w.i16(c.cx);
        w.i16(c.cy);
        if (d.extended) {
            w.u32(c.id);
        } else {
            if (c.id > 0xFFFF && c.id != 0xFFFFFFFFu) fail(c.where, "control id does not fit a DIALOG; use DIALOGEX");
            w.u16(static_cast<uint16_t>(c.id));
        }
        nameOrOrdinal(w, c.className);
        nameOrOrdinal(w, c.text);
        w.u16(0);  // no creation data
    }
    return w.take();
}

std::vector<uint8_t> encodeVersionInfo(const VersionInfo& v, const Location& where) {
    Writer fixed;
    fixed.u32(0xFEEF04BDu);  // VS_FFI_SIGNATURE
    fixed.u32(0x00010000u);  // VS_FFI_STRUCVERSION
    fixed.u32(v.fileVersionMS);
    fixed.u32(v.fileVersionLS);
    fixed.u32(v.productVersionMS);
    fixed.u32(v.productVersionLS);
    fixed.u32(v.fileFlagsMask);
    fixed.u32(v.fileFlags);
    fixed.u32(v.fileOS);
    fixed.u32(v.fileType);
    fixed.u32(v.fileSubtype);
    fixed.u32(0);  // file date
    fixed.u32(0);
    const std::vector<uint8_t> value = fixed.take();
    Writer w;
    versionNode(w, u"VS_VERSION_INFO", static_cast<uint16_t>(value.size()), 0, value, v.children, where);
    return w.take();
}

std::vector<Resource> encodeStringTables(const Script& script) {
    std::vector<Resource> out;
    for (const auto& [language, table] : script.strings) {
        // Ids 16n .. 16n+15 share block n+1: sixteen counted strings, missing ones counted 0.
        std::map<uint16_t, std::vector<const std::pair<const uint16_t, StringEntry>*>> blocks;
        for (const auto& entry : table) blocks[static_cast<uint16_t>(entry.first / 16 + 1)].push_back(&entry);
        for (const auto& [block, entries] : blocks) {
            Writer w;
            size_t k = 0;
            for (uint32_t slot = 0; slot < 16; ++slot) {
                const uint32_t id = (uint32_t{block} - 1) * 16 + slot;
                if (k < entries.size() && entries[k]->first == id) {
                    const std::u16string& text = entries[k]->second.text;
                    w.u16(static_cast<uint16_t>(text.size()));
                    w.units(text);
                    ++k;
                } else {
                    w.u16(0);
                }
            }
            out.push_back(Resource{Key{RT_STRING, {}}, Key{block, {}}, language, w.take(),
                                   entries.front()->second.where});
        }
    }
    return out;
}

std::vector<uint8_t> buildDirectory(const Script& script) {
    std::vector<Resource> all = script.resources;
    for (Resource& r : encodeStringTables(script)) all.push_back(std::move(r));
    std::stable_sort(all.begin(), all.end(), [](const Resource& a, const Resource& b) {
        if (!(a.type == b.type)) return a.type < b.type;
        if (!(a.name == b.name)) return a.name < b.name;
        return a.language < b.language;
    });
    for (size_t i = 1; i < all.size(); ++i) {
        const Resource& a = all[i - 1];
        const Resource& b = all[i];
        if (a.type == b.type && a.name == b.name && a.language == b.language) {
            char lang[8];
            std::snprintf(lang, sizeof lang, "%04X", a.language);
            // The sort is stable, so the first definition in the script comes first.
            fail(b.where, "resource " + describeKey(b.name) + " of type " + describeKey(b.type) + " and language " +
                              lang + " is defined twice (first at " + a.where.file + ":" +
                              std::to_string(a.where.line) + ")");
        }
    }
    if (all.size() > winsim::rsrc::kMaxEntries) fail(Location{}, "too many resources");

    // Names go to the pool once each.
    std::string pool;
    std::map<std::string, uint32_t> poolOffsets;
    auto keyValue = [&](const Key& k) -> uint32_t {
        if (k.name.empty()) return k.id;
        auto [it, inserted] = poolOffsets.emplace(k.name, static_cast<uint32_t>(pool.size()));
        if (inserted) {
            pool += k.name;
            pool += '\0';
        }
        return winsim::rsrc::kNameInPool | it->second;
    };
    std::vector<winsim::rsrc::Entry> entries(all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        entries[i] = winsim::rsrc::Entry{};
        entries[i].type = keyValue(all[i].type);
        entries[i].name = keyValue(all[i].name);
        entries[i].language = all[i].language;
        entries[i].size = static_cast<uint32_t>(all[i].data.size());
    }

    auto alignUp = [](uint64_t v) {
        const uint64_t a = winsim::rsrc::kDataAlignment;
        return (v + a - 1) / a * a;
    };
    winsim::rsrc::Header h{};
    h.magic = winsim::rsrc::kMagic;
    h.version = winsim::rsrc::kVersion;
    h.headerSize = sizeof h;
    h.entryCount = static_cast<uint32_t>(entries.size());
    h.entrySize = sizeof(winsim::rsrc::Entry);
    h.entriesOffset = sizeof h;
    h.poolOffset = static_cast<uint32_t>(h.entriesOffset + entries.size() * sizeof(winsim::rsrc::Entry));
    h.poolSize = static_cast<uint32_t>(pool.size());
    uint64_t at = alignUp(uint64_t{h.poolOffset} + pool.size());
    h.dataOffset = static_cast<uint32_t>(at);
    for (size_t i = 0; i < all.size(); ++i) {
        at = alignUp(at);
        entries[i].offset = static_cast<uint32_t>(at);
        at += all[i].data.size();
        if (at > 0x7FFFFFFF) fail(all[i].where, "resources larger than 2 GB");
    }
    h.dataSize = static_cast<uint32_t>(at - h.dataOffset);
    h.totalSize = static_cast<uint32_t>(at);

    std::vector<uint8_t> blob(h.totalSize, 0);
    std::memcpy(blob.data(), &h, sizeof h);
    if (!entries.empty())
        std::memcpy(blob.data() + h.entriesOffset, entries.data(), entries.size() * sizeof(winsim::rsrc::Entry));
    if (!pool.empty()) std::memcpy(blob.data() + h.poolOffset, pool.data(), pool.size());
    for (size_t i = 0; i < all.size(); ++i)
        if (!all[i].data.empty()) std::memcpy(blob.data() + entries[i].offset, all[i].data.data(), all[i].data.size());
    return blob;
}

std::string assemblyFor(const std::vector<uint8_t>& blob) {
    std::string out;
    out.reserve(blob.size() * 5 + 256);
    out += "# Resource directory written by zelfin-rc. winsim reads it from the module's file.\n";
    out += "\t.section .zrsrc,\"a\",@progbits\n\t.balign 8\n";
    char buf[8];
    for (size_t i = 0; i < blob.size(); ++i) {
        out += i % 16 == 0 ? "\t.byte " : ",";
        std::snprintf(buf, sizeof buf, "%u", blob[i]);
        out += buf;
        if (i % 16 == 15 || i + 1 == blob.size()) out += '\n';
    }
    out += "\t.section .note.GNU-stack,\"\",@progbits\n";
    return out;
}

std::string depfileFor(const std::string& target, const std::vector<std::filesystem::path>& dependencies) {
    auto escape = [](const std::string& path) {
        std::string e;
        for (char c : path) {
            if (c == ' ' || c == '#' || c == '\\') e += '\\';
            if (c == '$') e += '$';
            e += c;
        }
        return e;
    };
    std::string out = escape(target) + ":";
    std::vector<std::string> seen;
    for (const auto& dep : dependencies) {
        const std::string path = std::filesystem::absolute(dep).lexically_normal().string();
        if (std::find(seen.begin(), seen.end(), path) != seen.end()) continue;
        seen.push_back(path);
        out += " \\\n  " + escape(path);
    }
    return out + "\n";
}

}  // namespace rc
