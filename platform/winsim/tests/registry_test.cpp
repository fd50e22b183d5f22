// The lab's registry file (shape, sharing between processes, corruption) and the Reg* calls over it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <lab/lab.h>
#include <lab/registry.h>
#include <nlohmann/json.hpp>
#include <winsim/windows.h>

#include "test_lab.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::vector<uint8_t> bytesOf(const char* s, size_t n) { return std::vector<uint8_t>(s, s + n); }

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const fs::path& p, const std::string& text) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << text;
}

lab::RegValue dword(uint32_t v) {
    return {REG_DWORD, {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                        static_cast<uint8_t>(v >> 24)}};
}

// ---- the registry file ---------------------------------------------------------------------

class RegistryFile : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zelfin-registry-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        file_ = dir_ / "registry.json";
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    fs::path dir_, file_;
};

TEST_F(RegistryFile, ShowsTextAndDwordsReadablyWhereExactAndKeepsEveryByte) {
    struct Case {
        const char* name;
        uint32_t type;
        std::vector<uint8_t> data;
        json stored;
    };
    const std::vector<Case> cases = {
        {"text", REG_SZ, bytesOf("abc", 4), {{"type", "REG_SZ"}, {"data", "abc"}}},
        {"expandable", REG_EXPAND_SZ, bytesOf("%TEMP%", 7), {{"type", "REG_EXPAND_SZ"}, {"data", "%TEMP%"}}},
        {"umlaut", REG_SZ, bytesOf("\xC3\xA4", 3), {{"type", "REG_SZ"}, {"data", "\xC3\xA4"}}},
        {"empty text", REG_SZ, bytesOf("", 1), {{"type", "REG_SZ"}, {"data", ""}}},
        {"no NUL", REG_SZ, bytesOf("abc", 3), {{"type", "REG_SZ"}, {"hex", "616263"}}},
        {"inner NUL", REG_SZ, bytesOf("a\0b", 4), {{"type", "REG_SZ"}, {"hex", "61006200"}}},
        {"two NULs", REG_SZ, bytesOf("ab\0", 4), {{"type", "REG_SZ"}, {"hex", "61620000"}}},
        {"latin-1", REG_SZ, bytesOf("\xE4", 2), {{"type", "REG_SZ"}, {"hex", "e400"}}},
        {"no bytes", REG_SZ, {}, {{"type", "REG_SZ"}, {"hex", ""}}},
        {"dword", REG_DWORD, {0x02, 0x01, 0x00, 0x00}, {{"type", "REG_DWORD"}, {"data", 258}}},
        {"dword max", REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}, {{"type", "REG_DWORD"}, {"data", 4294967295u}}},
        {"short dword", REG_DWORD, {0x02, 0x01, 0x00}, {{"type", "REG_DWORD"}, {"hex", "020100"}}},
        {"binary", REG_BINARY, {0x00, 0xFF, 0x10}, {{"type", "REG_BINARY"}, {"hex", "00ff10"}}},
        {"multi", REG_MULTI_SZ, bytesOf("a\0b\0", 5), {{"type", "REG_MULTI_SZ"}, {"hex", "6100620000"}}},
        {"unnamed type", 0x1234, {0x01}, {{"type", 0x1234}, {"hex", "01"}}},
    };
    lab::Registry writer(file_);
    ASSERT_EQ(writer.createKey("HKLM\\Software\\Shapes", nullptr), ERROR_SUCCESS);
    for (const Case& c : cases) ASSERT_EQ(writer.setValue("HKLM\\Software\\Shapes", c.name, {c.type, c.data}), ERROR_SUCCESS);

    const json doc = json::parse(readFile(file_));
    const json& values = doc["HKEY_LOCAL_MACHINE"]["keys"]["Software"]["keys"]["Shapes"]["values"];
    lab::Registry reader(file_);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(values[c.name], c.stored);
        lab::RegValue back;
        ASSERT_EQ(reader.getValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\Shapes", c.name, &back), ERROR_SUCCESS);
        EXPECT_EQ(back.type, c.type);
        EXPECT_EQ(back.data, c.data);
    }
}

TEST_F(RegistryFile, NamesMatchWithoutCaseAndKeepTheirSpelling) {
    lab::Registry r(file_);
    bool created = false;
    ASSERT_EQ(r.createKey("HKLM\\Software\\MixedCase", &created), ERROR_SUCCESS);
    EXPECT_TRUE(created);
    ASSERT_EQ(r.createKey("hkey_local_machine\\SOFTWARE\\mixedcase", &created), ERROR_SUCCESS);
    EXPECT_FALSE(created);
    ASSERT_EQ(r.setValue("HKLM\\Software\\MixedCase", "ValueName", dword(1)), ERROR_SUCCESS);
    ASSERT_EQ(r.setValue("HKLM\\SOFTWARE\\MIXEDCASE", "VALUENAME", dword(2)), ERROR_SUCCESS);

    std::vector<std::string> keys;
    ASSERT_EQ(r.subKeys("HKLM\\software", &keys), ERROR_SUCCESS);
    EXPECT_EQ(keys, std::vector<std::string>{"MixedCase"});
    std::vector<std::pair<std::string, lab::RegValue>> values;
    ASSERT_EQ(r.values("hklm\\software\\mixedcase", &values), ERROR_SUCCESS);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].first, "ValueName");
    EXPECT_EQ(values[0].second.data, dword(2).data);
    // Aliases are stored under the long root names.
    const json doc = json::parse(readFile(file_));
    EXPECT_TRUE(doc["HKEY_LOCAL_MACHINE"]["keys"].contains("Software"));
    EXPECT_FALSE(doc.contains("HKLM"));
}

TEST_F(RegistryFile, RefusesMalformedPaths) {
    lab::Registry r(file_);
    const std::string longest(255, 'k');
    const std::vector<std::string> bad = {"",           "HKEY_NOWHERE\\x", "HKLM\\\\x",        "HKLM\\x\\",
                                          "\\HKLM\\x",  "Software\\x",     "HKLM\\" + longest + "k"};
    for (const std::string& path : bad) {
        SCOPED_TRACE(path);
        EXPECT_EQ(r.createKey(path, nullptr), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(r.keyExists(path), ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(r.createKey("HKLM\\" + longest, nullptr), ERROR_SUCCESS);
}

TEST_F(RegistryFile, KeyWithSubkeysOrRootIsNotDeleted) {
    lab::Registry r(file_);
    ASSERT_EQ(r.createKey("HKCU\\A\\B", nullptr), ERROR_SUCCESS);
    EXPECT_EQ(r.deleteKey("HKCU\\A"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(r.deleteKey("HKCU"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(r.deleteKey("HKCU\\A\\B"), ERROR_SUCCESS);
    EXPECT_EQ(r.deleteKey("HKCU\\A\\B"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(r.deleteKey("HKCU\\A"), ERROR_SUCCESS);
    EXPECT_EQ(r.keyExists("HKCU\\A"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryFile, MissingFileIsAnEmptyRegistryAndReadingDoesNotCreateIt) {
    lab::Registry r(file_);
    std::vector<std::string> keys{"stale"};
    EXPECT_EQ(r.keyExists("HKU"), ERROR_SUCCESS);
    EXPECT_EQ(r.keyExists("HKEY_DYN_DATA"), ERROR_SUCCESS);
    EXPECT_EQ(r.subKeys("HKLM", &keys), ERROR_SUCCESS);
    EXPECT_TRUE(keys.empty());
    EXPECT_EQ(r.keyExists("HKLM\\Software"), ERROR_FILE_NOT_FOUND);
    lab::RegValue v;
    EXPECT_EQ(r.getValue("HKLM", "x", &v), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(fs::exists(file_));
}

TEST_F(RegistryFile, SecondObjectSeesEveryChangeOfTheFirst) {
    lab::Registry first(file_), second(file_);
    lab::RegValue v;
    EXPECT_EQ(second.getValue("HKLM", "Counter", &v), ERROR_FILE_NOT_FOUND);  // now cached
    // Changes of equal size, quickly after each other: a cache keyed on size or a coarse time
    // alone would miss them.
    for (uint32_t i = 1; i <= 5; ++i) {
        ASSERT_EQ(first.setValue("HKLM", "Counter", dword(i)), ERROR_SUCCESS);
        ASSERT_EQ(second.getValue("HKLM", "Counter", &v), ERROR_SUCCESS);
        EXPECT_EQ(v.data, dword(i).data);
    }
    ASSERT_EQ(first.deleteValue("HKLM", "Counter"), ERROR_SUCCESS);
    EXPECT_EQ(second.getValue("HKLM", "Counter", &v), ERROR_FILE_NOT_FOUND);
    // And the other way round: the second's change is made on top of the first's, not over it.
    ASSERT_EQ(first.createKey("HKLM\\One", nullptr), ERROR_SUCCESS);
    ASSERT_EQ(second.createKey("HKLM\\Two", nullptr), ERROR_SUCCESS);
    std::vector<std::string> keys;
    ASSERT_EQ(first.subKeys("HKLM", &keys), ERROR_SUCCESS);
    EXPECT_EQ(keys, (std::vector<std::string>{"One", "Two"}));
}

TEST_F(RegistryFile, AnotherProcessSeesChangesAndNoChangeIsLost) {
    constexpr int kEach = 40;
    lab::Registry parent(file_);
    ASSERT_EQ(parent.createKey("HKLM\\Shared", nullptr), ERROR_SUCCESS);
    lab::RegValue v;
    EXPECT_EQ(parent.getValue("HKLM\\Shared", "child0", &v), ERROR_FILE_NOT_FOUND);

    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        lab::Registry child(file_);
        int failures = 0;
        for (int i = 0; i < kEach; ++i)
            failures += child.setValue("HKLM\\Shared", "child" + std::to_string(i), dword(i)) != ERROR_SUCCESS;
        ::_exit(failures ? 1 : 0);
    }
    for (int i = 0; i < kEach; ++i)
        EXPECT_EQ(parent.setValue("HKLM\\Shared", "parent" + std::to_string(i), dword(i)), ERROR_SUCCESS);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    ASSERT_EQ(parent.getValue("HKLM\\Shared", "child39", &v), ERROR_SUCCESS);
    EXPECT_EQ(v.data, dword(39).data);
    std::vector<std::pair<std::string, lab::RegValue>> values;
    ASSERT_EQ(parent.values("HKLM\\Shared", &values), ERROR_SUCCESS);
    EXPECT_EQ(values.size(), 2u * kEach);
}

TEST_F(RegistryFile, CorruptFileIsReportedAndNeverWrittenOver) {
    const std::vector<std::string> corrupt = {
        "{\"HKEY_LOCAL_MACHINE\": {",
        "[1, 2]",
        R"({"HKEY_NOWHERE": {}})",
        R"({"HKLM": {}})",
        R"({"HKEY_USERS": {"value": {}}})",
        R"({"HKEY_USERS": {"values": {"x": {"type": "REG_DWORD", "data": "258"}}}})",
        R"({"HKEY_USERS": {"values": {"x": {"type": "REG_BINARY", "data": 1}}}})",
        R"({"HKEY_USERS": {"values": {"x": {"type": "REG_BINARY", "hex": "0g"}}}})",
        R"({"HKEY_USERS": {"values": {"x": {"type": "REG_BINARY", "hex": "012"}}}})",
        R"({"HKEY_USERS": {"values": {"x": {"type": "REG_BINARY", "hex": "01", "data": 1}}}})",
        R"({"HKEY_USERS": {"values": {"x": {"type": "REG_WHATEVER", "hex": "01"}}}})",
        R"({"HKEY_USERS": {"values": {"x": {"type": -1, "hex": "01"}}}})",
        R"({"HKEY_USERS": {"values": {"x": {"type": "REG_DWORD", "data": 4294967296}}}})",
        R"({"HKEY_USERS": {"values": {"Name": {"type": 3, "hex": ""}, "NAME": {"type": 3, "hex": ""}}}})",
        R"({"HKEY_USERS": {"keys": {"a\\b": {}}}})",
    };
    for (const std::string& text : corrupt) {
        SCOPED_TRACE(text);
        writeFile(file_, text);
        lab::Registry r(file_);
        lab::RegValue v;
        EXPECT_EQ(r.getValue("HKU", "x", &v), ERROR_REGISTRY_CORRUPT);
        EXPECT_EQ(r.keyExists("HKU"), ERROR_REGISTRY_CORRUPT);
        EXPECT_EQ(r.setValue("HKU", "y", dword(1)), ERROR_REGISTRY_CORRUPT);
        EXPECT_EQ(r.createKey("HKU\\New", nullptr), ERROR_REGISTRY_CORRUPT);
        EXPECT_EQ(r.deleteKey("HKU\\a"), ERROR_REGISTRY_CORRUPT);
        EXPECT_EQ(readFile(file_), text);
    }
    // Once a person has mended the file, the same object reads it again.
    lab::Registry r(file_);
    EXPECT_EQ(r.keyExists("HKU"), ERROR_REGISTRY_CORRUPT);
    writeFile(file_, R"({"HKEY_CURRENT_USER": {"keys": {"App": {"values": {
        "Count": {"type": 4, "data": 7}, "Blob": {"type": "REG_BINARY", "hex": "0A0b"}}}}}})");
    lab::RegValue v;
    ASSERT_EQ(r.getValue("HKCU\\App", "count", &v), ERROR_SUCCESS);
    EXPECT_EQ(v.data, dword(7).data);
    ASSERT_EQ(r.getValue("HKCU\\App", "Blob", &v), ERROR_SUCCESS);
    EXPECT_EQ(v.data, (std::vector<uint8_t>{0x0A, 0x0B}));
}

// ---- the Reg* calls over the process's lab -------------------------------------------------

class RegistryApi : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = std::string("Software\\ZelfinRegistryTest\\") +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_,
                                  nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        if (key_) RegCloseKey(key_);
    }
    HKEY create(HKEY parent, const char* sub, DWORD* disposition = nullptr) {
        HKEY k = nullptr;
        EXPECT_EQ(RegCreateKeyExA(parent, sub, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, disposition),
                  ERROR_SUCCESS);
        return k;
    }
    std::string path_;
    HKEY key_ = nullptr;
};

TEST_F(RegistryApi, CreateSetQueryDeleteKeepExactBytes) {
    DWORD disposition = 0;
    HKEY sub = create(key_, "Sub", &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    HKEY again = create(key_, "SUB\\", &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    EXPECT_NE(again, sub);  // every open is a handle of its own
    RegCloseKey(again);

    const DWORD number = 258;
    ASSERT_EQ(RegSetValueExA(sub, "Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(sub, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 4), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(sub, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>("dflt"), 5), ERROR_SUCCESS);

    HKEY reader = nullptr;
    ASSERT_EQ(RegOpenKeyExA(key_, "sub", 0, KEY_READ, &reader), ERROR_SUCCESS);
    BYTE buf[8];
    std::memset(buf, 0xCC, sizeof buf);
    DWORD type = 0, size = sizeof buf;
    ASSERT_EQ(RegQueryValueExA(reader, "NUMBER", nullptr, &type, buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(std::vector<BYTE>(buf, buf + 5), (std::vector<BYTE>{0x02, 0x01, 0x00, 0x00, 0xCC}));

    size = sizeof buf;
    ASSERT_EQ(RegQueryValueExA(reader, "Text", nullptr, &type, buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(std::vector<BYTE>(buf, buf + size), (std::vector<BYTE>{'a', 'b', 'c', 0}));

    for (const char* defaultName : {static_cast<const char*>(nullptr), ""}) {
        size = sizeof buf;
        ASSERT_EQ(RegQueryValueExA(reader, defaultName, nullptr, nullptr, buf, &size), ERROR_SUCCESS);
        EXPECT_STREQ(reinterpret_cast<const char*>(buf), "dflt");
    }

    ASSERT_EQ(RegDeleteValueA(sub, "text"), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(reader, "Text", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueA(sub, "Text"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(reader);
    RegCloseKey(sub);
}

TEST_F(RegistryApi, QueryReportsSizesTheWin32Way) {
    ASSERT_EQ(RegSetValueExA(key_, "V", 0, REG_SZ, reinterpret_cast<const BYTE*>("hello"), 6), ERROR_SUCCESS);
    struct Case {
        const char* what;
        bool passData;
        bool passSize;
        DWORD sizeIn;
        LSTATUS rc;
        DWORD sizeOut;
        bool copied;
    };
    const Case cases[] = {
        {"size only", false, true, 0, ERROR_SUCCESS, 6, false},
        {"exact buffer", true, true, 6, ERROR_SUCCESS, 6, true},
        {"larger buffer", true, true, 64, ERROR_SUCCESS, 6, true},
        {"one byte short", true, true, 5, ERROR_MORE_DATA, 6, false},
        {"empty buffer", true, true, 0, ERROR_MORE_DATA, 6, false},
        {"buffer without size", true, false, 0, ERROR_INVALID_PARAMETER, 0, false},
        {"type only", false, false, 0, ERROR_SUCCESS, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        char buf[64];
        std::memset(buf, 'x', sizeof buf);
        DWORD size = c.sizeIn, type = 0;
        const LSTATUS rc = RegQueryValueExA(key_, "V", nullptr, &type, c.passData ? reinterpret_cast<BYTE*>(buf) : nullptr,
                                            c.passSize ? &size : nullptr);
        EXPECT_EQ(rc, c.rc);
        if (c.passSize) {
            EXPECT_EQ(size, c.sizeOut);
        }
        if (rc != ERROR_INVALID_PARAMETER) {
            EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        }
        EXPECT_EQ(std::string(buf, 6), c.copied ? std::string("hello\0", 6) : std::string(6, 'x'));
    }
}

TEST_F(RegistryApi, EnumerationIsSortedAndEnds) {
    for (const char* name : {"beta", "Alpha", "gamma"}) RegCloseKey(create(key_, name));
    char name[16];
    DWORD cch = sizeof name;
    const char* expected[] = {"Alpha", "beta", "gamma"};
    for (DWORD i = 0; i < 3; ++i) {
        cch = sizeof name;
        ASSERT_EQ(RegEnumKeyExA(key_, i, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
        EXPECT_STREQ(name, expected[i]);
        EXPECT_EQ(cch, std::strlen(expected[i]));
    }
    cch = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(key_, 3, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    cch = 5;  // "Alpha" needs 6 with its NUL
    EXPECT_EQ(RegEnumKeyExA(key_, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    cch = 6;
    EXPECT_EQ(RegEnumKeyExA(key_, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);

    const DWORD one = 1;
    ASSERT_EQ(RegSetValueExA(key_, "b", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key_, "A", 0, REG_SZ, reinterpret_cast<const BYTE*>("long text"), 10), ERROR_SUCCESS);
    BYTE data[4];
    DWORD type = 0, cb = sizeof data;
    cch = sizeof name;
    EXPECT_EQ(RegEnumValueA(key_, 0, name, &cch, nullptr, &type, data, &cb), ERROR_MORE_DATA);
    EXPECT_EQ(cb, 10u);
    cch = sizeof name;
    cb = sizeof data;
    ASSERT_EQ(RegEnumValueA(key_, 1, name, &cch, nullptr, &type, data, &cb), ERROR_SUCCESS);
    EXPECT_STREQ(name, "b");
    EXPECT_EQ(cch, 1u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(cb, 4u);
    cch = sizeof name;
    EXPECT_EQ(RegEnumValueA(key_, 2, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryApi, AccessIsThatOfTheHandle) {
    RegCloseKey(create(key_, "Child"));
    HKEY reader = nullptr, writer = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, KEY_READ, &reader), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, KEY_WRITE, &writer), ERROR_SUCCESS);
    const DWORD one = 1;
    const BYTE* data = reinterpret_cast<const BYTE*>(&one);
    char name[16];
    DWORD cch = sizeof name;

    EXPECT_EQ(RegSetValueExA(reader, "v", 0, REG_DWORD, data, 4), ERROR_ACCESS_DENIED);
    ASSERT_EQ(RegSetValueExA(writer, "v", 0, REG_DWORD, data, 4), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(reader, "v"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegQueryValueExA(reader, "v", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(writer, "v", nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegEnumKeyExA(reader, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    cch = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(writer, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
    cch = sizeof name;
    EXPECT_EQ(RegEnumValueA(writer, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
    // Creating a subkey is decided by the key's security, not the handle's access.
    RegCloseKey(create(reader, "MadeThroughReader"));
    RegCloseKey(reader);
    RegCloseKey(writer);
}

TEST_F(RegistryApi, ClosedForgedAndUnknownHandlesAreRefused) {
    HKEY sub = create(key_, "Sub");
    ASSERT_EQ(RegCloseKey(sub), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(sub, "v", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(sub), ERROR_INVALID_HANDLE);
    for (HKEY bogus : {reinterpret_cast<HKEY>(0x1234), static_cast<HKEY>(nullptr),
                       reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000004)))}) {
        HKEY out = nullptr;
        EXPECT_EQ(RegOpenKeyExA(bogus, "Software", 0, KEY_READ, &out), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegCloseKey(bogus), ERROR_INVALID_HANDLE);
    }
    // The roots are always open: closing one changes nothing.
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
    HKEY again = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, KEY_READ, &again), ERROR_SUCCESS);
    RegCloseKey(again);
}

TEST_F(RegistryApi, UnsupportedFlagsAndBadNamesAreRefused) {
    const std::string longest(255, 'k');
    HKEY k = nullptr;
    // A failed open or create leaves no stale handle behind in its result.
    auto settle = [&](LSTATUS rc) {
        if (rc == ERROR_SUCCESS) {
            RegCloseKey(k);
        } else {
            EXPECT_EQ(k, nullptr);
        }
        return rc;
    };
    auto open = [&](const char* sub, DWORD options, REGSAM sam) {
        k = reinterpret_cast<HKEY>(0x1);
        return settle(RegOpenKeyExA(key_, sub, options, sam, &k));
    };
    auto make = [&](const char* sub, DWORD options, LPSTR cls = nullptr) {
        k = reinterpret_cast<HKEY>(0x1);
        return settle(RegCreateKeyExA(key_, sub, 0, cls, options, KEY_ALL_ACCESS, nullptr, &k, nullptr));
    };
    char cls[] = "Class";
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    DWORD size = 0, reserved = 0;
    struct Case {
        const char* what;
        std::function<LSTATUS()> call;
        LSTATUS rc;
    };
    const std::vector<Case> cases = {
        {"open link option", [&] { return open("", 0x8, KEY_READ); }, ERROR_NOT_SUPPORTED},
        {"MAXIMUM_ALLOWED", [&] { return open("", 0, 0x02000000); }, ERROR_NOT_SUPPORTED},
        {"GENERIC_READ", [&] { return open("", 0, 0x80000000); }, ERROR_NOT_SUPPORTED},
        {"volatile key", [&] { return make("Volatile", REG_OPTION_VOLATILE); }, ERROR_NOT_SUPPORTED},
        {"key class", [&] { return make("Classy", 0, cls); }, ERROR_NOT_SUPPORTED},
        {"inheritable handle",
         [&] {
             k = reinterpret_cast<HKEY>(0x1);
             return settle(RegCreateKeyExA(key_, "Inherit", 0, nullptr, 0, KEY_READ, &inherit, &k, nullptr));
         },
         ERROR_NOT_SUPPORTED},
        {"leading backslash on open", [&] { return open("\\Software", 0, KEY_READ); }, ERROR_BAD_PATHNAME},
        {"leading backslash on create", [&] { return make("\\New", 0); }, ERROR_BAD_PATHNAME},
        {"empty component", [&] { return make("a\\\\b", 0); }, ERROR_INVALID_PARAMETER},
        {"256-character name", [&] { return make((longest + "k").c_str(), 0); }, ERROR_INVALID_PARAMETER},
        {"255-character name", [&] { return make(longest.c_str(), 0); }, ERROR_SUCCESS},
        {"missing key", [&] { return open("NotThere", 0, KEY_READ); }, ERROR_FILE_NOT_FOUND},
        {"no result pointer", [&] { return RegOpenKeyExA(key_, "", 0, KEY_READ, nullptr); }, ERROR_INVALID_PARAMETER},
        {"create without subkey", [&] { return make(nullptr, 0); }, ERROR_INVALID_PARAMETER},
        {"query with reserved",
         [&] { return RegQueryValueExA(key_, "v", &reserved, nullptr, nullptr, &size); },
         ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.call(), c.rc);
    }
}

TEST_F(RegistryApi, KeyWithChildrenIsNotDeletedAndDeletedKeysAnswerSo) {
    RegCloseKey(create(key_, "Parent\\Child"));
    HKEY child = nullptr;
    ASSERT_EQ(RegOpenKeyExA(key_, "Parent\\Child", 0, KEY_ALL_ACCESS, &child), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(key_, "Parent"), ERROR_ACCESS_DENIED);
    ASSERT_EQ(RegDeleteKeyA(key_, "PARENT\\child"), ERROR_SUCCESS);
    const DWORD one = 1;
    EXPECT_EQ(RegQueryValueExA(child, "v", nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegSetValueExA(child, "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(key_, "Parent"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(key_, "Parent"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryApi, ChangesMadeByAnotherProcessAreSeen) {
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key_, "FromOutside", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    lab::Registry other(lab::Lab::current().registryFile());  // what another process would use
    ASSERT_EQ(other.setValue("HKEY_CURRENT_USER\\" + path_, "FromOutside", {REG_BINARY, {1, 2, 3}}), ERROR_SUCCESS);
    BYTE buf[8];
    size = sizeof buf;
    ASSERT_EQ(RegQueryValueExA(key_, "FromOutside", nullptr, nullptr, buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::vector<BYTE>(buf, buf + size), (std::vector<BYTE>{1, 2, 3}));
}

TEST_F(RegistryApi, DynDataExistsOnlyOnThe9xFamily) {
    lab::Lab& lab = lab::Lab::current();
    ASSERT_FALSE(lab.is9x());
    HKEY k = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_DYN_DATA, "", 0, KEY_READ, &k), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCreateKeyExA(HKEY_DYN_DATA, "PerfStats", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_INVALID_HANDLE);

    const lab::Settings nt = lab.settings();
    lab::Settings win9x = nt;
    win9x.os.platformId = 1;
    win9x.os.major = 4;
    win9x.os.minor = 10;
    lab.setSettings(win9x);
    const LSTATUS created =
        RegCreateKeyExA(HKEY_DYN_DATA, "PerfStats", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
    if (k) RegCloseKey(k);
    lab.setSettings(nt);
    EXPECT_EQ(created, ERROR_SUCCESS);
}

}  // namespace
