// Every headless test program runs with a private lab and without windows, whatever display
// the developer has.
#pragma once
#include <stdlib.h>

#include <ui/driver.h>

#include "test_lab.h"

namespace uitest {

inline const bool kHeadless = [] {
    ::setenv("ZELFIN_UI", "headless", 1);
    ::unsetenv("ZELFIN_UI_SCRIPT");
    ::unsetenv("ZELFIN_UI_ANSWERS");
    ::unsetenv("ZELFIN_UI_FILES");
    ui::headless::setAutoClose(false);  // the tests are the operator
    return true;
}();

}  // namespace uitest
