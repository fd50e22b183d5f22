// Included once by each test program that shows real Qt widgets: the toolkit's Qt backend on
// Qt's offscreen platform, whatever display the developer has.
#pragma once
#include <stdlib.h>

// In the sanitizer build: fontconfig keeps a few bytes of its configuration to the end of the
// process, which the leak checker would count against the test.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace testsupport {

inline const bool kOffscreenQt = [] {
    ::setenv("ZELFIN_UI", "qt", 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::unsetenv("ZELFIN_UI_SCRIPT");
    return true;
}();

}  // namespace testsupport
