// The block readers on hand-made images: layouts, the shifted string address space, and every
// block that would be read past the end of the image.
#include <gtest/gtest.h>
#include <image/blocks.h>
#include <image/bytes.h>
#include <image/serial_block.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using image::BinFamily;

void put(Bytes& b, uint32_t at, const char* text) { std::memcpy(b.data() + at, text, std::strlen(text)); }

// A string table at `desc` whose entry i names `addresses[i]`.
void putDesc(Bytes& b, uint32_t desc, std::initializer_list<uint16_t> addresses) {
    put(b, desc, "DESC");
    uint32_t i = 0;
    for (uint16_t a : addresses) image::writeBE16(b.data() + desc + 6 + 3 * i++, a);
}

void putString(Bytes& b, uint32_t at, const std::u16string& text) {
    b[at] = static_cast<uint8_t>(2 + 2 * text.size());
    b[at + 1] = 3;
    for (size_t i = 0; i < text.size(); ++i) image::writeLE16(b.data() + at + 2 + 2 * i, text[i]);
}

TEST(Capab, FamiliesReadTheVersionAtDifferentPlaces) {
    Bytes b(0x200, 0);
    put(b, 0x40, "CAPAB");
    const uint8_t fields[] = {0, 32, 0x11, 3, 4, 5};  // +5 .. +10
    std::memcpy(b.data() + 0x45, fields, sizeof fields);
    const auto tarn = image::ReadCapab(b.data(), 0x200, BinFamily::Tarn);
    const auto scsi = image::ReadCapab(b.data(), 0x200, BinFamily::Scsi);
    ASSERT_TRUE(tarn && scsi);
    EXPECT_EQ(tarn->productType, 32);
    EXPECT_EQ(tarn->feature, 0x11);
    EXPECT_EQ(tarn->version(), 0x0405);
    EXPECT_EQ(scsi->version(), 0x0304);
    EXPECT_EQ(image::capabDeviceType(b.data(), 0x200), 32);
}

TEST(Blocks, FieldsPastTheEndCountAsMissing) {
    Bytes b(0x100, 0);
    put(b, 0x100 - 10, "CAPAB");  // +9 is the last byte: enough for SCSI, not for Tarn
    EXPECT_FALSE(image::ReadCapab(b.data(), 0x100, BinFamily::Tarn));
    EXPECT_TRUE(image::ReadCapab(b.data(), 0x100, BinFamily::Scsi));
    EXPECT_EQ(image::capabDeviceType(b.data(), 0x100), 0);
    EXPECT_EQ(image::capabDeviceType(b.data(), 0x100 - 4), -1) << "type byte past the end";

    Bytes c(0x100, 0);
    put(c, 0x100 - 22, "CSED");  // descriptor one byte short
    EXPECT_FALSE(image::ReadCsed(c.data(), 0x100));
    put(c, 0x100 - 17, "SERCHKC");  // 17 of its 18 bytes
    EXPECT_FALSE(image::ReadSerialBlock(c.data(), 0x100));
    put(c, 0x100 - 4, "DESC");
    EXPECT_FALSE(image::ReadDescAddress(c.data(), 0x100, 0));
    char text[16] = "x";
    EXPECT_EQ(image::ReadStringDescriptor(c.data(), 0x100, 1, text, sizeof text), KPL_E_SERIAL_MISSING);
    EXPECT_STREQ(text, "");

    const uint8_t* none = nullptr;
    EXPECT_FALSE(image::ReadCapab(none, 0, BinFamily::Tarn));
    EXPECT_FALSE(image::ReadExternalVersion(b.data(), 17));
}

TEST(Csed, DescriptorFields) {
    Bytes b(0x100, 0);
    put(b, 0x20, "CSED");
    const uint8_t dd[18] = {18, 1, 0, 2, 0, 0, 0, 64, 0xCC, 0x04, 0x34, 0x12, 0, 1, 1, 2, 5, 1};
    std::memcpy(b.data() + 0x25, dd, sizeof dd);
    const auto c = image::ReadCsed(b.data(), 0x100);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->idVendor, 0x04CC);
    EXPECT_EQ(c->idProduct, 0x1234);
    EXPECT_EQ(c->iSerialNumber, 5);
    EXPECT_TRUE(image::SerialSupported(b.data(), 0x100));
}

TEST(StringDescriptors, TableEntriesAndTheShiftedAddressSpace) {
    Bytes b(0x8000, 0);
    putDesc(b, 0x1000, {0, 0x1100, 0x1200, 0, 0, 0x1300});
    putString(b, 0x1100, u"Maker");
    putString(b, 0x1200, u"Reader \u00e9");
    putString(b, 0x1300, u"000000000000");
    char text[64];
    ASSERT_EQ(image::ReadStringDescriptor(b.data(), 0x8000, image::kStringManufacturer, text, sizeof text), KPL_OK);
    EXPECT_STREQ(text, "Maker");
    ASSERT_EQ(image::ReadStringDescriptor(b.data(), 0x8000, image::kStringProduct, text, sizeof text), KPL_OK);
    EXPECT_STREQ(text, "Reader \xC3\xA9");
    image::StringDescriptor serial;
    ASSERT_EQ(image::LocateSerialString(b.data(), 0x8000, &serial), KPL_OK);
    EXPECT_EQ(serial.offset, 0x1300u);
    EXPECT_TRUE(image::IsBlankSerialString(b.data() + serial.offset, serial.bLength));
    b[0x1300 + 2 + 2 * 11] = '1';
    EXPECT_FALSE(image::IsBlankSerialString(b.data() + serial.offset, serial.bLength));

    // A DFU_07 marker anywhere moves the table into the controller's 0x8000-based addresses.
    put(b, 54, "DFU_07");
    EXPECT_EQ(image::ReadStringDescriptor(b.data(), 0x8000, image::kStringManufacturer, text, sizeof text),
              KPL_E_IMAGE_TYPE)
        << "0x1100 - 0x8000 lies outside a 32 KB image";
    putDesc(b, 0x1000, {0, 0x9100});
    ASSERT_EQ(image::ReadStringDescriptor(b.data(), 0x8000, image::kStringManufacturer, text, sizeof text), KPL_OK);
    EXPECT_STREQ(text, "Maker");
}

TEST(StringDescriptors, MalformedDescriptorsFailCleanly) {
    struct Case {
        const char* name;
        uint16_t address;
        uint8_t bLength;
    };
    const Case cases[] = {
        {"address outside the image", 0x4000, 4},
        {"bLength runs past the end", 0x0FF0, 40},
        {"header in the last byte", 0x0FFF, 2},
        {"bLength 0", 0x0800, 0},
        {"bLength 1", 0x0800, 1},
    };
    for (const Case& c : cases) {
        Bytes b(0x1000, 0);
        putDesc(b, 0x100, {0, c.address});
        if (c.address < 0x1000) b[c.address] = c.bLength;
        char text[16] = "x";
        EXPECT_EQ(image::ReadStringDescriptor(b.data(), 0x1000, 1, text, sizeof text), KPL_E_IMAGE_TYPE) << c.name;
        EXPECT_STREQ(text, "") << c.name;
    }
    // An odd bLength rounds the character count up; the last unit must still lie in the image.
    Bytes b(0x1000, 0);
    putDesc(b, 0x100, {0, 0x0FFB});
    b[0x0FFB] = 5;
    EXPECT_EQ(image::ReadStringDescriptor(b.data(), 0x1000, 1, nullptr, 0), KPL_E_IMAGE_TYPE);
    b[0x0FFB] = 4;
    image::StringDescriptor d;
    EXPECT_EQ(image::LocateStringDescriptor(b.data(), 0x1000, 1, &d), KPL_OK);
}

TEST(Utf16leToText, CutsAtACharacterBoundary) {
    const uint8_t units[] = {'a', 0, 0xE9, 0, 0x3D, 0xD8, 0x00, 0xDE, 'z', 0};  // a, é, U+1F600, z
    char out[16];
    EXPECT_EQ(image::Utf16leToText(units, 5, out, sizeof out), 8u);
    EXPECT_STREQ(out, "a\xC3\xA9\xF0\x9F\x98\x80z");
    EXPECT_EQ(image::Utf16leToText(units, 5, out, 6), 3u) << "the 4-byte character does not fit";
    EXPECT_STREQ(out, "a\xC3\xA9");
    const uint8_t lone[] = {0x00, 0xDC, 'b', 0, 0, 0, 'c', 0};
    image::Utf16leToText(lone, 4, out, sizeof out);
    EXPECT_STREQ(out, "?b") << "a lone surrogate is replaced, a NUL ends the text";
}

TEST(SerialBlock, NumberAndCheck) {
    Bytes b(0x100, 0);
    put(b, 0x80, "SERCHKC");
    b[0x88] = image::kSerialTypeNumber;
    image::writeBE32(b.data() + 0x8A, 0x12345678);
    image::writeBE32(b.data() + 0x8E, 0xEDCBA988);
    const auto s = image::ReadSerialBlock(b.data(), 0x100);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->offset, 0x80u);
    EXPECT_EQ(s->type, image::kSerialTypeNumber);
    EXPECT_EQ(s->number, 0x12345678u);
    EXPECT_TRUE(s->checkMatches());
}

}  // namespace
