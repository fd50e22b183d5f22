// KPLTARN's start: the options of a scan as the plug-in keeps them, and the entry points that
// need no reader — the judgement of an image, the message of a status in the user's language,
// and the host's start and exit without FORCEFS — driven through KPLTARN.DLL as the host loads it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <image/builder.h>
#include <plugin-api/kpl.h>

#include "config_file.h"
#include "log_capture.h"
#include "temp_dir.h"
#include "test_lab.h"

#include <lab/lab.h>
#include "options.h"
#include "plugin_state.h"
#include "tarn_device.h"
#include "tarn_log.h"

namespace {

namespace fs = std::filesystem;
using tarntest::Options;
using tarntest::writeConfig;

class TempDir : public ::testing::Test {
protected:
    testsupport::TempDir temp_{"zelfin-kpltarn"};
    const fs::path dir_ = temp_.path();
};

using TarnOptions = TempDir;

TEST_F(TarnOptions, RetriesCountAttempts) {
    struct Case {
        const char* value;  // nullptr: no RETRIES key
        int32_t retries;
        int32_t forever;
    };
    const Case cases[] = {
        {nullptr, 2, 0}, {"0", 1, 0}, {"3", 4, 0}, {"-1", -1, 1}, {"abc", 1, 0},
        {"12abc", 13, 0}, {"-2", 2, 0}, {"-700", 2, 0}, {"99999999999", INT32_MAX, 0},
    };
    const fs::path config = dir_ / "Zelfin.cfg";
    for (const Case& c : cases) {
        writeConfig(config, c.value ? Options{{"RETRIES", c.value}} : Options{});
        tarn::ReadOptions(config.c_str());
        EXPECT_EQ(tarn::plugin().retries, c.retries) << (c.value ? c.value : "(none)");
        EXPECT_EQ(tarn::plugin().retryForever, c.forever) << (c.value ? c.value : "(none)");
    }
}

TEST_F(TarnOptions, YesInAnyCaseSetsABitThatStaysSet) {
    testsupport::logged().clear();
    tarn::setLogger(testsupport::captureLog);
    tarn::plugin().options = 0;
    const fs::path config = dir_ / "Zelfin.cfg";
    writeConfig(config, {{"MATCHVIDPID", "yes"}, {"upgradeonly", "YeS"}, {"MATCHFEATURE", "Y"},
                         {"EXCLUSIVEDFU", "no"}, {"RECOVERKRD50N", "YES"}});
    tarn::ReadOptions(config.c_str());
    EXPECT_EQ(tarn::plugin().options, tarn::kOptionMatchVidPid | tarn::kOptionUpgradeOnly | tarn::kOptionRecoverKrd50n);
    EXPECT_TRUE(testsupport::loggedMessage("Match VID/PID"));
    EXPECT_TRUE(testsupport::loggedMessage("FW Upgrade Only"));
    EXPECT_TRUE(testsupport::loggedMessage("Recover KRD50N Feature"));
    EXPECT_FALSE(testsupport::loggedMessage("Match FW Feature")) << "Y is not YES";
    EXPECT_TRUE(testsupport::loggedMessage("Retries 2"));

    // A later scan whose file lacks them, or whose section is not exactly "Options", adds
    // nothing and takes nothing away.
    writeConfig(config, {{"EXCLUSIVEDFU", "YES"}}, "options");
    tarn::ReadOptions(config.c_str());
    writeConfig(config, {});
    tarn::ReadOptions(config.c_str());
    EXPECT_EQ(tarn::plugin().options, tarn::kOptionMatchVidPid | tarn::kOptionUpgradeOnly | tarn::kOptionRecoverKrd50n);
    tarn::setLogger(nullptr);
}

// The plug-in as the host loads it: by its bare name from its own folder, beside the string
// library, with the logger handed over first.
class TarnPlugin : public TempDir {
protected:
    void SetUp() override {
        fs::copy_file(KPLTARN_DLL, dir_ / "KPLTARN.DLL");
        fs::copy_file(fs::path(ZELFIN_BIN_DIR) / "ZELFNRES.DLL", dir_ / "ZELFNRES.DLL");
        previous_ = fs::current_path();
        fs::current_path(dir_);
        module_ = LoadLibraryA("KPLTARN.DLL");
        ASSERT_NE(module_, nullptr) << GetLastError();
        testsupport::logged().clear();
        call<KPLInitializeLogger_t>("KPLInitializeLogger")(testsupport::captureLog);
    }
    void TearDown() override {
        if (module_) FreeLibrary(module_);
        fs::current_path(previous_);
    }
    template <typename F>
    F call(const char* name) {
        auto f = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
        EXPECT_NE(f, nullptr) << name;
        return f;
    }
    std::string writeImage(const std::string& name, int type, void (*patch)(std::vector<uint8_t>&) = nullptr) {
        std::vector<uint8_t> bytes;
        std::string error;
        EXPECT_TRUE(image::BuildImage(image::DefaultImageSpec(image::BinFamily::Tarn, type), &bytes, &error)) << error;
        if (patch) patch(bytes);
        std::ofstream(dir_ / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return (dir_ / name).string();
    }

    fs::path previous_;
    HMODULE module_ = nullptr;
};

TEST_F(TarnPlugin, ExportsEveryEntryPointOfItsColumn) {
    for (const char* name : {"KPLInitializeLogger", "KPLStartStop", "KPLCreateDeviceInfoList", "KPLIsBinaryValid",
                             "KPLFilterDeviceInfoSet", "KPLMatchDevBySymLink", "KPLMatchDFUDevByProdType",
                             "KPLGetDisplayInfo", "KPLDownloadFirmware", "KPLUploadFirmware", "KPLGetErrorMessage",
                             "KPLDestroyDeviceInfoList", "KPLResetDevice"})
        EXPECT_NE(GetProcAddress(module_, name), nullptr) << name;
    for (const char* name : {"KPLIsOSSupported", "KPLIsUploadSupported", "KPLGetDLLInfo", "KPLSwitchToFuncMode"})
        EXPECT_EQ(GetProcAddress(module_, name), nullptr) << name << " is for other plug-ins";
}

TEST_F(TarnPlugin, JudgesAnImageOnItsOwn) {
    auto valid = call<KPLIsBinaryValid_t>("KPLIsBinaryValid");
    EXPECT_EQ(valid(writeImage("good.bin", 0).c_str()), KPL_OK);
    EXPECT_TRUE(testsupport::loggedMessage("BinFile Type = 0"));
    EXPECT_EQ(valid(writeImage("kv7.bin", 9).c_str()), KPL_OK);
    EXPECT_EQ(valid((dir_ / "missing.bin").c_str()), KPL_E_IMAGE_UNREADABLE);
    EXPECT_EQ(valid(writeImage("unknown.bin", 0, [](std::vector<uint8_t>& b) { b.resize(40000); }).c_str()),
              KPL_E_IMAGE_TYPE);
    EXPECT_TRUE(testsupport::loggedMessage("Unknown binary type\r\n"));
    // A byte changed inside the checked range.
    EXPECT_EQ(valid(writeImage("damaged.bin", 0, [](std::vector<uint8_t>& b) { b[0x2000] ^= 0x01; }).c_str()),
              KPL_E_IMAGE_INTEGRITY);
}

TEST_F(TarnPlugin, WithoutForceFsStartAndExitChangeNothing) {
    auto startStop = call<KPLStartStop_t>("KPLStartStop");
    const fs::path config = dir_ / "Zelfin.cfg";
    writeConfig(config, {{"RETRIES", "3"}});
    for (int32_t starting : {1, 0}) {
        EXPECT_EQ(startStop(starting, config.c_str()), KPL_OK);
        EXPECT_EQ(startStop(starting, nullptr), KPL_OK);
    }
    EXPECT_FALSE(testsupport::loggedMessage("FORCEFS option enabled."));
    EXPECT_TRUE(testsupport::logged().empty());
}

// Before a scan has loaded the string library the message is the system's text of the last
// error; afterwards the library's text, in German for a German user.
TEST_F(TarnPlugin, ErrorMessagesInTheUsersLanguage) {
    auto message = call<KPLGetErrorMessage_t>("KPLGetErrorMessage");
    char text[KPL_TEXT_SIZE];
    SetLastError(ERROR_FILE_NOT_FOUND);
    message(KPL_E_IMAGE_UNREADABLE, text);
    char system[KPL_TEXT_SIZE] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr,
                   ERROR_FILE_NOT_FOUND, 0, system, sizeof system, nullptr);
    EXPECT_STREQ(text, system);

    HMODULE strings = LoadLibraryA((dir_ / "ZELFNRES.DLL").c_str());
    ASSERT_NE(strings, nullptr);
    const std::string lang = std::getenv("LANG") ? std::getenv("LANG") : "";
    std::vector<std::string> texts;
    for (LANGID language : {LANGID{0x409}, LANGID{0x407}}) {
        SCOPED_TRACE(language);
        ::setenv("LANG", language == 0x407 ? "de_DE.UTF-8" : "en_US.UTF-8", 1);
        DeviceInfoList list{};
        call<KPLCreateDeviceInfoList_t>("KPLCreateDeviceInfoList")(&list, nullptr);
        message(KPL_E_IMAGE_UNREADABLE, text);
        char expected[KPL_TEXT_SIZE] = {};
        tarn::plugin().strings = strings;
        tarn::plugin().language = language;
        tarn::LoadText(KPL_E_IMAGE_UNREADABLE, expected);
        EXPECT_STRNE(expected, "");
        EXPECT_STREQ(text, expected);
        texts.push_back(text);
        call<KPLDestroyDeviceInfoList_t>("KPLDestroyDeviceInfoList")(&list);
    }
    ::setenv("LANG", lang.c_str(), 1);
    EXPECT_NE(texts[0], texts[1]) << "German and English differ";
    tarn::plugin().strings = nullptr;
    FreeLibrary(strings);
}

// A scan opens with the I/O layer: the helper driver's image from the plug-in's resources in the
// system's driver folder, the package installed, its identifiers read; the lab lists no Tarn
// reader here, so the scan ends with "no device". Unloading the plug-in removes the image.
TEST_F(TarnPlugin, AScanRunsTheIoLayerAndTheUnloadRemovesTheHelperImage) {
    for (const char* file : {"TARNDFU.INF", "TARNDFU.SYS"}) fs::copy_file(fs::path(ZELFIN_BIN_DIR) / file, dir_ / file);
    const fs::path image = lab::Lab::current().windowsFolder() / "System32" / "Drivers" / "DMHLP.SYS";
    DeviceInfoList list{};
    EXPECT_EQ(call<KPLCreateDeviceInfoList_t>("KPLCreateDeviceInfoList")(&list, nullptr), KPL_E_NO_DEVICE);
    EXPECT_TRUE(testsupport::loggedMessage("OS Type = 1"));
    EXPECT_FALSE(testsupport::loggedMessage("InitializeIOLayer failed."));
    ASSERT_TRUE(fs::exists(image));
    EXPECT_EQ(fs::file_size(image), fs::file_size(ZELFIN_DMHLP_SYS));
    EXPECT_TRUE(fs::exists(lab::Lab::current().windowsFolder() / "System32" / "Drivers" / "TARNDFU.SYS"));
    EXPECT_EQ(call<KPLDestroyDeviceInfoList_t>("KPLDestroyDeviceInfoList")(&list), KPL_OK);
    EXPECT_TRUE(fs::exists(image)) << "kept while the plug-in is loaded";
    FreeLibrary(module_);
    module_ = nullptr;
    EXPECT_FALSE(fs::exists(image));

    // Without the package beside the plug-in the scan stops at the install.
    module_ = LoadLibraryA("KPLTARN.DLL");
    call<KPLInitializeLogger_t>("KPLInitializeLogger")(testsupport::captureLog);
    fs::remove(dir_ / "TARNDFU.SYS");
    EXPECT_EQ(call<KPLCreateDeviceInfoList_t>("KPLCreateDeviceInfoList")(&list, nullptr), KPL_E_DRIVER_PACKAGE);
    EXPECT_TRUE(testsupport::loggedMessage("InitializeIOLayer failed."));
}

// The end of a scan frees every record with the handle it holds; a reset without the helper
// driver fails with its log line.
TEST_F(TarnPlugin, RecordsAreFreedWithTheirHandlesAndAResetNeedsTheHelper) {
    DeviceInfoList list{};
    tarn::TarnDeviceRecord* record = tarn::NewDeviceRecord();
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->deviceHandle, INVALID_HANDLE_VALUE);
    HANDLE handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    record->deviceHandle = handle;
    record->deviceObject = 3;
    std::snprintf(list.entries[0].name, KPL_TEXT_SIZE, "A reader");
    list.entries[0].device = record;

    testsupport::logged().clear();
    EXPECT_EQ(call<KPLResetDevice_t>("KPLResetDevice")(&list.entries[0]), 0);
    EXPECT_TRUE(testsupport::loggedMessage("IOCTL_DMHLP_RESET_DEVICE failed. Error: 6h."));
    EXPECT_EQ(call<KPLResetDevice_t>("KPLResetDevice")(nullptr), 0);

    EXPECT_EQ(call<KPLDestroyDeviceInfoList_t>("KPLDestroyDeviceInfoList")(&list), KPL_OK);
    EXPECT_EQ(list.entries[0].device, nullptr);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CloseHandle(handle)) << "closed with its record";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
