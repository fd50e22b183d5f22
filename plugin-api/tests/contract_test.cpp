// The contract header as a plug-in built in C sees it: same layout, entry points exported by their
// bare names under hidden visibility, nothing else exported.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <plugin-api/kpl.h>

#include "log_capture.h"

#include <cstdarg>
#include <cstring>
#include <string>

namespace {

using testsupport::captureLog;

class ProbePlugin : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = ::dlopen(KPL_PROBE_PLUGIN, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(module_, nullptr) << ::dlerror();
    }
    void TearDown() override {
        if (module_) ::dlclose(module_);
    }
    void* module_ = nullptr;
};

TEST_F(ProbePlugin, CAndCppAgreeOnTheRecords) {
    using LayoutFn = void (*)(size_t*);
    auto layout = reinterpret_cast<LayoutFn>(::dlsym(module_, "probeLayout"));
    ASSERT_NE(layout, nullptr);
    size_t c[7] = {};
    layout(c);
    const size_t cpp[7] = {offsetof(DeviceInfoEntry, selected),  offsetof(DeviceInfoEntry, device),
                           offsetof(DeviceInfoEntry, inUpgradeMode), sizeof(DeviceInfoEntry),
                           sizeof(DeviceInfoList),                 offsetof(DisplayInfoRow, proposed),
                           sizeof(DisplayInfo)};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(c[i], cpp[i]) << "field " << i;
}

TEST_F(ProbePlugin, EntryPointsAreExportedByBareNameAndCallable) {
    EXPECT_EQ(::dlsym(module_, "probeHelper"), nullptr) << "a helper without KPL_EXPORT leaked out";
    auto init = reinterpret_cast<KPLInitializeLogger_t>(::dlsym(module_, "KPLInitializeLogger"));
    auto message = reinterpret_cast<KPLGetErrorMessage_t>(::dlsym(module_, "KPLGetErrorMessage"));
    ASSERT_NE(init, nullptr);
    ASSERT_NE(message, nullptr);
    init(&captureLog);
    char buffer[KPL_TEXT_SIZE];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(message(KPL_E_IMAGE_TYPE, buffer), KPL_OK);
    EXPECT_STREQ(buffer, "probe");
    ASSERT_FALSE(testsupport::logged().empty());
    EXPECT_EQ(testsupport::logged().back(), "probe(1) :probe");
}

}  // namespace
