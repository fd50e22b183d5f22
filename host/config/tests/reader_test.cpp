// The reader walk over files made byte by byte: where it stops, and why.
#include <config/parse.h>
#include <config/reader.h>

#include <climits>

#include "config_files.h"

using namespace zelfin::config;
using cfgtest::addRecord;
using cfgtest::Bytes;
using cfgtest::recordOffset;
using cfgtest::withCrc;

namespace {

const char* reasonOf(ConfigFailure f) {
    switch (f) {
    case ConfigFailure::None: return "none";
    case ConfigFailure::CrcMismatch: return "crc";
    case ConfigFailure::ReadFailed: return "read";
    case ConfigFailure::MissingOption: return "missing-option";
    case ConfigFailure::MissingDownload: return "missing-download";
    case ConfigFailure::UnknownHeader: return "unknown-header";
    }
    return "?";
}

// The walk as one line: "Options:2 GUI=no Download:40/30 >a.bin SymLink:x end", a failure as
// "fail:<reason>@<offset>", with "+log" when the host reports it as a read error.
std::string walk(HANDLE file, CrcStatus* crc) {
    ConfigReader reader(file);
    *crc = reader.crc().status;
    std::string trace;
    ConfigEvent e;
    while (reader.next(&e)) {
        if (!trace.empty()) trace += ' ';
        switch (e.kind) {
        case ConfigEventKind::OptionsHeader: trace += "Options:" + std::to_string(e.count); break;
        case ConfigEventKind::Option: trace += std::string(e.name()) + "=" + std::string(e.value()); break;
        case ConfigEventKind::DownloadHeader:
            trace += "Download:" + std::to_string(e.count) + "/" + std::to_string(e.toRead);
            break;
        case ConfigEventKind::Download: trace += ">" + std::string(e.name()); break;
        case ConfigEventKind::SymLink: trace += "SymLink:" + std::string(e.value()); break;
        case ConfigEventKind::End: trace += "end"; break;
        case ConfigEventKind::Failed:
            trace += std::string("fail:") + reasonOf(e.failure) + "@" + std::to_string(e.offset);
            if (e.reportsReadError()) trace += "+log";
            break;
        }
    }
    return trace;
}

Bytes images(int from, int to) {
    Bytes b;
    for (int i = from; i < to; ++i) addRecord(b, "i" + std::to_string(i), " ");
    return b;
}

std::string imageTrace(int from, int to) {
    std::string t;
    for (int i = from; i < to; ++i) t += " >i" + std::to_string(i);
    return t;
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes rec(std::string_view name, std::string_view value) {
    Bytes b;
    addRecord(b, name, value);
    return b;
}

struct WalkCase {
    std::string name;
    Bytes file;
    CrcStatus crc;
    std::string trace;
};

void PrintTo(const WalkCase& c, std::ostream* os) { *os << c.name; }

std::vector<WalkCase> walkCases() {
    const Bytes all = join({rec("Options", "2"), rec("GUI", "no"), rec("RETRIES", "3"), rec("Download", "1"),
                            rec("a.bin", " "), rec("SymLink", "usb#vid_1")});
    Bytes wrongCrc = withCrc(all);
    wrongCrc[0] ^= 1;
    const std::string k259(259, 'K'), v259(259, 'V'), p259(259, 'p');
    return {
        {"EmptyFileIsValidAndEmpty", {}, CrcStatus::Empty, "end"},
        {"FourZeroBytesAreValid", {0, 0, 0, 0}, CrcStatus::Match, "end"},
        {"AllSections", withCrc(all), CrcStatus::Match, "Options:2 GUI=no RETRIES=3 Download:1/1 >a.bin SymLink:usb#vid_1 end"},
        {"WrongCrc", wrongCrc, CrcStatus::Mismatch, "fail:crc@0"},
        {"OneByte", {0}, CrcStatus::TooShort, "fail:crc@0"},
        {"ThreeBytes", {0, 0, 0}, CrcStatus::TooShort, "fail:crc@0"},
        {"DownloadCountOf40ReadsThirty",
         withCrc(join({rec("Download", "40"), images(0, 30), rec("SymLink", "s")})), CrcStatus::Match,
         "Download:40/30" + imageTrace(0, 30) + " SymLink:s end"},
        {"DownloadRecordsPastThirtyAreHeaders", withCrc(join({rec("Download", "40"), images(0, 40)})),
         CrcStatus::Match, "Download:40/30" + imageTrace(0, 30) + " fail:unknown-header@" + std::to_string(recordOffset(31))},
        {"TwoDownloadSections",
         withCrc(join({rec("Download", "1"), rec("a.bin", " "), rec("Download", "1"), rec("b.bin", " ")})),
         CrcStatus::Match, "Download:1/1 >a.bin Download:1/1 >b.bin end"},
        {"OptionsCutShort", withCrc(join({rec("Options", "3"), rec("A", "1"), rec("B", "2")})), CrcStatus::Match,
         "Options:3 A=1 B=2 fail:missing-option@" + std::to_string(recordOffset(3)) + "+log"},
        {"DownloadCutShortInsideARecord", withCrc(join({rec("Download", "2"), rec("a.bin", " "), Bytes(100, 'x')})),
         CrcStatus::Match, "Download:2/2 >a.bin fail:missing-download@" + std::to_string(recordOffset(2)) + "+log"},
        {"PartialTrailingRecordIsAFailedRead", withCrc(join({rec("SymLink", "s"), Bytes(10, 0)})), CrcStatus::Match,
         "SymLink:s fail:read@" + std::to_string(recordOffset(1))},
        {"CountTooLargeConsumesTheNextHeader",
         withCrc(join({rec("Options", "2"), rec("GUI", "no"), rec("Download", "1"), rec("a.bin", " ")})),
         CrcStatus::Match, "Options:2 GUI=no Download=1 fail:unknown-header@" + std::to_string(recordOffset(3))},
        {"CountNotANumberCountsZero", withCrc(join({rec("Options", "abc"), rec("GUI", "no")})), CrcStatus::Match,
         "Options:0 fail:unknown-header@" + std::to_string(recordOffset(1))},
        {"CountAsAtoiReadsIt", withCrc(join({rec("Options", " +1x"), rec("GUI", "no"), rec("Download", "-3"), rec("SymLink", "s")})),
         CrcStatus::Match, "Options:1 GUI=no Download:-3/0 SymLink:s end"},
        {"FullFieldsWithoutNulReadAs259Characters",
         withCrc(join({rec("Options", "1"), rec(std::string(260, 'K'), std::string(260, 'V')), rec("Download", "1"),
                       rec(std::string(260, 'p'), " ")})),
         CrcStatus::Match, "Options:1 " + k259 + "=" + v259 + " Download:1/1 >" + p259 + " end"},
        {"HeaderNamesAreCaseSensitive", withCrc(join({rec("options", "0")})), CrcStatus::Match,
         "fail:unknown-header@4"},
    };
}

class ReaderWalk : public cfgtest::ConfigDir, public ::testing::WithParamInterface<WalkCase> {};

TEST_P(ReaderWalk, StopsWhereTheHostStops) {
    const WalkCase& c = GetParam();
    const std::string file = path("Zelfin.cfg");
    cfgtest::writeBytes(file, c.file);
    const HANDLE h = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CrcStatus crc{};
    EXPECT_EQ(walk(h, &crc), c.trace);
    EXPECT_EQ(crc, c.crc);
    CloseHandle(h);
}

INSTANTIATE_TEST_SUITE_P(Files, ReaderWalk, ::testing::ValuesIn(walkCases()),
                         [](const ::testing::TestParamInfo<WalkCase>& i) { return i.param.name; });

TEST(HeaderCount, ReadsAsAtoiAndSaturates) {
    const std::pair<const char*, int32_t> cases[] = {
        {"12", 12}, {"  7", 7}, {"-3", -3}, {"30x", 30}, {"abc", 0}, {"", 0}, {"99999999999", INT32_MAX}};
    for (const auto& [text, count] : cases) EXPECT_EQ(headerCount(text), count) << text;
}

using ParseConfig = cfgtest::ConfigDir;

// A damaged file is still walked for the tools, but is not ok; its content is gathered over
// every section.
TEST_F(ParseConfig, WrongCrcStillShowsTheRecords) {
    Bytes file = withCrc(join({rec("Options", "1"), rec("FOO", "1"), rec("Download", "1"), rec("a.bin", " "),
                               rec("SymLink", "first"), rec("Download", "1"), rec("b.bin", " "), rec("SymLink", "second")}));
    const uint32_t good = file[0] | (file[1] << 8) | (file[2] << 16) | (static_cast<uint32_t>(file[3]) << 24);
    file[3] ^= 0x80;
    cfgtest::writeBytes(path("Zelfin.cfg"), file);

    const ParsedConfig p = parseConfig(path("Zelfin.cfg").c_str());
    ASSERT_TRUE(p.opened);
    EXPECT_EQ(p.crc.status, CrcStatus::Mismatch);
    EXPECT_EQ(p.crc.computed, good);
    EXPECT_EQ(p.crc.stored, good ^ 0x80000000u);
    EXPECT_TRUE(p.complete);
    EXPECT_FALSE(p.ok());
    const ConfigContent expected{{{"FOO", "1"}}, {"a.bin", "b.bin"}, std::string("first")};
    EXPECT_EQ(p.content(), expected);
    ASSERT_EQ(p.sections.size(), 5u);
    EXPECT_EQ(p.sections[3].offset, recordOffset(5));

    const ParsedConfig missing = parseConfig(path("none.cfg").c_str());
    EXPECT_FALSE(missing.opened);
    EXPECT_EQ(missing.openError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
