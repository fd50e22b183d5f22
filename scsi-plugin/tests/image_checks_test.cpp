// Judging images: alone (KPLIsBinaryValid) and against the listed readers
// (KPLFilterDeviceInfoSet), with the options and the operator's "ignore checks".
#include "mora_fixture.h"

namespace {

using moratest::MoraPlugin;
using nlohmann::json;

bool commandLineHasIv() {
    const std::string line = GetCommandLineA();
    for (size_t i = 0; i + 3 <= line.size(); ++i)
        if (line[i] == '/' && (line[i + 1] | 0x20) == 'i' && (line[i + 2] | 0x20) == 'v') return true;
    return false;
}

TEST_F(MoraPlugin, ImageValidity) {
    struct Case {
        const char* what;
        image::ImageSpec spec;
        int32_t status;
        const char* logLine;
    };
    image::ImageSpec noTrailer = scsiImage(0), noCapab = scsiImage(1), unbalanced = scsiImage(2),
                     noMarker = scsiImage(0), small = scsiImage(0), noChecksum = scsiImage(0);
    noTrailer.omitTrailer = true;
    noCapab.omitCapab = true;
    unbalanced.unbalanced = true;
    noMarker.omitMarker = true;
    small.size = 32768;
    noChecksum.integrity = image::IntegrityKind::None;
    // The integrity check is what "/IV" on the host's command line turns off.
    const int32_t damaged = commandLineHasIv() ? KPL_OK : KPL_E_IMAGE_INTEGRITY;
    const Case cases[] = {
        {"type 0", scsiImage(0), KPL_OK, "KPLMORA(#) :BinType = 0"},
        {"type 1", scsiImage(1), KPL_OK, "KPLMORA(#) :BinType = 1"},
        {"type 2", scsiImage(2), KPL_OK, "KPLMORA(#) :BinType = 2"},
        {"no trailer", noTrailer, KPL_E_IMAGE_TYPE, "Utils(#) :DFUVALID signature not found."},
        {"32 KB", small, KPL_E_IMAGE_TYPE, "Utils(#) :Invalid binary size."},
        {"no type marker", noMarker, KPL_E_IMAGE_TYPE, "KPLMORA(#) :Unknown binary type\r\n"},
        {"no CAPAB", noCapab, KPL_E_IMAGE_INTEGRITY, "KPLMORA(#) :CAPAB not found."},
        {"unbalanced", unbalanced, damaged, "KPLMORA(#) :BinType = 2"},
        {"no checked range", noChecksum, damaged, "KPLMORA(#) :BinType = 0"},
    };
    for (const Case& c : cases) {
        const std::string path = writeImage("image.bin", c.spec);
        takeLog();
        EXPECT_EQ(isBinaryValid_(path.c_str()), c.status) << c.what;
        const std::vector<std::string> log = takeLog();
        EXPECT_TRUE(contains(log, "KPLMORA(#) :Checking validity of binary file " + path)) << c.what;
        EXPECT_TRUE(contains(log, c.logLine)) << c.what << ": " << ::testing::PrintToString(log);
    }
    EXPECT_EQ(isBinaryValid_((dir_ / "missing.bin").c_str()), KPL_E_IMAGE_UNREADABLE);
    EXPECT_EQ(isBinaryValid_(nullptr), KPL_E_IMAGE_UNREADABLE);
}

// E: type 0 and version 1.00 with feature 1; F: in its boot loader; G: type 1, version 2.05,
// feature 3.
class MoraFilter : public MoraPlugin {
protected:
    void SetUp() override {
        MoraPlugin::SetUp();
        std::vector<json> devices = readerlab::typicalDevices();
        devices.push_back({{"kind", "scsi-reader"}, {"id", "reader-g"}, {"drive", "G"}, {"dfu-type", 1},
                           {"version", "2.05"}, {"feature", 3}});
        readerlab::setPc(devices);
    }
    int32_t filter(const image::ImageSpec& spec, int32_t ignoreChecks = 0) {
        return filter_(&list_, writeImage("image.bin", spec).c_str(), 1, ignoreChecks);
    }
};

TEST_F(MoraFilter, ReadersFitImagesOfTheirType) {
    ASSERT_EQ(create(), KPL_OK);
    struct Case {
        int type;
        int32_t ignoreChecks;
        std::vector<int32_t> selected;
    };
    for (const Case& c : {Case{0, 0, {1, 1, 0}}, Case{1, 0, {0, 1, 1}}, Case{2, 0, {0, 1, 0}}, Case{2, 1, {1, 1, 1}},
                          Case{1, 1, {1, 1, 1}}}) {
        for (DeviceInfoEntry& e : list_.entries) e.selected = 7;
        EXPECT_EQ(filter(scsiImage(c.type), c.ignoreChecks), KPL_OK);
        EXPECT_EQ(selected(), c.selected) << "type " << c.type << ", ignore " << c.ignoreChecks;
        EXPECT_EQ(list_.entries[3].selected, 7) << "nothing past the end of the list";
    }
    const std::vector<std::string> log = takeLog();
    EXPECT_TRUE(contains(log, "KPLMORA(#) :Binary file name = " + (dir_ / "image.bin").string()));
    EXPECT_TRUE(contains(log, "KPLMORA(#) :BinType = 2"));

    image::ImageSpec unknown = scsiImage(0);
    unknown.omitMarker = true;
    EXPECT_EQ(filter(unknown), KPL_E_IMAGE_TYPE);
    EXPECT_TRUE(contains(takeLog(), "KPLMORA(#) :Unknown binary type\r\n"));
    EXPECT_EQ(filter_(&list_, (dir_ / "missing.bin").c_str(), 1, 0), KPL_E_IMAGE_UNREADABLE);
}

TEST_F(MoraFilter, AReaderThatCannotTellItsTypeTakesOnlyTypeZero) {
    // Its diagnostic log fails, yet it is no reader in its boot loader.
    lab::Lab::current().applyFault("reader-g", "fail:FD0082");
    ASSERT_EQ(create(), KPL_OK);
    ASSERT_EQ(record(2)->dfuType, mora::kUnknown);
    EXPECT_EQ(names()[2], "SCSI    Secure Reade");
    EXPECT_EQ(filter(scsiImage(0)), KPL_OK);
    EXPECT_EQ(selected(), (std::vector<int32_t>{1, 1, 1}));
    EXPECT_EQ(filter(scsiImage(1)), KPL_OK);
    EXPECT_EQ(selected(), (std::vector<int32_t>{0, 1, 0}));
}

TEST_F(MoraFilter, UpgradeOnlyOffersOnlyNewerFirmware) {
    ASSERT_EQ(create(writeConfig({{"UPGRADEONLY", "yes"}}).c_str()), KPL_OK);
    struct Case {
        int type;
        uint8_t major, minor;
        std::vector<int32_t> selected;
    };
    for (const Case& c : {Case{0, 1, 0, {0, 1, 0}}, Case{0, 1, 1, {1, 1, 0}}, Case{1, 2, 5, {0, 1, 0}},
                          Case{1, 2, 6, {0, 1, 1}}, Case{1, 1, 99, {0, 1, 0}}}) {
        EXPECT_EQ(filter(scsiImage(c.type, c.major, c.minor)), KPL_OK);
        EXPECT_EQ(selected(), c.selected) << c.type << " " << int(c.major) << "." << int(c.minor);
    }
    const std::vector<std::string> log = takeLog();
    EXPECT_TRUE(inOrder(log, {"KPLMORA(#) :New Firmware Version: 01.99",
                              "KPLMORA(#) :Existing FW is newer than or same as the FW \t\t\t\t\t\tto be Downloaded",
                              "KPLMORA(#) :Existing FW Version 02.05", "KPLMORA(#) :New FW Version 01.99"}));
    // The operator's "ignore checks" offers it anyway.
    EXPECT_EQ(filter(scsiImage(1, 1, 0), 1), KPL_OK);
    EXPECT_EQ(selected(), (std::vector<int32_t>{1, 1, 1}));
}

TEST_F(MoraFilter, MatchFeatureOffersOnlyTheReadersFeature) {
    ASSERT_EQ(create(writeConfig({{"MATCHFEATURE", "yes"}}).c_str()), KPL_OK);
    EXPECT_EQ(filter(scsiImage(1, 1, 0, 3)), KPL_OK);
    EXPECT_EQ(selected(), (std::vector<int32_t>{0, 1, 1}));
    EXPECT_EQ(filter(scsiImage(1, 9, 0, 4)), KPL_OK);
    EXPECT_EQ(selected(), (std::vector<int32_t>{0, 1, 0}));
    EXPECT_TRUE(inOrder(takeLog(), {"KPLMORA(#) :FW Feature does not Match", "KPLMORA(#) :Existing FW Feature 3h",
                                    "KPLMORA(#) :New FW Feature 4h"}));
}

TEST_F(MoraFilter, AnOptionWithoutCapabStopsAtTheFirstReaderOfTheType) {
    ASSERT_EQ(create(writeConfig({{"UPGRADEONLY", "yes"}}).c_str()), KPL_OK);
    image::ImageSpec noCapab = scsiImage(1);
    noCapab.omitCapab = true;
    for (DeviceInfoEntry& e : list_.entries) e.selected = 7;
    EXPECT_EQ(filter(noCapab), KPL_E_IMAGE_TYPE);
    // E does not fit by type, F takes any image without further tests, G needs the block.
    EXPECT_EQ(selected(), (std::vector<int32_t>{0, 1, 0}));
    EXPECT_TRUE(contains(takeLog(), "KPLMORA(#) :CAPAB not found."));
    EXPECT_EQ(filter(noCapab, 1), KPL_OK) << "no option test when checks are ignored";
}

TEST_F(MoraFilter, ATransferredReaderIsNotOfferedAgain) {
    ASSERT_EQ(create(), KPL_OK);
    ASSERT_EQ(upload_(&list_, 0, (dir_ / "up.bin").c_str(), nullptr, nullptr), KPL_OK);
    EXPECT_EQ(filter(scsiImage(0)), KPL_OK);
    EXPECT_EQ(selected(), (std::vector<int32_t>{0, 1, 0}));
    EXPECT_EQ(filter(scsiImage(0), 1), KPL_OK);
    EXPECT_EQ(selected(), (std::vector<int32_t>{0, 1, 1})) << "not even when checks are ignored";
}

TEST_F(MoraPlugin, FilteringAnEmptyListChangesNothing) {
    readerlab::setPc({});
    ASSERT_EQ(create(), KPL_E_NO_DEVICE);
    EXPECT_EQ(filter_(&list_, writeImage("image.bin", scsiImage(0)).c_str(), 1, 0), KPL_OK);
    EXPECT_EQ(list_.entries[0].selected, 0);
}

}  // namespace
