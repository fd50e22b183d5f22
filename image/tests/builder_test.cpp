// Images from the builder: every type of both families is decided as built and passes, what was
// asked for is read back, and each fault asked for is the fault the family's judgement reports.
#include <gtest/gtest.h>
#include <image/builder.h>
#include <image/inspect.h>
#include <image/signatures.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using image::BinFamily;
using image::ImageSpec;

ImageSpec spec(BinFamily family, int type) { return image::DefaultImageSpec(family, type); }

std::vector<uint8_t> build(const ImageSpec& s) {
    std::vector<uint8_t> out;
    std::string error;
    EXPECT_TRUE(image::BuildImage(s, &out, &error)) << error;
    return out;
}

image::ImageFacts inspect(const std::vector<uint8_t>& b, BinFamily family) {
    return image::InspectImage(b.data(), static_cast<uint32_t>(b.size()), family);
}

TEST(Builder, EveryTypeIsDecidedAsBuiltAndPasses) {
    struct Case {
        BinFamily family;
        int type;
        uint32_t size;
    };
    const Case cases[] = {
        {BinFamily::Tarn, 0, 0},  {BinFamily::Tarn, 0, 0x10000}, {BinFamily::Tarn, 1, 0}, {BinFamily::Tarn, 2, 0},
        {BinFamily::Tarn, 3, 0},  {BinFamily::Tarn, 4, 0},       {BinFamily::Tarn, 5, 0}, {BinFamily::Tarn, 7, 0},
        {BinFamily::Tarn, 8, 0},  {BinFamily::Tarn, 9, 0},       {BinFamily::Tarn, 10, 0},
        {BinFamily::Scsi, 0, 0},  {BinFamily::Scsi, 1, 0},       {BinFamily::Scsi, 2, 0},
    };
    for (const Case& c : cases) {
        ImageSpec s = spec(c.family, c.type);
        s.size = c.size;
        const auto b = build(s);
        const auto f = inspect(b, c.family);
        const std::string name = std::string(c.family == BinFamily::Tarn ? "Tarn " : "SCSI ") + std::to_string(c.type);
        EXPECT_EQ(f.type, c.type) << name;
        EXPECT_TRUE(f.integrityValid) << name;
        EXPECT_EQ(f.status, KPL_OK) << name;
        ASSERT_TRUE(f.capab) << name;
        EXPECT_EQ(f.capab->productType, s.productType) << name;
    }
}

TEST(Builder, WhatWasAskedForIsReadBack) {
    // Type 1 images keep string addresses in the 0x8000-based address space.
    ImageSpec s = spec(BinFamily::Tarn, 1);
    s.idVendor = 0x1A2B;
    s.idProduct = 0x3C4D;
    s.productType = 26;
    s.feature = 3;
    s.versionMajor = 5;
    s.versionMinor = 12;
    s.manufacturer = "Gr\xC3\xBCn GmbH";
    s.product = "Bay Module";
    s.serial = image::SerialKind::String;
    s.serialText = "SN0042";
    auto f = inspect(build(s), BinFamily::Tarn);
    EXPECT_STREQ(f.addressShift, "DFU_02");
    ASSERT_TRUE(f.csed && f.capab && f.serial);
    EXPECT_EQ(f.csed->idVendor, 0x1A2B);
    EXPECT_EQ(f.csed->idProduct, 0x3C4D);
    EXPECT_EQ(f.csed->iSerialNumber, 5);
    EXPECT_EQ(f.capab->version(), 0x050C);
    EXPECT_EQ(f.capab->feature, 3);
    EXPECT_EQ(f.manufacturer.text, s.manufacturer);
    EXPECT_EQ(f.product.text, "Bay Module");
    EXPECT_EQ(f.serial->type, image::kSerialTypeString);
    EXPECT_EQ(f.serialString.text, "SN0042");

    ImageSpec n = spec(BinFamily::Tarn, 9);
    n.serialNumber = 0x12345678;
    f = inspect(build(n), BinFamily::Tarn);
    ASSERT_TRUE(f.serial);
    EXPECT_EQ(f.serial->type, image::kSerialTypeNumber);
    EXPECT_EQ(f.serial->number, 0x12345678u);
    EXPECT_EQ(f.serial->check, 0xEDCBA988u);
    EXPECT_EQ(f.serialString.text, "000000000000") << "a number image keeps a blank string slot";

    ImageSpec none = spec(BinFamily::Tarn, 3);
    none.serial = image::SerialKind::None;
    f = inspect(build(none), BinFamily::Tarn);
    EXPECT_FALSE(f.serial);
    EXPECT_EQ(f.csed->iSerialNumber, 0);

    ImageSpec ext = spec(BinFamily::Tarn, 2);
    ext.versionMajor = 2;
    ext.versionMinor = 7;
    f = inspect(build(ext), BinFamily::Tarn);
    EXPECT_EQ(f.externalVersion, 0x0207);
    EXPECT_EQ(f.capab->productType, 16);
}

TEST(Builder, FaultsAskedForAreTheFaultsReported) {
    struct Case {
        const char* name;
        BinFamily family;
        int type;
        std::function<void(ImageSpec&)> change;
        int decided;
        int32_t status;
    };
    const Case cases[] = {
        {"no trailer", BinFamily::Tarn, 1, [](ImageSpec& s) { s.omitTrailer = true; }, 11, KPL_E_IMAGE_TYPE},
        {"no marker", BinFamily::Tarn, 3, [](ImageSpec& s) { s.omitMarker = true; }, 11, KPL_E_IMAGE_TYPE},
        {"unknown type", BinFamily::Tarn, 11, [](ImageSpec&) {}, 11, KPL_E_IMAGE_TYPE},
        {"40,000 bytes", BinFamily::Tarn, 7, [](ImageSpec& s) { s.size = 40000; }, 11, KPL_E_IMAGE_TYPE},
        {"no integrity block", BinFamily::Tarn, 7, [](ImageSpec& s) { s.integrity = image::IntegrityKind::None; }, 7,
         KPL_E_IMAGE_INTEGRITY},
        {"unbalanced", BinFamily::Tarn, 4, [](ImageSpec& s) { s.unbalanced = true; }, 4, KPL_E_IMAGE_INTEGRITY},
        {"CRC length 0", BinFamily::Tarn, 0, [](ImageSpec& s) { s.crcLength = 0; }, 0, KPL_E_IMAGE_INTEGRITY},
        {"CRC past the end", BinFamily::Tarn, 0, [](ImageSpec& s) { s.crcLength = 0x8000; }, 0,
         KPL_E_IMAGE_INTEGRITY},
        {"CHKSUMSIG in 32 KB", BinFamily::Tarn, 8, [](ImageSpec& s) { s.integrity = image::IntegrityKind::Chksum; },
         8, KPL_E_IMAGE_INTEGRITY},
        {"CHKSUMSIG in 64 KB", BinFamily::Tarn, 5, [](ImageSpec& s) { s.integrity = image::IntegrityKind::Chksum; },
         5, KPL_OK},
        {"SCSI with CRC", BinFamily::Scsi, 1, [](ImageSpec& s) { s.integrity = image::IntegrityKind::Crc; }, 1,
         KPL_OK},
        {"SCSI without CAPAB", BinFamily::Scsi, 2, [](ImageSpec& s) { s.omitCapab = true; }, 2,
         KPL_E_IMAGE_INTEGRITY},
        {"SCSI 32 KB", BinFamily::Scsi, 0, [](ImageSpec& s) { s.size = 0x8000; }, 3, KPL_E_IMAGE_TYPE},
        {"SCSI unknown", BinFamily::Scsi, 3, [](ImageSpec&) {}, 3, KPL_E_IMAGE_TYPE},
    };
    for (const Case& c : cases) {
        ImageSpec s = spec(c.family, c.type);
        c.change(s);
        const auto f = inspect(build(s), c.family);
        EXPECT_EQ(f.type, c.decided) << c.name;
        EXPECT_EQ(f.status, c.status) << c.name;
    }
}

TEST(Builder, SmallImagesKeepTheirBlocksInTheFirstPage) {
    ImageSpec s = spec(BinFamily::Tarn, 11);
    s.size = 2048;
    const auto b = build(s);
    ASSERT_EQ(b.size(), 2048u);
    const auto f = inspect(b, BinFamily::Tarn);
    EXPECT_EQ(f.integrity.begin, image::kSmallBlockAreaBegin);
    EXPECT_TRUE(f.integrityValid);
    EXPECT_EQ(f.product.text, "Card Reader");
}

TEST(Builder, RefusesWhatCannotBeBuilt) {
    struct Case {
        const char* name;
        BinFamily family;
        int type;
        std::function<void(ImageSpec&)> change;
    };
    const Case cases[] = {
        {"there is no type 6", BinFamily::Tarn, 6, [](ImageSpec&) {}},
        {"SCSI type 4", BinFamily::Scsi, 4, [](ImageSpec&) {}},
        {"over 16 MB", BinFamily::Tarn, 0, [](ImageSpec& s) { s.size = image::kMaxImageFileSize + 1; }},
        {"no room for the blocks", BinFamily::Tarn, 0, [](ImageSpec& s) { s.size = 256; }},
        {"product text too long", BinFamily::Tarn, 0, [](ImageSpec& s) { s.product = std::string(127, 'p'); }},
        {"invalid UTF-8", BinFamily::Tarn, 0, [](ImageSpec& s) { s.manufacturer = "\xC3"; }},
        // Little-endian 0x4544, 0x4353 spell "DESC" inside the device descriptor.
        {"identifiers spelling a signature", BinFamily::Tarn, 0, [](ImageSpec& s) {
             s.idVendor = 0x4544;
             s.idProduct = 0x4353;
         }},
    };
    for (const Case& c : cases) {
        ImageSpec s = spec(c.family, c.type);
        c.change(s);
        std::vector<uint8_t> out;
        std::string error;
        EXPECT_FALSE(image::BuildImage(s, &out, &error)) << c.name;
        EXPECT_FALSE(error.empty()) << c.name;
    }
}

}  // namespace
