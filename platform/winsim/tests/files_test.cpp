// Files and paths over the lab: drive mapping, case-insensitive lookup, create dispositions,
// sharing, listings and the protected system drive.
#include <gtest/gtest.h>

#include "temp_dir.h"
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "test_lab.h"
#include <winsim/windows.h>

namespace fs = std::filesystem;

namespace {

// A scratch folder outside the lab, reached through its Z: path.
class FilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        winDir_ = "Z:" + dir_;
        for (char& c : winDir_)
            if (c == '/') c = '\\';
    }
    void TearDown() override {
        std::error_code ec;
        // A test may have taken the folder's rights away; the folder goes all the same.
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
    }
    std::string win(const std::string& name) const { return winDir_ + "\\" + name; }
    void writeHost(const std::string& name, const std::string& text) const {
        std::ofstream(dir_ + "/" + name, std::ios::binary) << text;
    }
    std::string readHost(const std::string& name) const {
        std::ifstream in(dir_ + "/" + name, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    testsupport::TempDir temp_{"winsim-files"};
    std::string dir_ = temp_.str();
    std::string winDir_;
};

TEST_F(FilesTest, PathInAnotherCaseOpensTheFile) {
    fs::create_directory(dir_ + "/Sub");
    writeHost("Sub/zelfin.cfg", "abc");
    for (const std::string& spelling : {win("SUB\\ZELFIN.CFG"), win("sub/Zelfin.Cfg"), win("Sub\\.\\..\\sub\\zelfin.cfg")}) {
        HANDLE h = CreateFileA(spelling.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << spelling;
        char buf[8] = {};
        DWORD got = 0;
        EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &got, nullptr));
        EXPECT_EQ(std::string(buf, got), "abc");
        EXPECT_TRUE(CloseHandle(h));
    }
    EXPECT_EQ(CreateFileA(win("missing\\zelfin.cfg").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(FilesTest, CreateDispositions) {
    struct Case {
        DWORD disposition;
        bool exists;
        bool opens;
        DWORD error;
        std::string contentAfter;
    };
    const Case cases[] = {
        {CREATE_NEW, false, true, ERROR_SUCCESS, ""},
        {CREATE_NEW, true, false, ERROR_FILE_EXISTS, "old"},
        {CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS, ""},
        {CREATE_ALWAYS, false, true, ERROR_SUCCESS, ""},
        {OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND, ""},
        {OPEN_EXISTING, true, true, ERROR_SUCCESS, "old"},
        {OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS, "old"},
        {OPEN_ALWAYS, false, true, ERROR_SUCCESS, ""},
        {TRUNCATE_EXISTING, true, true, ERROR_SUCCESS, ""},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string name = "f" + std::to_string(n++);
        if (c.exists) writeHost(name, "old");
        SetLastError(12345);
        HANDLE h = CreateFileA(win(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, c.disposition,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens) << name;
        if (c.opens || c.error != ERROR_SUCCESS) {
            EXPECT_EQ(GetLastError(), c.error) << name;
        }
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        if (c.opens || c.exists) {
            EXPECT_EQ(readHost(name), c.contentAfter) << name;
        }
    }
}

TEST_F(FilesTest, ReadWriteSeekTruncate) {
    HANDLE h = CreateFileA(win("data.bin").c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           CREATE_ALWAYS, FILE_FLAG_WRITE_THROUGH, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h, "0123456789", 10, &done, nullptr));
    EXPECT_EQ(done, 10u);
    // Written through: another reader sees it at once.
    EXPECT_EQ(readHost("data.bin"), "0123456789");
    EXPECT_EQ(SetFilePointer(h, -4, nullptr, FILE_END), 6u);
    char buf[16] = {};
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &done, nullptr));
    EXPECT_EQ(std::string(buf, done), "6789");
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &done, nullptr));
    EXPECT_EQ(done, 0u) << "reading at the end succeeds with nothing";
    EXPECT_EQ(SetFilePointer(h, -20, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
    LONG high = 0;
    EXPECT_EQ(SetFilePointer(h, 3, &high, FILE_BEGIN), 3u);
    EXPECT_TRUE(SetEndOfFile(h));
    DWORD sizeHigh = 99;
    EXPECT_EQ(GetFileSize(h, &sizeHigh), 3u);
    EXPECT_EQ(sizeHigh, 0u);
    CloseHandle(h);
    EXPECT_EQ(readHost("data.bin"), "012");
    EXPECT_FALSE(CloseHandle(h)) << "a closed handle is refused";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(FilesTest, SharingModesAreEnforcedAndUnsupportedFlagsRefused) {
    const std::string path = win("log.txt");
    HANDLE writer = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_FLAG_WRITE_THROUGH, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    HANDLE reader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE) << "reading is shared";
    CloseHandle(reader);
    EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                          nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(DeleteFileA(path.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(writer);
    EXPECT_TRUE(DeleteFileA(path.c_str()));

    EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_OVERLAPPED, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    // Unbuffered access is only a hint: a file of any length still loads.
    writeHost("odd.bin", std::string(1000, 'x'));
    HANDLE odd = CreateFileA(win("odd.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING,
                             nullptr);
    ASSERT_NE(odd, INVALID_HANDLE_VALUE);
    std::vector<char> buf(1000);
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(odd, buf.data(), 1000, &got, nullptr));
    EXPECT_EQ(got, 1000u);
    CloseHandle(odd);
}

TEST_F(FilesTest, AttributesCopyAndReadOnly) {
    writeHost("a.bin", "A");
    EXPECT_EQ(GetFileAttributesA(win("A.BIN").c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_NE(GetFileAttributesA(winDir_.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(GetFileAttributesA(win("none").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(CopyFileA(win("a.bin").c_str(), win("b.bin").c_str(), TRUE));
    EXPECT_FALSE(CopyFileA(win("a.bin").c_str(), win("B.bin").c_str(), TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_EQ(readHost("b.bin"), "A");

    ASSERT_TRUE(SetFileAttributesA(win("b.bin").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_NE(GetFileAttributesA(win("b.bin").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(CreateFileA(win("b.bin").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(DeleteFileA(win("b.bin").c_str()));
    EXPECT_FALSE(SetFileAttributesA(win("b.bin").c_str(), FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    ASSERT_TRUE(SetFileAttributesA(win("b.bin").c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(DeleteFileA(win("b.bin").c_str()));

    EXPECT_TRUE(CreateDirectoryA(win("NewDir").c_str(), nullptr));
    EXPECT_FALSE(CreateDirectoryA(win("newdir").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(MoveFileExA(win("a.bin").c_str(), win("newdir\\c.bin").c_str(), 0));
    EXPECT_EQ(readHost("NewDir/c.bin"), "A");
}

// Replacing a driver binary: a read-only copy is refused until its attributes are made normal,
// and a copy held open without sharing by another handle cannot be replaced at all.
TEST_F(FilesTest, CopyOverAReadOnlyOrLockedTarget) {
    writeHost("new.sys", "NEW");
    writeHost("old.sys", "OLD");
    const std::string from = win("new.sys"), to = win("OLD.SYS");
    ASSERT_TRUE(SetFileAttributesA(to.c_str(), FILE_ATTRIBUTE_READONLY));
    SetLastError(0xdeadbeef);
    EXPECT_NE(GetFileAttributesA(to.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_FALSE(CopyFileA(from.c_str(), to.c_str(), FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(readHost("old.sys"), "OLD");
    ASSERT_TRUE(SetFileAttributesA(to.c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesA(to.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(CopyFileA(from.c_str(), to.c_str(), FALSE));
    EXPECT_EQ(readHost("old.sys"), "NEW");

    struct Case {
        const char* what;
        std::string held;
        DWORD access, share;
        BOOL copies;
    } const cases[] = {
        {"the target read, sharing nothing", to, GENERIC_READ, 0, FALSE},
        {"the target read, sharing writes", to, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, TRUE},
        {"the source written, sharing reads", from, GENERIC_WRITE, FILE_SHARE_READ, FALSE},
        {"the source read, sharing reads", from, GENERIC_READ, FILE_SHARE_READ, TRUE},
    };
    for (const Case& c : cases) {
        HANDLE h = CreateFileA(c.held.c_str(), c.access, c.share, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << c.what;
        SetLastError(0xdeadbeef);
        EXPECT_EQ(CopyFileA(from.c_str(), to.c_str(), FALSE), c.copies) << c.what;
        EXPECT_EQ(GetLastError(), c.copies ? 0xdeadbeef : static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << c.what;
        CloseHandle(h);
    }
}

TEST_F(FilesTest, ListingsAreSortedWithoutRegardToCaseAndMatchDosWildcards) {
    for (const char* n : {"kplB.dll", "KPLa.DLL", "kplc.dll.bak", "other.dll", "Zelfin.cfg", "image.bin", "img.sig"})
        writeHost(n, "x");
    auto list = [&](const std::string& pattern) {
        std::vector<std::string> names;
        WIN32_FIND_DATAA fd;
        HANDLE h = FindFirstFileA(win(pattern).c_str(), &fd);
        if (h == INVALID_HANDLE_VALUE) return names;
        do names.push_back(fd.cFileName);
        while (FindNextFileA(h, &fd));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
        EXPECT_TRUE(FindClose(h));
        return names;
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(list("KPL*.DLL"), (V{"KPLa.DLL", "kplB.dll"}));
    EXPECT_EQ(list("*.?i?"), (V{"image.bin", "img.sig"}));
    EXPECT_EQ(list("ZELFIN.CFG"), (V{"Zelfin.cfg"}));
    EXPECT_EQ(list("*.*").size(), 9u) << "every entry, with . and ..";
    EXPECT_TRUE(list("*.exe").empty());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(Drives, SystemDriveAndLinuxRoot) {
    EXPECT_EQ(GetLogicalDrives() & ((1u << 2) | (1u << 25)), (1u << 2) | (1u << 25));
    char buf[64];
    const DWORD n = GetLogicalDriveStringsA(sizeof buf, buf);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(std::string(buf, 4), std::string("C:\\\0", 4));
    EXPECT_EQ(GetLogicalDriveStringsA(3, buf), n + 1) << "too small: the size it needs";
    EXPECT_EQ(GetDriveTypeA("C:\\"), static_cast<UINT>(DRIVE_FIXED));
    EXPECT_EQ(GetDriveTypeA("Q:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));

    char windows[MAX_PATH];
    EXPECT_EQ(GetWindowsDirectoryA(windows, sizeof windows), 10u);
    EXPECT_STREQ(windows, "C:\\WINDOWS");
    EXPECT_EQ(GetWindowsDirectoryA(windows, 5), 11u) << "too small: the size it needs";
    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(sizeof temp, temp), 0u);
    EXPECT_STREQ(temp, "C:\\WINDOWS\\TEMP\\");
    // The lab's folders exist on its system drive.
    EXPECT_NE(GetFileAttributesA("C:\\windows\\system32\\DRIVERS"), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(GetFileAttributesA("c:\\Windows\\inf"), INVALID_FILE_ATTRIBUTES);
}

TEST(Drives, CurrentDirectoryIsItsWindowsSpelling) {
    const fs::path before = fs::current_path();
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\WINDOWS\\temp"));
    char cwd[MAX_PATH];
    GetCurrentDirectoryA(sizeof cwd, cwd);
    EXPECT_STREQ(cwd, "C:\\WINDOWS\\TEMP");
    // A path without drive letter starts at the current drive's root.
    HANDLE h = CreateFileA("\\zelfin-root-test.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_NE(GetFileAttributesA("C:\\ZELFIN-ROOT-TEST.TXT"), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(DeleteFileA("C:\\zelfin-root-test.txt"));
    fs::current_path(before);
    GetCurrentDirectoryA(sizeof cwd, cwd);
    EXPECT_EQ(cwd[0], 'Z');
}

}  // namespace
