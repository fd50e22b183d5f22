// The command line, the log writer of the host and the configuration read at start-up.
#include <gtest/gtest.h>

#include <string>

#include "app.h"
#include "cmdline.h"
#include "test_lab.h"

using namespace zelfin;

namespace {

TEST(CommandLine, ConfigPathIsTheRestOfTheLineCutAt263) {
    struct Case {
        std::string line;
        std::string path;
    };
    const Case cases[] = {
        {"ZELFIN.EXE /CFG C:\\A.CFG", "C:\\A.CFG"},
        // Everything after /CFG, so a switch behind it becomes part of the path.
        {"ZELFIN /CFG  X.CFG /IV", "X.CFG /IV"},
        {"ZELFIN /CFG \"C:\\MY FILES\\A.CFG\"", "\"C:\\MY FILES\\A.CFG\""},
        {"ZELFIN /DI", ""},
        {"ZELFIN /CFG", ""},
        {"ZELFIN /CFG " + std::string(300, 'P'), std::string(263, 'P')},
    };
    for (const Case& c : cases) {
        readConfigPathFrom(c.line.c_str());
        EXPECT_EQ(std::string(theApp.configPath), c.path) << c.line;
        EXPECT_LT(std::string(theApp.configPath).size(), sizeof theApp.configPath);
    }
    theApp.configPath[0] = '\0';
}

}  // namespace
