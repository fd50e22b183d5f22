// Which listed readers an image fits: a table of images against readers in every mode, with and
// without the options and the operator's relaxation (/IV), and the narrowing by device path.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <image/builder.h>

#include "image_files.h"
#include "log_capture.h"
#include "matching.h"
#include "plugin_state.h"
#include "tarn_log.h"
#include "temp_dir.h"
#include "test_lab.h"

namespace {

namespace fs = std::filesystem;
using tarn::TarnDeviceRecord;

struct Image {
    int type = 0;
    uint8_t productType = 7;
    uint8_t major = 1, minor = 5;
    uint8_t feature = 0x21;
    uint16_t pid = 0x2000;
    bool omitCapab = false;
};

struct Reader {
    int32_t mode = tarn::kModeOwnDriver;
    uint8_t dfuType = 0;
    uint32_t deviceType = 7;
    uint32_t firmware = 0x0104;
    uint8_t feature = 0x21;
    uint32_t vendorProduct = 0x04CC2000;
    uint8_t drive = 'G';
    int32_t typeFromSystem = 0;
};

struct Case {
    const char* what;
    Image image;
    Reader reader;
    uint8_t options = 0;
    int32_t unattended = 1, ignoreChecks = 0;
    int32_t selected = 1;
    int32_t status = KPL_OK;
};

constexpr uint8_t kUpgradeOnly = tarn::kOptionUpgradeOnly, kVidPid = tarn::kOptionMatchVidPid,
                  kFeature = tarn::kOptionMatchFeature, kKrd50n = tarn::kOptionRecoverKrd50n;

class Matching : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::logged().clear();
        tarn::setLogger(testsupport::captureLog);
    }
    void TearDown() override {
        tarn::setLogger(nullptr);
        tarn::plugin().options = 0;
    }
    std::string write(const Image& i) {
        image::ImageSpec spec = image::DefaultImageSpec(image::BinFamily::Tarn, i.type);
        if (i.type != 2) spec.productType = i.productType;
        spec.versionMajor = i.major;
        spec.versionMinor = i.minor;
        spec.feature = i.feature;
        spec.idProduct = i.pid;
        spec.omitCapab = i.omitCapab;
        return tarntest::writeImageFile(spec, dir_ / ("image" + std::to_string(images_++) + ".bin"));
    }
    // Lists the readers, each with a record.
    void list(const std::vector<Reader>& readers) {
        std::memset(&list_, 0, sizeof list_);
        records_.assign(readers.size(), TarnDeviceRecord{});
        for (size_t i = 0; i < readers.size(); ++i) {
            TarnDeviceRecord& r = records_[i];
            r.deviceMode = readers[i].mode;
            r.dfuType = readers[i].dfuType;
            r.deviceType = readers[i].deviceType;
            r.firmwareVersion = readers[i].firmware;
            r.feature = readers[i].feature;
            r.vendorProduct = readers[i].vendorProduct;
            r.driveLetter = readers[i].drive;
            r.typeFromSystem = readers[i].typeFromSystem;
            std::snprintf(r.devicePath, sizeof r.devicePath, "\\\\?\\usb#vid_04cc&pid_2000#reader%zu#{guid}", i);
            std::snprintf(list_.entries[i].name, KPL_TEXT_SIZE, "Reader %zu", i);
            list_.entries[i].device = &r;
        }
    }

    testsupport::TempDir temp_{"zelfin-matching"};
    const fs::path dir_ = temp_.path();
    int images_ = 0;
    DeviceInfoList list_;
    std::vector<TarnDeviceRecord> records_;
};

TEST_F(Matching, ImagesAgainstReaders) {
    const Reader upgrade{.mode = tarn::kModeUpgrade, .dfuType = tarn::kUnknownDfuType, .deviceType = 0};
    const Reader kv7{.mode = tarn::kModeKv7Upgrade, .dfuType = 9, .deviceType = 5};
    const Case cases[] = {
        {.what = "same family and product type", .image = {}, .reader = {}},
        {.what = "another product type", .image = {}, .reader = {.deviceType = 8}, .selected = 0},
        {.what = "/IV takes another product type", .image = {}, .reader = {.deviceType = 8}, .ignoreChecks = 1},
        {.what = "another family", .image = {.type = 3}, .reader = {}, .selected = 0},
        {.what = "a reader of type 26 takes product type 10 of any family", .image = {.type = 3, .productType = 10}, .reader = {.deviceType = 26}},
        {.what = "upgrade only: the same version", .image = {.minor = 4}, .reader = {}, .options = kUpgradeOnly, .selected = 0},
        {.what = "upgrade only: a newer version", .image = {}, .reader = {}, .options = kUpgradeOnly},
        {.what = "upgrade only: /IV", .image = {.minor = 4}, .reader = {}, .options = kUpgradeOnly, .ignoreChecks = 1},
        {.what = "VID/PID: another product", .image = {.pid = 0x2001}, .reader = {}, .options = kVidPid, .selected = 0},
        {.what = "VID/PID: the same", .image = {}, .reader = {}, .options = kVidPid},
        {.what = "feature: another", .image = {.feature = 0x22}, .reader = {}, .options = kFeature, .selected = 0},
        {.what = "feature: another, on the Plex monitor", .image = {.feature = 0x22}, .reader = {.drive = 255}, .options = kFeature, .selected = 0, .status = KPL_E_FEATURE_MISMATCH},
        {.what = "feature: /IV", .image = {.feature = 0x22}, .reader = {}, .options = kFeature, .ignoreChecks = 1},
        {.what = "unknown dfuType: the low four bits of a type-0 image's product type", .image = {.productType = 0x17}, .reader = {.dfuType = 255, .firmware = 0x0400}},
        {.what = "unknown dfuType: firmware 5.x is family 1", .image = {.type = 1}, .reader = {.dfuType = 255, .firmware = 0x0500}},
        {.what = "unknown dfuType: no other type", .image = {.type = 3}, .reader = {.dfuType = 255}, .selected = 0},
        {.what = "dfuType 1 takes no image", .image = {.type = 1}, .reader = {.dfuType = 1}, .selected = 0},
        {.what = "external firmware as product type 16", .image = {.type = 2}, .reader = {.dfuType = 2, .deviceType = 16}, .options = kVidPid | kFeature},
        {.what = "upgrade mode: any Tarn image", .image = {.type = 4, .productType = 99}, .reader = upgrade},
        {.what = "upgrade mode: a KV7 image on a Tarn controller", .image = {.type = 9}, .reader = upgrade},
        {.what = "upgrade mode: versions do not count", .image = {.minor = 0}, .reader = upgrade, .options = kUpgradeOnly},
        {.what = "KV7: its family and product type", .image = {.type = 9, .productType = 5}, .reader = kv7},
        {.what = "KV7: another product type", .image = {.type = 9, .productType = 6}, .reader = kv7, .selected = 0},
        {.what = "KV7: another family", .image = {.type = 10, .productType = 5}, .reader = kv7, .selected = 0},
        {.what = "KV7: a Tarn image", .image = {.type = 0, .productType = 5}, .reader = kv7, .selected = 0},
        {.what = "KV7: type unread, interactive", .image = {.type = 9, .productType = 5}, .reader = {.mode = tarn::kModeKv7Upgrade, .dfuType = 9, .deviceType = 0}, .unattended = 0},
        {.what = "KV7: type unread, configured run", .image = {.type = 9, .productType = 5}, .reader = {.mode = tarn::kModeKv7Upgrade, .dfuType = 9, .deviceType = 0}, .selected = 0},
        {.what = "KRD50N: the system's type differs", .image = {.productType = 18}, .reader = {.mode = tarn::kModeUpgrade, .deviceType = 17, .typeFromSystem = 1}, .options = kKrd50n, .selected = 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tarn::plugin().options = c.options;
        list({c.reader});
        list_.entries[0].selected = 1 - c.selected;  // a stale flag from an earlier image
        EXPECT_EQ(tarn::FilterDevices(&list_, write(c.image).c_str(), c.unattended, c.ignoreChecks), c.status);
        EXPECT_EQ(list_.entries[0].selected, c.selected);
    }
}

TEST_F(Matching, TransferredReadersAndAMissingCapabilityBlock) {
    list({{}, {}, {}});
    records_[0].transferred = 1;
    for (DeviceInfoEntry& e : list_.entries) e.selected = 1;
    EXPECT_EQ(tarn::FilterDevices(&list_, write({}).c_str(), 1, 0), KPL_OK);
    EXPECT_EQ(list_.entries[0].selected, 0) << "a reader done with keeps no flag";
    EXPECT_EQ(list_.entries[1].selected, 1);

    EXPECT_EQ(tarn::FilterDevices(&list_, write({.omitCapab = true}).c_str(), 1, 0), KPL_OK);
    EXPECT_TRUE(testsupport::loggedMessage("CAPAB not found\r\n"));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(list_.entries[i].selected, 0) << i;

    // An image of no known type decides nothing.
    list({{}});
    list_.entries[0].selected = 1;
    std::ofstream(dir_ / "short.bin", std::ios::binary) << std::string(40000, 'x');
    EXPECT_EQ(tarn::FilterDevices(&list_, (dir_ / "short.bin").c_str(), 1, 0), KPL_E_IMAGE_TYPE);
    EXPECT_EQ(list_.entries[0].selected, 1);
    EXPECT_EQ(tarn::FilterDevices(&list_, (dir_ / "missing.bin").c_str(), 1, 0), KPL_E_IMAGE_UNREADABLE);
}

TEST_F(Matching, ByDevicePath) {
    list({{}, {}, {.deviceType = 8}});
    const std::string image = write({});
    EXPECT_EQ(tarn::MatchDevicesBySymLink(&list_, "reader1", image.c_str()), KPL_OK);
    EXPECT_EQ(list_.entries[0].selected, 0);
    EXPECT_EQ(list_.entries[1].selected, 1);
    EXPECT_EQ(tarn::MatchDevicesBySymLink(&list_, "READER1", image.c_str()), KPL_OK);
    EXPECT_EQ(list_.entries[1].selected, 0) << "case matters";
    EXPECT_EQ(tarn::MatchDevicesBySymLink(&list_, "reader2", image.c_str()), KPL_OK);
    EXPECT_EQ(list_.entries[2].selected, 0) << "only readers the image fits";
}

}  // namespace
