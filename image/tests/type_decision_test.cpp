// Signature search and the two families' type decisions, on hand-made images.
#include <gtest/gtest.h>
#include <image/signatures.h>

#include <cstring>
#include <string>
#include <vector>

#include "log_capture.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Mark {
    uint32_t offset;  // UINT32_MAX: the last eight bytes
    const char* text;
};

Bytes makeImage(uint32_t length, std::initializer_list<Mark> marks) {
    Bytes b(length, 0);
    for (const Mark& m : marks) {
        const size_t n = std::strlen(m.text);
        const uint32_t at = m.offset == UINT32_MAX ? length - static_cast<uint32_t>(n) : m.offset;
        std::memcpy(b.data() + at, m.text, n);
    }
    return b;
}

constexpr uint32_t kEnd = UINT32_MAX;

TEST(FindSignature, BoundsOfTheSearch) {
    const Bytes tail = makeImage(64, {{kEnd, "CAPAB"}});
    EXPECT_EQ(image::FindSignature(tail.data(), 64, "CAPAB"), 59u) << "a signature in the last bytes is found";
    EXPECT_FALSE(image::FindSignature(tail.data(), 63, "CAPAB")) << "a signature cut by the end is not";
    EXPECT_FALSE(image::FindSignature(tail.data(), 4, "CAPAB")) << "an image shorter than the signature";
    EXPECT_FALSE(image::FindSignature(tail.data(), 0, "CAPAB"));
    EXPECT_FALSE(image::FindSignature(nullptr, 64, "CAPAB"));
    EXPECT_FALSE(image::FindSignature(tail.data(), 64, ""));
    const Bytes twice = makeImage(64, {{3, "DESC"}, {40, "DESC"}});
    EXPECT_EQ(image::FindSignature(twice.data(), 64, "DESC"), 3u) << "the first occurrence counts";
}

struct TarnCase {
    const char* name;
    uint32_t length;
    std::initializer_list<Mark> marks;
    int type;
};

TEST(DecideTarnType, ByLengthMarkersAndTrailer) {
    const TarnCase cases[] = {
        {"rounded 40,000-byte file", 40448, {{54, "DFU_07"}}, 11},
        {"DFU_02 without trailer", 0x8000, {{54, "DFU_02"}}, 11},
        {"DFU_02 with trailer", 0x8000, {{54, "DFU_02"}, {kEnd, "DFUVALID"}}, 1},
        {"DFU_07 needs no trailer", 0x8000, {{54, "DFU_07"}}, 7},
        {"DFU_08", 0x8000, {{54, "DFU_08"}}, 8},
        {"DFU_00 in 32 KB wins over DFU_02", 0x8000, {{4150, "DFU_00"}, {54, "DFU_02"}, {kEnd, "DFUVALID"}}, 0},
        {"DFU_09", 0xC000, {{54, "DFU_09"}}, 9},
        {"DFU_0A", 0xC000, {{54, "DFU_0A"}}, 10},
        {"DFU_07 in 48 KB", 0xC000, {{54, "DFU_07"}}, 11},
        {"DFU_04", 0xE000, {{8246, "DFU_04"}, {kEnd, "DFUVALID"}}, 4},
        {"DFU_04 without trailer", 0xE000, {{8246, "DFU_04"}}, 11},
        {"DFU_00 in 64 KB", 0x10000, {{4150, "DFU_00"}, {kEnd, "DFUVALID"}}, 0},
        {"DM3VALID whatever it holds", 0x10000, {{54, "DFU_03"}, {4150, "DFU_05"}, {kEnd, "DM3VALID"}}, 2},
        {"DFU_03", 0x10000, {{54, "DFU_03"}, {kEnd, "DFUVALID"}}, 3},
        {"DFU_05", 0x10000, {{4150, "DFU_05"}, {kEnd, "DFUVALID"}}, 5},
        {"DFU_05 at the wrong page", 0x10000, {{54, "DFU_05"}, {kEnd, "DFUVALID"}}, 11},
        {"tiny", 8, {{kEnd, "DFUVALID"}}, 11},
        {"empty", 0, {}, 11},
    };
    for (const TarnCase& c : cases) {
        const Bytes b = makeImage(c.length, c.marks);
        EXPECT_EQ(image::DecideTarnType(b.data(), c.length), c.type) << c.name;
    }
}

TEST(DecideScsiType, TrailerLengthThenMarker) {
    struct Case {
        const char* name;
        uint32_t length;
        std::initializer_list<Mark> marks;
        int type;
        const char* logged;
    };
    const Case cases[] = {
        {"no trailer", 0x10000, {{4150, "SCSIDFU_00"}}, 3, "DFUVALID signature not found."},
        {"wrong length", 0x8000, {{4150, "SCSIDFU_00"}, {kEnd, "ROVA_DFU"}}, 3, "Invalid binary size."},
        {"empty", 0, {}, 3, "DFUVALID signature not found."},
        {"type 0", 0x10000, {{4150, "SCSIDFU_00"}, {kEnd, "ROVA_DFU"}}, 0, nullptr},
        {"type 1", 0x10000, {{4150, "SCSIDFU_01"}, {kEnd, "ROVA_DFU"}}, 1, nullptr},
        {"type 2", 0x10000, {{4150, "SCSIDFU_02"}, {kEnd, "ROVA_DFU"}}, 2, nullptr},
        {"no marker", 0x10000, {{54, "SCSIDFU_01"}, {kEnd, "ROVA_DFU"}}, 3, nullptr},
    };
    for (const Case& c : cases) {
        imagetest::logged().clear();
        const Bytes b = makeImage(c.length, c.marks);
        EXPECT_EQ(image::DecideScsiType(b.data(), c.length, imagetest::captureLog), c.type) << c.name;
        if (c.logged) {
            ASSERT_EQ(imagetest::logged().size(), 1u) << c.name;
            EXPECT_EQ(imagetest::logged()[0].rfind("Utils(", 0), 0u) << c.name;
            EXPECT_EQ(imagetest::messageOf(imagetest::logged()[0]), c.logged) << c.name;
        } else {
            EXPECT_TRUE(imagetest::logged().empty()) << c.name << imagetest::allLogged();
        }
    }
}

}  // namespace
