// Serial-number preservation: what the examination finds in an image, how a reader's serial is
// carried into a new image in every pairing of forms, the random serials of blank images, and the
// memory kept per place on the bus for the retries of a failed download.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <image/blocks.h>
#include <image/builder.h>
#include <image/bytes.h>
#include <image/serial_block.h>
#include <image/signatures.h>

#include "log_capture.h"
#include "serials.h"
#include "tarn_log.h"

namespace {

using Bytes = std::vector<uint8_t>;
using image::SerialKind;

// One firmware: the reader's current one or an image to download, built and then patched.
struct Firmware {
    SerialKind kind = SerialKind::Number;
    uint32_t number = 0;
    std::string text{};
    int type = 0;
    std::function<void(image::ImageSpec&)> spec{};
    std::function<void(Bytes&)> patch{};
};

Firmware number(uint32_t n) { return {.kind = SerialKind::Number, .number = n}; }
Firmware text(const std::string& t, int type = 0) { return {.kind = SerialKind::String, .text = t, .type = type}; }
Firmware noSerial() { return {.kind = SerialKind::None}; }
Firmware patched(Firmware f, std::function<void(Bytes&)> patch) {
    f.patch = std::move(patch);
    return f;
}
Firmware without(Firmware f, bool image::ImageSpec::*block) {
    f.spec = [block](image::ImageSpec& s) { s.*block = true; };
    return f;
}

uint32_t offsetOf(const Bytes& b, const char* signature) {
    const auto p = image::FindSignature(b.data(), static_cast<uint32_t>(b.size()), signature);
    EXPECT_TRUE(p) << signature;
    return p.value_or(0);
}
auto serialType(uint8_t type) {
    return [type](Bytes& b) { b[offsetOf(b, "SERCHKC") + image::kSerialTypeField] = type; };
}
// Points string descriptor 5 at `address` (before any shift the image's controller applies).
auto stringAddress(uint16_t address) {
    return [address](Bytes& b) { image::writeBE16(&b[offsetOf(b, "DESC") + 21], address); };
}
// Moves the serial string to the last four bytes, where an empty string fits and no other does.
auto stringAtEnd() {
    return [](Bytes& b) {
        const uint32_t at = static_cast<uint32_t>(b.size()) - 4;
        b[at] = 2;
        b[at + 1] = 3;
        image::writeBE16(&b[offsetOf(b, "DESC") + 21], static_cast<uint16_t>(at));
    };
}

constexpr uint8_t kUnknownType = 0x42;

std::unique_ptr<image::BinFile> load(const Firmware& f) {
    image::ImageSpec spec = image::DefaultImageSpec(image::BinFamily::Tarn, f.type);
    spec.serial = f.kind;
    spec.serialNumber = f.number;
    spec.serialText = f.text;
    if (f.spec) f.spec(spec);
    Bytes bytes;
    std::string error;
    EXPECT_TRUE(image::BuildImage(spec, &bytes, &error)) << error;
    if (f.patch) f.patch(bytes);
    auto file = std::make_unique<image::BinFile>(image::BinFamily::Tarn, nullptr);
    EXPECT_TRUE(file->Create("firmware.bin", static_cast<uint32_t>(bytes.size()), false));
    std::memcpy(file->data(), bytes.data(), bytes.size());
    return file;
}

// The serial an image carries, as the reader will report it after the download.
std::string serialOf(const image::BinFile& f) {
    const auto block = image::ReadSerialBlock(f.data(), f.length());
    if (!block) return "none";
    char line[64];
    if (block->type == image::kSerialTypeNumber) {
        std::snprintf(line, sizeof line, "number %08X check %08X%s", block->number, block->check,
                      block->checkMatches() ? "" : " (unbalanced)");
        return line;
    }
    if (block->type == image::kSerialTypeString) {
        char t[KPL_TEXT_SIZE];
        const int32_t status = image::ReadStringDescriptor(f.data(), f.length(), image::kStringSerial, t, sizeof t);
        return status == KPL_OK ? std::string("string ") + t : "string outside the image";
    }
    std::snprintf(line, sizeof line, "type %02X", block->type);
    return line;
}

// Random serials: 1 to 7FFFh, so the upper bytes are zero.
const char* const kRandomNumber = "number 0000[0-7][0-9A-F]{3} check FFFF[89A-F][0-9A-F]{3}";
const char* const kRandomString = "string (?!0{12})0000[0-9A-F]{4}0000";

constexpr const char* kPlaceA = "hub 1 port 2";
constexpr const char* kPlaceB = "hub 1 port 3";

class Serials : public ::testing::Test {
protected:
    void SetUp() override {
        forgetAll();
        testsupport::logged().clear();
        tarn::setLogger(testsupport::captureLog);
    }
    void TearDown() override {
        tarn::setLogger(nullptr);
        forgetAll();
    }
    static void forgetAll() {
        for (const char* place : {kPlaceA, kPlaceB, ""}) tarn::ForgetKeptSerial(place);
    }
    static void expectLogged(const std::vector<std::string>& messages) {
        for (const std::string& m : messages)
            EXPECT_TRUE(testsupport::loggedMessage(m)) << m << "\nlogged:\n" << testsupport::allLogged();
    }
    // Whether `unit` wrote the located line `message`.
    static bool loggedBy(const std::string& unit, const std::string& message) {
        const auto& lines = testsupport::logged();
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.starts_with(unit + "(") && testsupport::messageOf(l) == message;
        });
    }
    static void expectSerial(const image::BinFile& f, const std::string& pattern) {
        EXPECT_TRUE(std::regex_match(serialOf(f), std::regex(pattern))) << serialOf(f) << " is not " << pattern;
    }
    // A carry onto a reader at `place`, as a download does it.
    static std::string carry(const Firmware& reader, const Firmware& download, const char* place,
                             int32_t status = KPL_OK) {
        auto device = load(reader);
        auto target = load(download);
        EXPECT_EQ(tarn::CarrySerial(*device, *target, place), status);
        return serialOf(*target);
    }
};

TEST_F(Serials, ExamineFindsTheBlockAndTheString) {
    struct Case {
        const char* what;
        Firmware firmware;
        int32_t status;
        std::vector<std::string> logs{};
        const char* text = nullptr;  // the string at the serial string offset
    };
    const Case cases[] = {
        {"number", number(0x12345678), KPL_OK, {"DWORD type serial no", "Serial number:0x78563412\r\n"}},
        {"string", text("QX0042AB17C9"), KPL_OK,
         {"String type serial no", "Serial string is: QX0042AB17C9\r\n"}, "QX0042AB17C9"},
        {"string at a shifted address (DFU_02)", text("QX7", 1), KPL_OK, {"DFU_02 signature found"}, "QX7"},
        {"string at a shifted address (DFU_07)", text("QX7", 7), KPL_OK, {"DFU_07 signature found"}, "QX7"},
        {"string at a shifted address (DFU_08)", text("QX8", 8), KPL_OK, {"DFU_08 signature found"}, "QX8"},
        {"serial numbers switched off", noSerial(), KPL_E_SERIAL_DISABLED, {"Firmware Serial no disabled"}},
        {"no device descriptor", without(number(1), &image::ImageSpec::omitCsed), KPL_E_SERIAL_MISSING,
         {"CSED not found"}},
        {"no serial block", without(number(1), &image::ImageSpec::omitSerialBlock), KPL_E_SERIAL_MISSING,
         {"SERCHKC not present."}},
        {"no string table", without(text("QX"), &image::ImageSpec::omitDesc), KPL_E_SERIAL_MISSING,
         {"DESC not found"}},
        {"unknown form", patched(number(1), serialType(kUnknownType)), KPL_E_SERIAL_TYPE,
         {"Not a Unicode type serial no"}},
        {"string address past the end", patched(text("QX"), stringAddress(0xFFFF)), KPL_E_SERIAL_MISSING, {}},
        {"string address that the shift takes to the end", patched(text("QX", 1), stringAddress(0x0000)),
         KPL_E_SERIAL_MISSING, {}},
        {"string whose characters run past the end", patched(text("QX"), stringAddress(0x7FFF)),
         KPL_E_SERIAL_MISSING, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::logged().clear();
        auto file = load(c.firmware);
        ASSERT_EQ(tarn::ExamineSerial(*file), c.status);
        expectLogged(c.logs);
        if (c.status != KPL_OK) {
            EXPECT_EQ(file->serialBlock(), nullptr);
            continue;
        }
        ASSERT_NE(file->serialBlock(), nullptr);
        EXPECT_EQ(std::memcmp(file->serialBlock(), "SERCHKC", 7), 0);
        if (!c.text) continue;
        const uint32_t at = file->serialStringOffset();
        const uint32_t units = static_cast<uint32_t>(std::strlen(c.text));
        ASSERT_TRUE(image::fits(file->length(), at, 2 + 2 * units));
        EXPECT_EQ(file->data()[at], 2 + 2 * units);
        EXPECT_EQ(file->data()[at + 1], 3);
        char found[KPL_TEXT_SIZE];
        image::Utf16leToText(file->data() + at + 2, units, found, sizeof found);
        EXPECT_STREQ(found, c.text);
    }
    // The examination writes as unit "Bin".
    testsupport::logged().clear();
    tarn::ExamineSerial(*load(number(1)));
    EXPECT_TRUE(loggedBy("Bin", "DWORD type serial no")) << testsupport::allLogged();
}

TEST_F(Serials, RandomSerialStringSpellsTheValueLowByteFirst) {
    struct Case {
        uint32_t value;
        const char* text;
    };
    for (const Case& c : {Case{0x3039, "000039300000"}, Case{0xA1B2C3D4, "0000D4C3B2A1"}, Case{1, "000001000000"}}) {
        SCOPED_TRACE(c.text);
        uint8_t d[tarn::kRandomSerialLength + 2];
        std::memset(d, 0xEE, sizeof d);
        ASSERT_EQ(tarn::RandomSerialString(c.value, d), KPL_OK);
        EXPECT_EQ(d[0], 26);
        EXPECT_EQ(d[1], 3);
        for (int i = 0; i < 12; ++i) {
            EXPECT_EQ(d[2 + 2 * i], static_cast<uint8_t>(c.text[i])) << i;
            EXPECT_EQ(d[3 + 2 * i], 0) << i;
        }
        EXPECT_EQ(d[26], 0xEE);  // nothing past the descriptor
    }
}

TEST_F(Serials, CarryInEveryPairing) {
    struct Case {
        const char* what;
        Firmware reader, download;
        int32_t status;
        const char* serial;  // pattern of the download's serial afterwards
        std::vector<std::string> logs{};
    };
    const Case cases[] = {
        {"number", number(0x12345678), number(0), KPL_OK, "number 12345678 check EDCBA988",
         {"Upload Bin Details:", "Download Bin Details:", "Updating actual serial no and shadow"}},
        {"number over the image's own", number(0x12345678), number(0x00C0FFEE), KPL_OK,
         "number 12345678 check EDCBA988", {}},
        {"blank number", number(0), number(0), KPL_OK, kRandomNumber, {"Updating actual serial no and shadow"}},
        {"string", text("QX0042AB17C9"), text("000000000000"), KPL_OK, "string QX0042AB17C9",
         {"Patching serial string of download from upload binary", "Preserving existing serial no in upload binary"}},
        {"string into a shifted image", text("QX0042AB17C9"), text("000000000000", 1), KPL_OK,
         "string QX0042AB17C9", {}},
        {"blank string", text("000000000000"), text("000000000000"), KPL_OK, kRandomString,
         {"Patching serial string of download from upload binary"}},
        {"number into a string image", number(0x12345678), text("000000000000"), KPL_OK,
         "number 12345678 check EDCBA988", {"Changing serial number type of Download Bin to DWORD"}},
        {"blank number into a string image", number(0), text("000000000000"), KPL_OK, kRandomNumber,
         {"Changing serial number type of Download Bin to DWORD"}},
        {"string into a number image", text("QX0042AB17C9"), number(0), KPL_OK, "string QX0042AB17C9",
         {"Changing serial number type of Download Bin to string"}},
        {"blank string into a number image", text("000000000000"), number(0), KPL_OK, kRandomString,
         {"Changing serial number type of Download Bin to string"}},
        {"reader without serial, image with its own", noSerial(), number(0x00C0FFEE), KPL_OK,
         "number 00C0FFEE check FF3F0012", {}},
        {"reader without serial, blank image", noSerial(), text("000000000000"), KPL_OK, kRandomString, {}},
        {"neither has a serial", noSerial(), noSerial(), KPL_OK, "none",
         {"Firmware SNo disabled in both device and download binary"}},
        {"image without serial", number(0x12345678), noSerial(), KPL_E_SERIAL_CARRY, "none", {}},
        {"reader's serial of unknown form", patched(number(1), serialType(kUnknownType)), number(0),
         KPL_E_SERIAL_CARRY, "number 00000000 check 00000000", {"nKPLStatus = 406"}},
        {"reader without serial block", without(number(1), &image::ImageSpec::omitSerialBlock), number(0),
         KPL_E_SERIAL_CARRY, "number 00000000 check 00000000", {"nKPLStatus = 407"}},
        {"image's serial of unknown form", number(0x12345678), patched(number(0), serialType(kUnknownType)),
         KPL_E_SERIAL_CARRY, "type 42", {}},
        {"reader's string longer than the image's place", text("QX0042AB17C9"),
         patched(text(""), stringAtEnd()), KPL_E_SERIAL_CARRY, "string ", {}},
        {"random string longer than the image's place", text("000000000000"), patched(text(""), stringAtEnd()),
         KPL_E_SERIAL_CARRY, "string ", {}},
        // Written whole it would run over what follows the image's own string.
        {"reader's string longer than the image's own", text("QX0042AB17C9WXYZ"), text("000000000000"),
         KPL_E_SERIAL_CARRY, "string 000000000000", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        forgetAll();
        testsupport::logged().clear();
        auto device = load(c.reader);
        auto target = load(c.download);
        EXPECT_EQ(tarn::CarrySerial(*device, *target, kPlaceA), c.status);
        expectSerial(*target, c.serial);
        expectLogged(c.logs);
    }
    // Everything after the examinations writes as unit "tarnutils".
    testsupport::logged().clear();
    carry(number(0x12345678), number(0), kPlaceB);
    EXPECT_TRUE(loggedBy("tarnutils", "Updating actual serial no and shadow")) << testsupport::allLogged();
}

TEST_F(Serials, NewSerialKeepsOrDraws) {
    struct Case {
        const char* what;
        Firmware download;
        int32_t status;
        const char* serial;
        std::vector<std::string> logs{};
    };
    const Case cases[] = {
        {"own number", number(0x00C0FFEE), KPL_OK, "number 00C0FFEE check FF3F0012", {}},
        {"blank number", number(0), KPL_OK, kRandomNumber, {}},
        {"own string", text("QX0042AB17C9"), KPL_OK, "string QX0042AB17C9",
         {"Preserving existing serial no in download binary"}},
        {"blank string", text("000000000000"), KPL_OK, kRandomString, {}},
        {"serials switched off", noSerial(), KPL_OK, "none", {"Serial number support is disabled in download binary"}},
        {"unknown form", patched(number(0), serialType(kUnknownType)), KPL_E_SERIAL_TYPE, "type 42", {}},
        {"no serial block", without(number(0), &image::ImageSpec::omitSerialBlock), KPL_E_SERIAL_MISSING, "none",
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::logged().clear();
        auto target = load(c.download);
        EXPECT_EQ(tarn::NewSerial(*target, kPlaceA), c.status);
        expectSerial(*target, c.serial);
        expectLogged(c.logs);
    }
    EXPECT_FALSE(tarn::HasKeptSerial(kPlaceA));  // drawing keeps nothing
}

// Readers updated one after another, within the same second, get serials of their own; the log
// names the serial written.
TEST_F(Serials, RandomSerialsDifferBetweenReaders) {
    std::set<std::string> serials;
    for (int i = 0; i < 6; ++i) {
        testsupport::logged().clear();
        auto target = load(number(0));
        ASSERT_EQ(tarn::NewSerial(*target, kPlaceA), KPL_OK);
        const auto block = image::ReadSerialBlock(target->data(), target->length());
        char line[64];
        std::snprintf(line, sizeof line, "Random Serial Number = %x", block->number);
        EXPECT_TRUE(testsupport::loggedMessage(line)) << testsupport::allLogged();
        serials.insert(serialOf(*target));
    }
    EXPECT_GT(serials.size(), 1u);
}

TEST_F(Serials, RetryCarriesTheSerialOfTheFirstAttempt) {
    struct Case {
        const char* what;
        Firmware first, later, download;
        const char* serial;
    };
    const Case cases[] = {
        {"number", number(0x12345678), number(0x0BADF00D), number(0), "number 12345678 check EDCBA988"},
        {"number, now blank", number(0x12345678), number(0), number(0), "number 12345678 check EDCBA988"},
        {"string", text("QX0042AB17C9"), text("000000000000"), text("000000000000"), "string QX0042AB17C9"},
        {"number into a string image", number(0x12345678), number(0), text("000000000000"),
         "number 12345678 check EDCBA988"},
        {"string into a number image", text("QX0042AB17C9"), text("ZZ"), number(0), "string QX0042AB17C9"},
        {"reader now without serial", number(0x12345678), noSerial(), number(0), "number 12345678 check EDCBA988"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        forgetAll();
        carry(c.first, c.download, kPlaceA);
        EXPECT_TRUE(tarn::HasKeptSerial(kPlaceA));
        // The download failed; the reader came back reporting another serial.
        EXPECT_TRUE(std::regex_match(carry(c.later, c.download, kPlaceA), std::regex(c.serial)));
        // Another reader is not given it.
        EXPECT_FALSE(tarn::HasKeptSerial(kPlaceB));
        EXPECT_FALSE(std::regex_match(carry(c.later, c.download, kPlaceB), std::regex(c.serial)));
        // After the verified download the reader's own serial counts again.
        tarn::ForgetKeptSerial(kPlaceA);
        EXPECT_FALSE(tarn::HasKeptSerial(kPlaceA));
        EXPECT_FALSE(std::regex_match(carry(c.later, c.download, kPlaceA), std::regex(c.serial)));
    }
}

TEST_F(Serials, KeptSerialGoesOnlyToItsOwnPlace) {
    testsupport::logged().clear();
    carry(number(0x12345678), number(0), kPlaceA);
    EXPECT_EQ(carry(number(0x22222222), number(0), kPlaceB), "number 22222222 check DDDDDDDE");
    EXPECT_EQ(carry(number(0x0BADF00D), number(0), kPlaceA), "number 12345678 check EDCBA988");

    // NewSerial on its own: the place's kept serial, or a random one elsewhere.
    testsupport::logged().clear();
    auto retried = load(number(0));
    ASSERT_EQ(tarn::NewSerial(*retried, kPlaceA), KPL_OK);
    EXPECT_EQ(serialOf(*retried), "number 12345678 check EDCBA988");
    expectLogged({"Preserving Serial Number during retry = 12345678"});
    auto other = load(number(0));
    ASSERT_EQ(tarn::NewSerial(*other, "hub 2 port 2"), KPL_OK);
    expectSerial(*other, kRandomNumber);

    // An unnamed place is a place of its own.
    EXPECT_FALSE(tarn::HasKeptSerial(nullptr));
    carry(number(0x33333333), number(0), nullptr);
    EXPECT_TRUE(tarn::HasKeptSerial(""));
    EXPECT_EQ(carry(number(0x0BADF00D), number(0), ""), "number 33333333 check CCCCCCCD");
    EXPECT_EQ(carry(number(0x0BADF00D), number(0), kPlaceA), "number 12345678 check EDCBA988");
    tarn::ForgetKeptSerial(nullptr);
    EXPECT_FALSE(tarn::HasKeptSerial(""));
    EXPECT_TRUE(tarn::HasKeptSerial(kPlaceA));
}

}  // namespace
