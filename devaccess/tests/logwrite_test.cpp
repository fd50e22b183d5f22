// Trimming of the log by the registry limit.
#include <gtest/gtest.h>

#include <string>

#include "test_lab.h"
#include <devaccess/logwrite.h>

namespace {

void setLimit(bool keyPresent, bool valuePresent, DWORD kb) {
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, ZELFIN_LOG_LIMIT_KEY);
    if (keyPresent) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, ZELFIN_LOG_LIMIT_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  ERROR_SUCCESS);
        if (valuePresent)
            RegSetValueExA(key, ZELFIN_LOG_LIMIT_VALUE, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&kb), sizeof kb);
        RegCloseKey(key);
    }
    logForgetLimit();
}

TEST(LogLimit, ReadFromTheRegistry) {
    struct Case {
        bool key, value;
        DWORD kb;
        uint64_t limit;
    };
    const Case cases[] = {
        {false, false, 0, 0},             // no key: the file grows without bound
        {true, false, 0, 204800},         // key without value: 200 KB
        {true, true, 0, 0},               // 0: no limit
        {true, true, 100, 102400},
        {true, true, 25599, 26213376},
        {true, true, 25600, 26214400},
        {true, true, 100000, 26214400},   // clamped to 25 MB
        {true, true, 0xFFFFFFFF, 26214400},  // no overflow
    };
    for (const Case& c : cases) {
        setLimit(c.key, c.value, c.kb);
        EXPECT_EQ(logReadLimit(), c.limit) << c.key << c.value << " " << c.kb;
    }
}

TEST(LogWrite, TrimsToNinetyPercentBeforeAppending) {
    setLimit(true, false, 0);  // 204,800 bytes
    HANDLE h = CreateFileA("C:\\trim.log", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_FLAG_WRITE_THROUGH, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::string content(204801, 'a');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('a' + i % 26);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &done, nullptr));
    ASSERT_TRUE(logWrite(h, "NEW\r\n", 5));
    EXPECT_EQ(GetFileSize(h, nullptr), 184320u + 5u);
    SetFilePointer(h, 0, nullptr, FILE_BEGIN);
    std::string back(184325, '\0');
    ASSERT_TRUE(ReadFile(h, back.data(), static_cast<DWORD>(back.size()), &done, nullptr));
    EXPECT_EQ(back, content.substr(204801 - 184320) + "NEW\r\n");
    // Below the limit nothing is trimmed.
    ASSERT_TRUE(logWrite(h, "X", 1));
    EXPECT_EQ(GetFileSize(h, nullptr), 184326u);
    EXPECT_FALSE(logWrite(INVALID_HANDLE_VALUE, "X", 1));
    CloseHandle(h);
    DeleteFileA("C:\\trim.log");
}

TEST(LogWrite, FailedTrimDropsOnlyThatRecord) {
    setLimit(true, true, 1);  // 1,024 bytes
    HANDLE w = CreateFileA("C:\\ro.log", GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    const std::string content(2000, 'x');
    DWORD done = 0;
    WriteFile(w, content.data(), 2000, &done, nullptr);
    CloseHandle(w);
    // A handle that cannot read cannot trim: the record is dropped, the file left as it was.
    HANDLE h = CreateFileA("C:\\ro.log", GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    SetFilePointer(h, 0, nullptr, FILE_END);
    EXPECT_FALSE(logWrite(h, "lost", 4));
    EXPECT_EQ(GetFileSize(h, nullptr), 2000u);
    CloseHandle(h);
    DeleteFileA("C:\\ro.log");
    setLimit(false, false, 0);
}

}  // namespace
