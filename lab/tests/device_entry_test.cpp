// Device entries: what attach fills in, and what it refuses.
#include <gtest/gtest.h>

#include "temp_dir.h"
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include <lab/device_entry.h>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

class DeviceEntryTest : public ::testing::Test {
protected:
    // Attaches in order, as a scenario does.
    json attachAll(const std::vector<json>& requests) {
        json devices = json::array();
        for (const json& r : requests) devices.push_back(lab::prepareDevice(r, devices, dir_).entry);
        return devices;
    }
    testsupport::TempDir temp_{"lab-entry"};
    fs::path dir_ = temp_.path();
};

TEST_F(DeviceEntryTest, IdsLettersAndAddressesAreFilledIn) {
    const json d = attachAll({{{"kind", "scsi-reader"}},
                              {{"kind", "disk"}},
                              {{"kind", "cdrom"}},
                              {{"kind", "scsi-reader"}, {"mode", "upgrade"}, {"target", "6"}},
                              {{"kind", "removable"}, {"drive", "none"}},
                              {{"kind", "quoll-unit"}, {"id", "unit"}}});
    struct Expect {
        const char* id;
        json drive;
        int target;
        const char* inquiry;
    };
    const Expect expect[] = {
        {"scsi-reader-1", "E", 0, "SCSI    Secure Reader   1.00"},
        {"disk-1", "C", 1, "LAB     Fixed Disk      1.00"},
        {"cdrom-1", "D", 2, "LAB     DVD-ROM Drive   1.00"},
        {"scsi-reader-2", "F", 6, "SCSI    DFU Reader      1.00"},
        {"removable-1", nullptr, 3, "LAB     Flash Disk      1.00"},
        {"unit", "G", 4, "Tarn    SD-MS-SM Unit   1.00"},
    };
    ASSERT_EQ(d.size(), std::size(expect));
    for (size_t i = 0; i < d.size(); ++i) {
        EXPECT_EQ(d[i]["id"], expect[i].id);
        EXPECT_EQ(d[i]["drive"], expect[i].drive) << expect[i].id;
        EXPECT_EQ(d[i]["target"], expect[i].target) << expect[i].id;
        EXPECT_EQ(d[i]["inquiry"], expect[i].inquiry) << expect[i].id;
    }
    EXPECT_EQ(d[3]["mode"], "upgrade");
}

TEST_F(DeviceEntryTest, BadRequestsNameTheirProblem) {
    std::ofstream(dir_ / "big.bin") << std::string(65537, 'x');
    const json existing = attachAll({{{"kind", "scsi-reader"}, {"drive", "E"}}, {{"kind", "disk"}}});
    struct Case {
        json request;
        const char* error;
    };
    const Case cases[] = {
        {{{"kind", "toaster"}}, "unknown device kind"},
        {{{"kind", "cdrom"}, {"colour", "red"}}, "unknown device option"},
        {{{"kind", "cdrom"}, {"drive", "e:"}}, "is taken"},
        {{{"kind", "cdrom"}, {"drive", "C"}}, "system drive"},
        {{{"kind", "cdrom"}, {"drive", "Z"}}, "from C to Y"},
        {{{"kind", "cdrom"}, {"mode", "upgrade"}}, "for scsi-reader"},
        {{{"kind", "scsi-reader"}, {"version", "1.2.3"}}, "version"},
        {{{"kind", "scsi-reader"}, {"target", 0}}, "is taken"},
        {{{"kind", "scsi-reader"}, {"dfu-type", 3}}, "between"},
        {{{"kind", "scsi-reader"}, {"memory", {{"flash", "big.bin"}}}}, "larger than flash"},
        {{{"kind", "scsi-reader"}, {"memory", {{"eeprom", "big.bin"}}}}, "no memory 'eeprom'"},
        {{{"kind", "scsi-reader"}, {"memory", {{"flash", "missing.bin"}}}}, "cannot read"},
        {{{"kind", "scsi-reader"}, {"fault", "fail:XYZ"}}, "bad command"},
        {{{"kind", "scsi-reader"}, {"id", "scsi-reader-1"}}, "already"},
        {{{"kind", "scsi-reader"}, {"id", "../x"}}, "letters, digits"},
    };
    for (const Case& c : cases) {
        try {
            lab::prepareDevice(c.request, existing, dir_);
            ADD_FAILURE() << c.request.dump() << " was accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << c.request.dump() << ": " << e.what();
        }
    }
}

TEST_F(DeviceEntryTest, MemoriesComeFromFilesOrTheFactory) {
    std::ofstream(dir_ / "old.bin", std::ios::binary) << "OLD";
    const auto given = lab::prepareDevice({{"kind", "scsi-reader"}, {"memory", {{"flash", "old.bin"}}}}, json::array(), dir_);
    const auto& flash = given.memories.at("flash");
    ASSERT_EQ(flash.size(), 65536u);
    EXPECT_EQ(std::string(flash.begin(), flash.begin() + 3), "OLD");
    EXPECT_EQ(flash[3], 0xFF) << "the rest reads as erased flash";
    const auto factory = lab::prepareDevice({{"kind", "scsi-reader"}}, json::array(), dir_);
    EXPECT_EQ(std::string(factory.memories.at("flash").end() - 8, factory.memories.at("flash").end()), "ROVA_DFU");
    EXPECT_TRUE(lab::prepareDevice({{"kind", "cdrom"}}, json::array(), dir_).memories.empty());
}

TEST(DeviceEntryArguments, AttachOptionsBecomeARequest) {
    const json r = lab::requestFromArguments(
        "scsi-reader", {"--drive", "H", "--memory", "flash=a.bin", "--fault", "stall:FD0082", "--fault", "unplug:AC0090"});
    EXPECT_EQ(r["kind"], "scsi-reader");
    EXPECT_EQ(r["drive"], "H");
    EXPECT_EQ(r["memory"]["flash"], "a.bin");
    EXPECT_EQ(r["fault"].size(), 2u);
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--drive"}, {"--memory", "flash"}, {"--colour", "red"}, {"H"}})
        EXPECT_THROW(lab::requestFromArguments("cdrom", bad), std::runtime_error);
}

}  // namespace

namespace {

// A kind on USB, known to this test alone: its address is a hub and a port.
TEST_F(DeviceEntryTest, UsbKindsAreAddressedByHubAndPort) {
    lab::DeviceKind gadget;
    gadget.name = "test-usb-gadget";
    gadget.bus = lab::DeviceKind::Bus::Usb;
    gadget.firstDrive = 0;
    lab::registerDeviceKind(gadget);
    const json d = attachAll({{{"kind", "test-usb-gadget"}},
                              {{"kind", "test-usb-gadget"}},
                              {{"kind", "usb-hub"}, {"id", "hub-1"}, {"ports", 3}},
                              {{"kind", "test-usb-gadget"}, {"hub", "hub-1"}, {"port", 3}}});
    EXPECT_EQ(d[0]["hub"], "root");
    EXPECT_EQ(d[0]["port"], 1);
    EXPECT_EQ(d[1]["port"], 2) << "the next free port";
    EXPECT_EQ(d[3]["hub"], "hub-1");
    EXPECT_EQ(d[3]["port"], 3);
    EXPECT_EQ(d[0]["drive"], nullptr) << "a kind without a medium of its own gets no letter";
    EXPECT_FALSE(d[0].contains("target"));
    for (const auto& [request, error] : std::vector<std::pair<json, std::string>>{
             {{{"kind", "test-usb-gadget"}, {"port", 1}}, "is taken"},
             {{{"kind", "test-usb-gadget"}, {"port", 5}}, "between"},  // the root hub has four
             {{{"kind", "test-usb-gadget"}, {"hub", "hub-1"}, {"port", 4}}, "between"},
             {{{"kind", "test-usb-gadget"}, {"hub", "hub-2"}}, "names no usb-hub of the lab: hub-2"},
             {{{"kind", "test-usb-gadget"}, {"target", 2}}, "is for"},
             {{{"kind", "cdrom"}, {"port", 2}}, "is for"}}) {
        try {
            lab::prepareDevice(request, d, dir_);
            ADD_FAILURE() << request.dump() << " was accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(error), std::string::npos) << request.dump() << ": " << e.what();
        }
    }
}

}  // namespace
