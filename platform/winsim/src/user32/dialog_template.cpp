// Decoding DLGTEMPLATEEX and DLGTEMPLATE resources for the dialog toolkit.
#include <winsim/dialog_template.h>

#include <cstring>

#include "internal.h"

namespace winsim {

namespace {

// Reads little-endian fields, failing (instead of reading on) at the end of the template.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool u8(uint8_t* v) { return take(v, 1); }
    bool u16(uint16_t* v) { return take(v, 2); }
    bool u32(uint32_t* v) { return take(v, 4); }
    bool i16(int16_t* v) { return take(v, 2); }
    bool align4() {
        const size_t aligned = (pos_ + 3) & ~size_t{3};
        if (aligned > size_) return false;
        pos_ = aligned;
        return true;
    }
    bool bytes(size_t n, std::vector<uint8_t>* out) {
        if (n > size_ - pos_) return false;
        out->assign(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return true;
    }
    // A NUL-terminated UTF-16 string, whose first unit may already have been read.
    bool string(std::string* out, std::optional<uint16_t> first = std::nullopt) {
        std::u16string s;
        uint16_t unit = 0;
        if (first) {
            if (*first == 0) return (out->clear(), true);
            s.push_back(static_cast<char16_t>(*first));
        }
        for (;;) {
            if (!u16(&unit)) return false;
            if (unit == 0) break;
            s.push_back(static_cast<char16_t>(unit));
        }
        *out = utf16ToUtf8(s);
        return true;
    }
    // sz_Or_Ord: 0x0000 (nothing), 0xFFFF and an ordinal, or a string.
    bool nameOrOrdinal(std::string* name, std::optional<uint16_t>* ordinal) {
        uint16_t first = 0;
        if (!u16(&first)) return false;
        name->clear();
        ordinal->reset();
        if (first == 0) return true;
        if (first == 0xFFFF) {
            uint16_t v = 0;
            if (!u16(&v)) return false;
            *ordinal = v;
            return true;
        }
        return string(name, first);
    }

private:
    bool take(void* out, size_t n) {
        if (n > size_ - pos_) return false;
        std::memcpy(out, data_ + pos_, n);
        pos_ += n;
        return true;
    }
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

const char* predefinedClass(uint16_t ordinal) {
    switch (ordinal) {
        case 0x80: return "Button";
        case 0x81: return "Edit";
        case 0x82: return "Static";
        case 0x83: return "ListBox";
        case 0x84: return "ScrollBar";
        case 0x85: return "ComboBox";
        default: return "";
    }
}


bool readItem(Reader& r, bool extended, DialogItem* item) {
    if (!r.align4()) return false;
    if (extended) {
        if (!r.u32(&item->helpId) || !r.u32(&item->exStyle) || !r.u32(&item->style)) return false;
    } else {
        if (!r.u32(&item->style) || !r.u32(&item->exStyle)) return false;
    }
    if (!r.i16(&item->x) || !r.i16(&item->y) || !r.i16(&item->cx) || !r.i16(&item->cy)) return false;
    if (extended) {
        if (!r.u32(&item->id)) return false;
    } else {
        uint16_t id = 0;
        if (!r.u16(&id)) return false;
        item->id = id;
    }
    std::optional<uint16_t> classOrdinal;
    if (!r.nameOrOrdinal(&item->className, &classOrdinal)) return false;
    if (classOrdinal) {
        item->classOrdinal = *classOrdinal;
        item->className = predefinedClass(*classOrdinal);
    }
    if (!r.nameOrOrdinal(&item->text, &item->textOrdinal)) return false;
    uint16_t extra = 0;
    if (!r.u16(&extra)) return false;
    return r.bytes(extra, &item->creationData);
}

std::optional<DialogTemplate> parse(const uint8_t* data, size_t size) {
    Reader r(data, size);
    DialogTemplate t;
    uint16_t first = 0, second = 0;
    if (size >= 4) {
        std::memcpy(&first, data, 2);
        std::memcpy(&second, data + 2, 2);
    }
    t.extended = first == 1 && second == 0xFFFF;
    if (t.extended) {
        uint16_t version = 0, signature = 0;
        if (!r.u16(&version) || !r.u16(&signature) || !r.u32(&t.helpId) || !r.u32(&t.exStyle) || !r.u32(&t.style))
            return std::nullopt;
    } else {
        if (!r.u32(&t.style) || !r.u32(&t.exStyle)) return std::nullopt;
    }
    uint16_t count = 0;
    if (!r.u16(&count) || !r.i16(&t.x) || !r.i16(&t.y) || !r.i16(&t.cx) || !r.i16(&t.cy)) return std::nullopt;
    if (!r.nameOrOrdinal(&t.menu, &t.menuOrdinal) || !r.nameOrOrdinal(&t.windowClass, &t.windowClassOrdinal) ||
        !r.string(&t.title))
        return std::nullopt;
    if (t.style & DS_SETFONT) {
        t.hasFont = true;
        if (!r.u16(&t.pointSize)) return std::nullopt;
        if (t.extended) {
            uint8_t italic = 0;
            if (!r.u16(&t.weight) || !r.u8(&italic) || !r.u8(&t.charset)) return std::nullopt;
            t.italic = italic != 0;
        }
        if (!r.string(&t.typeface)) return std::nullopt;
    }
    // Items are added as they are read, so a forged count cannot make us allocate much.
    for (uint16_t i = 0; i < count; ++i) {
        DialogItem item;
        if (!readItem(r, t.extended, &item)) return std::nullopt;
        t.items.push_back(std::move(item));
    }
    return t;
}

}  // namespace

std::optional<DialogTemplate> parseDialogTemplate(const void* data, size_t size) {
    if (!data) return std::nullopt;
    try {
        return parse(static_cast<const uint8_t*>(data), size);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace winsim
