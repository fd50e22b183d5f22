#include "plugin-common/command_line.h"

#include <cctype>
#include <cstddef>

#include <winsim/windows.h>

bool IgnoreChecksRequested() {
    const char* line = GetCommandLineA();
    for (size_t i = 0; line && line[i] && line[i + 1] && line[i + 2]; ++i)
        if (line[i] == '/' && std::toupper(static_cast<unsigned char>(line[i + 1])) == 'I' &&
            std::toupper(static_cast<unsigned char>(line[i + 2])) == 'V')
            return true;
    return false;
}
