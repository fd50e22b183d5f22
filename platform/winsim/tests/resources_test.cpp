// Resources: string blocks and LoadString, the language a resource is taken in, binary
// resources, dialog templates, and the resource compiler's reports on bad scripts.
#include <gtest/gtest.h>

#include <cstring>

#include "fixtures/fixture_support.h"
#include "run_process.h"
#include <winsim/dialog_template.h>
#include <winsim/windows.h>

namespace {

namespace fs = std::filesystem;

// Opens ZFIXTURE.DLL as a data file for each test.
class FixtureResources : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = LoadLibraryExA(fixture::modulePath(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module_, nullptr) << GetLastError();
    }
    void TearDown() override { FreeLibrary(module_); }

    std::vector<uint8_t> data(HRSRC r) const {
        if (!r) return {};
        const auto* p = static_cast<const uint8_t*>(LockResource(LoadResource(module_, r)));
        return p ? std::vector<uint8_t>(p, p + SizeofResource(module_, r)) : std::vector<uint8_t>{};
    }
    std::string text(HRSRC r) const {
        const std::vector<uint8_t> d = data(r);
        return std::string(d.begin(), d.end());
    }
    std::string loadString(UINT id) const {
        char buf[512];
        const int n = LoadStringA(module_, id, buf, sizeof buf);
        return std::string(buf, static_cast<size_t>(n));
    }

    HMODULE module_ = nullptr;
};

std::vector<uint16_t> units(const std::u16string& s) { return std::vector<uint16_t>(s.begin(), s.end()); }

TEST_F(FixtureResources, StringTablesAreCountedBlocksOfSixteen) {
    // Block 2 holds ids 16..31: 17 is its entry 1, 31 its last entry; 32 opens block 3.
    const std::vector<uint8_t> raw = data(FindResourceExA(module_, RT_STRING, MAKEINTRESOURCEA(2), 0x0409));
    std::vector<uint16_t> block(raw.size() / 2);
    std::memcpy(block.data(), raw.data(), block.size() * 2);
    std::vector<uint16_t> expected{0, 9};
    for (uint16_t u : units(u"Seventeen")) expected.push_back(u);
    expected.insert(expected.end(), 13, 0);  // 18..30 are missing
    expected.push_back(10);
    for (uint16_t u : units(u"Thirty-one")) expected.push_back(u);
    EXPECT_EQ(raw.size() % 2, 0u);
    EXPECT_EQ(block, expected);

    const std::vector<uint8_t> next = data(FindResourceExA(module_, RT_STRING, MAKEINTRESOURCEA(3), 0x0409));
    ASSERT_GE(next.size(), 4u);
    const std::u16string escaped = u"Say \"hi\", \"there\"\tC:\\path\nA!";
    uint16_t count = 0;
    std::memcpy(&count, next.data(), 2);
    ASSERT_EQ(count, escaped.size());
    std::u16string first(count, u'\0');
    std::memcpy(first.data(), next.data() + 2, count * 2u);
    EXPECT_EQ(first, escaped);
}

TEST_F(FixtureResources, LoadStringTakesTheUsersLanguageThenUsEnglish) {
    struct Case {
        uint16_t language;
        UINT id;
        std::string expected;
    };
    const Case cases[] = {
        {0x0409, IDS_SEVENTEEN, "Seventeen"},
        {0x0407, IDS_SEVENTEEN, "Siebzehn"},
        {0x0407, IDS_THIRTY_ONE, "Einunddreißig"},
        {0x0407, IDS_ENGLISH_ONLY, "Only in English"},  // no German block 13: the English one
        {0x0807, IDS_SEVENTEEN, "Seventeen"},           // exactly the user's language, else US English
        {0x0407, IDS_MISSING, ""},                      // the German block has no text for it
        {0x0409, 999, ""},
    };
    fixture::LabSettings settings;
    for (const Case& c : cases) {
        settings.language(c.language);
        EXPECT_EQ(loadString(c.id), c.expected) << std::hex << c.language << " " << std::dec << c.id;
    }
}

TEST_F(FixtureResources, MissingStringsLeaveAnEmptyBuffer) {
    char buf[8] = "garbage";
    SetLastError(0);
    EXPECT_EQ(LoadStringA(module_, IDS_MISSING, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(LoadStringA(module_, IDS_SEVENTEEN, buf, 0), 0);
}

TEST_F(FixtureResources, LoadStringACutsAtACharacterBoundary) {
    fixture::LabSettings settings;
    settings.language(0x0407);
    const std::string full = loadString(IDS_LONG);
    ASSERT_EQ(full.rfind("Größere Übungsänderungen", 0), 0u) << full;
    ASSERT_NE(full.find("𝄞"), std::string::npos);
    ASSERT_GT(full.size(), 150u);

    auto charLength = [](unsigned char lead) { return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4; };
    for (size_t cch = 1; cch <= full.size() + 1; ++cch) {
        std::vector<char> buf(cch + 4, '#');
        const int n = LoadStringA(module_, IDS_LONG, buf.data(), static_cast<int>(cch));
        ASSERT_GE(n, 0);
        const auto copied = static_cast<size_t>(n);
        ASSERT_LT(copied, cch) << cch;
        EXPECT_EQ(buf[copied], '\0') << cch;
        EXPECT_EQ(std::string(buf.data(), copied), full.substr(0, copied)) << cch;
        EXPECT_EQ(buf[cch], '#') << "wrote past cchBufferMax " << cch;
        // Whole characters, and as many as fit.
        if (copied < full.size()) {
            EXPECT_NE(static_cast<unsigned char>(full[copied]) & 0xC0, 0x80) << "split a character at " << cch;
            EXPECT_GT(copied + charLength(static_cast<unsigned char>(full[copied])), cch - 1) << cch;
        }
    }
}

TEST_F(FixtureResources, LoadStringWGivesThePointerOrKeepsPairsWhole) {
    fixture::LabSettings settings;
    settings.language(0x0407);
    const WCHAR* inResource = nullptr;
    const int length = LoadStringW(module_, IDS_SEVENTEEN, reinterpret_cast<LPWSTR>(&inResource), 0);
    ASSERT_EQ(length, 8);
    ASSERT_NE(inResource, nullptr);
    EXPECT_EQ(std::u16string(inResource, 8), u"Siebzehn");
    const std::vector<uint8_t> block = data(FindResourceExA(module_, RT_STRING, MAKEINTRESOURCEA(2), 0x0407));
    const auto* start = static_cast<const uint8_t*>(
        LockResource(LoadResource(module_, FindResourceExA(module_, RT_STRING, MAKEINTRESOURCEA(2), 0x0407))));
    const auto* at = reinterpret_cast<const uint8_t*>(inResource);
    EXPECT_TRUE(at > start && at + 16 <= start + block.size()) << "not a pointer into the resource";

    WCHAR full[256];
    const int n = LoadStringW(module_, IDS_LONG, full, 256);
    const std::u16string text(full, static_cast<size_t>(n));
    const size_t high = text.find(u'\xD834');  // the first half of U+1D11E
    ASSERT_NE(high, std::u16string::npos);
    WCHAR cut[256];
    EXPECT_EQ(LoadStringW(module_, IDS_LONG, cut, static_cast<int>(high + 2)), static_cast<int>(high));
    EXPECT_EQ(std::u16string(cut), text.substr(0, high));
}

TEST_F(FixtureResources, FindResourceChoosesTheLanguageAsWindows) {
    struct Case {
        uint16_t userLanguage;
        const char* name;
        std::string expected;
    };
    const Case cases[] = {
        {0x0407, "GREETING", "neutral"},  // neutral first
        {0x0409, "greeting", "neutral"},
        {0x0407, "PICK", "german"},       // then the user's language
        {0x040C, "Pick", "english"},      // then US English
        {0x0409, "FRENCH", std::string("f\0r\0\x34\x12\xBC\x9A\x78\x56", 10)},  // then any
    };
    fixture::LabSettings settings;
    for (const Case& c : cases) {
        settings.language(c.userLanguage);
        EXPECT_EQ(text(FindResourceA(module_, c.name, "fixdata")), c.expected) << c.name;
    }
    EXPECT_EQ(text(FindResourceExA(module_, "FIXDATA", "PICK", 0x0407)), "german");
    EXPECT_EQ(text(FindResourceExA(module_, "FIXDATA", "PICK", 0)), "english");
}

TEST_F(FixtureResources, ReportsWhatIsMissing) {
    struct Case {
        HMODULE module;
        LPCSTR type;
        LPCSTR name;
        WORD language;
        DWORD error;
    };
    const Case cases[] = {
        {module_, "FIXDATA", "PICK", 0x0410, ERROR_RESOURCE_LANG_NOT_FOUND},
        {module_, "FIXDATA", "NOTHING", 0, ERROR_RESOURCE_NAME_NOT_FOUND},
        {module_, "NOTYPE", "PICK", 0, ERROR_RESOURCE_TYPE_NOT_FOUND},
        {module_, RT_DIALOG, MAKEINTRESOURCEA(999), 0, ERROR_RESOURCE_NAME_NOT_FOUND},
        {GetModuleHandleA("KERNEL32.DLL"), RT_STRING, MAKEINTRESOURCEA(1), 0, ERROR_RESOURCE_DATA_NOT_FOUND},
        {reinterpret_cast<HMODULE>(0x7654321), RT_STRING, MAKEINTRESOURCEA(1), 0, ERROR_MOD_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(FindResourceExA(c.module, c.type, c.name, c.language), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
    }
}

TEST_F(FixtureResources, BinaryResourcesKeepTheirBytes) {
    const std::vector<uint8_t> blob = fixture::readFile(fixture::sourceFile("fixture.bin"));
    ASSERT_EQ(blob.size(), 256u);
    EXPECT_EQ(data(FindResourceA(module_, MAKEINTRESOURCEA(IDR_BLOB), "DMHLP")), blob);
    EXPECT_EQ(data(FindResourceA(module_, "#1007", "dmhlp")), blob);

    // A bitmap is its DIB: the file without the 14-byte file header; an icon is the whole file.
    const std::vector<uint8_t> bmp = fixture::readFile(fixture::sourceFile("fixture.bmp"));
    EXPECT_EQ(data(FindResourceA(module_, MAKEINTRESOURCEA(IDB_LOGO), RT_BITMAP)),
              std::vector<uint8_t>(bmp.begin() + 14, bmp.end()));
    EXPECT_EQ(data(FindResourceA(module_, MAKEINTRESOURCEA(IDI_APP), RT_GROUP_ICON)),
              fixture::readFile(fixture::sourceFile("fixture.ico")));

    // An HRSRC belongs to its module.
    const HRSRC r = FindResourceA(module_, MAKEINTRESOURCEA(IDR_BLOB), "DMHLP");
    SetLastError(0);
    EXPECT_EQ(LoadResource(GetModuleHandleA(nullptr), r), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(SizeofResource(module_, reinterpret_cast<HRSRC>(reinterpret_cast<uintptr_t>(r) + 1)), 0u);
}

struct ExpectedItem {
    uint32_t id;
    const char* className;
    uint16_t classOrdinal;
    std::string text;
    std::optional<uint16_t> textOrdinal;
    int16_t x, y, cx, cy;
    uint32_t style, exStyle;
};

void expectItems(const winsim::DialogTemplate& t, const std::vector<ExpectedItem>& expected) {
    ASSERT_EQ(t.items.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const winsim::DialogItem& got = t.items[i];
        const ExpectedItem& e = expected[i];
        SCOPED_TRACE("item " + std::to_string(i));
        EXPECT_EQ(got.id, e.id);
        EXPECT_EQ(got.className, e.className);
        EXPECT_EQ(got.classOrdinal, e.classOrdinal);
        EXPECT_EQ(got.text, e.text);
        EXPECT_EQ(got.textOrdinal, e.textOrdinal);
        EXPECT_EQ(std::vector<int>({got.x, got.y, got.cx, got.cy}), std::vector<int>({e.x, e.y, e.cx, e.cy}));
        EXPECT_EQ(got.style, e.style) << std::hex << got.style;
        EXPECT_EQ(got.exStyle, e.exStyle) << std::hex << got.exStyle;
    }
}

TEST_F(FixtureResources, DialogExTemplatesRoundTrip) {
    const std::vector<uint8_t> raw = data(FindResourceA(module_, MAKEINTRESOURCEA(IDD_MAIN), RT_DIALOG));
    const auto t = winsim::parseDialogTemplate(raw.data(), raw.size());
    ASSERT_TRUE(t.has_value());
    EXPECT_TRUE(t->extended);
    EXPECT_EQ(std::vector<int>({t->x, t->y, t->cx, t->cy}), std::vector<int>({10, 20, 200, 120}));
    EXPECT_EQ(t->helpId, 77u);
    // DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_SYSMENU, and WS_CAPTION for the caption.
    EXPECT_EQ(t->style, 0x80C800C0u);
    EXPECT_EQ(t->exStyle, 0x00010000u);
    EXPECT_EQ(t->title, "Fixture – dialog");
    EXPECT_TRUE(t->hasFont);
    EXPECT_EQ(t->pointSize, 8);
    EXPECT_EQ(t->weight, 700);
    EXPECT_TRUE(t->italic);
    EXPECT_EQ(t->charset, 1);
    EXPECT_EQ(t->typeface, "MS Shell Dlg");
    EXPECT_EQ(t->menu, "");
    EXPECT_FALSE(t->menuOrdinal.has_value());
    expectItems(*t, {
        {0xFFFFFFFF, "Static", 0x82, "&Name:", {}, 7, 7, 40, 8, 0x50020000, 0},
        {1001, "Edit", 0x81, "", {}, 50, 5, 100, 12, 0x50810080, 0},
        {1002, "Button", 0x80, "Choice", {}, 7, 22, 186, 40, 0x50000007, 0},
        {1003, "Button", 0x80, "&One", {}, 14, 34, 60, 10, 0x50030009, 0},
        {1004, "Button", 0x80, "Check", {}, 14, 46, 60, 10, 0x50000003, 0},
        {1005, "ComboBox", 0x85, "", {}, 80, 34, 100, 60, 0x50210003, 0},
        {1006, "ListBox", 0x83, "", {}, 80, 48, 100, 12, 0x50800101, 0x200},
        {1007, "SysListView32", 0, "", {}, 7, 66, 186, 30, 0x50810001, 0x200},
        {1008, "msctls_progress32", 0, "", {}, 7, 98, 120, 8, 0x50000001, 0},
        {0xFFFFFFFF, "Static", 0x82, "", uint16_t{IDI_APP}, 150, 98, 0, 0, 0x50000003, 0},
        {0xFFFFFFFF, "Static", 0x82, "APPICON", {}, 170, 98, 20, 20, 0x50000003, 0},
        {1, "Button", 0x80, "OK", {}, 140, 100, 50, 14, 0x50010001, 0},
        {2, "Button", 0x80, "Cancel", {}, -5, 100, 50, 14, 0x58010000, 0},
    });
}

TEST_F(FixtureResources, PlainDialogTemplatesRoundTrip) {
    const std::vector<uint8_t> raw = data(FindResourceA(module_, MAKEINTRESOURCEA(IDD_PLAIN), RT_DIALOG));
    const auto t = winsim::parseDialogTemplate(raw.data(), raw.size());
    ASSERT_TRUE(t.has_value());
    EXPECT_FALSE(t->extended);
    // RC's default WS_POPUP | WS_BORDER | WS_SYSMENU, with WS_CAPTION and DS_SETFONT.
    EXPECT_EQ(t->style, 0x80C80040u);
    EXPECT_EQ(t->title, "Plain");
    EXPECT_EQ(t->pointSize, 8);
    EXPECT_EQ(t->typeface, "MS Shell Dlg");
    expectItems(*t, {
        {0xFFFF, "Static", 0x82, "Centered", {}, 5, 5, 90, 8, 0x50020001, 0},
        {1, "Button", 0x80, "Go", {}, 25, 30, 50, 14, 0x50010000, 0},
    });
}

TEST_F(FixtureResources, TruncatedDialogTemplatesAreRefused) {
    for (UINT id : {IDD_MAIN, IDD_PLAIN}) {
        const std::vector<uint8_t> raw = data(FindResourceA(module_, MAKEINTRESOURCEA(id), RT_DIALOG));
        ASSERT_FALSE(raw.empty());
        for (size_t size = 0; size < raw.size(); ++size) {
            // A copy of exactly `size` bytes, so that a read past it is caught by the sanitizers.
            const std::vector<uint8_t> cut(raw.begin(), raw.begin() + static_cast<long>(size));
            EXPECT_FALSE(winsim::parseDialogTemplate(cut.data(), cut.size()).has_value()) << id << " " << size;
        }
    }
}

// ---- the resource compiler -----------------------------------------------------------------

struct BadScript {
    const char* name;
    std::string script;
    std::string included;  // part.rc, when the script includes it
    std::string where;     // "file:line"
    std::string message;
};

void PrintTo(const BadScript& c, std::ostream* os) { *os << c.name; }

class ResourceCompilerError : public ::testing::TestWithParam<BadScript> {};

TEST_P(ResourceCompilerError, NamesFileAndLine) {
    const BadScript& c = GetParam();
    fixture::TempDir dir;
    fixture::writeFile(dir.path() / "bad.rc", c.script);
    if (!c.included.empty()) fixture::writeFile(dir.path() / "part.rc", c.included);
    const fs::path out = dir.path() / "out.S";
    const auto r = testsupport::runCommand(std::string(ZELFIN_RC) + " -o " + out.string() + " " +
                                               (dir.path() / "bad.rc").string(),
                                           true);
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_EQ(r.output.rfind((dir.path() / c.where).string() + ": ", 0), 0u) << r.output;
    EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(out));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResourceCompilerError,
    ::testing::Values(
        BadScript{"unterminated_string", "STRINGTABLE\nBEGIN\n  1, \"open\nEND\n", "", "bad.rc:3",
                  "unterminated string"},
        BadScript{"duplicate_string_id", "STRINGTABLE\nBEGIN\n  1, \"a\"\n  2, \"b\"\nEND\nSTRINGTABLE\nBEGIN\n  1, \"c\"\nEND\n",
                  "", "bad.rc:8", "defined twice"},
        BadScript{"undefined_symbol", "1 DIALOGEX 0, 0, 10, 10\nBEGIN\n  LTEXT \"x\", IDC_NOPE, 0, 0, 1, 1\nEND\n", "",
                  "bad.rc:3", "undefined symbol 'IDC_NOPE'"},
        BadScript{"missing_data_file", "\n1 RCDATA \"nope.bin\"\n", "", "bad.rc:2", "cannot find file 'nope.bin'"},
        BadScript{"missing_include", "// x\n#include \"nope.h\"\n", "", "bad.rc:2", "cannot find include file"},
        BadScript{"error_in_an_included_script", "// first\n#include \"part.rc\"\n", "STRINGTABLE\nBEGIN\n  1 2\nEND\n",
                  "part.rc:3", "expected a string"},
        BadScript{"unknown_control", "1 DIALOG 0, 0, 1, 1\nBEGIN\n  SLIDER 1, 0, 0, 1, 1\nEND\n", "", "bad.rc:3",
                  "unknown control statement"},
        BadScript{"missing_end", "STRINGTABLE\nBEGIN\n  1 \"a\"\n", "", "bad.rc:4", "expected END"},
        BadScript{"duplicate_resource", "1 RCDATA BEGIN 1 END\n1 RCDATA BEGIN 2 END\n", "", "bad.rc:2",
                  "defined twice (first at"},
        BadScript{"word_too_large", "1 VERSIONINFO\nBEGIN\n  VALUE \"x\", 70000\nEND\n", "", "bad.rc:3",
                  "does not fit in 16 bits"},
        BadScript{"invalid_utf8", "STRINGTABLE BEGIN 1 \"\xff\" END\n", "", "bad.rc:1", "not valid UTF-8"},
        BadScript{"unknown_directive", "#frobnicate\n", "", "bad.rc:1", "unknown directive #frobnicate"},
        BadScript{"bitmap_that_is_not_one", "1 BITMAP \"bad.rc\"\n", "", "bad.rc:1", "is not a .bmp file"}),
    [](const ::testing::TestParamInfo<BadScript>& info) { return std::string(info.param.name); });

TEST(ResourceCompiler, FindsIncludesAndDataInIncludeFoldersAndListsThem) {
    fixture::TempDir dir;
    fs::create_directories(dir.path() / "inc");
    fixture::writeFile(dir.path() / "inc" / "ids.h", "#ifndef IDS_H\n#define IDS_H\n#define IDR_DATA 5\nint code;\n#endif\n");
    fixture::writeFile(dir.path() / "inc" / "data.bin", "payload");
    fixture::writeFile(dir.path() / "app.rc", "#include \"ids.h\"\nIDR_DATA RCDATA \"data.bin\"\n");
    const fs::path out = dir.path() / "app.S";
    const auto r = testsupport::runCommand(std::string(ZELFIN_RC) + " -I " + (dir.path() / "inc").string() + " -o " +
                                               out.string() + " --depfile " + out.string() + ".d " +
                                               (dir.path() / "app.rc").string(),
                                           true);
    ASSERT_EQ(r.exitCode, 0) << r.output;

    const std::vector<uint8_t> s = fixture::readFile(out);
    const std::string assembly(s.begin(), s.end());
    EXPECT_NE(assembly.find(".section .zrsrc,\"a\""), std::string::npos);
    EXPECT_NE(assembly.find(".section .note.GNU-stack,\"\",@progbits"), std::string::npos);
    EXPECT_EQ(assembly.find(".incbin"), std::string::npos);  // the data itself, so that ccache sees it change

    const std::vector<uint8_t> d = fixture::readFile(out.string() + ".d");
    const std::string depfile(d.begin(), d.end());
    EXPECT_EQ(depfile.rfind(out.string() + ":", 0), 0u) << depfile;
    for (const fs::path& dep : {dir.path() / "app.rc", dir.path() / "inc" / "ids.h", dir.path() / "inc" / "data.bin"})
        EXPECT_NE(depfile.find(dep.string()), std::string::npos) << dep << "\n" << depfile;
}

}  // namespace
