// The Tarn reader's factory firmware: the system's own image library decides and reads every
// layout as it was made, and the firmware's readers stay inside damaged or half-written flash.
#include <gtest/gtest.h>
#include <image/blocks.h>
#include <image/integrity.h>
#include <image/serial_block.h>
#include <image/signatures.h>

#include <functional>
#include <string>
#include <vector>

#include "../src/firmware_images.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t len(const Bytes& b) { return static_cast<uint32_t>(b.size()); }

std::string systemString(const Bytes& b, unsigned index) {
    char text[512];
    EXPECT_EQ(image::ReadStringDescriptor(b.data(), len(b), index, text, sizeof text), KPL_OK) << index;
    return text;
}

Bytes asciiDescriptor(const std::string& text) {
    Bytes d = {static_cast<uint8_t>(2 + 2 * text.size()), 3};
    for (char c : text) d.insert(d.end(), {static_cast<uint8_t>(c), 0});
    return d;
}

uint32_t at(const Bytes& b, const char* signature) {
    const auto p = image::FindSignature(b.data(), len(b), signature);
    EXPECT_TRUE(p) << signature;
    return p.value_or(0);
}

TEST(TarnImages, EveryLayoutIsReadByTheSystemAsMade) {
    struct Case {
        uint8_t dfuType;
        uint32_t size;
        int systemType;
    };
    const Case cases[] = {{0, 65536, 0}, {1, 65536, 0}, {2, 32768, 1}, {3, 65536, 3},
                          {4, 57344, 4}, {5, 65536, 5}, {6, 65536, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE("dfuType " + std::to_string(c.dfuType));
        lab::TarnImageParams p;
        p.dfuType = c.dfuType;
        p.productType = 7;
        p.feature = 0x31;
        p.major = 2;
        p.minor = 9;
        p.idVendor = 0x1A2B;
        p.idProduct = 0x3C4D;
        p.bcdDevice = 0x0209;
        p.manufacturer = "Quörvex \xE2\x9C\x93";  // two- and three-byte UTF-8
        p.product = "Tarn Reader";
        p.serialNumber = 0x1234ABCD;
        p.seed = "reader-" + std::to_string(c.dfuType);
        const Bytes b = lab::makeTarnImage(p);
        ASSERT_EQ(b.size(), c.size);
        EXPECT_EQ(lab::tarnFlashSize(c.dfuType), c.size);

        EXPECT_EQ(image::DecideTarnType(b.data(), len(b)), c.systemType);
        EXPECT_TRUE(image::CheckIntegrity(b.data(), len(b), image::BinFamily::Tarn, nullptr));
        const image::IntegrityRange range = image::FindIntegrityRange(b.data(), len(b));
        EXPECT_EQ(range.begin, 4096u);
        EXPECT_EQ(range.count, c.size - 8 - 4096) << "up to the trailer";

        const auto capab = image::ReadCapab(b.data(), len(b), image::BinFamily::Tarn);
        ASSERT_TRUE(capab);
        EXPECT_EQ(capab->productType, 7);
        EXPECT_EQ(capab->feature, 0x31);
        EXPECT_EQ(capab->version(), 0x0209);
        const auto csed = image::ReadCsed(b.data(), len(b));
        ASSERT_TRUE(csed);
        const Bytes descriptor = {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x2B, 0x1A, 0x4D, 0x3C, 0x09, 0x02, 1, 2, 5, 1};
        EXPECT_EQ(Bytes(csed->descriptor, csed->descriptor + 18), descriptor);
        EXPECT_EQ(systemString(b, image::kStringManufacturer), p.manufacturer);
        EXPECT_EQ(systemString(b, image::kStringProduct), p.product);
        const auto serial = image::ReadSerialBlock(b.data(), len(b));
        ASSERT_TRUE(serial);
        EXPECT_EQ(serial->type, image::kSerialTypeNumber);
        EXPECT_EQ(serial->number, 0x1234ABCDu);
        EXPECT_TRUE(serial->checkMatches());

        // The firmware reads the same image the same way.
        const lab::TarnImageInfo info = lab::inspectTarnImage(b.data(), b.size());
        EXPECT_TRUE(info.complete);
        EXPECT_EQ(info.length, c.size);
        ASSERT_TRUE(info.deviceDescriptor);
        EXPECT_EQ(Bytes(info.deviceDescriptor->begin(), info.deviceDescriptor->end()), descriptor);
        EXPECT_TRUE(info.hasCapab);
        EXPECT_EQ(info.productType, 7);
        EXPECT_EQ(info.feature, 0x31);
        EXPECT_EQ(info.major, 2);
        EXPECT_EQ(info.minor, 9);
        EXPECT_EQ(lab::tarnStringDescriptor(b.data(), b.size(), 0), (Bytes{4, 3, 0x09, 0x04}));
        image::StringDescriptor manufacturer;
        ASSERT_EQ(image::LocateStringDescriptor(b.data(), len(b), 1, &manufacturer), KPL_OK);
        EXPECT_EQ(lab::tarnStringDescriptor(b.data(), b.size(), 1),
                  Bytes(b.begin() + manufacturer.offset, b.begin() + manufacturer.offset + manufacturer.bLength));
        EXPECT_EQ(lab::tarnStringDescriptor(b.data(), b.size(), 5), asciiDescriptor("1234ABCD"));
        EXPECT_FALSE(lab::tarnStringDescriptor(b.data(), b.size(), 3));
        EXPECT_FALSE(lab::tarnStringDescriptor(b.data(), b.size(), 4));
    }
}

// A KV7 image keeps its string addresses in the space its marker says (types 7 and 8 from 8000h):
// the system and the firmware find the same strings.
TEST(TarnImages, Kv7StringsAreWhereTheirMarkerSays) {
    for (uint8_t dfuType : {7, 8, 9, 10}) {
        SCOPED_TRACE("dfuType " + std::to_string(dfuType));
        lab::TarnImageParams p;
        p.dfuType = dfuType;
        p.manufacturer = "Quorvex";
        p.product = "KV7 Reader";
        const Bytes b = lab::makeTarnImage(p);
        EXPECT_EQ(systemString(b, image::kStringManufacturer), p.manufacturer);
        EXPECT_EQ(systemString(b, image::kStringProduct), p.product);
        image::StringDescriptor product;
        ASSERT_EQ(image::LocateStringDescriptor(b.data(), len(b), 2, &product), KPL_OK);
        EXPECT_EQ(lab::tarnStringDescriptor(b.data(), b.size(), 2),
                  Bytes(b.begin() + product.offset, b.begin() + product.offset + product.bLength));
    }
}

TEST(TarnImages, SerialFormsAndSeeds) {
    lab::TarnImageParams p;
    p.serialNumber = 42;
    const Bytes number = lab::makeTarnImage(p);
    EXPECT_EQ(lab::tarnStringDescriptor(number.data(), number.size(), 5), asciiDescriptor("0000002A"));

    p.serial = lab::TarnSerial::None;
    const Bytes none = lab::makeTarnImage(p);
    EXPECT_FALSE(image::SerialSupported(none.data(), len(none)));
    EXPECT_FALSE(image::ReadSerialBlock(none.data(), len(none)));
    EXPECT_FALSE(lab::tarnStringDescriptor(none.data(), none.size(), 5));

    p.serial = lab::TarnSerial::String;
    p.serialText = std::string(130, 'S');  // more than a descriptor holds
    const Bytes longest = lab::makeTarnImage(p);
    const auto block = image::ReadSerialBlock(longest.data(), len(longest));
    ASSERT_TRUE(block);
    EXPECT_EQ(block->type, image::kSerialTypeString);
    EXPECT_EQ(systemString(longest, image::kStringSerial), std::string(126, 'S'));
    EXPECT_EQ(lab::tarnStringDescriptor(longest.data(), longest.size(), 5), asciiDescriptor(std::string(126, 'S')));

    // A download carries the device's serial into the slot of a short one: the longest fits
    // without touching what the readers use.
    p.serialText = "SN-1";
    Bytes carried = lab::makeTarnImage(p);
    EXPECT_EQ(systemString(carried, image::kStringSerial), "SN-1");
    image::StringDescriptor slot;
    ASSERT_EQ(image::LocateSerialString(carried.data(), len(carried), &slot), KPL_OK);
    const Bytes incoming = asciiDescriptor(std::string(126, 'L'));
    std::copy(incoming.begin(), incoming.end(), carried.begin() + slot.offset);
    EXPECT_EQ(systemString(carried, image::kStringSerial), std::string(126, 'L'));
    EXPECT_EQ(systemString(carried, image::kStringManufacturer), "Quorvex");
    EXPECT_EQ(systemString(carried, image::kStringProduct), "Card Reader");
    EXPECT_TRUE(lab::inspectTarnImage(carried.data(), carried.size()).complete);

    // The filler is the seed's: the same device gets the same flash, another device another.
    p.seed = "a";
    const Bytes a = lab::makeTarnImage(p);
    EXPECT_EQ(lab::makeTarnImage(p), a);
    p.seed = "b";
    const Bytes b = lab::makeTarnImage(p);
    EXPECT_NE(b, a);
    EXPECT_TRUE(image::CheckIntegrity(b.data(), len(b), image::BinFamily::Tarn, nullptr));
}

TEST(TarnImages, FirmwareReadersStayInsideDamagedFlash) {
    const Bytes base = lab::makeTarnImage({});
    image::StringDescriptor product;
    ASSERT_EQ(image::LocateStringDescriptor(base.data(), len(base), 2, &product), KPL_OK);
    const uint32_t csed = at(base, "CSED"), capab = at(base, "CAPAB"), desc = at(base, "DESC");
    lab::TarnImageParams smallParams;
    smallParams.dfuType = 2;
    const Bytes small = lab::makeTarnImage(smallParams);

    struct Case {
        const char* name;
        std::function<void(Bytes&)> damage;
        bool complete;
        uint32_t length;
        bool descriptor;
        bool capab;
        bool productString;  // string 2
    };
    const Case cases[] = {
        {"intact", [](Bytes&) {}, true, 65536, true, true, true},
        {"no CSED", [&](Bytes& b) { b[csed + 3] = 'X'; }, true, 65536, false, true, true},
        {"CSED cut by the end", [&](Bytes& b) { b.resize(csed + 5 + 17); }, false, 0, false, true, false},
        {"no CAPAB", [&](Bytes& b) { b[capab] = 'X'; }, true, 65536, true, false, true},
        {"CAPAB cut by the end", [&](Bytes& b) { b.resize(capab + 10); }, false, 0, false, false, false},
        {"DESC entry cut by the end", [&](Bytes& b) { b.resize(desc + 6 + 3 * 2 + 1); }, false, 0, true, true, false},
        {"DESC entry past the end", [&](Bytes& b) { b[desc + 6 + 3 * 2] = b[desc + 7 + 3 * 2] = 0xFF; }, true, 65536,
         true, true, false},
        {"bLength 0", [&](Bytes& b) { b[product.offset] = 0; }, true, 65536, true, true, false},
        {"bLength 1", [&](Bytes& b) { b[product.offset] = 1; }, true, 65536, true, true, false},
        {"string running past the end", [&](Bytes& b) { b.resize(product.offset + product.bLength - 1); }, false, 0,
         true, true, false},
        {"no trailer", [](Bytes& b) { b[b.size() - 1] = 'X'; }, false, 0, true, true, true},
        {"second half erased", [](Bytes& b) { std::fill(b.begin() + 32768, b.end(), 0xFF); }, false, 0, true, true,
         true},
        {"32 KB image in the flash, the rest erased",
         [&](Bytes& b) {
             std::fill(b.begin(), b.end(), 0xFF);
             std::copy(small.begin(), small.end(), b.begin());
         },
         true, 32768, true, true, true},
        {"32 KB image in the flash, the rest not erased",
         [&](Bytes& b) {
             std::fill(b.begin(), b.end(), 0x00);
             std::copy(small.begin(), small.end(), b.begin());
         },
         false, 0, true, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes b = base;
        c.damage(b);
        const lab::TarnImageInfo info = lab::inspectTarnImage(b.data(), b.size());
        EXPECT_EQ(info.complete, c.complete);
        EXPECT_EQ(info.length, c.length);
        EXPECT_EQ(info.deviceDescriptor.has_value(), c.descriptor);
        EXPECT_EQ(info.hasCapab, c.capab);
        if (!c.capab) {
            EXPECT_EQ(info.productType + info.feature + info.major + info.minor, 0);
        }
        const auto s = lab::tarnStringDescriptor(b.data(), b.size(), 2);
        EXPECT_EQ(s.has_value(), c.productString);
        if (s) {
            ASSERT_FALSE(s->empty());
            EXPECT_EQ(size_t{(*s)[0]}, s->size());
        }
    }
}

}  // namespace
