// Setup information files: reading a Windows 4.0 style INF line by line and field by field, and
// putting one into the PC's INF store.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <lab/lab.h>
#include <winsim/setupapi.h>
#include <winsim/windows.h>

#include "temp_dir.h"
#include "test_lab.h"

namespace fs = std::filesystem;

namespace {

// Quotes, comments, a continued line, strings, a key in another case and a section given twice.
constexpr const char* kFixture =
    "; a driver package\r\n"
    "[Version]\r\n"
    "Signature = \"$Windows NT$\"\r\n"
    "[Models]\r\n"
    "%Desc% = Install.Section , USB\\Vid_04cc&Pid_2f00 ; the boot loader\r\n"
    "plain line,  \"  kept blanks \" , \"a \"\"quoted\"\" word\", 50%% \r\n"
    "Continued = one, \\\r\n"
    "    two\r\n"
    "[Empty]\r\n"
    "[models]\r\n"
    "Last = %unknown%, \"a;b\"\r\n"
    "[Strings]\r\n"
    "Desc = \"Tarn DFU Device\"\r\n";

class InfFiles : public ::testing::Test {
protected:
    std::string write(const std::string& name, const std::string& text) const {
        std::ofstream(temp_.path() / name, std::ios::binary) << text;
        std::string win = "Z:" + (temp_.path() / name).string();
        for (char& c : win)
            if (c == '/') c = '\\';
        return win;
    }
    std::string field(const INFCONTEXT& line, DWORD index) const {
        char buffer[256] = "";
        if (!SetupGetStringFieldA(&line, index, buffer, sizeof buffer, nullptr)) return "<error>";
        return buffer;
    }

    testsupport::TempDir temp_{"winsim-inf"};
};

TEST_F(InfFiles, FieldsAreSplitAsWindowsSplitsThem) {
    const std::string path = write("fixture.inf", kFixture);
    SetLastError(0xdeadbeef);
    HINF inf = SetupOpenInfFileA(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
    ASSERT_NE(inf, INVALID_HANDLE_VALUE) << std::hex << GetLastError();

    INFCONTEXT line;
    ASSERT_TRUE(SetupFindFirstLineA(inf, "MODELS", nullptr, &line));
    EXPECT_EQ(field(line, 0), "Tarn DFU Device");
    EXPECT_EQ(field(line, 1), "Install.Section");
    EXPECT_EQ(field(line, 2), "USB\\Vid_04cc&Pid_2f00");
    SetLastError(0xdeadbeef);
    char small[4];
    DWORD required = 0;
    EXPECT_FALSE(SetupGetStringFieldA(&line, 2, small, sizeof small, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, 22u);
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(SetupGetStringFieldA(&line, 2, nullptr, 0, &required)) << "a size query";
    EXPECT_EQ(required, 22u);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupGetStringFieldA(&line, 3, small, sizeof small, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    ASSERT_TRUE(SetupFindNextLine(&line, &line));
    EXPECT_EQ(field(line, 0), "") << "a line without a key";
    EXPECT_EQ(field(line, 1), "plain line");
    EXPECT_EQ(field(line, 2), "  kept blanks ");
    EXPECT_EQ(field(line, 3), "a \"quoted\" word");
    EXPECT_EQ(field(line, 4), "50%");

    ASSERT_TRUE(SetupFindNextLine(&line, &line));
    EXPECT_EQ(field(line, 0), "Continued");
    EXPECT_EQ(field(line, 2), "two");

    ASSERT_TRUE(SetupFindNextLine(&line, &line)) << "the section given again goes on";
    EXPECT_EQ(field(line, 1), "%unknown%");
    EXPECT_EQ(field(line, 2), "a;b");
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupFindNextLine(&line, &line)) << "the end of the section";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LINE_NOT_FOUND));

    ASSERT_TRUE(SetupFindFirstLineA(inf, "Models", "continued", &line));
    EXPECT_EQ(field(line, 1), "one");
    for (const auto& [section, key] : {std::pair<const char*, const char*>{"Missing", nullptr},
                                       {"Empty", nullptr},
                                       {"Models", "Missing"}}) {
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(SetupFindFirstLineA(inf, section, key, &line)) << section;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LINE_NOT_FOUND)) << section;
    }
    SetupCloseInfFile(inf);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupFindFirstLineA(inf, "Models", nullptr, &line)) << "a closed file";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(InfFiles, OnlyWindows4FilesOpen) {
    struct Case {
        const char* what;
        std::string text;
        DWORD style;
        DWORD error;
        UINT errorLine;
    } const cases[] = {
        {"a legacy style", kFixture, INF_STYLE_OLDNT, ERROR_NOT_SUPPORTED, 0},
        {"no signature", "[Version]\nClass=USB\n", INF_STYLE_WIN4, ERROR_WRONG_INF_STYLE, 0},
        {"a line before any section", "Key = value\n[Version]\n", INF_STYLE_WIN4, ERROR_EXPECTED_SECTION_NAME, 1},
        {"an unclosed section name", "[Version]\nSignature=$Chicago$\n[Models\n", INF_STYLE_WIN4,
         ERROR_BAD_SECTION_NAME_LINE, 3},
    };
    for (const Case& c : cases) {
        const std::string path = write("case.inf", c.text);
        UINT errorLine = 0;
        SetLastError(0xdeadbeef);
        EXPECT_EQ(SetupOpenInfFileA(path.c_str(), nullptr, c.style, &errorLine), INVALID_HANDLE_VALUE) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
        EXPECT_EQ(errorLine, c.errorLine) << c.what;
    }
    SetLastError(0xdeadbeef);
    EXPECT_EQ(SetupOpenInfFileA("Z:\\no\\such.inf", nullptr, INF_STYLE_WIN4, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

// The store keeps one copy per content: the same package again keeps its name, another gets
// the next free number, and a name alone opens a stored file.
TEST_F(InfFiles, CopiesIntoTheStoreAreReused) {
    const fs::path store = lab::Lab::current().windowsFolder() / "Inf";
    for (const auto& e : fs::directory_iterator(store)) fs::remove(e.path());
    const std::string first = write("first.inf", kFixture);
    const std::string second = write("second.inf", std::string(kFixture) + "Extra = 1\r\n");

    auto copy = [](const std::string& source) -> std::string {
        char name[MAX_PATH] = "";
        DWORD required = 0;
        PSTR component = nullptr;
        SetLastError(0xdeadbeef);
        if (!SetupCopyOEMInfA(source.c_str(), nullptr, SPOST_PATH, 0, name, sizeof name, &required, &component))
            return "<error>";
        EXPECT_EQ(required, std::string(name).size() + 1);
        return std::string(name) + "|" + component;
    };
    EXPECT_EQ(copy(first), "C:\\WINDOWS\\Inf\\oem0.inf|oem0.inf");
    EXPECT_EQ(copy(second), "C:\\WINDOWS\\Inf\\oem1.inf|oem1.inf");
    EXPECT_EQ(copy(first), "C:\\WINDOWS\\Inf\\oem0.inf|oem0.inf");
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(SetupCopyOEMInfA(second.c_str(), nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(std::distance(fs::directory_iterator(store), fs::directory_iterator()), 2);
    HINF inf = SetupOpenInfFileA("OEM1.INF", nullptr, INF_STYLE_WIN4, nullptr);
    EXPECT_NE(inf, INVALID_HANDLE_VALUE);
    SetupCloseInfFile(inf);

    struct Case {
        const char* what;
        const char* location;
        DWORD mediaType;
        DWORD style;
        DWORD error;
    } const refused[] = {
        {"a media location", "A:\\", SPOST_PATH, 0, ERROR_NOT_SUPPORTED},
        {"no media", nullptr, SPOST_NONE, 0, ERROR_NOT_SUPPORTED},
        {"an unknown media type", nullptr, SPOST_MAX, 0, ERROR_INVALID_PARAMETER},
        {"a copy style", nullptr, SPOST_PATH, SP_COPY_NOOVERWRITE, ERROR_NOT_SUPPORTED},
    };
    for (const Case& c : refused) {
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(SetupCopyOEMInfA(first.c_str(), c.location, c.mediaType, c.style, nullptr, 0, nullptr, nullptr))
            << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    char tiny[8];
    DWORD required = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupCopyOEMInfA(first.c_str(), nullptr, SPOST_PATH, 0, tiny, sizeof tiny, &required, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, 24u);
    for (const auto& e : fs::directory_iterator(store)) fs::remove(e.path());
}

}  // namespace
