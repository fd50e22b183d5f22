// Ticker: a small window that shows a line of text and a cycling progress bar while a long
// unattended job runs, until a script or the operator closes it.
#include <cstdio>
#include <cstring>

#include <winsim/windows.h>

#include "ticker_app.h"

namespace {

const char kHelp[] =
    "Usage: ticker \"text\" [interval [x,y | y]]\n"
    "\n"
    "Shows a small window, always on top, with the text and a progress bar that keeps cycling,\n"
    "until the window is closed: by the operator (close button, Escape or Enter) or by another\n"
    "program that sends WM_CLOSE to the window titled \"Zelfin Ticker\". The exit code is always 0.\n"
    "\n"
    "  text       the line shown, from after the first character up to the next quotation mark\n"
    "  interval   one step of the bar every interval x 10 ms (default 30: a turn of 100 steps\n"
    "             takes 30 s); 0, or anything that is no number, gives the shortest period\n"
    "  x,y        moves the window x pixels right and y pixels down; a lone number is y\n"
    "\n"
    "Without a closing quotation mark the program ends at once, without a window. The command\n"
    "line is read as Windows passes it; from a POSIX shell the quotation marks reach the program\n"
    "only around a text that holds a blank, e.g. ticker \"Copying files\" 10 -50,20; a one-word\n"
    "text needs a blank after it: ticker 'Busy '.\n"
    "\n"
    "Environment:\n"
    "  ZELFIN_LAB            the lab (simulated PC) to run on; default $XDG_DATA_HOME/zelfin/lab\n"
    "  ZELFIN_TIME_SCALE     how much faster than real time the lab clock runs\n"
    "  ZELFIN_UI             qt or headless; default qt when a display is available\n"
    "  ZELFIN_UI_SCRIPT      headless: a file of dialog actions to play\n"
    "\n"
    "  --help      print this text and exit (only as the whole command line)\n"
    "  --version   print the version line and exit (likewise)\n";

}  // namespace

int main() {
    // Only a command line of exactly --help or --version: any other line is the window's, read
    // as it is.
    const char* tail = ticker::commandTail(GetCommandLineA());
    if (std::strcmp(tail, "--help") == 0) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (std::strcmp(tail, "--version") == 0) {
        std::printf("ticker %s\n", ZELFIN_VERSION);
        return 0;
    }
    ticker::CTickerApp app;
    return app.run();
}
