// A working folder with real test plug-ins bound and their device lists made, for the tests of
// the dialogs that drive plug-ins: the main dialog, device information and About.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ui/driver.h>

#include <fstream>
#include <initializer_list>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "config_fixture.h"
#include "loader.h"
#include "modal_run.h"

namespace hosttest {

class PluginFolder : public HostFolder {
protected:
    void SetUp() override {
        HostFolder::SetUp();
        ui::headless::setAutoClose(false);  // the test is the operator
        ui::headless::setMessageBoxAnswers("");
        setEnv("ZELFIN_TEST_A_TRACE", (dir_ / "trace.txt").string());
        setEnv("ZELFIN_TEST_B_TRACE", (dir_ / "trace.txt").string());
        setEnv("ZELFIN_TEST_C_TRACE", (dir_ / "trace.txt").string());
    }
    void TearDown() override {
        zelfin::destroyDeviceLists();
        zelfin::unloadPlugins();
        for (const std::string& name : envSet_) ::unsetenv(name.c_str());
        HostFolder::TearDown();
    }

    // Sets an environment variable for this test only.
    void setEnv(const std::string& name, const std::string& value) {
        ::setenv(name.c_str(), value.c_str(), 1);
        envSet_.insert(name);
    }
    // Copies the test plug-ins (targets such as "plugin_a") into the folder, binds them and makes
    // their device lists, as the start-up does.
    void bindAndList(std::initializer_list<const char*> targets) {
        for (const char* target : targets)
            for (const auto& e : fs::directory_iterator(fs::path(ZELFIN_TEST_DIR) / "plugins" / target))
                if (e.path().extension() == ".DLL") fs::copy_file(e.path(), dir_ / e.path().filename());
        ASSERT_EQ(zelfin::bindPlugins(), 0);
        ASSERT_EQ(zelfin::createDeviceLists().code, 0);
        zelfin::theApp.currentPlugin = nullptr;
    }
    // The calls the plug-ins were given, one per line ("A:KPLDownloadFirmware(1,...)").
    std::vector<std::string> trace(const std::string& prefix = "") const {
        std::ifstream in(dir_ / "trace.txt");
        std::vector<std::string> calls;
        for (std::string line; std::getline(in, line);)
            if (line.find(prefix) != std::string::npos) calls.push_back(line);
        return calls;
    }
    // A FIFO, for holding a plug-in in the middle of a call.
    fs::path makeFifo(const std::string& name) const {
        const fs::path p = dir_ / name;
        EXPECT_EQ(::mkfifo(p.c_str(), 0600), 0);
        return p;
    }
    // Waits (at most the interface cap) until the writer of `fifo` has said something; returns it.
    static std::string awaitFifo(const fs::path& fifo) {
        const int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        if (fd < 0) return {};
        pollfd p{fd, POLLIN, 0};
        std::string said;
        if (::poll(&p, 1, static_cast<int>(testsupport::kUiCap.count() * 1000)) == 1) {
            char buf[512];
            ssize_t n;
            // The writer may still be writing: read until it closes its end.
            while ((n = ::read(fd, buf, sizeof buf)) != 0) {
                if (n > 0) {
                    said.append(buf, static_cast<size_t>(n));
                } else {
                    pollfd more{fd, POLLIN, 0};
                    if (::poll(&more, 1, static_cast<int>(testsupport::kUiCap.count() * 1000)) != 1) break;
                }
            }
        }
        ::close(fd);
        return said;
    }
    // The folder as a Windows path, as file dialogs give it: "Z:\tmp\...".
    std::string windowsPath(const std::string& name) const {
        std::string p = "Z:" + (dir_ / name).string();
        for (char& c : p)
            if (c == '/') c = '\\';
        return p;
    }
    // Returns once the handlers of the last action on `d` have run.
    static void settle(const ui::Dialog& d) { (void)d.hasItem(IDCANCEL); }

    std::set<std::string> envSet_;
};

}  // namespace hosttest
