// The fault language: what parses, how it is kept, and how a fault counts the commands it hits.
#include <gtest/gtest.h>

#include <lab/faults.h>

namespace {

using lab::DataDirection;
using lab::Fault;

TEST(FaultLanguage, SpellingsAndTheirCanonicalForm) {
    struct Case {
        const char* written;
        const char* canonical;  // nullptr: refused, and `error` is part of the message
        const char* error;
    };
    const Case cases[] = {
        {"fail:AC00A0:3", "fail:AC00A0:3", nullptr},
        {"fail:ac00a0", "fail:AC00A0", nullptr},
        {"sense:AC0090:05/24/00", "sense:AC0090:05/24/00", nullptr},
        {"sense:12:0b/4e/01:2@5", "sense:12:0B/4E/01:2@5", nullptr},
        {"stall:FD0082", "stall:FD0082", nullptr},
        {"corrupt:READ", "corrupt:read", nullptr},
        {"corrupt:write:1", "corrupt:write:1", nullptr},
        {"unplug:AC0090@7", "unplug:AC0090@7", nullptr},
        {"fail:any@2", "fail:any@2", nullptr},
        {"fail:scsi:ac0090:2", "fail:AC0090:2", nullptr},
        {"sense:scsi:12:05/24/00", "sense:12:05/24/00", nullptr},
        {"fail:usb:c0.d2:1", "fail:usb:C0.D2:1", nullptr},
        {"stall:usb:any", "stall:usb:any", nullptr},
        {"corrupt:bulk:IN@3", "corrupt:bulk:in@3", nullptr},
        {"unplug:bulk:out", "unplug:bulk:out", nullptr},
        {"fail:port:2", "fail:port:2", nullptr},
        {"lost:LEAVE:Cycle:2@1", "lost:leave:cycle:2@1", nullptr},
        {"stuck:leave:power", "stuck:leave:power", nullptr},
        {"stuck:port:1", "stuck:port:1", nullptr},
        {"usbstor:leave:detach:1", "usbstor:leave:detach:1", nullptr},
        {"ids:leave:any:12ab.00ff", "ids:leave:any:12AB.00FF", nullptr},
        {"slow:leave:detach:3600000:1@2", "slow:leave:detach:3600000:1@2", nullptr},
        {"slow:fc0091:15000:1", "slow:FC0091:15000:1", nullptr},
        {"slow:scsi:write:20", "slow:write:20", nullptr},
        {"empty:port:1", "empty:port:1", nullptr},
        {"slow:usb:C1.01:500", nullptr, "slow is for SCSI commands and the device leaving"},
        {"empty:leave:power", nullptr, "empty is for port only"},
        {"usbstatus:usb:21.00:c0000004", "usbstatus:usb:21.00:C0000004", nullptr},
        {"ntstatus:bulk:out:C00002B6:3", "ntstatus:bulk:out:C00002B6:3", nullptr},
        {"replug:bulk:in@4", "replug:bulk:in@4", nullptr},
        {"corrupt:usb:a1.02+8f00:1", "corrupt:usb:A1.02+8F00:1", nullptr},
        {"corrupt:AC0090+0010", "corrupt:AC0090+10", nullptr},
        {"corrupt:bulk:in+0@1", "corrupt:bulk:in+0@1", nullptr},
        {"fail:usb:C0", nullptr, "bad control request"},
        {"fail:bulk:up", nullptr, "bad bulk direction"},
        {"fail:scsi", nullptr, "needs what it hits"},
        {"sense:usb:C0.D2:05/24/00", nullptr, "SCSI commands only"},
        {"explode:AC", nullptr, "unknown fault"},
        {"fail", nullptr, "needs a command"},
        {"fail:A", nullptr, "bad command"},
        {"fail:ZZ", nullptr, "bad command byte 'ZZ'"},
        {"fail:AC00A0:0", nullptr, "count of 0"},
        {"fail:AC00A0:x", nullptr, "bad count"},
        {"sense:AC0090", nullptr, "needs sense data"},
        {"sense:AC0090:5/24/00", nullptr, "bad sense byte"},
        {"sense:AC0090:15/24/00", nullptr, "sense key"},
        {"unplug:AC0090:2", nullptr, "happens once"},
        {"fail:AC00A0:1:2", nullptr, "too many"},
        {"fail:AC00A0@", nullptr, "bad count"},
        {"lost:usb:any", nullptr, "lost is for the device leaving its port"},
        {"fail:leave:detach", nullptr, "fail is for SCSI commands, USB requests and the port only"},
        {"stuck:bulk:in", nullptr, "stuck is for leave:K and port only"},
        {"usbstor:leave:cycle", nullptr, "usbstor is for leave:detach only"},
        {"usbstatus:AC0090:C0000004", nullptr, "usbstatus is for USB requests"},
        {"ntstatus:port:C00002B6", nullptr, "ntstatus is for USB requests"},
        {"replug:usb:any:2", nullptr, "happens once"},
        {"lost:leave:unplug", nullptr, "bad leave kind 'unplug'"},
        {"lost:leave", nullptr, "needs what it hits after leave:"},
        {"ids:leave:detach", nullptr, "needs USB identifiers"},
        {"ids:leave:detach:12AB", nullptr, "bad USB identifiers"},
        {"ids:leave:detach:12AB.FF", nullptr, "bad USB identifiers"},
        {"slow:leave:power:0", nullptr, "bad delay"},
        {"slow:leave:power:3600001", nullptr, "bad delay"},
        {"usbstatus:usb:any", nullptr, "needs a status"},
        {"usbstatus:usb:any:C004", nullptr, "bad status 'C004'"},
        {"fail:usb:any+10", "fail:usb:any+10", nullptr},
        {"replug:usb:41.05+1000", "replug:usb:41.05+1000", nullptr},
        {"replug:E500+40", "replug:E500+40", nullptr},
        {"short:E402:10:1", "short:E402:10:1", nullptr},
        {"csw:scsi:E5:TAG", "csw:E5:tag", nullptr},
        {"csw:E2:12@1", "csw:E2:12@1", nullptr},
        {"csw:any:phase", "csw:any:phase", nullptr},
        {"bad:block+1040:erase", "bad:block+1040:erase", nullptr},
        {"bad:block+c0:never:2", "bad:block+C0:never:2", nullptr},
        {"bad:block:written", nullptr, "needs the block's position"},
        {"bad:block+40:sometimes", nullptr, "bad block kind"},
        {"bad:E5+40:never", nullptr, "bad is for block+HEX only"},
        {"short:E4:0", nullptr, "bad length"},
        {"short:usb:any:10", nullptr, "short is for SCSI commands only"},
        {"csw:E5:13", nullptr, "bad status wrapper"},
        {"stuck:port+10", nullptr, "requests that carry data"},
        {"corrupt:read+", nullptr, "bad byte position"},
        {"corrupt:read+123456789", nullptr, "bad byte position"},
    };
    for (const Case& c : cases) {
        try {
            const Fault f = lab::parseFault(c.written);
            ASSERT_NE(c.canonical, nullptr) << c.written << " was accepted";
            EXPECT_EQ(f.toString(), c.canonical) << c.written;
            EXPECT_TRUE(lab::parseFault(f.toString()) == f) << c.written << ": the canonical form reads back";
        } catch (const std::invalid_argument& e) {
            ASSERT_EQ(c.canonical, nullptr) << c.written << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
    }
}

// The models read the values from the fields, so a value parsed into the wrong field (which
// would still print back the same) matters.
TEST(FaultLanguage, ValuesAreKeptInTheirFields) {
    const Fault ids = lab::parseFault("ids:leave:detach:12AB.00FF");
    EXPECT_EQ(ids.leaveKind, lab::LeaveKind::Detach);
    EXPECT_EQ(ids.vendorId, 0x12AB);
    EXPECT_EQ(ids.productId, 0x00FF);
    EXPECT_EQ(lab::parseFault("usbstatus:usb:any:C0000011").status, 0xC0000011u);
    EXPECT_EQ(lab::parseFault("ntstatus:bulk:in:C000009D").status, 0xC000009Du);
    EXPECT_EQ(lab::parseFault("slow:leave:cycle:2500").delayMs, 2500u);
    EXPECT_EQ(lab::parseFault("corrupt:usb:A1.02+8F00").position, 0x8F00u);
    EXPECT_FALSE(lab::parseFault("corrupt:usb:A1.02").position) << "without a position the model picks the byte";
    EXPECT_EQ(lab::parseFault("replug:usb:any").remaining, 1u) << "a replug happens once";
    EXPECT_EQ(lab::parseFault("short:E4:10").bytes, 10u);
    EXPECT_EQ(lab::parseFault("csw:E5:14").wrapper, Fault::Wrapper::Long14);
    const Fault bad = lab::parseFault("bad:block+1040:erase");
    EXPECT_EQ(bad.blockKind, Fault::BlockKind::Erase);
    EXPECT_EQ(bad.position, 0x1040u);
}

TEST(FaultLanguage, CountsSkipsAndMatching) {
    std::vector<Fault> faults = {lab::parseFault("fail:AC00A0:2@1"), lab::parseFault("corrupt:write")};
    const uint8_t read[] = {0xAC, 0x00, 0xA0, 0x10};
    const uint8_t other[] = {0xAC, 0x00, 0xC0};
    const uint8_t write[] = {0xAC, 0x00, 0x90};
    bool changed = false;

    EXPECT_FALSE(lab::takeFault(faults, other, sizeof other, DataDirection::In, &changed));
    EXPECT_FALSE(changed) << "no fault matched, nothing to save";
    EXPECT_FALSE(lab::takeFault(faults, read, sizeof read, DataDirection::In, &changed)) << "@1 lets one pass";
    EXPECT_TRUE(changed);
    EXPECT_EQ(faults[0].toString(), "fail:AC00A0:2");
    for (int i = 0; i < 2; ++i) {
        auto hit = lab::takeFault(faults, read, sizeof read, DataDirection::In, &changed);
        ASSERT_TRUE(hit);
        EXPECT_EQ(hit->action, Fault::Action::Fail);
    }
    ASSERT_EQ(faults.size(), 1u) << "a used-up fault is gone";
    EXPECT_FALSE(lab::takeFault(faults, read, sizeof read, DataDirection::In, &changed));
    // "write" matches by the data phase, not by the bytes; an endless fault never changes.
    auto hit = lab::takeFault(faults, write, sizeof write, DataDirection::Out, &changed);
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->action, Fault::Action::Corrupt);
    EXPECT_FALSE(changed);
    EXPECT_FALSE(lab::takeFault(faults, write, sizeof write, DataDirection::In, &changed));
    // A prefix longer than the CDB does not match it.
    std::vector<Fault> longer = {lab::parseFault("fail:AC00A0FF")};
    EXPECT_FALSE(lab::takeFault(longer, other, sizeof other, DataDirection::In, &changed));
}

TEST(FaultLanguage, EachBusMatchesOnlyItsOwnRequests) {
    using lab::FaultRequest;
    using lab::LeaveKind;
    const uint8_t cdb[] = {0xC0, 0xD2};
    struct Case {
        const char* fault;
        FaultRequest request;
        bool hits;
    };
    const Case cases[] = {
        {"fail:usb:C0.D2", FaultRequest::usbControl(0xC0, 0xD2), true},
        {"fail:usb:C0.D2", FaultRequest::usbControl(0xC0, 0xD3), false},
        {"fail:usb:C0.D2", FaultRequest::scsi(cdb, sizeof cdb, DataDirection::None), false},
        {"fail:usb:any", FaultRequest::usbControl(0x40, 0x01), true},
        {"fail:C0D2", FaultRequest::usbControl(0xC0, 0xD2), false},
        {"fail:bulk:in", FaultRequest::bulk(DataDirection::In), true},
        {"fail:bulk:in", FaultRequest::bulk(DataDirection::Out), false},
        {"fail:any", FaultRequest::bulk(DataDirection::In), false},
        {"fail:port", FaultRequest::port(), true},
        {"fail:port", FaultRequest::bulk(DataDirection::Out), false},
        {"stuck:port", FaultRequest::port(), true},
        {"stuck:port", FaultRequest::leave(LeaveKind::Cycle), false},
        {"lost:leave:detach", FaultRequest::leave(LeaveKind::Detach), true},
        {"lost:leave:detach", FaultRequest::leave(LeaveKind::Power), false},
        {"stuck:leave:cycle", FaultRequest::leave(LeaveKind::Cycle), true},
        {"stuck:leave:cycle", FaultRequest::port(), false},
        {"slow:leave:any:10", FaultRequest::leave(LeaveKind::Detach), true},
        {"slow:leave:any:10", FaultRequest::leave(LeaveKind::Cycle), true},
        {"slow:leave:any:10", FaultRequest::leave(LeaveKind::Power), true},
        {"slow:leave:any:10", FaultRequest::usbControl(0x21, 0x00), false},
        {"usbstatus:usb:21.00:C0000004", FaultRequest::usbControl(0x21, 0x00), true},
        {"replug:bulk:out", FaultRequest::bulk(DataDirection::In), false},
        // A position picks the request whose data holds the byte; a located request without
        // data (a KV7 erase) holds none, an unlocated one of unknown length is not told apart.
        {"replug:usb:41.05+1000", FaultRequest::usbControl(0x41, 0x05, 0x0FC0, 64), false},
        {"replug:usb:41.05+1000", FaultRequest::usbControl(0x41, 0x05, 0x1000, 64), true},
        {"replug:usb:41.05+1000", FaultRequest::usbControl(0x41, 0x05, 0x1000, 0), false},
        {"fail:usb:any+10", FaultRequest::usbControl(0xC1, 0x02), true},
        {"bad:block+1040:never", FaultRequest::block(0x1000, 64), false},
        {"bad:block+1040:never", FaultRequest::block(0x1040, 64), true},
        {"bad:block+1040:never", FaultRequest::block(0x1080, 64), false},
        {"bad:block+1040:never", FaultRequest::usbControl(0x41, 0x05, 0x1040, 64), false},
    };
    for (const Case& c : cases) {
        std::vector<Fault> faults = {lab::parseFault(c.fault)};
        bool changed = false;
        EXPECT_EQ(lab::takeFault(faults, c.request, &changed).has_value(), c.hits) << c.fault;
    }
}

}  // namespace
