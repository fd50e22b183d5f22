// Version information read from a module's file: the fixed part, the translations, the texts
// (converted to UTF-8 in the caller's buffer), and what happens with too little room.
#include <gtest/gtest.h>

#include <cstring>

#include "fixtures/fixture_support.h"
#include <winsim/windows.h>

namespace {

namespace fs = std::filesystem;

class VersionInfo : public ::testing::Test {
protected:
    void SetUp() override {
        DWORD handle = 99;
        const DWORD size = GetFileVersionInfoSizeA(fixture::modulePath(), &handle);
        ASSERT_GT(size, 0u) << GetLastError();
        EXPECT_EQ(handle, 0u);
        block_.assign(size, 0xCC);
        ASSERT_TRUE(GetFileVersionInfoA(fixture::modulePath(), 0, size, block_.data())) << GetLastError();
    }

    std::vector<uint8_t> block_;
};

TEST_F(VersionInfo, FixedPartAndTranslations) {
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block_.data(), "\\", reinterpret_cast<LPVOID*>(&fixed), &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, VS_FFI_SIGNATURE);
    EXPECT_EQ(fixed->dwStrucVersion, VS_FFI_STRUCVERSION);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010002u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00030004u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00050006u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00070008u);
    EXPECT_EQ(fixed->dwFileFlagsMask, 0x3Fu);
    EXPECT_EQ(fixed->dwFileOS, VOS_NT_WINDOWS32);
    EXPECT_EQ(fixed->dwFileType, VFT_DLL);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(fixed) - block_.data(), 40);  // after the header and its key

    DWORD* translations = nullptr;
    ASSERT_TRUE(VerQueryValueA(block_.data(), "\\VarFileInfo\\Translation", reinterpret_cast<LPVOID*>(&translations),
                               &length));
    ASSERT_EQ(length, 8u);
    EXPECT_EQ(translations[0], 0x04B00409u);  // language in the low word, code page 1200 in the high one
    EXPECT_EQ(translations[1], 0x04B00407u);
}

TEST_F(VersionInfo, TextsComeOutAsUtf8) {
    struct Case {
        const char* query;
        std::string expected;
    };
    const Case cases[] = {
        {"\\StringFileInfo\\040904b0\\CompanyName", "Fixture Works"},
        {"\\StringFileInfo\\040904B0\\productname", "Zelfin Prüfmodul"},  // names without regard to case
        {"\\StringFileInfo\\040904b0\\FileDescription", "winsim test module"},
        {"\\StringFileInfo\\040904b0\\Comments", ""},
    };
    std::vector<const char*> pointers;
    for (const Case& c : cases) {
        char* text = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueA(block_.data(), c.query, reinterpret_cast<LPVOID*>(&text), &length)) << c.query;
        EXPECT_EQ(std::string(text), c.expected) << c.query;
        EXPECT_EQ(length, c.expected.size() + 1) << c.query;
        EXPECT_TRUE(text >= reinterpret_cast<char*>(block_.data()) &&
                    text + length <= reinterpret_cast<char*>(block_.data() + block_.size()))
            << "not inside the caller's buffer: " << c.query;
        pointers.push_back(text);
    }
    // Every text has its own place: earlier answers stay as they were.
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(std::string(pointers[i]), cases[i].expected);
}

TEST_F(VersionInfo, MissingValuesAreRefused) {
    const char* queries[] = {
        "\\StringFileInfo\\040904b0\\NoSuchKey",
        "\\StringFileInfo\\040704b0\\CompanyName",
        "\\VarFileInfo\\Nothing",
        "\\NoSuchBlock",
        "\\StringFileInfo",  // a block, not a value
    };
    for (const char* q : queries) {
        void* value = reinterpret_cast<void*>(1);
        UINT length = 77;
        EXPECT_FALSE(VerQueryValueA(block_.data(), q, &value, &length)) << q;
        EXPECT_EQ(length, 0u) << q;
    }
}

TEST_F(VersionInfo, BuffersTooSmall) {
    uint16_t rawLength = 0;
    std::memcpy(&rawLength, block_.data(), 2);
    ASSERT_GT(rawLength, 100);
    ASSERT_GT(block_.size(), rawLength * 2u);  // room for the converted texts was asked for

    std::vector<uint8_t> tiny(rawLength / 2, 0xCC);
    SetLastError(0);
    EXPECT_FALSE(GetFileVersionInfoA(fixture::modulePath(), 0, static_cast<DWORD>(tiny.size()), tiny.data()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(tiny, std::vector<uint8_t>(rawLength / 2, 0xCC)) << "wrote into a buffer that is too small";

    // The block fits but its texts do not: binary values still answer, texts are refused rather
    // than written past the end.
    const size_t justTheBlock = ((rawLength + 3u) & ~3u) + 16u;
    std::vector<uint8_t> small(justTheBlock);
    ASSERT_TRUE(GetFileVersionInfoA(fixture::modulePath(), 0, static_cast<DWORD>(small.size()), small.data()));
    void* value = nullptr;
    UINT length = 0;
    EXPECT_TRUE(VerQueryValueA(small.data(), "\\", &value, &length));
    EXPECT_FALSE(VerQueryValueA(small.data(), "\\StringFileInfo\\040904b0\\CompanyName", &value, &length));
    EXPECT_EQ(length, 0u);
}

TEST(VersionInfoFiles, ReportWhyThereIsNone) {
    fixture::TempDir dir;
    fixture::writeFile(dir.path() / "text.dll", "not a module");
    struct Case {
        std::string file;
        DWORD error;
    };
    const Case cases[] = {
        {(dir.path() / "missing.dll").string(), ERROR_FILE_NOT_FOUND},
        {(dir.path() / "text.dll").string(), ERROR_BAD_FORMAT},
        {ZELFIN_RC, ERROR_RESOURCE_DATA_NOT_FOUND},  // an ELF file without resources
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(GetFileVersionInfoSizeA(c.file.c_str(), nullptr), 0u) << c.file;
        EXPECT_EQ(GetLastError(), c.error) << c.file;
    }
}

}  // namespace
