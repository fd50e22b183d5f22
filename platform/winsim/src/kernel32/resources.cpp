// Resources of a module: FindResource(Ex)A, LoadResource, LockResource, SizeofResource,
// FreeResource, and the string loading of USER32 (LoadStringA/W) on top of them.
#include <cstring>

#include "internal.h"
#include "modules.h"

namespace winsim {

namespace {

constexpr uint16_t kStringType = 6;  // RT_STRING

// A type or name as the caller gives it: MAKEINTRESOURCE(id), "#id", or a name.
std::optional<ResourceKey> keyFrom(LPCSTR s) {
    if (IS_INTRESOURCE(s)) return ResourceKey::fromId(static_cast<uint16_t>(reinterpret_cast<uintptr_t>(s)));
    if (s[0] == '\0') return std::nullopt;
    if (s[0] == '#') {
        uint32_t v = 0;
        size_t i = 1;
        for (; s[i] >= '0' && s[i] <= '9' && v <= 0xFFFF; ++i) v = v * 10 + static_cast<uint32_t>(s[i] - '0');
        if (i > 1 && s[i] == '\0' && v <= 0xFFFF) return ResourceKey::fromId(static_cast<uint16_t>(v));
    }
    return ResourceKey::fromName(s);
}

DWORD errorFor(ResourceDirectory::Lookup result) {
    switch (result) {
        case ResourceDirectory::Lookup::NoType: return ERROR_RESOURCE_TYPE_NOT_FOUND;
        case ResourceDirectory::Lookup::NoName: return ERROR_RESOURCE_NAME_NOT_FOUND;
        default: return ERROR_RESOURCE_LANG_NOT_FOUND;
    }
}

// Windows' choice for a resource without a language: neutral, the user's language, US English,
// then whatever there is.
std::vector<int> resourceLanguages() {
    return {0, currentLab().uiLanguage(), 0x0409, ResourceDirectory::kAnyLanguage};
}

HRSRC findIn(HMODULE module, const ResourceKey& type, const ResourceKey& name, const std::vector<int>& languages) {
    auto dir = moduleResources(module);
    if (!dir) return nullptr;
    if (!dir->hasSection()) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    size_t index = 0;
    const auto result = dir->find(type, name, languages, &index);
    if (result != ResourceDirectory::Lookup::Found) {
        SetLastError(errorFor(result));
        return nullptr;
    }
    return makeResourceHandle(module ? module : programModule(), index);
}

// The entry behind an HRSRC, checked to belong to the module the caller names.
const ResourceEntry* entryFor(HMODULE module, HRSRC resource, std::shared_ptr<const ResourceDirectory>* keep) {
    size_t index = 0;
    HMODULE owner = nullptr;
    auto dir = resolveResourceHandle(resource, &index, &owner);
    if (!dir) return nullptr;
    if ((module ? module : programModule()) != owner) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    *keep = dir;
    return &dir->entries()[index];
}

// String id `id` of a module: its UTF-16 text inside the RT_STRING block, uncounted and
// unterminated. The block is chosen by language (the user's, US English, any), then the
// string in it; an empty string is a missing one.
bool findString(HMODULE module, UINT id, const char16_t** text, size_t* length) {
    if (id > 0xFFFF) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return false;
    }
    auto dir = moduleResources(module);
    if (!dir) return false;
    if (!dir->hasSection()) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return false;
    }
    size_t index = 0;
    const auto result =
        dir->find(ResourceKey::fromId(kStringType), ResourceKey::fromId(static_cast<uint16_t>(id / 16 + 1)),
                  {currentLab().uiLanguage(), 0x0409, ResourceDirectory::kAnyLanguage}, &index);
    if (result != ResourceDirectory::Lookup::Found) {
        SetLastError(errorFor(result));
        return false;
    }
    // The module keeps the directory alive; `dir` is only our reference to it.
    const ResourceEntry& e = dir->entries()[index];
    size_t at = 0;
    for (UINT slot = 0;; ++slot) {
        if (e.size - at < 2) break;  // a damaged block ends early
        uint16_t count;
        std::memcpy(&count, e.data + at, 2);
        at += 2;
        if (count > (e.size - at) / 2) break;
        if (slot == id % 16) {
            if (count == 0) break;
            *text = reinterpret_cast<const char16_t*>(e.data + at);
            *length = count;
            return true;
        }
        at += size_t{count} * 2;
    }
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return false;
}

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

HRSRC WINAPI FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
    try {
        const auto n = keyFrom(name);
        const auto t = keyFrom(type);
        if (!n || !t) {
            SetLastError(!t ? ERROR_RESOURCE_TYPE_NOT_FOUND : ERROR_RESOURCE_NAME_NOT_FOUND);
            return nullptr;
        }
        return findIn(module, *t, *n, resourceLanguages());
    } catch (const std::exception&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

HRSRC WINAPI FindResourceExA(HMODULE module, LPCSTR type, LPCSTR name, WORD language) {
    try {
        const auto n = keyFrom(name);
        const auto t = keyFrom(type);
        if (!n || !t) {
            SetLastError(!t ? ERROR_RESOURCE_TYPE_NOT_FOUND : ERROR_RESOURCE_NAME_NOT_FOUND);
            return nullptr;
        }
        // The neutral language asks for the usual choice; any other exactly that language.
        const std::vector<int> languages = language == 0 ? resourceLanguages() : std::vector<int>{language};
        return findIn(module, *t, *n, languages);
    } catch (const std::exception&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

HGLOBAL WINAPI LoadResource(HMODULE module, HRSRC resource) {
    std::shared_ptr<const ResourceDirectory> keep;
    const ResourceEntry* e = entryFor(module, resource, &keep);
    // The data lives as long as the module does, as with a mapped image.
    return e ? const_cast<uint8_t*>(e->data) : nullptr;
}

LPVOID WINAPI LockResource(HGLOBAL data) { return data; }

DWORD WINAPI SizeofResource(HMODULE module, HRSRC resource) {
    std::shared_ptr<const ResourceDirectory> keep;
    const ResourceEntry* e = entryFor(module, resource, &keep);
    return e ? e->size : 0;
}

// Resources are freed with their module; as on Win32, FALSE means success.
BOOL WINAPI FreeResource(HGLOBAL) { return FALSE; }

int WINAPI LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int cchBufferMax) {
    if (!buffer || cchBufferMax <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    buffer[0] = '\0';
    try {
        const char16_t* text = nullptr;
        size_t length = 0;
        if (!findString(instance, id, &text, &length)) return 0;
        const std::string utf8 = utf16ToUtf8(std::u16string(text, length));
        // Cut at a character boundary, so that what fits is always whole characters.
        size_t n = std::min(utf8.size(), static_cast<size_t>(cchBufferMax) - 1);
        if (n < utf8.size())
            while (n > 0 && (static_cast<unsigned char>(utf8[n]) & 0xC0) == 0x80) --n;
        std::memcpy(buffer, utf8.data(), n);
        buffer[n] = '\0';
        return static_cast<int>(n);
    } catch (const std::exception&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

int WINAPI LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int cchBufferMax) {
    if (!buffer || cchBufferMax < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    try {
        const char16_t* text = nullptr;
        size_t length = 0;
        const bool found = findString(instance, id, &text, &length);
        if (cchBufferMax == 0) {
            // The caller gets a read-only pointer to the string in the resource itself.
            const LPCWSTR p = found ? text : nullptr;
            std::memcpy(static_cast<void*>(buffer), &p, sizeof p);
            return found ? static_cast<int>(length) : 0;
        }
        buffer[0] = u'\0';
        if (!found) return 0;
        size_t n = std::min(length, static_cast<size_t>(cchBufferMax) - 1);
        if (n < length && n > 0 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;  // keep pairs whole
        std::memcpy(buffer, text, n * sizeof(char16_t));
        buffer[n] = u'\0';
        return static_cast<int>(n);
    } catch (const std::exception&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

}  // extern "C"
