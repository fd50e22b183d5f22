// Option keys and yes/no values.
#include <config/keys.h>
#include <gtest/gtest.h>

using namespace zelfin::config;

namespace {

TEST(OptionKeys, KeysMatchExactly) {
    EXPECT_EQ(findOptionKey("GUI"), kOptGui);
    EXPECT_EQ(findOptionKey("DEVICE_ADDRESS"), kOptDeviceAddress);
    EXPECT_EQ(kOptionKeys[kOptMatchBySymLink].kind, OptionKind::NotOffered);
    for (const char* unknown : {"gui", "GUI ", "", "FOO"}) EXPECT_EQ(findOptionKey(unknown), -1) << unknown;
}

TEST(OptionKeys, YesIgnoresCaseAndNothingElse) {
    for (const char* yes : {"yes", "YES", "Yes", "yEs"}) EXPECT_TRUE(isYes(yes)) << yes;
    for (const char* no : {"no", "", "y", "yes ", " yes", "yess", "1", "ja"}) EXPECT_FALSE(isYes(no)) << no;
}

}  // namespace
