// A KRD50N unit as a client finds it through the Win32 calls: its hub's identity and three
// ports, the reader at each port with the product type that port stands for, and the ways a
// reader behind it can be broken (not configured, without its storage unit, its port empty until
// the port's power goes round), and the unit leaving the lab with its readers.
#include <set>
#include <string>

#include "usb_lab.h"

namespace {

using namespace usbtest;

constexpr const char* kUnitHub = "Vid_04cc&Pid_1122";

// The default PC with a KRD50N unit on root port 1: its readers krd-1 to krd-3 come with it.
class Krd50nPc : public hwtest::DefaultPc {
protected:
    void SetUp() override {
        DefaultPc::SetUp();
        lab::Lab::current().attachDevice({{"kind", "krd50n"}, {"id", "krd"}, {"port", 1}});
        settle();
    }
    static void settle() {
        lab::Hardware& hw = lab::Lab::current().hardware();
        hw.refresh();
        hw.reenumerate(hw.root());
    }
    // Puts reader krd-2 back at port 2 with a fault it has from the start.
    static void secondReaderWith(const std::string& fault) {
        lab::Lab& lab = lab::Lab::current();
        lab.detachDevice("krd-2");
        lab.attachDevice({{"kind", "tarn-reader"}, {"id", "krd-2"}, {"hub", "krd"}, {"port", 2}, {"product-type", 17},
                          {"fault", fault}});
        settle();
    }
    struct Port {
        int status = -1, configuration = -1;
    };
    static Port port(ULONG index) {
        Port out;
        HANDLE hub = open(pathWith(GUID_DEVINTERFACE_USB_HUB, kUnitHub));
        if (hub == INVALID_HANDLE_VALUE) return out;
        uint8_t buffer[46] = {};
        auto* info = reinterpret_cast<USB_NODE_CONNECTION_INFORMATION*>(buffer);
        info->ConnectionIndex = index;
        DWORD returned = 0;
        if (DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, buffer, 46, buffer, 46, &returned, nullptr)) {
            out.status = static_cast<int>(info->ConnectionStatus);  // packed fields: by value
            out.configuration = info->CurrentConfigurationValue;
        }
        CloseHandle(hub);
        return out;
    }
};

TEST_F(Krd50nPc, TheHubHasThreePortsWithAReaderOfItsPortsTypeOnEach) {
    const std::string path = pathWith(GUID_DEVINTERFACE_USB_HUB, kUnitHub);
    ASSERT_FALSE(path.empty()) << "the unit's hub shows its own identifiers";
    HANDLE hub = open(path);
    ASSERT_NE(hub, INVALID_HANDLE_VALUE);
    USB_NODE_INFORMATION node{};
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(hub, IOCTL_USB_GET_NODE_INFORMATION, &node, 76, &node, 76, &returned, nullptr));
    EXPECT_EQ(node.u.HubInformation.HubDescriptor.bNumberOfPorts, 3);
    CloseHandle(hub);
    char description[64] = {};
    ULONG size = sizeof description;
    ASSERT_EQ(CM_Get_DevNode_Registry_PropertyA(devInstOf(path, GUID_DEVINTERFACE_USB_HUB), CM_DRP_DEVICEDESC, nullptr,
                                                description, &size, 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_STREQ(description, "Generic USB Hub");
    for (ULONG p = 1; p <= 3; ++p) {
        const Port seen = port(p);
        EXPECT_EQ(seen.status, DeviceConnected) << p;
        EXPECT_EQ(seen.configuration, 1) << p;
    }

    // Each reader, found by its interface, reports the product type of its port.
    std::set<std::pair<int, int>> portAndType;
    for (const std::string& reader : interfacePaths(tarn::kFunctionalInterface)) {
        DWORD address = 0;
        ULONG length = sizeof address;
        CM_Get_DevNode_Registry_PropertyA(devInstOf(reader, tarn::kFunctionalInterface), CM_DRP_ADDRESS, nullptr,
                                          &address, &length, 0);
        HANDLE h = open(reader);
        const std::vector<uint8_t> type = vendorIn(h, tarn::kReqDeviceType, 2);
        CloseHandle(h);
        ASSERT_EQ(type.size(), 2u) << reader;
        portAndType.insert({static_cast<int>(address), type[0]});
    }
    EXPECT_EQ(portAndType, (std::set<std::pair<int, int>>{{1, 18}, {2, 17}, {3, 11}}));
}

TEST_F(Krd50nPc, TheOtherProductIdAndAUnitWithoutItsReaders) {
    lab::Lab& lab = lab::Lab::current();
    lab.attachDevice({{"kind", "krd50n"}, {"id", "bare"}, {"port", 2}, {"pid", "1123"}, {"readers", 0}});
    settle();
    HANDLE hub = open(pathWith(GUID_DEVINTERFACE_USB_HUB, "Vid_04cc&Pid_1123"));
    ASSERT_NE(hub, INVALID_HANDLE_VALUE);
    uint8_t buffer[46] = {};
    auto* info = reinterpret_cast<USB_NODE_CONNECTION_INFORMATION*>(buffer);
    info->ConnectionIndex = 1;
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, buffer, 46, buffer, 46, &returned, nullptr));
    const USB_CONNECTION_STATUS status = info->ConnectionStatus;
    EXPECT_EQ(status, NoDeviceConnected);
    CloseHandle(hub);
    EXPECT_THROW(lab.attachDevice({{"kind", "krd50n"}, {"port", 3}, {"pid", "1124"}}), std::runtime_error);
}

// Each way a reader behind the unit is broken, as its port and its node show it.
TEST_F(Krd50nPc, ABrokenReaderShowsAtItsPort) {
    struct Case {
        const char* fault;
        int status, configuration;
        bool function, storage;  // its reader driver's interface; a child node (its disk)
    };
    const Case cases[] = {
        // The reader refuses SET_CONFIGURATION: connected, configuration 0, no driver at work.
        {"fail:usb:00.09", DeviceConnected, 0, false, false},
        // Its storage unit never answers Get Max LUN: the reader works, its disk is not there.
        {"stall:usb:A1.FE", DeviceConnected, 1, true, false},
        {"empty:port", NoDeviceConnected, 0, false, false},
        {"stuck:port", DeviceFailedEnumeration, 0, false, false},
    };
    for (const Case& c : cases) {
        secondReaderWith(c.fault);
        const Port seen = port(2);
        EXPECT_EQ(seen.status, c.status) << c.fault;
        EXPECT_EQ(seen.configuration, c.configuration) << c.fault;
        EXPECT_EQ(interfacePaths(tarn::kFunctionalInterface).size(), c.function ? 3u : 2u) << c.fault;
        const lab::DevInst node = usbNodeOf("krd-2");
        DEVINST child = 0;
        const bool hasChild = node && CM_Get_Child(&child, node, 0) == CR_SUCCESS;
        EXPECT_EQ(hasChild, c.storage) << c.fault;
        EXPECT_EQ(port(1).status, DeviceConnected) << c.fault << ": the other readers are left alone";
    }
}

// A port held empty comes back once its power goes round, as the unit's recovery does it.
TEST_F(Krd50nPc, AnEmptyPortComesBackAfterAPowerCycle) {
    secondReaderWith("empty:port:1");
    ASSERT_EQ(port(2).status, NoDeviceConnected);
    ArrivalWindow window({tarn::kFunctionalInterface});
    ASSERT_TRUE(window.registered());
    ASSERT_EQ(setPortPower("krd", 2, false), STATUS_SUCCESS);
    ASSERT_EQ(setPortPower("krd", 2, true), STATUS_SUCCESS);
    EXPECT_FALSE(window.waitFor(tarn::kFunctionalInterface).empty());
    EXPECT_EQ(port(2).status, DeviceConnected);
    EXPECT_EQ(port(2).configuration, 1);
}

// The unit detached from the lab takes its readers along: the PC loses the unit's hub and the
// three readers' interfaces; a reader detached alone leaves its port empty and the rest working.
TEST_F(Krd50nPc, DetachingTheUnitTakesItsReadersAlong) {
    lab::Lab& lab = lab::Lab::current();
    EXPECT_EQ(lab.detachDevice("krd-3"), std::vector<std::string>{});
    settle();
    EXPECT_EQ(port(3).status, NoDeviceConnected);
    EXPECT_EQ(interfacePaths(tarn::kFunctionalInterface).size(), 2u);

    EXPECT_EQ(lab.detachDevice("krd"), (std::vector<std::string>{"krd-1", "krd-2"}));
    settle();
    EXPECT_TRUE(pathWith(GUID_DEVINTERFACE_USB_HUB, kUnitHub).empty());
    EXPECT_TRUE(interfacePaths(tarn::kFunctionalInterface).empty());
    for (const char* reader : {"krd-1", "krd-2"}) EXPECT_EQ(usbNodeOf(reader), 0u) << reader;
    for (const nlohmann::json& d : lab.devices()) EXPECT_NE(d.value("hub", ""), "krd") << d.dump();
}

}  // namespace
