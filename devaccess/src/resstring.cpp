#include <devaccess/sysutil.h>

#include <cstring>

int32_t LoadResString(HMODULE module, UINT id, LANGID language, char* out, size_t outSize) {
    if (!out || outSize == 0) return 0;
    std::memset(out, 0, outSize);
    HRSRC info = FindResourceExA(module, RT_STRING, MAKEINTRESOURCEA((id >> 4) + 1), language);
    if (!info) return 0;
    HGLOBAL loaded = LoadResource(module, info);
    const auto* block = static_cast<const WCHAR*>(LockResource(loaded));
    const DWORD bytes = SizeofResource(module, info);
    if (!block) return 0;
    // A block holds 16 entries, each a count followed by that many UTF-16 units. The walk never
    // leaves the resource, whatever the counts say.
    const size_t units = bytes / sizeof(WCHAR);
    size_t pos = 0;
    for (UINT skip = id & 15; skip > 0; --skip) {
        if (pos >= units) return 0;
        pos += 1 + block[pos];
    }
    if (pos >= units) return 0;
    size_t count = block[pos];
    const WCHAR* text = block + pos + 1;
    if (count > units - pos - 1) count = units - pos - 1;
    if (count == 0) return 0;
    // Fit the text into outSize - 1 bytes: drop whole characters from the end until it does, so
    // that a German text never ends in half a character.
    const int limit = static_cast<int>(outSize - 1);
    while (count > 0) {
        const int need = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(count), nullptr, 0, nullptr, nullptr);
        if (need > 0 && need <= limit) {
            return WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(count), out, limit, nullptr, nullptr);
        }
        --count;
        if (count > 0 && text[count] >= 0xDC00 && text[count] <= 0xDFFF && text[count - 1] >= 0xD800 &&
            text[count - 1] <= 0xDBFF)
            --count;  // never split a surrogate pair
    }
    return 0;
}
