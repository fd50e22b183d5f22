// The device tree: its shape, devices leaving and coming back, service switches, the class
// installer's limits and changes made to lab.json by another process.
#include <future>
#include <set>

#include <winsim/devguid.h>
#include <winsim/setupapi.h>
#include <winsim/cfgmgr32.h>
#include <winsim/winbase.h>
#include <winsim/winioctl.h>

#include <lab/device_entry.h>

#include "hardware_fixture.h"

using nlohmann::json;

namespace {

using labtest::HardwareTest;

std::string text(lab::Hardware& hw, lab::DevInst d, uint32_t property) {
    lab::PropertyValue v;
    return hw.property(d, property, &v) == 0 ? v.asText() : std::string("<none>");
}

// The present children of a node, by instance ID.
std::vector<std::string> children(lab::Hardware& hw, lab::DevInst d) {
    std::vector<std::string> out;
    for (auto c = hw.firstChildOf(d); c && *c; c = hw.nextSiblingOf(*c)) out.push_back(hw.node(*c)->instanceId);
    return out;
}

lab::DevInst nodeOfPhysical(lab::Hardware& hw, const std::string& id, const char* enumerator) {
    for (const auto& n : hw.nodes())
        if (hw.physicalIdOf(n.devInst) == id && n.instanceId.rfind(enumerator, 0) == 0) return n.devInst;
    return 0;
}

TEST_F(HardwareTest, TreeShapeAsWindowsShowsIt) {
    attach({{"kind", "disk"}});
    attach({{"kind", "scsi-reader"}});
    attach({{"kind", "cdrom"}});
    lab::Hardware& h = hw();
    const auto adapter = h.firstChildOf(h.root());
    ASSERT_TRUE(adapter && *adapter);
    EXPECT_EQ(h.node(*adapter)->instanceId, "ROOT\\SCSIADAPTER\\0000");
    EXPECT_EQ(children(h, *adapter),
              (std::vector<std::string>{"SCSI\\Disk&Ven_LAB&Prod_Fixed_Disk&Rev_1.00\\4&2ba9d1a&0&000",
                                        "SCSI\\Disk&Ven_SCSI&Prod_Secure_Reader&Rev_1.00\\4&2ba9d1a&0&010",
                                        "SCSI\\CdRom&Ven_LAB&Prod_DVD-ROM_Drive&Rev_1.00\\4&2ba9d1a&0&020"}));

    const lab::DevInst reader = nodeOfPhysical(h, "scsi-reader-1", "SCSI\\");
    EXPECT_EQ(h.parentOf(reader), adapter);
    EXPECT_EQ(text(h, reader, SPDRP_SERVICE), "disk");
    EXPECT_EQ(text(h, reader, SPDRP_CLASS), "DiskDrive");
    EXPECT_EQ(text(h, reader, SPDRP_HARDWAREID), "SCSI\\DiskSCSI____Secure_Reader___1.00");
    EXPECT_EQ(text(h, reader, SPDRP_COMPATIBLEIDS), "SCSI\\Disk");
    EXPECT_EQ(text(h, reader, SPDRP_LOCATION_INFORMATION), "Bus Number 0, Target Id 1, LUN 0");
    EXPECT_EQ(text(h, reader, SPDRP_ENUMERATOR_NAME), "SCSI");
    EXPECT_EQ(text(h, reader, SPDRP_DRIVER).substr(0, 39), "{4D36E967-E325-11CE-BFC1-08002BE10318}\\");
    EXPECT_EQ(text(h, reader, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME).rfind("\\Device\\000000", 0), 0u);
    EXPECT_EQ(h.node(reader)->classGuid.Data1, GUID_DEVCLASS_DISKDRIVE.Data1);
    const auto volume = h.firstChildOf(reader);
    ASSERT_TRUE(volume && *volume);
    EXPECT_EQ(h.node(*volume)->instanceId.rfind("STORAGE\\RemovableMedia\\", 0), 0u);
    EXPECT_EQ(h.describe(*volume)["drive"], "E");
    EXPECT_EQ(h.firstChildOf(*volume), std::optional<lab::DevInst>(0)) << "a volume has no children";

    std::set<std::pair<char, uint32_t>> drives;
    for (const auto& d : h.drives()) drives.insert({d.letter, d.type});
    EXPECT_EQ(drives, (std::set<std::pair<char, uint32_t>>{{'C', DRIVE_FIXED}, {'D', DRIVE_CDROM}, {'E', DRIVE_REMOVABLE}}));

    const auto itfs = h.interfaces(reader);
    ASSERT_EQ(itfs.size(), 1u);
    EXPECT_TRUE(IsEqualGUID(itfs[0].interfaceClass, GUID_DEVINTERFACE_DISK));
    EXPECT_EQ(itfs[0].symbolicLink,
              "\\\\?\\SCSI#Disk&Ven_SCSI&Prod_Secure_Reader&Rev_1.00#4&2ba9d1a&0&010#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
    EXPECT_TRUE(h.interfaceByPath("\\\\.\\scsi#disk&ven_scsi&prod_secure_reader&rev_1.00#4&2ba9d1a&0&010#"
                                  "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}"))
        << "interface paths are found without regard to case or to the \\\\.\\ spelling";
}

TEST_F(HardwareTest, AnUnpluggedDeviceLeavesAndComesBackAsTheSameNode) {
    attach({{"kind", "scsi-reader"}, {"id", "r"}});
    lab::Hardware& h = hw();
    const lab::DevInst disk = nodeOfPhysical(h, "r", "SCSI\\");
    std::vector<lab::PnpEvent> events;
    const int token = h.subscribe([&](const lab::PnpEvent& e) { events.push_back(e); });
    NTSTATUS error = 0;
    auto handle = h.open("\\\\.\\E:", GENERIC_READ, &error);
    ASSERT_TRUE(handle) << error;

    h.setPlugged("r", false);
    EXPECT_FALSE(h.node(disk)->present);
    EXPECT_EQ(h.parentOf(disk), std::nullopt) << "an absent node is not part of the live tree";
    EXPECT_TRUE(h.drives().size() == 0);
    ASSERT_EQ(events.size(), 2u) << "the volume's and the disk's interfaces leave";
    for (const auto& e : events) EXPECT_EQ(e.kind, lab::PnpEvent::InterfaceRemoval);
    STORAGE_DEVICE_NUMBER number{};
    ULONG_PTR produced = 0;
    auto deviceNumber = [&] {
        return h.deviceControl(*handle, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number, &produced);
    };
    EXPECT_EQ(deviceNumber(), STATUS_DEVICE_DOES_NOT_EXIST);
    EXPECT_FALSE(h.open("\\\\.\\E:", GENERIC_READ, &error));
    EXPECT_EQ(entry("r")["plugged"], false) << "the state is the lab's, for every process";

    events.clear();
    h.setPlugged("r", true);
    EXPECT_TRUE(h.node(disk)->present) << "the same instance ID is the same node";
    EXPECT_EQ(events.size(), 2u);
    EXPECT_EQ(deviceNumber(), STATUS_DEVICE_DOES_NOT_EXIST) << "a handle of before stays dead";
    EXPECT_TRUE(h.open("\\\\.\\E:", GENERIC_READ, &error));
    h.unsubscribe(token);
}

TEST_F(HardwareTest, ADeviceUnpluggedBeforeStartIsKnownAsAbsent) {
    attach({{"kind", "scsi-reader"}, {"id", "r"}, {"plugged", false}});
    lab::Hardware& h = hw();
    const lab::DevInst disk = nodeOfPhysical(h, "r", "SCSI\\");
    ASSERT_NE(disk, 0u);
    EXPECT_FALSE(h.node(disk)->present);
    EXPECT_EQ(text(h, disk, SPDRP_SERVICE), "disk");
    EXPECT_TRUE(h.drives().empty());
}

TEST_F(HardwareTest, ServiceSwitchRestartsTheNodeWithItsNewDriver) {
    attach({{"kind", "scsi-reader"}, {"id", "r"}});
    lab::Hardware& h = hw();
    const lab::DevInst disk = nodeOfPhysical(h, "r", "SCSI\\");
    uint32_t status = 0, problem = 0;
    bool reboot = false;

    ASSERT_EQ(h.setProperty(disk, SPDRP_SERVICE, lab::PropertyValue::text("NOSUCHDRV")), 0u);
    ASSERT_EQ(h.changeState(disk, lab::StateChange::Restart, &reboot), 0u);
    ASSERT_TRUE(h.status(disk, &status, &problem));
    EXPECT_EQ(problem, static_cast<uint32_t>(CM_PROB_FAILED_INSTALL));
    EXPECT_FALSE(status & DN_STARTED);
    EXPECT_FALSE(h.interfaces(disk)[0].active);
    EXPECT_EQ(h.firstChildOf(disk), std::optional<lab::DevInst>(0)) << "without its driver the disk has no volume";

    h.setProperty(disk, SPDRP_SERVICE, lab::PropertyValue::text("disk"));
    ASSERT_EQ(h.changeState(disk, lab::StateChange::Stop, &reboot), 0u);
    ASSERT_EQ(h.changeState(disk, lab::StateChange::Start, &reboot), 0u);
    ASSERT_TRUE(h.status(disk, &status, &problem));
    EXPECT_EQ(problem, 0u);
    EXPECT_TRUE(status & DN_STARTED);
    EXPECT_TRUE(h.interfaces(disk)[0].active);

    // A device in use cannot be stopped now: the change waits for the next start of the PC.
    NTSTATUS error = 0;
    auto handle = h.open("\\\\.\\E:", GENERIC_READ, &error);
    ASSERT_TRUE(handle);
    EXPECT_EQ(h.changeState(disk, lab::StateChange::Disable, &reboot), 0u);
    EXPECT_TRUE(reboot);
    EXPECT_TRUE(h.status(disk, &status, &problem) && (status & DN_STARTED));
    EXPECT_EQ(h.changeState(h.root(), lab::StateChange::Disable, &reboot), static_cast<uint32_t>(ERROR_NOT_DISABLEABLE));
    EXPECT_EQ(h.setProperty(disk, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME, lab::PropertyValue::text("x")),
              static_cast<uint32_t>(ERROR_INVALID_REG_PROPERTY));
}

TEST_F(HardwareTest, RemovedNodeReturnsWhenItsBusLooksAgain) {
    attach({{"kind", "cdrom"}, {"id", "cd"}});
    lab::Hardware& h = hw();
    const lab::DevInst cd = nodeOfPhysical(h, "cd", "SCSI\\");
    bool reboot = false;
    ASSERT_EQ(h.remove(cd, &reboot), 0u);
    EXPECT_FALSE(h.node(cd));
    EXPECT_TRUE(h.drives().empty());
    h.reenumerate(*h.firstChildOf(h.root()));
    ASSERT_TRUE(h.node(cd));
    EXPECT_TRUE(h.node(cd)->present);
    EXPECT_EQ(h.drives().size(), 1u);
}

TEST_F(HardwareTest, ChangesByAnotherProcessReachTheRunningHardware) {
    attach({{"kind", "scsi-reader"}, {"id", "r"}});
    lab::Hardware& h = hw();
    ASSERT_EQ(h.drives().size(), 1u);
    {
        auto other = lab::Lab::open(dir_ / "lab");  // as zelfin-lab would, in its own process
        other->attachDevice({{"kind", "cdrom"}, {"id", "cd"}}, dir_);
        other->applyFault("r", "fail:12:1");
    }
    EXPECT_EQ(h.drives().size(), 2u) << "the new CD-ROM arrived";
    std::vector<uint8_t> buffer(36);
    auto outcome = labtest::run(*device("r"), {0x12, 0, 0, 0, 36, 0}, buffer);
    EXPECT_EQ(labtest::senseOf(outcome), (std::vector<int>{0x04, 0x44, 0x00}));
    EXPECT_EQ(entry("r")["faults"], json::array()) << "the used-up fault is gone from lab.json";
    outcome = labtest::run(*device("r"), {0x12, 0, 0, 0, 36, 0}, buffer);
    EXPECT_EQ(outcome.status, lab::kStatusGood);

    lab::Lab::open(dir_ / "lab")->detachDevice("cd");
    EXPECT_EQ(h.drives().size(), 1u);
}

TEST_F(HardwareTest, ADeviceSwappedForAnIdenticalOneBetweenTwoLooksIsTheNewOne) {
    // Same model at the same address gives the same instance ID; the tree must still see that the
    // device behind it changed, with its own drive letter and memories.
    attach({{"kind", "scsi-reader"}, {"id", "old"}, {"target", 2}, {"drive", "E"}});
    lab::Hardware& h = hw();
    ASSERT_EQ(h.drives().size(), 1u);
    struct Swap {
        const char* id;
        nlohmann::json request;
        char drive;
    };
    for (const Swap& s : {Swap{"new", {{"kind", "scsi-reader"}, {"id", "new"}, {"target", 2}, {"drive", "G"}}, 'G'},
                          Swap{"new", {{"kind", "scsi-reader"}, {"id", "new"}, {"target", 2}, {"drive", "H"}}, 'H'}}) {
        for (const auto& d : lab_->devices()) lab_->detachDevice(d["id"]);
        attach(s.request);
        const auto drives = h.drives();
        ASSERT_EQ(drives.size(), 1u) << s.drive;
        EXPECT_EQ(drives[0].letter, s.drive);
        EXPECT_EQ(h.physicalIdOf(nodeOfPhysical(h, s.id, "SCSI\\")), s.id);
        NTSTATUS error = 0;
        EXPECT_TRUE(h.open(std::string("\\\\.\\") + s.drive + ":", GENERIC_READ, &error)) << error;
    }
}

TEST_F(HardwareTest, ScheduledActionsRunOnTheLabClock) {
    std::promise<void> ran;
    hw().schedule(5000, [&] { ran.set_value(); });  // 5 s of lab time: 5 ms at the tests' scale
    EXPECT_EQ(ran.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

}  // namespace

namespace {

// A kind that only this test knows: what it offers comes from its registration alone.
class Widget : public lab::ScsiDevice {
public:
    using lab::ScsiDevice::ScsiDevice;
    uint8_t peripheralType() const override { return 0x05; }
};

}  // namespace

TEST_F(HardwareTest, ANewKindIsLearntFromItsRegistration) {
    lab::DeviceKind widget;
    widget.name = "test-widget";
    widget.summary = "a test device";
    widget.options = {{"colour", "what it looks like"}};
    widget.memories = {{"scratch", 16}};
    widget.firstDrive = 'W';
    widget.prepare = [](const nlohmann::json& request, lab::PreparedDevice& out) {
        out.entry["colour"] = request.value("colour", "grey");
        out.entry["inquiry"] = lab::option::inquiry(request, "LAB     Widget          0.01");
    };
    widget.make = [](lab::Hardware& hw, const nlohmann::json& entry, const std::filesystem::path& folder) {
        return std::make_shared<Widget>(hw, entry, folder);
    };
    lab::registerDeviceKind(widget);

    attach({{"kind", "test-widget"}, {"id", "w"}, {"colour", "red"}});
    EXPECT_EQ(entry("w")["colour"], "red");
    EXPECT_EQ(entry("w")["drive"], "W");
    EXPECT_EQ(memory("w", "scratch"), std::vector<uint8_t>(16, 0xFF)) << "a memory without factory contents is erased";
    // The SCSI adapter finds it as it finds every SCSI target, a CD-ROM by its peripheral type.
    lab::Hardware& h = hw();
    const lab::DevInst node = nodeOfPhysical(h, "w", "SCSI\\");
    ASSERT_NE(node, 0u);
    EXPECT_EQ(text(h, node, SPDRP_SERVICE), "cdrom");
    EXPECT_NE(h.instanceIdOf(node).find("Prod_Widget"), std::string::npos) << h.instanceIdOf(node);
    // Its option is its own: another kind is told who takes it.
    try {
        attach({{"kind", "cdrom"}, {"colour", "blue"}});
        ADD_FAILURE() << "a cdrom took a colour";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("is for test-widget devices"), std::string::npos) << e.what();
    }
}
