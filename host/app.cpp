#include "app.h"

#include <devaccess/sysutil.h>

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

}  // namespace zelfin
