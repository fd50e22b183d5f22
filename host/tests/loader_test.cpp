// Binding plug-ins and counting their devices, with plug-ins built for the tests.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app.h"
#include "loader.h"
#include "test_lab.h"

namespace fs = std::filesystem;
using namespace zelfin;

namespace {

const fs::path kPlugins = fs::path(ZELFIN_TEST_DIR) / "plugins";

class Loader : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("ZELFIN_UI", "headless", 1);
        char tmpl[] = "/tmp/zelfin-loader-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        previous_ = fs::current_path();
        fs::current_path(dir_);
        theApp = ZelfinApp{};
        theApp.osFamily = 1;
        theApp.stringLibrary = LoadLibraryA(ZELFIN_BIN_DIR "/ZELFNRES.DLL");
        ASSERT_NE(theApp.stringLibrary, nullptr);
    }
    void TearDown() override {
        unloadPlugins();
        if (theApp.logFile != INVALID_HANDLE_VALUE) CloseHandle(theApp.logFile);
        FreeLibrary(theApp.stringLibrary);
        theApp = ZelfinApp{};
        for (const char* v : {"ZELFIN_TEST_A_DEVICES", "ZELFIN_TEST_B_DEVICES", "ZELFIN_TEST_C_DEVICES",
                              "ZELFIN_TEST_A_CREATE_RESULT", "ZELFIN_TEST_B_CREATE_RESULT"})
            ::unsetenv(v);
        fs::current_path(previous_);
        fs::remove_all(dir_);
    }
    // Copies the test plug-in `target` into the current folder as `name` (its own name by default).
    void install(const std::string& target, const std::string& name = "") {
        for (const auto& e : fs::directory_iterator(kPlugins / target))
            if (e.path().extension() == ".DLL")
                fs::copy_file(e.path(), dir_ / (name.empty() ? e.path().filename().string() : name));
    }
    void openLogHere() {
        theApp.logFile = CreateFileA("test.log", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                     FILE_FLAG_WRITE_THROUGH, nullptr);
    }
    std::string logText() const {
        std::ifstream in(dir_ / "test.log");
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    std::vector<std::string> boundFiles() const {
        std::vector<std::string> names;
        for (int i = 0; i < theApp.pluginCount; ++i) {
            char path[MAX_PATH];
            GetModuleFileNameA(theApp.plugins[i].module, path, sizeof path);
            names.push_back(fs::path(std::string(path).substr(std::string(path).rfind('\\') + 1)).string());
        }
        return names;
    }
    fs::path dir_, previous_;
};

TEST_F(Loader, BindingResults) {
    EXPECT_EQ(bindPlugins(), kNoPluginFiles) << "no file at all";
    EXPECT_EQ(theApp.pluginCount, 0);

    std::ofstream(dir_ / "KPLJUNK.DLL") << "not a library";
    install("plugin_nofilter");
    EXPECT_EQ(bindPlugins(), kNoPluginBound) << "files, but none bindable";
    EXPECT_EQ(theApp.pluginCount, 0);
}

TEST_F(Loader, SkipsWhatCannotBeBoundAndTakesAtMostFour) {
    for (const char* p : {"plugin_e", "plugin_d", "plugin_c", "plugin_b", "plugin_a", "plugin_nofilter"}) install(p);
    std::ofstream(dir_ / "KPLAAJNK.DLL") << "junk";
    EXPECT_EQ(bindPlugins(), 0);
    // Found in the order of the listing, which is sorted; the junk file and the plug-in without
    // a filter are skipped, and the fifth bindable file is not bound.
    EXPECT_EQ(boundFiles(), (std::vector<std::string>{"KPLTESTA.DLL", "KPLTESTB.DLL", "KPLTESTC.DLL", "KPLTESTD.DLL"}));
    EXPECT_NE(theApp.plugins[0].startStop, nullptr);
    EXPECT_EQ(theApp.plugins[1].startStop, nullptr);
    EXPECT_EQ(theApp.plugins[3].isUploadSupported, nullptr);
    for (int i = 0; i < 4; ++i) EXPECT_NE(theApp.plugins[i].initializeLogger, nullptr);
}

TEST_F(Loader, NineXFamilyBindsOnlyPluginsThatSayTheyCan) {
    theApp.osFamily = 0;
    install("plugin_a");
    install("plugin_os_no");
    EXPECT_EQ(bindPlugins(), kNoPluginBound);
    install("plugin_os_yes");
    EXPECT_EQ(bindPlugins(), 0);
    EXPECT_EQ(boundFiles(), (std::vector<std::string>{"KPL9XYES.DLL"}));
}

TEST_F(Loader, DescriptionsAndLoggerReachTheLogAsText) {
    install("plugin_a");
    install("plugin_percent");
    openLogHere();
    ASSERT_EQ(bindPlugins(), 0);
    char word[MAX_PATH];
    loadString(kStrVersionWord, word);
    EXPECT_EQ(std::string(theApp.plugins[1].description), std::string("Test Reader Plug-in ") + word + " 2.1.0.0");
    EXPECT_EQ(std::string(theApp.plugins[0].description), std::string("100% %s%n%s Reader ") + word + " 1.0");
    const std::string log = logText();
    EXPECT_NE(log.find("100% %s%n%s Reader"), std::string::npos) << log;
    EXPECT_NE(log.find("testplugin(1) :Test plug-in A ready"), std::string::npos) << "the logger was handed over";
    EXPECT_NE(log.find("Reading options from Zelfin.cfg"), std::string::npos);
}

TEST_F(Loader, DeviceListsAreCountedUpToTheFirstEmptyName) {
    install("plugin_a");
    install("plugin_b");
    install("plugin_c");
    ASSERT_EQ(bindPlugins(), 0);
    struct Case {
        const char *a, *b, *c;
        int32_t code, fromPlugin, pluginIndex;
        int total;
        int32_t uploadOffered;
    };
    const Case cases[] = {
        // A lists three names, but the third entry is empty: two devices.
        {"R1,R2,-,R4", "", "", 0, 0, 0, 2, 1},
        // Only the second plug-in finds devices: the others' 400 is ignored.
        {"", "S1", "", 0, 0, 0, 1, 0},   // B answers 734: no upload offered
        {"", "", "T1,T2", 0, 0, 0, 2, 1},  // C answers 0: offered
        // Every plug-in failed: the last failure is the status.
        {"", "", "", 400, 1, 2, 0, 0},
    };
    for (const Case& c : cases) {
        ::setenv("ZELFIN_TEST_A_DEVICES", c.a, 1);
        ::setenv("ZELFIN_TEST_B_DEVICES", c.b, 1);
        ::setenv("ZELFIN_TEST_C_DEVICES", c.c, 1);
        theApp.uploadOffered = 0;
        theApp.totalDevices = 0;
        const HostStatus s = createDeviceLists();
        EXPECT_EQ(s.code, c.code) << c.a << "|" << c.b << "|" << c.c;
        EXPECT_EQ(s.fromPlugin, c.fromPlugin);
        if (c.fromPlugin) {
            EXPECT_EQ(s.pluginIndex, c.pluginIndex);
        }
        EXPECT_EQ(theApp.totalDevices, c.total);
        EXPECT_EQ(theApp.uploadOffered, c.uploadOffered);
        destroyDeviceLists();
        for (int i = 0; i < theApp.pluginCount; ++i) EXPECT_EQ(theApp.plugins[i].devices.entries[0].name[0], '\0');
    }
    // Devices everywhere but every list empty of names: no device at all is host code 102.
    ::setenv("ZELFIN_TEST_A_DEVICES", "-,X", 1);
    ::setenv("ZELFIN_TEST_A_CREATE_RESULT", "0", 1);
    const HostStatus none = createDeviceLists();
    EXPECT_EQ(none.code, kNoDevices);
    EXPECT_EQ(none.fromPlugin, 0);
    destroyDeviceLists();
}

}  // namespace
