#include "resources.h"

#include <cstring>

#include <winsim/winsim.h>
#include <ui/dialog_template.h>

namespace ui {

std::optional<DialogTemplate> loadDialogTemplate(HMODULE module, UINT id) {
    HRSRC res = FindResourceA(module, MAKEINTRESOURCEA(id), RT_DIALOG);
    if (!res) return std::nullopt;
    HGLOBAL data = LoadResource(module, res);
    const void* bytes = data ? LockResource(data) : nullptr;
    const DWORD size = SizeofResource(module, res);
    if (!bytes || size == 0) return std::nullopt;
    auto t = winsim::parseDialogTemplate(bytes, size);
    if (!t) SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return t;
}

}  // namespace ui

namespace ui::detail {

namespace {

std::optional<std::vector<uint8_t>> loadRaw(HMODULE module, LPCSTR name, LPCSTR type) {
    HRSRC res = FindResourceA(module, name, type);
    if (!res) return std::nullopt;
    HGLOBAL data = LoadResource(module, res);
    const auto* bytes = static_cast<const uint8_t*>(data ? LockResource(data) : nullptr);
    const DWORD size = SizeofResource(module, res);
    if (!bytes || size == 0) return std::nullopt;
    return std::vector<uint8_t>(bytes, bytes + size);
}

uint32_t le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

std::string resourceNameText(LPCSTR name) {
    if (IS_INTRESOURCE(name)) return "#" + std::to_string(static_cast<unsigned>(reinterpret_cast<uintptr_t>(name)));
    return name ? std::string(name) : std::string();
}

std::optional<std::vector<uint8_t>> loadIconFile(HMODULE module, const std::string& name) {
    return loadRaw(module, name.c_str(), RT_GROUP_ICON);
}

std::optional<std::vector<uint8_t>> loadBitmapFile(HMODULE module, LPCSTR name) {
    auto dib = loadRaw(module, name, RT_BITMAP);
    if (!dib || dib->size() < 40) return std::nullopt;
    const uint8_t* h = dib->data();
    const uint32_t headerSize = le32(h);
    if (headerSize < 40 || headerSize > dib->size()) return std::nullopt;
    // The pixels follow the header, the colour masks of BI_BITFIELDS (in a 40-byte header) and
    // the colour table.
    const uint16_t bitCount = le16(h + 14);
    const uint32_t compression = le32(h + 16);
    uint32_t colours = le32(h + 32);
    if (colours == 0 && bitCount <= 8) colours = 1u << bitCount;
    uint64_t offset = 14ull + headerSize + 4ull * colours;
    if (headerSize == 40 && compression == 3) offset += 12;
    if (offset > 14ull + dib->size()) return std::nullopt;
    std::vector<uint8_t> file(14 + dib->size());
    file[0] = 'B';
    file[1] = 'M';
    put32(&file[2], static_cast<uint32_t>(file.size()));
    put32(&file[10], static_cast<uint32_t>(offset));
    std::memcpy(file.data() + 14, dib->data(), dib->size());
    return file;
}

std::chrono::nanoseconds labDuration(uint32_t labMs) { return std::chrono::nanoseconds(WinsimRealNanoseconds(labMs)); }

}  // namespace ui::detail
