#include "app.h"

#include <devaccess/sysutil.h>

#include "log.h"
#include "text.h"

namespace zelfin {

ZelfinApp theApp;
int32_t exitCode = 0;

const char* ZelfinApp::configArg() const {
    if (configPath[0]) return configPath;
    if (configRead) return "Zelfin.cfg";
    return nullptr;
}

void loadString(UINT id, char (&out)[kTextSize]) {
    LoadResString(theApp.stringLibrary, id, static_cast<LANGID>(theApp.uiLanguage), out, sizeof out);
}

bool loadStringWith(UINT id, const char* argument, char (&out)[kTextSize]) {
    char format[kTextSize];
    loadString(id, format);
    // The library's texts carry no other conversion than the documented "%s".
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const bool whole = formatInto(out, sizeof out, format, argument ? argument : "");
#pragma GCC diagnostic pop
    if (!whole) hostLog("%s(%i) :Text %u cut to fit: %s", "Zelfin", 40, id, out);
    return whole;
}

}  // namespace zelfin
