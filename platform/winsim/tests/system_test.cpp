// System information, languages, text conversion, dates and the protected system drive.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "test_lab.h"
#include <lab/lab.h>
#include <winsim/windows.h>

namespace {

// Changes the lab's settings for one test and puts them back afterwards.
class LabSettingsTest : public ::testing::Test {
protected:
    void SetUp() override { saved_ = lab::Lab::current().settings(); }
    void TearDown() override { lab::Lab::current().setSettings(saved_); }
    void change(void (*edit)(lab::Settings&)) {
        lab::Settings s = saved_;
        edit(s);
        lab::Lab::current().setSettings(s);
    }
    lab::Settings saved_;
};

std::string runProbe(const std::string& args) {
    std::string out;
    FILE* p = ::popen((std::string(WINSIM_PROBE) + " " + args).c_str(), "r");
    if (!p) return "popen failed";
    char buf[512];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    ::pclose(p);
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

TEST_F(LabSettingsTest, VersionFollowsTheLab) {
    OSVERSIONINFOA v{};
    v.dwOSVersionInfoSize = sizeof v;
    ASSERT_TRUE(GetVersionExA(&v));
    EXPECT_EQ(v.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(v.dwMajorVersion, 5u);
    EXPECT_EQ(v.dwMinorVersion, 1u);
    EXPECT_STREQ(v.szCSDVersion, "Service Pack 3");
    change([](lab::Settings& s) { s.os = {1, 4, 10, 2222, 0, "A"}; });
    ASSERT_TRUE(GetVersionExA(&v));
    EXPECT_EQ(v.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_WINDOWS));
    v.dwOSVersionInfoSize = 12;
    EXPECT_FALSE(GetVersionExA(&v));
}

TEST_F(LabSettingsTest, OneSettingGivesEveryLanguage) {
    for (uint16_t lang : {0x0407, 0x0807, 0x0409}) {
        lab::Settings s = saved_;
        s.language = lang;
        lab::Lab::current().setSettings(s);
        EXPECT_EQ(GetUserDefaultUILanguage(), lang);
        EXPECT_EQ(GetUserDefaultLangID(), lang);
    }
    EXPECT_EQ(lab::languageFromLocaleName("de_DE.UTF-8"), 0x0407);
    EXPECT_EQ(lab::languageFromLocaleName("de_CH.UTF-8"), 0x0807);
    EXPECT_EQ(lab::languageFromLocaleName("fr_FR"), 0x0409);
    EXPECT_EQ(lab::languageFromLocaleName(nullptr), 0x0409);
}

TEST_F(LabSettingsTest, ProtectedSystemDriveRootRefusesWrites) {
    change([](lab::Settings& s) { s.systemDriveWritable = false; });
    EXPECT_EQ(CreateFileA("C:\\Zelfin.log", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                          FILE_FLAG_WRITE_THROUGH, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    HANDLE h = CreateFileA("C:\\WINDOWS\\TEMP\\fine.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << "folders below the root stay writable";
    CloseHandle(h);
    DeleteFileA("C:\\WINDOWS\\TEMP\\fine.txt");
}

TEST(CommandLine, QuotedAsWindowsWould) {
    const std::string line = runProbe("cmdline plain 'two words' 'quo\"te' 'end\\' '' 'c:\\my dir\\'");
    const std::string expected = " cmdline plain \"two words\" \"quo\\\"te\" end\\ \"\" \"c:\\my dir\\\\\"";
    ASSERT_GE(line.size(), expected.size());
    EXPECT_EQ(line.substr(line.size() - expected.size()), expected);
    // The buffer is the process's own and may be changed in place.
    char* mine = GetCommandLineA();
    EXPECT_EQ(mine, GetCommandLineA());
}

TEST(Text, Utf8AndUtf16RoundTripAndSizes) {
    const char* text = "Ger\xC3\xA4t \xF0\x9F\x98\x80";  // "Gerät" and a character outside the BMP
    WCHAR wide[32];
    const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 32);
    EXPECT_EQ(n, 9) << "7 units, a surrogate pair and the terminator";
    EXPECT_EQ(wide[3], u'\u00E4');
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0), n);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 3), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    char back[32];
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, -1, back, sizeof back, nullptr, nullptr),
              static_cast<int>(std::strlen(text) + 1));
    EXPECT_STREQ(back, text);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xC3", 1, wide, 32), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
}

TEST(Dates, LocaleMonthAbbreviations) {
    SYSTEMTIME st{};
    st.wYear = 2026;
    st.wMonth = 3;
    st.wDay = 9;
    struct Case {
        LCID locale;
        const char* format;
        const char* expected;
    };
    const Case cases[] = {
        {0x0409, "ddMMMyyyy", "09Mar2026"},
        {0x0407, "ddMMMyyyy", "09M\xC3\xA4r2026"},
        {0x0407, "d'.' MMMM yy", "9. M\xC3\xA4rz 26"},
        {0x0409, nullptr, "3/9/2026"},
        {0x0407, nullptr, "09.03.2026"},
    };
    for (const Case& c : cases) {
        char out[64];
        ASSERT_GT(GetDateFormatA(c.locale, 0, &st, c.format, out, sizeof out), 0) << c.expected;
        EXPECT_STREQ(out, c.expected);
    }
    char small[4];
    EXPECT_EQ(GetDateFormatA(0x0409, 0, &st, "ddMMMyyyy", small, sizeof small), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(GetDateFormatA(0x0409, 0, &st, "ddMMMyyyy", nullptr, 0), 10);
}

TEST(Messages, SystemTextsInTheRequestedLanguage) {
    char buf[256];
    ASSERT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_MOD_NOT_FOUND,
                             MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), buf, sizeof buf, nullptr),
              0u);
    EXPECT_STREQ(buf, "The specified module could not be found.\r\n");
    ASSERT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_FILE_NOT_FOUND, 0x0407, buf, sizeof buf,
                             nullptr),
              0u);
    EXPECT_STREQ(buf, "Das System kann die angegebene Datei nicht finden.\r\n");
    char* allocated = nullptr;
    ASSERT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, ERROR_ACCESS_DENIED,
                             0x0409, reinterpret_cast<LPSTR>(&allocated), 0, nullptr),
              0u);
    EXPECT_STREQ(allocated, "Access is denied.\r\n");
    LocalFree(allocated);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0xDEAD, 0x0409, buf, sizeof buf, nullptr), 0u);
}

}  // namespace
