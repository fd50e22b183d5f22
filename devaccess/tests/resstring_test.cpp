// Numbered strings from the real string library, in both languages.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "test_lab.h"
#include <devaccess/sysutil.h>

namespace {

class ResString : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = LoadLibraryA(ZELFIN_BIN_DIR "/ZELFNRES.DLL");
        ASSERT_NE(module_, nullptr) << GetLastError();
    }
    void TearDown() override { FreeLibrary(module_); }
    std::string load(UINT id, LANGID lang, size_t size = MAX_PATH) {
        std::string out(size, '#');
        LoadResString(module_, id, lang, out.data(), size);
        EXPECT_NE(std::memchr(out.data(), '\0', size), nullptr) << "always terminated";
        return out.c_str();
    }
    HMODULE module_ = nullptr;
};

TEST_F(ResString, StringSeventeenIsEntryOneOfBlockTwoInBothLanguages) {
    EXPECT_EQ(load(17, 0x0409), "Property");
    EXPECT_EQ(load(17, 0x0407), "Eigenschaft");
    // Entry 0 of the same block, and the neighbour after it, come from the same block.
    EXPECT_EQ(load(16, 0x0409), "");
    EXPECT_EQ(load(18, 0x0407), "Wert");
    EXPECT_EQ(load(15, 0x0409), "Zelfin Firmware Update") << "entry 15 of block 1";
}

TEST_F(ResString, MissingNumbersLanguagesAndModulesGiveEmptyText) {
    EXPECT_EQ(load(3, 0x0409), "") << "a number the library does not hold";
    EXPECT_EQ(load(60000, 0x0409), "") << "a block the library does not hold";
    EXPECT_EQ(load(17, 0x0807), "") << "no Swiss table: empty, the caller picks the language";
    char out[8] = "xxxxxxx";
    LoadResString(nullptr, 17, 0x0409, out, sizeof out);
    EXPECT_STREQ(out, "") << "module of the program itself holds no strings";
}

TEST_F(ResString, GermanTextIsCutAtACharacterBoundary) {
    const std::string full = load(110, 0x0407);
    ASSERT_GT(full.size(), 20u);
    // Try every buffer size: the result is a prefix of the full text that never ends in half a
    // UTF-8 sequence, and is as long as fits.
    for (size_t size = 1; size <= full.size() + 1; ++size) {
        const std::string cut = load(110, 0x0407, size);
        ASSERT_LE(cut.size(), size - 1);
        ASSERT_EQ(full.compare(0, cut.size(), cut), 0) << size;
        const bool midSequence = cut.size() < full.size() && (static_cast<unsigned char>(full[cut.size()]) & 0xC0) == 0x80;
        ASSERT_FALSE(midSequence) << size;
        ASSERT_GE(cut.size() + 4, size - 1) << "no more than one character short of the room";
    }
}

}  // namespace
