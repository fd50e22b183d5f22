// The plug-ins' option reader against configuration files laid out byte by byte.
#include <gtest/gtest.h>
#include <plugin-common/read_option.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "test_lab.h"

namespace fs = std::filesystem;

namespace {

// A record as the file holds it: two 260-byte fields. A text of 260 characters fills its field
// without a terminator.
std::string record(const std::string& name, const std::string& value) {
    std::string r(520, '\0');
    std::memcpy(r.data(), name.data(), std::min<size_t>(name.size(), 260));
    std::memcpy(r.data() + 260, value.data(), std::min<size_t>(value.size(), 260));
    return r;
}

class ReadOptionFile : public ::testing::Test {
protected:
    void SetUp() override { path_ = fs::temp_directory_path() / ("zelfin-options-" + std::to_string(::getpid()) + ".cfg"); }
    void TearDown() override { fs::remove(path_); }

    // The checksum is not the reader's business: four arbitrary bytes stand for it.
    void write(const std::vector<std::pair<std::string, std::string>>& records, size_t cutAtEnd = 0) {
        std::string bytes = "\x12\x34\x56\x78";
        for (const auto& [name, value] : records) bytes += record(name, value);
        bytes.resize(bytes.size() - cutAtEnd);
        std::ofstream(path_, std::ios::binary) << bytes;
    }
    std::pair<int32_t, std::string> read(const char* key) {
        char value[kOptionValueSize];
        std::memset(value, '#', sizeof value);
        const int32_t found = ReadOption(path_.c_str(), key, value);
        EXPECT_NE(std::memchr(value, '\0', sizeof value), nullptr) << "always terminated";
        return {found, value};
    }

    fs::path path_;
};

TEST_F(ReadOptionFile, FindsKeysOfTheLeadingOptionsSectionOnly) {
    write({{"Options", "3"},
           {"UPGRADEONLY", "yes"},
           {"MatchFeature", "No"},
           {"upgradeonly", "second"},
           {"RETRIES", "beyond the count"},
           {"Download", "1"}});
    struct Case {
        const char* key;
        int32_t found;
        const char* value;
    };
    for (const Case& c : {Case{"UPGRADEONLY", 1, "yes"}, Case{"upgradeOnly", 1, "yes"}, Case{"MATCHFEATURE", 1, "No"},
                          Case{"RETRIES", 0, ""}, Case{"Download", 0, ""}, Case{"GUI", 0, ""}}) {
        const auto [found, value] = read(c.key);
        EXPECT_EQ(found, c.found) << c.key;
        EXPECT_EQ(value, c.value) << c.key;
    }
}

TEST_F(ReadOptionFile, FilesThatHoldNoOptionsForAPlugIn) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> records;
        size_t cut;
    };
    const Case cases[] = {
        {"header in lower case", {{"options", "1"}, {"UPGRADEONLY", "yes"}}, 0},
        {"images first", {{"Download", "1"}, {"Options", "1"}, {"UPGRADEONLY", "yes"}}, 0},
        {"count that is no number", {{"Options", "abc"}, {"UPGRADEONLY", "yes"}}, 0},
        {"negative count", {{"Options", "-1"}, {"UPGRADEONLY", "yes"}}, 0},
        {"count beyond the records present", {{"Options", "5"}, {"FORCEFS", "yes"}}, 0},
        {"record cut short", {{"Options", "1"}, {"UPGRADEONLY", "yes"}}, 1},
        {"header cut short", {{"Options", "1"}}, 200},
        {"empty file", {}, 0},
    };
    for (const Case& c : cases) {
        write(c.records, c.cut);
        const auto [found, value] = read("UPGRADEONLY");
        EXPECT_EQ(found, 0) << c.what;
        EXPECT_EQ(value, "") << c.what;
    }
}

TEST_F(ReadOptionFile, CountIsReadLikeAtoi) {
    write({{"Options", " 2 records"}, {"A", "1"}, {"UPGRADEONLY", "yes"}});
    EXPECT_EQ(read("UPGRADEONLY"), (std::pair<int32_t, std::string>{1, "yes"}));
    write({{"Options", "99999999999999999999"}, {"UPGRADEONLY", "yes"}});
    EXPECT_EQ(read("UPGRADEONLY").first, 1) << "a huge count reads until the file ends";
}

TEST_F(ReadOptionFile, FullFieldsWithoutTerminatorStayInBounds) {
    const std::string longName(260, 'K'), longValue(260, 'v');
    write({{"Options", "2"}, {longName, "x"}, {"UPGRADEONLY", longValue}});
    const auto [found, value] = read("UPGRADEONLY");
    EXPECT_EQ(found, 1);
    EXPECT_EQ(value, std::string(259, 'v')) << "the value is cut to the buffer";
    EXPECT_EQ(read(longName.c_str()).first, 1) << "a 260-character key matches its full field";
    EXPECT_EQ(read(std::string(259, 'K').c_str()).first, 0);
}

TEST(ReadOption, NothingToReadGivesAnEmptyValue) {
    char value[kOptionValueSize] = "stale";
    EXPECT_EQ(ReadOption(nullptr, "UPGRADEONLY", value), 0);
    EXPECT_STREQ(value, "");
    std::strcpy(value, "stale");
    EXPECT_EQ(ReadOption("/nonexistent/folder/Zelfin.cfg", "UPGRADEONLY", value), 0);
    EXPECT_STREQ(value, "");
}

TEST(ReadOption, OnlyYesSwitchesAnOptionOn) {
    for (const char* on : {"yes", "YES", "yEs"}) EXPECT_TRUE(OptionIsYes(on)) << on;
    for (const char* off : {"Y", "no", "yes ", "yess", "", " yes"}) EXPECT_FALSE(OptionIsYes(off)) << off;
    EXPECT_FALSE(OptionIsYes(nullptr));
}

}  // namespace
