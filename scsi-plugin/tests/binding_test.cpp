// What the host's loader needs of the file: the entry points it binds by name, and a version
// block with the description and version of its description line.
#include "mora_fixture.h"

namespace {

using moratest::MoraPlugin;

TEST_F(MoraPlugin, ExportsTheContractAndDescribesItself) {
    // The fixture bound the required entry points and the logger; the optional ones it leaves
    // out must be missing, so that the host never calls something the plug-in does not have.
    for (const char* name : {"KPLStartStop", "KPLMatchDevBySymLink", "KPLMatchDFUDevByProdType", "KPLIsOSSupported",
                             "KPLIsUploadSupported", "KPLGetDLLInfo", "KPLSwitchToFuncMode", "KPLResetDevice",
                             "ScsiOpenDevice", "ReadOption"})
        EXPECT_EQ(GetProcAddress(module_, name), nullptr) << name;
    EXPECT_EQ(initializeLogger_(moratest::captureLog), static_cast<int32_t>(reinterpret_cast<uintptr_t>(&moratest::captureLog)));

    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA("KPLMORA.DLL", &handle);
    ASSERT_GT(size, 0u);
    std::vector<uint8_t> block(size);
    ASSERT_TRUE(GetFileVersionInfoA("KPLMORA.DLL", 0, size, block.data()));
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &length));
    ASSERT_GE(length, 4u);
    const auto* pair = static_cast<const uint16_t*>(value);
    char path[64];
    for (const auto& [field, expected] : {std::pair<const char*, const char*>{"FileDescription", "SCSI Card Reader Firmware Plug-in"},
                                          {"FileVersion", "1.0.0.0"}}) {
        std::snprintf(path, sizeof path, "\\StringFileInfo\\%04x%04x\\%s", pair[0], pair[1], field);
        ASSERT_TRUE(VerQueryValueA(block.data(), path, &value, &length)) << path;
        EXPECT_STREQ(static_cast<const char*>(value), expected);
    }
}

}  // namespace
