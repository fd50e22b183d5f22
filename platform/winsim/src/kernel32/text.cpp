// Text conversion. The ANSI code page of the simulated PC is UTF-8; wide text is UTF-16.
#include <cerrno>
#include <cstring>

#include "internal.h"

namespace winsim {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence; returns its length, or 0 for an invalid sequence (one byte is
// then consumed by the caller).
size_t decodeUtf8(const unsigned char* s, size_t n, char32_t* cp) {
    const unsigned char c = s[0];
    if (c < 0x80) {
        *cp = c;
        return 1;
    }
    size_t len;
    char32_t v;
    if ((c & 0xE0) == 0xC0) {
        len = 2;
        v = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3;
        v = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4;
        v = c & 0x07;
    } else {
        return 0;
    }
    if (len > n) return 0;
    for (size_t i = 1; i < len; ++i) {
        if ((s[i] & 0xC0) != 0x80) return 0;
        v = (v << 6) | (s[i] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not characters.
    static const char32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (v < minimum[len] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
    *cp = v;
    return len;
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Both conversions report whether anything had to be replaced, for the *_ERR_INVALID_CHARS flags.
std::u16string toUtf16(const char* s, size_t n, bool* invalid) {
    std::u16string out;
    out.reserve(n);
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    size_t i = 0;
    while (i < n) {
        char32_t cp;
        size_t len = decodeUtf8(p + i, n - i, &cp);
        if (len == 0) {
            cp = kReplacement;
            len = 1;
            if (invalid) *invalid = true;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += len;
    }
    return out;
}

std::string toUtf8(const char16_t* s, size_t n, bool* invalid) {
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = kReplacement;
            if (invalid) *invalid = true;
        }
        appendUtf8(out, cp);
    }
    return out;
}

bool knownCodePage(UINT cp) { return cp == CP_ACP || cp == CP_OEMCP || cp == CP_THREAD_ACP || cp == CP_UTF8; }

}  // namespace

std::u16string utf8ToUtf16(const std::string& s) { return toUtf16(s.data(), s.size(), nullptr); }
std::string utf16ToUtf8(const std::u16string& s) { return toUtf8(s.data(), s.size(), nullptr); }

static char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsNoCase(const std::string& a, const std::string& b) { return compareNoCase(a, b) == 0; }

int compareNoCase(const std::string& a, const std::string& b) {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(lowerAscii(a[i]));
        const auto y = static_cast<unsigned char>(lowerAscii(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

DWORD copyOut(const std::string& text, LPSTR buffer, DWORD size) {
    if (buffer && text.size() < size) {
        std::memcpy(buffer, text.c_str(), text.size() + 1);
        return static_cast<DWORD>(text.size());
    }
    return static_cast<DWORD>(text.size() + 1);
}

DWORD win32ErrorFromErrno(int err) {
    switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ENOSPC: return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EBUSY: return ERROR_BUSY;
    case EIO: return ERROR_IO_DEVICE;
    default: return ERROR_GEN_FAILURE;
    }
}

}  // namespace winsim

using namespace winsim;

extern "C" {

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR src, int cbSrc, LPWSTR dst, int cchDst) {
    if (!knownCodePage(codePage) || !src || cbSrc == 0 || cchDst < 0 || (cchDst > 0 && !dst)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // MB_PRECOMPOSED (1) is the default behaviour for UTF-8 text and is accepted.
    if (flags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS | 1)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    const size_t n = cbSrc < 0 ? std::strlen(src) + 1 : static_cast<size_t>(cbSrc);
    bool invalid = false;
    const std::u16string w = toUtf16(src, n, &invalid);
    if (invalid && (flags & MB_ERR_INVALID_CHARS)) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (cchDst == 0) return static_cast<int>(w.size());
    if (w.size() > static_cast<size_t>(cchDst)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(dst, w.data(), w.size() * sizeof(WCHAR));
    return static_cast<int>(w.size());
}

int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR src, int cchSrc, LPSTR dst, int cbDst,
                               LPCSTR defaultChar, LPBOOL usedDefault) {
    if (!knownCodePage(codePage) || !src || cchSrc == 0 || cbDst < 0 || (cbDst > 0 && !dst) ||
        (codePage == CP_UTF8 && (defaultChar || usedDefault))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (flags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    size_t n;
    if (cchSrc < 0) {
        n = 0;
        while (src[n]) ++n;
        ++n;
    } else {
        n = static_cast<size_t>(cchSrc);
    }
    bool invalid = false;
    const std::string s = toUtf8(src, n, &invalid);
    if (invalid && (flags & WC_ERR_INVALID_CHARS)) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (usedDefault) *usedDefault = FALSE;  // every character has a UTF-8 form
    if (cbDst == 0) return static_cast<int>(s.size());
    if (s.size() > static_cast<size_t>(cbDst)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(dst, s.data(), s.size());
    return static_cast<int>(s.size());
}

}  // extern "C"
