// The bulk-only transport of a USB mass-storage bridge in front of a SCSI target: the three
// phases of a command in both directions, the status wrapper's residue and status, and the
// stall of a wrapper that is not valid until the class reset.
#include <gtest/gtest.h>

#include <cstring>

#include "../src/usb_mass_storage.h"

namespace {

using lab::ScsiCommand;
using lab::ScsiOutcome;
using lab::UsbOutcome;

// A target that answers INQUIRY with 36 bytes, takes writes of any length and fails 0xEE.
class FakeTarget : public lab::ScsiTarget {
public:
    int targetId() const override { return -1; }
    int lun() const override { return 0; }
    const std::string& inquiryText() const override { return text_; }
    bool removableMedia() const override { return true; }
    uint8_t peripheralType() const override { return 0; }
    ScsiOutcome execute(const ScsiCommand& c) override {
        ScsiOutcome o;
        if (c.cdb[0] == 0x12) {
            o.transferred = std::min<uint32_t>(36, c.dataLength);
            std::memset(c.data, 0x41, o.transferred);
        } else if (c.cdb[0] == 0x2A) {
            written.assign(c.data, c.data + c.dataLength);
            o.transferred = c.dataLength;
        } else {
            o.status = lab::kStatusCheckCondition;
        }
        return o;
    }
    std::vector<uint8_t> written;

private:
    std::string text_ = std::string(28, ' ');
};

std::vector<uint8_t> cbw(uint32_t tag, uint32_t length, bool in, std::initializer_list<uint8_t> cdb) {
    usbms::CommandBlockWrapper w{};
    w.signature = usbms::kCbwSignature;
    w.tag = tag;
    w.dataTransferLength = length;
    w.flags = in ? usbms::kCbwFlagIn : 0;
    w.commandLength = static_cast<uint8_t>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), w.command);
    std::vector<uint8_t> bytes(sizeof w);
    std::memcpy(bytes.data(), &w, sizeof w);
    return bytes;
}

usbms::CommandStatusWrapper status(lab::UsbMassStorageBridge& b) {
    uint8_t raw[usbms::kCswLength] = {};
    EXPECT_EQ(b.bulkIn(raw, sizeof raw).transferred, usbms::kCswLength);
    usbms::CommandStatusWrapper csw;
    std::memcpy(&csw, raw, sizeof csw);
    EXPECT_EQ(csw.signature, usbms::kCswSignature);
    return csw;
}

TEST(UsbMassStorage, CommandsInEitherDirectionAndTheirStatus) {
    FakeTarget target;
    lab::UsbMassStorageBridge bridge(target);

    // Data in, the host asking for more than the device has: a residue.
    auto w = cbw(7, 64, true, {0x12, 0, 0, 0, 64, 0});
    ASSERT_EQ(bridge.bulkOut(w.data(), static_cast<uint32_t>(w.size())).kind, UsbOutcome::Kind::Completed);
    uint8_t data[64] = {};
    EXPECT_EQ(bridge.bulkIn(data, sizeof data).transferred, 36u);
    EXPECT_EQ(data[35], 0x41);
    auto csw = status(bridge);
    EXPECT_EQ(csw.tag, 7u);
    EXPECT_EQ(csw.dataResidue, 28u);
    EXPECT_EQ(csw.status, usbms::kCswPassed);

    // Data out, in two transfers.
    w = cbw(8, 8, false, {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0});
    bridge.bulkOut(w.data(), static_cast<uint32_t>(w.size()));
    const uint8_t payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(bridge.bulkOut(payload, 5).transferred, 5u);
    EXPECT_TRUE(target.written.empty()) << "the command runs once all its data is there";
    EXPECT_EQ(bridge.bulkOut(payload + 5, 3).transferred, 3u);
    EXPECT_EQ(target.written, std::vector<uint8_t>(payload, payload + 8));
    csw = status(bridge);
    EXPECT_EQ(csw.dataResidue, 0u);

    // A failing command: status 1, and the host asks for sense next.
    w = cbw(9, 0, false, {0xEE, 0, 0, 0, 0, 0});
    bridge.bulkOut(w.data(), static_cast<uint32_t>(w.size()));
    EXPECT_EQ(status(bridge).status, usbms::kCswFailed);

    // Get Max LUN.
    uint8_t lun = 0xFF;
    lab::UsbSetup maxLun{usbms::kGetMaxLunRequestType, usbms::kGetMaxLun, 0, 0, 1};
    ASSERT_TRUE(bridge.control(maxLun, &lun));
    EXPECT_EQ(lun, 0);
    EXPECT_FALSE(bridge.control(lab::UsbSetup{0x80, 0x06, 0x0100, 0, 18}, &lun)) << "a standard request is not the bridge's";
}

TEST(UsbMassStorage, AnInvalidWrapperStallsUntilTheReset) {
    FakeTarget target;
    lab::UsbMassStorageBridge bridge(target);
    auto bad = cbw(1, 0, false, {0x00});
    bad[0] = 'X';
    EXPECT_EQ(bridge.bulkOut(bad.data(), static_cast<uint32_t>(bad.size())).kind, UsbOutcome::Kind::Stalled);
    auto good = cbw(2, 0, false, {0x00});
    EXPECT_EQ(bridge.bulkOut(good.data(), static_cast<uint32_t>(good.size())).kind, UsbOutcome::Kind::Stalled)
        << "stalled until reset recovery";
    uint8_t none = 0;
    EXPECT_EQ(bridge.bulkIn(&none, 1).kind, UsbOutcome::Kind::Stalled);
    ASSERT_TRUE(bridge.control(lab::UsbSetup{usbms::kResetRequestType, usbms::kReset, 0, 0, 0}, nullptr));
    EXPECT_EQ(bridge.bulkOut(good.data(), static_cast<uint32_t>(good.size())).kind, UsbOutcome::Kind::Completed);
    EXPECT_EQ(status(bridge).tag, 2u);
    // A short wrapper is not valid either.
    EXPECT_EQ(bridge.bulkOut(good.data(), 30).kind, UsbOutcome::Kind::Stalled);
}

}  // namespace
