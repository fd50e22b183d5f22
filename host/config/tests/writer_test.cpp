// The writer: record order and layout, the checksum, and that a failed write keeps the old file.
#include <config/crc.h>
#include <config/parse.h>
#include <config/writer.h>
#include <sys/stat.h>

#include "config_files.h"

using namespace zelfin::config;
using cfgtest::Bytes;

namespace {

using ConfigWriter = cfgtest::ConfigDir;

std::string fieldAt(const Bytes& b, size_t at) {
    const char* p = reinterpret_cast<const char*>(&b[at]);
    return std::string(p, ::strnlen(p, kFieldSize));
}

// Every record's (name, value); each text must be followed by zero bytes only.
std::vector<std::pair<std::string, std::string>> recordsIn(const Bytes& file) {
    std::vector<std::pair<std::string, std::string>> records;
    for (size_t at = kFirstRecordOffset; at + kRecordSize <= file.size(); at += kRecordSize) {
        const std::string name = fieldAt(file, at), value = fieldAt(file, at + kFieldSize);
        for (size_t i = name.size(); i < kFieldSize; ++i) EXPECT_EQ(file[at + i], 0) << name;
        for (size_t i = value.size(); i < kFieldSize; ++i) EXPECT_EQ(file[at + kFieldSize + i], 0) << name;
        records.emplace_back(name, value);
    }
    return records;
}

TEST_F(ConfigWriter, WritesTheEditorsOrderWithSymLinkLastAndTheChecksumInFront) {
    const std::string file = path("Zelfin.cfg");
    cfgtest::writeBytes(file, Bytes(5000, 0xAA));  // a longer old file leaves nothing behind
    const ConfigContent content{{{"GUI", "no"}, {"RETRIES", "3"}}, {"a.bin", "E:\\fw\\b.sig"}, std::string("usb#vid_1")};
    ASSERT_TRUE(writeConfig(file.c_str(), content).ok);

    const Bytes bytes = cfgtest::readBytes(file);
    ASSERT_EQ(bytes.size(), kFirstRecordOffset + 7 * kRecordSize);
    const uint32_t crc = configCrc(bytes.data() + 4, bytes.size() - 4);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 4),
              (Bytes{uint8_t(crc), uint8_t(crc >> 8), uint8_t(crc >> 16), uint8_t(crc >> 24)}));
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Options", "2"}, {"GUI", "no"},    {"RETRIES", "3"},         {"Download", "2"},
        {"a.bin", " "},   {"E:\\fw\\b.sig", " "}, {"SymLink", "usb#vid_1"}};
    EXPECT_EQ(recordsIn(bytes), expected);

    EXPECT_EQ(parseConfig(file.c_str()).content(), content);
    ASSERT_TRUE(writeConfig(file.c_str(), content).ok);
    EXPECT_EQ(cfgtest::readBytes(file), bytes);  // the same content gives the same bytes
    EXPECT_EQ(filesInDir(), std::vector<std::string>{"Zelfin.cfg"});
}

TEST_F(ConfigWriter, SectionsAppearOnlyWithRecords) {
    struct Case {
        const char* what;
        ConfigContent content;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {"no options: the plug-ins see none", {{}, {"a.bin"}, {}}, {"Download", "a.bin"}},
        {"no images", {{{"GUI", "no"}}, {}, {}}, {"Options", "GUI"}},
        {"only the symbolic link", {{}, {}, std::string("x")}, {"SymLink"}},
        {"nothing", {}, {}},
    };
    for (const Case& c : cases) {
        const std::string file = path("Zelfin.cfg");
        ASSERT_TRUE(writeConfig(file.c_str(), c.content).ok) << c.what;
        const Bytes bytes = cfgtest::readBytes(file);
        std::vector<std::string> names;
        for (const auto& r : recordsIn(bytes)) names.push_back(r.first);
        EXPECT_EQ(names, c.names) << c.what;
        EXPECT_EQ(configCrc(bytes.data() + 4, bytes.size() - 4),
                  bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (uint32_t(bytes[3]) << 24))
            << c.what;
    }
    EXPECT_EQ(cfgtest::readBytes(path("Zelfin.cfg")), (Bytes{0, 0, 0, 0}));
}

TEST_F(ConfigWriter, AFailedWriteLeavesTheOldFileAndNoTemporary) {
    const std::string file = path("Zelfin.cfg");
    const Bytes old = cfgtest::withCrc(Bytes(520, 'o'));
    ConfigContent tooMany;
    for (int i = 0; i < 31; ++i) tooMany.downloads.push_back("i" + std::to_string(i));
    struct Case {
        const char* what;
        ConfigContent content;
        bool readOnlyTarget;
        DWORD error;
    };
    const Case cases[] = {
        {"the old file cannot be replaced", {{{"GUI", "no"}}, {"a.bin"}, {}}, true, ERROR_ACCESS_DENIED},
        {"31 images", tooMany, false, ERROR_INVALID_PARAMETER},
        {"a value of 260 bytes", {{{"GUI", std::string(260, 'y')}}, {}, {}}, false, ERROR_INVALID_PARAMETER},
        {"a path of 260 bytes", {{}, {std::string(260, 'p')}, {}}, false, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        cfgtest::writeBytes(file, old);
        ::chmod(file.c_str(), c.readOnlyTarget ? 0444 : 0644);
        const ConfigWriteResult r = writeConfig(file.c_str(), c.content);
        EXPECT_FALSE(r.ok) << c.what;
        EXPECT_EQ(r.error, c.error) << c.what;
        EXPECT_FALSE(r.message.empty()) << c.what;
        EXPECT_EQ(cfgtest::readBytes(file), old) << c.what;
        EXPECT_EQ(filesInDir(), std::vector<std::string>{"Zelfin.cfg"}) << c.what;
        ::chmod(file.c_str(), 0644);
    }
}

}  // namespace
