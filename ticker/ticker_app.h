// The Ticker application: what its command line asks for, and the run of its one window.
#pragma once
#include <cstdint>
#include <string>

namespace ticker {

// The part of a Windows command line after the program name (quoted or not) and the blanks
// after it: what WinMain receives as its command line.
const char* commandTail(const char* commandLine);

class CTickerApp {
public:
    std::string text;        // the line shown in the window
    int32_t interval = 30;   // tick length in units of 10 ms
    int32_t xOffset = 0;
    int32_t yOffset = 0;

    // Reads `cmdLine` (the tail, see commandTail): "text" [interval [x,y | y]]. False when the
    // line is empty or holds no closing quotation mark, and the program is to end at once.
    bool parseCommandLine(const char* cmdLine);

    // Reads the process's command line and runs the window modally until it is closed. The
    // program's exit code, which is always 0.
    int run();
};

}  // namespace ticker
