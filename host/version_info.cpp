#include "version_info.h"

#include "text.h"

#include <cstdio>
#include <vector>

namespace zelfin {

namespace {

bool query(const std::vector<char>& block, const char* subBlock, std::string* out) {
    void* value = nullptr;
    UINT len = 0;
    if (!VerQueryValueA(block.data(), subBlock, &value, &len) || !value) return false;
    // String values come with their terminator; never read past what the block says.
    const char* text = static_cast<const char*>(value);
    size_t n = 0;
    while (n < len && text[n]) ++n;
    out->assign(text, n);
    return true;
}

}  // namespace

VersionStrings readVersionStrings(const char* path) {
    VersionStrings v;
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &handle);
    if (size == 0) return v;
    std::vector<char> block(size);
    if (!GetFileVersionInfoA(path, 0, size, block.data())) return v;
    void* translation = nullptr;
    UINT len = 0;
    if (!VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &translation, &len) || len < 4) return v;
    const auto* pair = static_cast<const WORD*>(translation);
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "\\StringFileInfo\\%04x%04x\\", pair[0], pair[1]);
    v.found = true;
    const std::string p = prefix;
    v.hasProductName = query(block, (p + "ProductName").c_str(), &v.productName);
    v.hasFileDescription = query(block, (p + "FileDescription").c_str(), &v.fileDescription);
    v.hasProductVersion = query(block, (p + "ProductVersion").c_str(), &v.productVersion);
    v.hasFileVersion = query(block, (p + "FileVersion").c_str(), &v.fileVersion);
    v.hasLegalCopyright = query(block, (p + "LegalCopyright").c_str(), &v.legalCopyright);
    return v;
}

bool programVersionLine(char (&out)[kTextSize]) {
    out[0] = '\0';
    char self[kTextSize];
    const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    if (n == 0 || n >= sizeof self) return false;
    const VersionStrings v = readVersionStrings(self);
    if (!v.hasProductName || !v.hasFileDescription || !v.hasProductVersion) return false;
    char word[kTextSize];
    loadString(kStrVersionWord, word);
    const std::string line = v.productName + " - " + v.fileDescription + " " + word + " " + v.productVersion;
    return copyInto(out, line.c_str());
}

}  // namespace zelfin
