// Zelfin: the firmware update utility for card readers.
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "app.h"
#include "startup.h"
#include "version_info.h"

namespace {

const char kHelp[] =
    "Usage: zelfin [/CE | /DI] [/IV] [/CFG path]\n"
    "\n"
    "Updates the firmware of card readers: interactively from its main dialog, or unattended from\n"
    "a configuration file.\n"
    "\n"
    "Switches (case-insensitive, recognised anywhere in the command line):\n"
    "  /CFG path   run the update configured in this file; the rest of the line is the path,\n"
    "              so /CFG must come last (without it Zelfin.cfg in the current folder is used)\n"
    "  /CE         edit the configuration file instead of updating\n"
    "  /DI         show the device information of the attached readers\n"
    "  /IV         skip the check that an image is newer than the reader's firmware (one image,\n"
    "              one reader)\n"
    "\n"
    "Plug-ins (KPL*.DLL) and the string library ZELFNRES.DLL are taken from the current folder\n"
    "and the program's folder. The log is C:\\Zelfin.log, or Zelfin.log in the current folder.\n"
    "\n"
    "Environment:\n"
    "  ZELFIN_LAB            the lab (simulated PC) to run on; default $XDG_DATA_HOME/zelfin/lab\n"
    "  ZELFIN_TIME_SCALE     how much faster than real time the lab clock runs\n"
    "  ZELFIN_UI             qt or headless; default qt when a display is available\n"
    "  ZELFIN_UI_ANSWERS     headless: answers to message boxes, e.g. yes,no\n"
    "  ZELFIN_UI_SCRIPT      headless: a file of dialog actions to play\n"
    "  LANG                  the user interface language when the lab does not set one\n"
    "\n"
    "  --help      print this text and exit\n"
    "  --version   print the version line and exit\n"
    "\n"
    "Exit codes: 0 when the run ends before its update dialog (no plug-in, a second copy, ...),\n"
    "255 after an unattended run without windows (the outcome is in the log), 2 for an unknown\n"
    "--option, otherwise the result of the dialog that ran last.\n";

}  // namespace

int main(int argc, char** argv) {
    // Our own options are whole arguments starting with "--", so they never meet the switch test,
    // which looks at the upper-cased command line. Everything after "/CFG" is its path.
    for (int i = 1; i < argc; ++i) {
        if (strcasecmp(argv[i], "/CFG") == 0) break;
        if (std::strncmp(argv[i], "--", 2) != 0) continue;
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            char self[zelfin::kTextSize];
            const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
            const zelfin::VersionStrings v =
                n && n < sizeof self ? zelfin::readVersionStrings(self) : zelfin::VersionStrings{};
            std::printf("%s - %s %s\n", v.productName.c_str(), v.fileDescription.c_str(), v.productVersion.c_str());
            return 0;
        }
        std::fprintf(stderr, "zelfin: unknown option %s\n\n", argv[i]);
        std::fputs(kHelp, stderr);
        return 2;
    }
    zelfin::startRoutine();
    zelfin::shutdown();
    return zelfin::exitCode;
}
