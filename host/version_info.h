// Texts from the version blocks of the program and of the plug-ins.
#pragma once
#include <string>

#include "app.h"

namespace zelfin {

// The values of a file's version block under its first language/code-page pair; a missing key
// gives nothing.
struct VersionStrings {
    bool found = false;
    std::string productName, fileDescription, productVersion, fileVersion, legalCopyright;
    bool hasProductName = false, hasFileDescription = false, hasProductVersion = false, hasFileVersion = false,
         hasLegalCopyright = false;
};
VersionStrings readVersionStrings(const char* windowsPath);

// "%s - %s %s %s" of ProductName, FileDescription, library string 30 and ProductVersion of the
// program itself; false (and empty text) when any of them is missing.
bool programVersionLine(char (&out)[kTextSize]);

}  // namespace zelfin
