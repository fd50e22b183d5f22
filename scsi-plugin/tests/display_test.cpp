// The device information of one reader: its rows with and without an image, the texts of values
// that are not known, and the failures of its controller query.
#include "mora_fixture.h"

namespace {

using moratest::libraryText;
using moratest::MoraPlugin;
using nlohmann::json;

using Row = std::vector<std::string>;

std::vector<Row> rowsOf(const DisplayInfo& info) {
    std::vector<Row> rows;
    for (const DisplayInfoRow& r : info.rows) {
        if (!r.label[0]) break;
        rows.push_back({r.label, r.existing, r.proposed});
    }
    return rows;
}

class MoraDisplay : public MoraPlugin {
protected:
    void SetUp() override {
        MoraPlugin::SetUp();
        std::vector<json> devices = readerlab::typicalDevices();
        devices.push_back({{"kind", "scsi-reader"}, {"id", "reader-g"}, {"drive", "G"}, {"target", 6}, {"dfu-type", 2},
                           {"version", "4.12"}, {"write-protect", 1}});
        readerlab::setPc(devices);
        ASSERT_EQ(create(), KPL_OK);
        takeLog();
    }
    int32_t display(uint8_t index, const char* image, DisplayInfo* info) {
        std::memset(info, 0, sizeof *info);
        return displayInfo_(&list_, index, image, info);
    }
};

TEST_F(MoraDisplay, RowsOfEachReader) {
    const std::string product = libraryText(KPL_LABEL_PRODUCT), target = libraryText(KPL_LABEL_TARGET_ID),
                      protection = libraryText(KPL_LABEL_WRITE_PROTECTION), version = libraryText(KPL_LABEL_FIRMWARE_VERSION);
    struct Case {
        uint8_t index;
        std::vector<Row> rows;
        const char* logLine;
    };
    const Case cases[] = {
        {0,
         {{product, "Quorvex CR-210 Card Reader", ""},
          {target, "2", ""},
          {protection, libraryText(KPL_VALUE_WRITE_PROTECT_OFF), ""},
          {version, "01.00", ""}},
         "KPLMORA(#) :Existing Firmware Version: 01.00"},
        {1,
         {{product, "SCSI    DFU Reader  ", ""},
          {target, libraryText(KPL_VALUE_TARGET_ID_NOT_KNOWN), ""},
          {protection, libraryText(KPL_VALUE_WRITE_PROTECT_NOT_KNOWN), ""},
          {version, libraryText(KPL_VALUE_VERSION_NOT_KNOWN), ""}},
         "KPLMORA(#) :Existing Firmware Version: Not known"},
        {2,
         {{product, "Quorvex RM-630 Reader Module", ""},
          {target, "6", ""},
          {protection, libraryText(KPL_VALUE_WRITE_PROTECT_ON), ""},
          {version, "04.12", ""}},
         "KPLMORA(#) :Existing Firmware Version: 04.12"},
    };
    for (const Case& c : cases) {
        DisplayInfo info;
        EXPECT_EQ(display(c.index, nullptr, &info), KPL_OK) << int(c.index);
        EXPECT_EQ(rowsOf(info), c.rows) << int(c.index);
        EXPECT_TRUE(contains(takeLog(), c.logLine)) << int(c.index);
        EXPECT_EQ(record(c.index)->device->flags, 0u) << "closed again";
    }
    // The reader may also report a value it should not; it is shown as not known.
    record(0)->writeProtect = 7;
    DisplayInfo info;
    ASSERT_EQ(display(0, nullptr, &info), KPL_OK);
    EXPECT_EQ(std::string(info.rows[2].existing), libraryText(KPL_VALUE_WRITE_PROTECT_NOT_KNOWN));
}

TEST_F(MoraDisplay, AnImageAddsTheVersionItWouldBring) {
    const std::string image = writeImage("new.bin", scsiImage(1, 5, 3));
    DisplayInfo info;
    ASSERT_EQ(display(0, image.c_str(), &info), KPL_OK);
    EXPECT_EQ(std::string(info.rows[3].existing), "01.00");
    EXPECT_EQ(std::string(info.rows[3].proposed), "05.03");
    for (int row : {0, 1, 2}) EXPECT_EQ(info.rows[row].proposed[0], '\0') << row;
    EXPECT_EQ(info.rows[4].label[0], '\0');
    EXPECT_TRUE(contains(takeLog(), "KPLMORA(#) :New Firmware Version: 05.03"));
}

TEST_F(MoraDisplay, Failures) {
    image::ImageSpec noCapab = scsiImage(0);
    noCapab.omitCapab = true;
    const std::string withoutCapab = writeImage("nocapab.bin", noCapab);
    struct Case {
        const char* what;
        const char* fault;
        std::string image;
        int32_t status;
        const char* logLine;
    };
    const Case cases[] = {
        {"image missing", nullptr, (dir_ / "none.bin").string(), KPL_E_IMAGE_UNREADABLE, "Bin(#) :Error in opening file"},
        {"image without CAPAB", nullptr, withoutCapab, KPL_E_IMAGE_TYPE, "KPLMORA(#) :CAPAB not found."},
        {"controller silent", "fail:FD0050:1", "", KPL_E_CONTROLLER_QUERY, "KPLMORA(#) :Query controller failed. Error = "},
        {"reader gone", "unplug", "", KPL_E_DEVICE_OPEN, nullptr},
    };
    for (const Case& c : cases) {
        if (c.fault) lab::Lab::current().applyFault("reader-e", c.fault);
        DisplayInfo info;
        EXPECT_EQ(display(0, c.image.empty() ? nullptr : c.image.c_str(), &info), c.status) << c.what;
        const std::vector<std::string> log = takeLog();
        if (c.logLine) {
            EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string& l) { return l.rfind(c.logLine, 0) == 0; }))
                << c.what << ": " << ::testing::PrintToString(log);
        }
        EXPECT_EQ(record(0)->device->flags, 0u) << c.what;
    }
}

}  // namespace
