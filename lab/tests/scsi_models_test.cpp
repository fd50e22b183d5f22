// The SCSI-side models answer from their memories, refuse what their firmware refuses, and take
// faults.
#include <chrono>
#include <cstring>

#include "hardware_fixture.h"

using labtest::blockReadCdb;
using labtest::blockWriteCdb;
using labtest::cdbOf;
using labtest::HardwareTest;
using labtest::run;
using labtest::senseOf;
using lab::DataDirection;
using nlohmann::json;

namespace {

const std::vector<int> kInvalidField = {0x05, 0x24, 0x00};
const std::vector<int> kInvalidOpcode = {0x05, 0x20, 0x00};

std::vector<uint8_t> inquiry(lab::PhysicalDevice& d, uint8_t lun = 0) {
    std::vector<uint8_t> buffer(36);
    const auto o = run(d, {0x12, 0, 0, 0, 36, 0}, buffer, DataDirection::In, lun);
    EXPECT_EQ(o.status, lab::kStatusGood);
    EXPECT_EQ(o.transferred, 36u);
    return buffer;
}

TEST_F(HardwareTest, ReaderReportsTheFirmwareInItsFlash) {
    attach({{"kind", "scsi-reader"}, {"id", "r"}, {"version", "2.07"}, {"feature", "0x31"}, {"dfu-type", 2},
            {"write-protect", 1}, {"target", 5}});
    auto r = device("r");
    const auto q = inquiry(*r);
    EXPECT_EQ(std::string(q.begin() + 8, q.end()), "SCSI    Secure Reader   1.00");
    EXPECT_EQ(q[1], 0x80) << "removable medium";

    std::vector<uint8_t> log(10), features(6), controller(16);
    ASSERT_EQ(run(*r, cdbOf(readercmd::kCdbDiagLog, 10), log).status, lab::kStatusGood);
    EXPECT_EQ(log[readercmd::kDiagLogValid], readercmd::kDiagLogValidMark);
    EXPECT_EQ(log[readercmd::kDiagLogTargetId], 5);
    EXPECT_EQ(log[readercmd::kDiagLogWriteProtect], 1);
    EXPECT_EQ(log[readercmd::kDiagLogDfuType], 2);
    ASSERT_EQ(run(*r, cdbOf(readercmd::kCdbFeatures, 10), features).status, lab::kStatusGood);
    EXPECT_EQ(features[readercmd::kFeaturesFeature], 0x31);
    ASSERT_EQ(run(*r, cdbOf(readercmd::kCdbQueryController, 10), controller).status, lab::kStatusGood);
    EXPECT_EQ(controller[readercmd::kQueryControllerMajor], 2);
    EXPECT_EQ(controller[readercmd::kQueryControllerMinor], 7);

    // A diagnostic without its key is not one.
    std::vector<uint8_t> cdb = cdbOf(readercmd::kCdbFeatures, 10);
    cdb[5] = 'X';
    EXPECT_EQ(senseOf(run(*r, cdb, features)), kInvalidField);

    // A new image written block by block shows at the next query, as after a download.
    std::vector<uint8_t> image = memory("r", "flash");
    for (size_t i = 0; i + 5 < image.size(); ++i)
        if (std::memcmp(&image[i], "CAPAB", 5) == 0) image[i + 8] = 3, image[i + 9] = 1;
    ASSERT_EQ(run(*r, blockWriteCdb(16, 0), image, DataDirection::Out).status, lab::kStatusGood);
    ASSERT_EQ(run(*r, cdbOf(readercmd::kCdbQueryController, 10), controller).status, lab::kStatusGood);
    EXPECT_EQ(controller[readercmd::kQueryControllerMajor], 3);
    EXPECT_EQ(controller[readercmd::kQueryControllerMinor], 1);
}

TEST_F(HardwareTest, ReaderBlockTransfersNeedTheAccessSequenceToWrite) {
    attach({{"kind", "scsi-reader"}, {"id", "r"}});
    auto r = device("r");
    const std::vector<uint8_t> flash = memory("r", "flash");
    std::vector<uint8_t> all(65536);
    ASSERT_EQ(run(*r, blockReadCdb(16, 0), all).status, lab::kStatusGood);
    EXPECT_EQ(all, flash);
    std::vector<uint8_t> signature(4096);
    std::vector<uint8_t> sigCdb = {readercmd::kOpRova, 0, readercmd::kRovaSignature, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(run(*r, sigCdb, signature).status, lab::kStatusGood);
    EXPECT_TRUE(std::equal(signature.begin(), signature.end(), flash.begin() + readercmd::kSignatureAreaOffset));
    EXPECT_EQ(senseOf(run(*r, blockReadCdb(2, 15), all)), (std::vector<int>{0x05, 0x21, 0x00})) << "past block 15";

    std::vector<uint8_t> blocks(15 * 4096, 0x5A);
    std::vector<uint8_t> wrong = blockWriteCdb(15, 1);
    wrong[9] ^= 1;
    EXPECT_EQ(senseOf(run(*r, wrong, blocks, DataDirection::Out)), kInvalidField);
    EXPECT_EQ(memory("r", "flash"), flash) << "a refused write changes nothing";
    EXPECT_EQ(run(*r, blockWriteCdb(15, 1), blocks, DataDirection::In).kind, lab::ScsiOutcome::Kind::PhaseError)
        << "data the wrong way round";
    ASSERT_EQ(run(*r, blockWriteCdb(15, 1), blocks, DataDirection::Out).status, lab::kStatusGood);
    const std::vector<uint8_t> now = memory("r", "flash");
    EXPECT_TRUE(std::equal(now.begin(), now.begin() + 4096, flash.begin())) << "block 0 untouched";
    EXPECT_TRUE(std::equal(blocks.begin(), blocks.end(), now.begin() + 4096));
}

TEST_F(HardwareTest, ReaderInUpgradeModeRunsOnlyItsBootLoader) {
    attach({{"kind", "scsi-reader"}, {"id", "r"}, {"mode", "upgrade"}});
    auto r = device("r");
    const auto q = inquiry(*r);
    EXPECT_EQ(std::string(q.begin() + 8, q.begin() + 19), "SCSI    DFU");
    std::vector<uint8_t> log(10);
    EXPECT_EQ(senseOf(run(*r, cdbOf(readercmd::kCdbDiagLog, 10), log)), kInvalidOpcode);
    std::vector<uint8_t> all(65536);
    EXPECT_EQ(run(*r, blockReadCdb(16, 0), all).status, lab::kStatusGood);
}

TEST_F(HardwareTest, QuollUnitHoldsTheExternalFirmware) {
    attach({{"kind", "quoll-unit"}, {"id", "q"}, {"version", "1.05"}});
    auto q = device("q");
    const auto id = inquiry(*q);
    EXPECT_EQ(std::string(id.begin() + 8, id.begin() + 24), "Tarn    SD-MS-SM");
    std::vector<uint8_t> firmware(65536);
    ASSERT_EQ(run(*q, {readercmd::kOpQuoll, 0, readercmd::kQuollRead, 0, 0, 0, 0, 0, 0, 0}, firmware).status,
              lab::kStatusGood);
    EXPECT_EQ(firmware, memory("q", "external"));
    EXPECT_EQ(firmware[16], 1);
    EXPECT_EQ(firmware[17], 5);

    std::vector<uint8_t> image(65536, 0xA5);
    std::vector<uint8_t> cdb = {readercmd::kOpQuoll, 0, readercmd::kQuollWrite};
    cdb.insert(cdb.end(), std::begin(readercmd::kQuollWriteSequence), std::end(readercmd::kQuollWriteSequence));
    cdb.push_back(0);
    std::vector<uint8_t> wrong = cdb;
    wrong[10] ^= 0xFF;
    EXPECT_EQ(senseOf(run(*q, wrong, image, DataDirection::Out)), kInvalidField);
    EXPECT_EQ(memory("q", "external"), firmware);
    ASSERT_EQ(run(*q, cdb, image, DataDirection::Out).status, lab::kStatusGood);
    EXPECT_EQ(memory("q", "external"), image);
}

TEST_F(HardwareTest, DevicesThatOnlyIdentifyThemselves) {
    attach({{"kind", "cdrom"}, {"id", "cd"}});
    attach({{"kind", "disk"}, {"id", "c"}});
    attach({{"kind", "removable"}, {"id", "stick"}});
    struct Case {
        const char* id;
        uint8_t peripheral, removable;
    };
    for (const Case& c : {Case{"cd", 0x05, 0x80}, Case{"c", 0x00, 0x00}, Case{"stick", 0x00, 0x80}}) {
        auto d = device(c.id);
        const auto q = inquiry(*d);
        EXPECT_EQ(q[0], c.peripheral) << c.id;
        EXPECT_EQ(q[1], c.removable) << c.id;
        EXPECT_EQ(inquiry(*d, 1)[0], readercmd::kNoLogicalUnit) << c.id << ": no LUN 1";
        std::vector<uint8_t> none;
        EXPECT_EQ(run(*d, {0x00, 0, 0, 0, 0, 0}, none).status, lab::kStatusGood) << "TEST UNIT READY";
        std::vector<uint8_t> blocks(4096);
        EXPECT_EQ(senseOf(run(*d, blockReadCdb(1, 0), blocks)), kInvalidOpcode) << c.id;
        // REQUEST SENSE hands out what the last command left.
        std::vector<uint8_t> sense(18);
        ASSERT_EQ(run(*d, {0x03, 0, 0, 0, 18, 0}, sense).status, lab::kStatusGood);
        EXPECT_EQ(sense[2], 0x05);
        EXPECT_EQ(sense[12], 0x20);
    }
}

TEST_F(HardwareTest, FaultsOfEveryKind) {
    attach({{"kind", "scsi-reader"}, {"id", "r"}});
    auto r = device("r");
    const std::vector<uint8_t> flash = memory("r", "flash");
    std::vector<uint8_t> block(4096);

    lab_->applyFault("r", "fail:AC00A0:2");
    lab_->applyFault("r", "sense:AC00A0:03/11/00:1");
    for (int i = 0; i < 2; ++i) EXPECT_EQ(senseOf(run(*device("r"), blockReadCdb(1, 0), block)), (std::vector<int>{4, 0x44, 0}));
    EXPECT_EQ(senseOf(run(*r, blockReadCdb(1, 0), block)), (std::vector<int>{3, 0x11, 0}));
    EXPECT_EQ(run(*r, blockReadCdb(1, 0), block).status, lab::kStatusGood);

    lab_->applyFault("r", "corrupt:read:1");
    ASSERT_EQ(run(*device("r"), blockReadCdb(1, 0), block).status, lab::kStatusGood);
    EXPECT_FALSE(std::equal(block.begin(), block.end(), flash.begin())) << "the data came back altered";
    EXPECT_EQ(memory("r", "flash"), flash) << "but the flash holds what it held";

    std::vector<uint8_t> blocks(15 * 4096, 0x11);
    lab_->applyFault("r", "corrupt:write:1");
    ASSERT_EQ(run(*device("r"), blockWriteCdb(15, 1), blocks, DataDirection::Out).status, lab::kStatusGood);
    const std::vector<uint8_t> stored = memory("r", "flash");
    EXPECT_FALSE(std::equal(blocks.begin(), blocks.end(), stored.begin() + 4096)) << "stored altered";

    // A stall costs the caller's whole time-out, on the lab clock (10 s of lab time here).
    lab_->applyFault("r", "stall:FD0082:1");
    std::vector<uint8_t> log(10);
    lab::ScsiCommand c;
    c.cdb = readercmd::kCdbDiagLog;
    c.cdbLength = 10;
    c.direction = DataDirection::In;
    c.data = log.data();
    c.dataLength = 10;
    c.timeoutSeconds = 10;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(device("r")->scsi()->execute(c).kind, lab::ScsiOutcome::Kind::TimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(10));

    // Pulled out during the eighth block write: half of that write is in the flash, then the
    // reader is gone.
    std::vector<uint8_t> fresh(15 * 4096, 0x77);
    lab_->applyFault("r", "unplug:AC0090@7");
    for (int i = 0; i < 7; ++i)
        ASSERT_EQ(run(*device("r"), blockWriteCdb(15, 1), blocks, DataDirection::Out).status, lab::kStatusGood);
    EXPECT_EQ(run(*r, blockWriteCdb(15, 1), fresh, DataDirection::Out).kind, lab::ScsiOutcome::Kind::NoDevice);
    const std::vector<uint8_t> half = memory("r", "flash");
    EXPECT_TRUE(std::all_of(half.begin() + 4096, half.begin() + 8 * 4096, [](uint8_t b) { return b == 0x77; }));
    EXPECT_TRUE(std::all_of(half.begin() + 8 * 4096, half.begin() + 16 * 4096, [](uint8_t b) { return b == 0x11; }));
    EXPECT_EQ(entry("r")["plugged"], false);
    EXPECT_EQ(run(*r, blockReadCdb(1, 0), block).kind, lab::ScsiOutcome::Kind::NoDevice);
    lab_->applyFault("r", "clear");
    EXPECT_EQ(run(*device("r"), blockReadCdb(1, 0), block).status, lab::kStatusGood);
}

}  // namespace
