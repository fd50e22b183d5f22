// The library's system utilities against the lab and the real string library.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "test_lab.h"
#include <devaccess/sysutil.h>
#include <lab/lab.h>

namespace {

TEST(SysUtil, PlatformIdFollowsTheLab) {
    const lab::Settings saved = lab::Lab::current().settings();
    EXPECT_EQ(GetPlatformId(), 1);
    lab::Settings s = saved;
    s.os.platformId = 1;
    lab::Lab::current().setSettings(s);
    EXPECT_EQ(GetPlatformId(), 0);
    lab::Lab::current().setSettings(saved);
}

TEST(SysUtil, WindowsDirLosesItsTrailingBackslash) {
    const lab::Settings saved = lab::Lab::current().settings();
    const std::pair<const char*, const char*> cases[] = {
        {"C:\\WINDOWS", "C:\\WINDOWS"}, {"C:\\", "C:"}, {"C:\\WINNT\\", "C:\\WINNT"}};
    for (const auto& [windows, expected] : cases) {
        lab::Settings s = saved;
        s.windowsDirectory = windows;
        lab::Lab::current().setSettings(s);
        char dir[MAX_PATH];
        ASSERT_EQ(GetWindowsDir(dir), 1) << windows;
        EXPECT_STREQ(dir, expected);
    }
    lab::Lab::current().setSettings(saved);
}

TEST(SysUtil, RegWriteValueStoresExactBytes) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ZelfinTest\\SysUtil", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    struct Case {
        const char* name;
        DWORD type;
        const char* text;
        DWORD number;
        std::vector<BYTE> bytes;
    };
    const Case cases[] = {
        {"Number", REG_DWORD, nullptr, 258, {0x02, 0x01, 0x00, 0x00}},
        {"Text", REG_SZ, "abc", 0, {'a', 'b', 'c', 0}},
        {"Empty", REG_BINARY, "ignored", 5, {}},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(RegWriteValue(key, c.name, c.type, c.text, c.number), 1) << c.name;
        BYTE data[16];
        DWORD size = sizeof data, type = 0;
        ASSERT_EQ(RegQueryValueExA(key, c.name, nullptr, &type, data, &size), ERROR_SUCCESS) << c.name;
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(std::vector<BYTE>(data, data + size), c.bytes) << c.name;
    }
    // A text longer than the 259 characters the value may hold is cut, never read past.
    const std::string longText(400, 'x');
    ASSERT_EQ(RegWriteValue(key, "Long", REG_SZ, longText.c_str(), 0), 1);
    DWORD size = 0;
    ASSERT_EQ(RegQueryValueExA(key, "Long", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 260u);
    EXPECT_EQ(RegWriteValue(reinterpret_cast<HKEY>(0x1234), "X", REG_DWORD, nullptr, 1), 0);
    RegCloseKey(key);
}

TEST(SysUtil, DeviceTypeNames) {
    const std::vector<int> codes = [] {
        std::vector<int> v;
        for (int c = 1; c <= 66; ++c)
            if ((c <= 7) || c == 10 || c == 11 || c == 14 || (c >= 16 && c <= 41) || (c >= 48 && c <= 57) || c >= 64)
                v.push_back(c);
        return v;
    }();
    ASSERT_EQ(codes.size(), 49u);
    std::vector<std::string> names;
    for (int c : codes) {
        char out[MAX_PATH];
        GetDeviceTypeName(c, out);
        ASSERT_NE(std::strncmp(out, "UnKnown", 7), 0) << c;
        names.push_back(out);
    }
    // They become device names: unique, and none the start of another.
    for (size_t i = 0; i < names.size(); ++i)
        for (size_t j = 0; j < names.size(); ++j)
            if (i != j) {
                EXPECT_NE(names[j].rfind(names[i], 0), 0u) << names[i] << " / " << names[j];
            }

    struct Case {
        int code;
        const char* expected;
    };
    const Case unknown[] = {{8, "UnKnown: 8 (0x8)"}, {0, "UnKnown: 0 (0x0)"}, {0xFFFF, "UnKnown: 65535 (0xFFFF)"},
                            {-1, "UnKnown: 65535 (0xFFFF)"}};
    for (const Case& c : unknown) {
        char out[MAX_PATH];
        GetDeviceTypeName(c.code, out);
        EXPECT_STREQ(out, c.expected);
    }
    char tiny[6];
    GetDeviceTypeName(1, tiny, sizeof tiny);
    EXPECT_EQ(std::strlen(tiny), 5u) << "cut to the buffer";
}

}  // namespace
