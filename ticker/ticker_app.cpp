#include "ticker_app.h"

#include <cstdlib>
#include <cstring>

#include <ui/win32.h>

#include "ticker_dlg.h"

namespace ticker {

namespace {

int atoiOf(const char* begin, const char* end) { return std::atoi(std::string(begin, end).c_str()); }

}  // namespace

const char* commandTail(const char* commandLine) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(commandLine);
    if (*p == '"') {
        ++p;
        while (*p && *p != '"') ++p;
        if (*p == '"') ++p;
    } else {
        while (*p > ' ') ++p;
    }
    while (*p && *p <= ' ') ++p;
    return reinterpret_cast<const char*>(p);
}

bool CTickerApp::parseCommandLine(const char* cmdLine) {
    if (!cmdLine || !*cmdLine) return false;
    // The first character is taken to be the opening quotation mark, whatever it is.
    const char* textStart = cmdLine + 1;
    const char* closing = std::strchr(textStart, '"');
    if (!closing) return false;
    text.assign(textStart, closing);

    const char* p = closing + 1;
    if (!*p) return true;
    ++p;  // the separator after the closing quotation mark, whatever it is
    const char* blank = std::strchr(p, ' ');
    interval = atoiOf(p, blank ? blank : p + std::strlen(p));
    if (!blank) return true;

    const char* offsets = blank + 1;
    if (const char* comma = std::strchr(offsets, ',')) {
        xOffset = atoiOf(offsets, comma);
        yOffset = std::atoi(comma + 1);
    } else {
        xOffset = 0;
        yOffset = std::atoi(offsets);
    }
    return true;
}

int CTickerApp::run() {
    // The toolkit sets up its own controls when the first dialog opens: nothing to initialise.
    if (!parseCommandLine(commandTail(GetCommandLineA()))) return 0;
    CTickerDlg dlg(*this);
    dlg.doModal();
    return 0;
}

}  // namespace ticker
