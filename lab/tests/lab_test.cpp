// Lab folders: creation from scenarios, settings files and where a process finds its lab.
#include <gtest/gtest.h>

#include "temp_dir.h"
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "test_lab.h"
#include <lab/lab.h>

namespace fs = std::filesystem;

namespace {

class LabFolderTest : public ::testing::Test {
protected:
    testsupport::TempDir temp_{"lab-test"};
    fs::path dir_ = temp_.path();
};

TEST_F(LabFolderTest, CreateLaysOutTheSystemDriveAndSavesSettings) {
    auto lab = lab::Lab::create(dir_ / "a", "default");
    for (const char* sub : {"drive_c/WINDOWS/System32/Drivers", "drive_c/WINDOWS/Inf", "drive_c/WINDOWS/TEMP", "run"})
        EXPECT_TRUE(fs::is_directory(dir_ / "a" / sub)) << sub;
    lab::Settings s = lab->settings();
    EXPECT_EQ(s.os.platformId, 2u);
    s.language = 0x0407;
    s.systemDriveWritable = false;
    lab->setSettings(s);
    auto reopened = lab::Lab::open(dir_ / "a");
    EXPECT_EQ(reopened->settings().language, std::optional<uint16_t>(0x0407));
    EXPECT_FALSE(reopened->settings().systemDriveWritable);
    EXPECT_EQ(reopened->uiLanguage(), 0x0407);
    const auto j = reopened->toJson();
    EXPECT_TRUE(j.at("devices").is_array());
    EXPECT_EQ(j.at("settings").at("language"), "0x0407");
}

TEST_F(LabFolderTest, ScenarioFilesAndTheirErrors) {
    struct Case {
        const char* json;
        const char* error;  // nullptr: the scenario is accepted
    };
    const Case cases[] = {
        {R"({"settings":{"os":{"platformId":1,"major":4,"minor":10},"language":"0x0407","timeScale":50}})", nullptr},
        {R"({"settings":{"windowsDirectory":"C:\\WINNT"}})", nullptr},
        {R"({"settings":{"os":{"platformId":3}}})", "platformId"},
        {R"({"settings":{"timeScale":0}})", "timeScale"},
        {R"({"settings":{"timeScale":"fast"}})", "timeScale"},
        {R"({"settings":{"language":"German"}})", "language"},
        {R"({"settings":{"windowsDirectory":"D:\\WINDOWS"}})", "windowsDirectory"},
        {R"({"devices":{}})", "devices"},
        {R"({"settings":)", "is not JSON (error at byte"},
    };
    int n = 0;
    for (const Case& c : cases) {
        const fs::path file = dir_ / ("scenario" + std::to_string(n++) + ".json");
        std::ofstream(file) << c.json;
        try {
            auto lab = lab::Lab::create(dir_ / "lab", file.string());
            EXPECT_EQ(c.error, nullptr) << c.json;
        } catch (const std::runtime_error& e) {
            ASSERT_NE(c.error, nullptr) << c.json << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
    }
    auto lab = lab::Lab::create(dir_ / "lab", (dir_ / "scenario1.json").string());
    EXPECT_TRUE(fs::is_directory(dir_ / "lab/drive_c/WINNT/System32/Drivers"));
    EXPECT_THROW(lab::Lab::create(dir_ / "lab", "no-such-scenario"), std::runtime_error);
    EXPECT_THROW(lab::Lab::open(dir_ / "nothing-here"), std::runtime_error);
}

// Programs load the driver installer from the system folder; a lab can be made without it, and
// its behaviours are settings that survive the file.
TEST_F(LabFolderTest, ANewLabHasTheDriverInstallerUnlessItSaysNot) {
    const fs::path installer = "drive_c/WINDOWS/System32/newdev.dll";
    lab::Lab::create(dir_ / "with", "default");
    EXPECT_TRUE(fs::is_regular_file(dir_ / "with" / installer));

    std::ofstream(dir_ / "without.json") << R"({"settings":{"newdev":false,"driverUpdateReboot":true,"driverUpdateDelayMs":8000}})";
    lab::Lab::create(dir_ / "without", (dir_ / "without.json").string());
    EXPECT_FALSE(fs::exists(dir_ / "without" / installer));
    auto reopened = lab::Lab::open(dir_ / "without");
    EXPECT_FALSE(reopened->settings().newdevInstalled);
    EXPECT_TRUE(reopened->settings().driverUpdateNeedsReboot);
    EXPECT_EQ(reopened->settings().driverUpdateDelayMs, 8000u);
}

TEST_F(LabFolderTest, ResetDropsRegistryAndRunState) {
    auto lab = lab::Lab::create(dir_ / "r", "empty");
    std::ofstream(lab->registryFile()) << "{}";
    std::ofstream(lab->runDir() / "section-X") << "x";
    lab::Lab::create(dir_ / "r", "default");
    EXPECT_FALSE(fs::exists(dir_ / "r/registry.json"));
    EXPECT_FALSE(fs::exists(dir_ / "r/run/section-X"));
}

// Detaching a device takes the devices plugged into it along (a hub's, a KRD50N unit's readers,
// a monitor's modules, and what is behind those in turn), memories and all; lab.json keeps no
// device whose hub is gone, and the rest stay as they were.
TEST_F(LabFolderTest, DetachingAHubTakesWhatIsBehindItAlong) {
    const std::vector<nlohmann::json> devices = {
        {{"kind", "krd50n"}, {"id", "krd"}, {"port", 1}},
        {{"kind", "usb-hub"}, {"id", "hub"}, {"port", 2}},
        {{"kind", "tarn-reader"}, {"id", "reader"}, {"hub", "hub"}, {"port", 1}, {"drive", "none"}},
        {{"kind", "usb-hub"}, {"id", "inner"}, {"hub", "hub"}, {"port", 2}},
        {{"kind", "tarn-reader"}, {"id", "behind-inner"}, {"hub", "inner"}, {"port", 1}, {"drive", "none"}},
        {{"kind", "plex-monitor"}, {"id", "monitor"}, {"port", 3}, {"drive", "none"}},
        {{"kind", "plex-module"}, {"id", "module"}, {"monitor", "monitor"}, {"slot", 1}, {"drive", "none"}},
        {{"kind", "cdrom"}, {"id", "root"}, {"drive", "none"}},  // not the root hub, though so named
    };
    struct Case {
        const char* detach;
        std::vector<std::string> along;
    };
    const Case cases[] = {
        {"krd", {"krd-1", "krd-2", "krd-3"}},
        {"krd-2", {}},
        {"hub", {"reader", "inner", "behind-inner"}},
        {"inner", {"behind-inner"}},
        {"monitor", {"module"}},
        {"root", {}},
    };
    for (const Case& c : cases) {
        auto lab = lab::Lab::create(dir_ / c.detach, "empty");
        for (const nlohmann::json& d : devices) lab->attachDevice(d);
        std::set<std::string> gone(c.along.begin(), c.along.end());
        gone.insert(c.detach);
        std::vector<std::string> kept;
        for (const nlohmann::json& d : lab->devices())
            if (const std::string id = d["id"]; !gone.count(id)) kept.push_back(id);

        EXPECT_EQ(lab->detachDevice(c.detach), c.along) << c.detach;
        std::vector<std::string> left;
        for (const nlohmann::json& d : lab::Lab::open(dir_ / c.detach)->devices()) left.push_back(d["id"].get<std::string>());
        EXPECT_EQ(left, kept) << c.detach;
        for (const std::string& id : gone) EXPECT_FALSE(fs::exists(lab->deviceDir(id))) << c.detach << ": " << id;
        for (const std::string& id : kept) EXPECT_TRUE(fs::exists(lab->deviceDir(id))) << c.detach << ": " << id;
    }
    auto lab = lab::Lab::open(dir_ / "krd");
    EXPECT_THROW(lab->detachDevice("krd-1"), std::runtime_error) << "gone with its unit";
}

// What a device writes of its own state is not read back as news (that copy may already be older
// than the device), unless lab.json also held something this process had not read yet.
TEST_F(LabFolderTest, ADevicesOwnWriteIsNotReadBackAsNews) {
    auto lab = lab::Lab::create(dir_ / "a", "empty");
    lab->attachDevice({{"kind", "cdrom"}, {"id", "one"}, {"drive", "none"}});
    lab->reloadIfChanged();
    const auto setPlugged = [](bool plugged) { return [plugged](nlohmann::json& d) { d["plugged"] = plugged; }; };

    lab->recordDevice("one", setPlugged(false));
    EXPECT_FALSE(lab->reloadIfChanged());
    lab->changeDevice("one", setPlugged(true));
    EXPECT_TRUE(lab->reloadIfChanged()) << "anyone else's change is";

    lab::Lab::open(dir_ / "a")->applyFault("one", "unplug");  // another process
    lab->recordDevice("one", [](nlohmann::json& d) { d["state"] = {{"x", 1}}; });
    EXPECT_TRUE(lab->reloadIfChanged()) << "the other process's change is still to be read";
    EXPECT_EQ(lab->devices().at(0).value("plugged", true), false);
}

TEST(LabLocation, EnvironmentThenXdgThenHome) {
    const std::string saved = ::getenv("ZELFIN_LAB");
    ::setenv("ZELFIN_LAB", "/tmp/somewhere", 1);
    EXPECT_EQ(lab::Lab::defaultDir(), fs::path("/tmp/somewhere"));
    ::unsetenv("ZELFIN_LAB");
    ::setenv("XDG_DATA_HOME", "/tmp/xdg", 1);
    EXPECT_EQ(lab::Lab::defaultDir(), fs::path("/tmp/xdg/zelfin/lab"));
    ::unsetenv("XDG_DATA_HOME");
    ::setenv("HOME", "/tmp/home", 1);
    EXPECT_EQ(lab::Lab::defaultDir(), fs::path("/tmp/home/.local/share/zelfin/lab"));
    ::setenv("ZELFIN_LAB", saved.c_str(), 1);
}

TEST(LabLocation, TimeScaleFromEnvironmentWins) {
    auto& lab = lab::Lab::current();
    ::setenv("ZELFIN_TIME_SCALE", "250", 1);
    EXPECT_DOUBLE_EQ(lab.timeScale(), 250.0);
    ::setenv("ZELFIN_TIME_SCALE", "nonsense", 1);
    EXPECT_DOUBLE_EQ(lab.timeScale(), lab.settings().timeScale);
    ::setenv("ZELFIN_TIME_SCALE", "1000", 1);
}

}  // namespace
