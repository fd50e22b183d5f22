// The scan's device list on lab PCs: each group with its names, modes, drive letters, versions
// and types, the Plex monitor and its modules, a full list, the KRD50N unit, and the re-check of a
// mass-storage reader before a transfer.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <devaccess/scsi.h>

#include "image_files.h"
#include "matching.h"
#include "scan_fixture.h"
#include "temp_dir.h"

namespace {

using namespace tarntest;

// Every kind of reader the groups know, as the operator sees the list: own driver with and
// without a drive, a device-type name, the Plex monitor with a module in each of two slots,
// upgrade mode on the root hub and an external one (KV7 with and without its product type in
// the configuration memory), the mass-storage driver plain and behind a composite device.
TEST_F(TarnScan, EveryGroupNamesItsReadersAsTheOperatorSeesThem) {
    lab::Lab& lab = lab::Lab::current();
    const std::vector<nlohmann::json> devices = {
        {{"kind", "tarn-reader"}, {"id", "dfu-1"}, {"hub", "hub-1"}, {"port", 4}, {"mode", "upgrade"}},
        {{"kind", "kv7-reader"}, {"id", "kv7-up"}, {"port", 2}, {"mode", "upgrade"}, {"dfu-type", 7},
         {"eeprom-type", 23}, {"drive", "none"}},
        {{"kind", "tarn-reader"}, {"id", "comp"}, {"hub", "hub-1"}, {"port", 1}, {"driver", "composite"}, {"drive", "K"}},
        {{"kind", "usb-hub"}, {"id", "hub-2"}, {"port", 3}},
        {{"kind", "tarn-reader"}, {"id", "nodrive"}, {"hub", "hub-2"}, {"port", 1}, {"drive", "none"}, {"serial", "none"}},
        {{"kind", "tarn-reader"}, {"id", "typed"}, {"hub", "hub-2"}, {"port", 2}, {"drive", "none"}, {"product-type", 26}},
        {{"kind", "plex-monitor"}, {"id", "plex"}, {"hub", "hub-2"}, {"port", 3}, {"slots", 4}},
        {{"kind", "plex-module"}, {"id", "mod-1"}, {"monitor", "plex"}, {"slot", 1}, {"drive", "J"}},
        {{"kind", "plex-module"}, {"id", "mod-2"}, {"monitor", "plex"}, {"slot", 2}, {"drive", "none"}},
        {{"kind", "kv7-reader"}, {"id", "kv7-blank"}, {"hub", "hub-2"}, {"port", 4}, {"mode", "upgrade"},
         {"dfu-type", 9}, {"eeprom-type", "none"}, {"drive", "none"}},
    };
    for (const nlohmann::json& d : devices) lab.attachDevice(d);
    settle();
    ASSERT_EQ(scan(), KPL_OK) << testsupport::allLogged();
    const std::vector<Listed> expected = {
        {"G: Card Reader", tarn::kModeOwnDriver, 'G', 7, 0x0105, false},
        {"Card Reader", tarn::kModeOwnDriver, 0, 1, 0x0100, false},         // no drive, no monitor slot
        {"Bay Module 19-in-1", tarn::kModeOwnDriver, 0, 26, 0x0100, false},  // the name of its type
        {"Card Reader", tarn::kModeOwnDriver, tarn::kPlexMonitorDrive, 1, 0x0100, false},  // the monitor
        {"J: Card Reader", tarn::kModeOwnDriver, 'J', 1, 0x0100, false},     // its module in slot 1
        {"Card Reader", tarn::kModeOwnDriver, 0, 1, 0x0100, false},          // slot 2, no drive
        {"Tarn DFU Device [Hub:2] [Port:4]", tarn::kModeUpgrade, 0, 0, 0, true},
        {"KV7X DFU Device [Hub:1] [Port:2]", tarn::kModeKv7Upgrade, 0, 23, 0, true},
        {"KV7X DFU Device [Hub:3] [Port:4]", tarn::kModeKv7Upgrade, 0, 0, 0, true},  // nothing in its memory
        {"H: Card Reader", tarn::kModeMassStorage, 'H', 1, 0x0100, false},
        {"K: Card Reader", tarn::kModeMassStorage, 'K', 1, 0x0100, false},  // behind the composite device
    };
    EXPECT_EQ(listed(), expected);

    const TarnDeviceRecord* own = record("G:");
    ASSERT_NE(own, nullptr);
    EXPECT_STREQ(own->serialNumber, "12345678");
    EXPECT_EQ(own->vendorProduct, 0x04CC2000u);
    EXPECT_EQ(own->dfuType, 0);
    EXPECT_NE(own->deviceHandle, INVALID_HANDLE_VALUE);
    const auto* entries = list.entries;
    const auto at = [&](int i) { return static_cast<const TarnDeviceRecord*>(entries[i].device); };
    EXPECT_STREQ(at(1)->serialNumber, "") << "no serial string";
    EXPECT_EQ(at(1)->isModule, 0) << "looked for in the monitor's slots, not found";
    EXPECT_EQ(at(4)->slot, 1);
    EXPECT_EQ(at(5)->slot, 2);
    EXPECT_EQ(at(7)->dfuType, 7);
    EXPECT_EQ(at(7)->imageBase, 0x8000u);
    EXPECT_EQ(at(8)->dfuType, 9);
    EXPECT_EQ(at(8)->imageSize, 0xC000u);
    for (int i : {9, 10}) {
        EXPECT_EQ(at(i)->deviceHandle, tarn::helperHandle()) << i;
        EXPECT_NE(at(i)->deviceObject, 0) << i;
    }
    EXPECT_EQ(at(9)->dfuType, 3);
    EXPECT_EQ(tarn::MerrowHandle(), at(3)->deviceHandle);

    for (const char* line : {"Creating MSD Device Info:", "Creating DFU Device Info:", "Creating USBSTOR Device Info:",
                             "Drive :  G", "Is a Plex Monitor.", "MaxSlot : 4", "FwVersion = 01.05", "Serial No = ",
                             "Product Name = Card Reader", "DfuType = 7\r\n", "DeviceType = 23\r\n"})
        EXPECT_TRUE(testsupport::loggedMessage(line)) << line;
    EXPECT_EQ(std::count(testsupport::logged().begin(), testsupport::logged().end(), "Device 8\r\n"), 1);
}

// Thirty readers fill the list: the group that fills it stops there, the next one fails at once,
// and so does the scan.
TEST_F(TarnScan, ThirtyOneReadersFillTheList) {
    lab::Lab& lab = lab::Lab::current();
    lab.attachDevice({{"kind", "usb-hub"}, {"id", "hub-a"}, {"port", 2}, {"ports", 15}});
    lab.attachDevice({{"kind", "usb-hub"}, {"id", "hub-b"}, {"hub", "hub-a"}, {"port", 15}, {"ports", 15}});
    std::vector<std::pair<std::string, int>> places = {{"hub-1", 1}, {"hub-1", 4}};
    for (int p = 1; p <= 14; ++p) places.push_back({"hub-a", p});
    for (int p = 1; p <= 14; ++p) places.push_back({"hub-b", p});
    int n = 0;
    for (const auto& [hub, port] : places)
        lab.attachDevice({{"kind", "tarn-reader"}, {"id", "r" + std::to_string(++n)}, {"hub", hub}, {"port", port},
                          {"drive", "none"}});
    settle();
    ASSERT_EQ(interfacePaths(tarn::kFunctionalInterface).size(), 31u);
    EXPECT_EQ(scan(), KPL_E_LIST_FULL);
    EXPECT_EQ(listed().size(), 30u);
    EXPECT_TRUE(testsupport::loggedMessage("List is full."));
    EXPECT_TRUE(testsupport::loggedMessage("CreateQvxDfuDeviceInfoList failed."));
    EXPECT_FALSE(testsupport::loggedMessage("Creating USBSTOR Device Info:"));
}

// A reader in upgrade mode behind a hub that is not among the first 32 the system lists keeps
// its port in its name, but no hub number.
TEST_F(TarnScan, AHubBeyondTheFirstThirtyTwoIsNotNamed) {
    lab::Lab& lab = lab::Lab::current();
    lab.attachDevice({{"kind", "usb-hub"}, {"id", "hub-a"}, {"port", 2}, {"ports", 15}});
    lab.attachDevice({{"kind", "usb-hub"}, {"id", "hub-b"}, {"hub", "hub-1"}, {"port", 1}, {"ports", 15}});
    for (int i = 0; i < 30; ++i)
        lab.attachDevice({{"kind", "usb-hub"}, {"id", "h" + std::to_string(i)}, {"hub", i < 15 ? "hub-a" : "hub-b"},
                          {"port", i % 15 + 1}});
    settle();
    // A hub the system lists after the first 32.
    const std::vector<std::string> hubs = interfacePaths(GUID_DEVINTERFACE_USB_HUB);
    std::string far;
    for (size_t k = 32; k < hubs.size() && far.empty(); ++k)
        for (int i = 0; i < 30 && far.empty(); ++i)
            if (devInstOf(hubs[k], GUID_DEVINTERFACE_USB_HUB) == usbNodeOf("h" + std::to_string(i)))
                far = "h" + std::to_string(i);
    ASSERT_FALSE(far.empty());
    lab.attachDevice({{"kind", "tarn-reader"}, {"id", "far"}, {"hub", far}, {"port", 3}, {"mode", "upgrade"}});
    settle();
    ASSERT_EQ(scan(), KPL_OK);
    EXPECT_EQ(listed()[1], (Listed{"Tarn DFU Device [Port:3]", tarn::kModeUpgrade, 0, 0, 0, true}));
}

// The first group that fails stops the scan with its status; the entries already listed stay.
TEST_F(TarnScan, AFailingReaderStopsTheScanWithItsStatus) {
    struct Case {
        const char* reader;
        const char* fault;
        const char* line;
        const char* group;  // the group's own line
        size_t listed;
    };
    const Case cases[] = {
        {"tarn-1", "fail:usb:C1.08", "IOCTL_TARN_URB_PASSTHROUGH failed in getting device type. Error: 0h",
         "CreateQvxMsdDeviceInfoList failed.", 0},
        {"tarn-1", "fail:usb:80.06", "IOCTL_TARN_GET_DESCRIPTOR failed in getting USB Device Descriptor. Error: 1fh",
         "nKPLStatus = 402\r\n", 0},
        {"tarn-2", "fail:usb:C1.08", "UpdateUsbstorDevExtension failed", "CreateQvxUsbstorDeviceInfoList failed.", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        lab::Lab::current().applyFault(c.reader, "clear");
        lab::Lab::current().applyFault(c.reader, c.fault);
        settle();
        testsupport::logged().clear();
        EXPECT_EQ(scan(), KPL_E_DEVICE_QUERY) << testsupport::allLogged();
        EXPECT_TRUE(testsupport::loggedMessage(c.line)) << testsupport::allLogged();
        EXPECT_TRUE(testsupport::loggedMessage(c.group)) << testsupport::allLogged();
        EXPECT_EQ(listed().size(), c.listed);
        lab::Lab::current().applyFault(c.reader, "clear");
    }
}

// A mass-storage reader is checked again before a transfer: unchanged it passes; gone, or back
// as a new device since the scan, it fails with 611. Readers on other drivers pass unchecked.
TEST_F(TarnScan, AReaderReplugedSinceTheScanIsRefused) {
    ASSERT_EQ(scan(), KPL_OK);
    TarnDeviceRecord* usbstor = const_cast<TarnDeviceRecord*>(record("H:"));
    TarnDeviceRecord* own = const_cast<TarnDeviceRecord*>(record("G:"));
    ASSERT_TRUE(usbstor && own);
    EXPECT_EQ(tarn::CheckAndUpdateUsbstorDevExt(usbstor), KPL_OK);
    EXPECT_EQ(tarn::CheckAndUpdateUsbstorDevExt(own), KPL_OK);

    lab::Lab& lab = lab::Lab::current();
    lab.applyFault("tarn-2", "unplug");
    settle();
    EXPECT_EQ(tarn::CheckAndUpdateUsbstorDevExt(usbstor), KPL_E_DEVICE_OPEN);
    lab.applyFault("tarn-2", "plug");
    settle();
    EXPECT_EQ(tarn::CheckAndUpdateUsbstorDevExt(usbstor), KPL_E_DEVICE_OPEN);
    EXPECT_TRUE(testsupport::loggedMessage(" Failed as Device unplugged and re-plugged."));
    ASSERT_EQ(scan(), KPL_OK);
    EXPECT_EQ(tarn::CheckAndUpdateUsbstorDevExt(const_cast<TarnDeviceRecord*>(record("H:"))), KPL_OK) << "a new scan knows it";
}

// With RECOVERKRD50N the readers behind the KRD50N unit's hub take their product type from their
// port; a reader behind any other hub keeps its own. With all three listed nothing more happens;
// a broken one is switched into upgrade mode through the helper driver and listed as such.
TEST_F(TarnScan, TheKrd50nUnitsReadersTakeTheirTypeFromTheirPortAndABrokenOneIsRecovered) {
    tarn::plugin().options = tarn::kOptionRecoverKrd50n;
    lab::Lab& lab = lab::Lab::current();
    lab.attachDevice({{"kind", "krd50n"}, {"id", "krd"}, {"port", 2}});
    settle();
    ASSERT_EQ(scan(), KPL_OK) << testsupport::allLogged();
    std::vector<std::pair<uint32_t, int32_t>> types;
    for (const DeviceInfoEntry& e : list.entries)
        if (e.name[0]) types.push_back({static_cast<const TarnDeviceRecord*>(e.device)->deviceType,
                                        static_cast<const TarnDeviceRecord*>(e.device)->typeFromSystem});
    EXPECT_EQ(types, (std::vector<std::pair<uint32_t, int32_t>>{{7, 0}, {18, 1}, {17, 1}, {11, 1}, {1, 0}}));
    EXPECT_FALSE(testsupport::loggedMessage("Unable to get hub's symbolic link name.")) << "no recovery";

    // A reader that never took its configuration: switched, and listed in upgrade mode.
    const auto brokenReader = [&](const char* fault) {
        lab.detachDevice("krd-2");
        lab.attachDevice({{"kind", "tarn-reader"}, {"id", "krd-2"}, {"hub", "krd"}, {"port", 2}, {"product-type", 17},
                          {"fault", fault}});
        settle();
        testsupport::logged().clear();
    };
    brokenReader("fail:usb:00.09:1");
    ASSERT_EQ(scan(), KPL_OK) << testsupport::allLogged();
    std::vector<Listed> found = listed();
    ASSERT_EQ(found.size(), 5u);
    EXPECT_EQ(found.back(), (Listed{"Tarn DFU Device", tarn::kModeUpgrade, 0, 17, 0, true})) << testsupport::allLogged();
    const auto* recovered = static_cast<const TarnDeviceRecord*>(list.entries[4].device);
    EXPECT_EQ(recovered->typeFromSystem, 1);
    EXPECT_EQ(recovered->dfuType, tarn::kUnknownDfuType);
    EXPECT_NE(recovered->deviceHandle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(testsupport::loggedMessage("Unable to get instance info for device in port 1")) << "left alone";
    EXPECT_EQ(std::count(testsupport::logged().begin(), testsupport::logged().end(), "Device (Faulty) 4\r\n"), 1);
    EXPECT_EQ(serviceOf(pathWith(tarn::kUpgradeInterface, ""), tarn::kUpgradeInterface), "TARNDFU");

    // The next scan finds it in upgrade mode behind the unit: three from the system, no recovery.
    testsupport::logged().clear();
    ASSERT_EQ(scan(), KPL_OK);
    found = listed();
    ASSERT_EQ(found.size(), 5u);
    EXPECT_EQ(found[3].name.rfind("Tarn DFU Device [Hub:", 0), 0u) << found[3].name;
    EXPECT_EQ(found[3].type, 17u);
    EXPECT_FALSE(testsupport::loggedMessage("Unable to get hub's symbolic link name."));
    EXPECT_EQ(std::count(testsupport::logged().begin(), testsupport::logged().end(), "Device (Faulty) 4\r\n"), 0);

    // One that never comes back in upgrade mode is not listed.
    brokenReader("fail:usb:00.09");
    ASSERT_EQ(scan(), KPL_OK) << testsupport::allLogged();
    EXPECT_EQ(listed().size(), 4u);
    EXPECT_TRUE(testsupport::loggedMessage("SDI_NO_VALID_DEVICE_HANDLE")) << testsupport::allLogged();
}

// A configured run narrows the readers in upgrade mode by the product type each KV7 reader keeps
// in its configuration memory; a reader whose memory cannot be read, or holds another type, is
// left out, and one that matched keeps the answer 0 whatever a later read returned.
TEST_F(TarnScan, AConfiguredRunNarrowsUpgradeModeReadersByTheTypeInTheirMemory) {
    lab::Lab& lab = lab::Lab::current();
    lab.attachDevice({{"kind", "kv7-reader"}, {"id", "kv7-a"}, {"port", 2}, {"mode", "upgrade"}, {"dfu-type", 7},
                      {"eeprom-type", 23}, {"drive", "none"}});
    lab.attachDevice({{"kind", "kv7-reader"}, {"id", "kv7-b"}, {"hub", "hub-1"}, {"port", 1}, {"mode", "upgrade"},
                      {"dfu-type", 7}, {"eeprom-type", 24}, {"drive", "none"}});
    lab.attachDevice({{"kind", "tarn-reader"}, {"id", "dfu-1"}, {"hub", "hub-1"}, {"port", 4}, {"mode", "upgrade"}});
    settle();
    ASSERT_EQ(scan(), KPL_OK);
    // In the list: kv7-b, the Tarn reader, kv7-a, whose memory cannot be read from now on.
    ASSERT_STREQ(list.entries[3].name, "KV7X DFU Device [Hub:1] [Port:2]");
    lab.applyFault("kv7-a", "fail:usb:C1.02");
    settle();
    testsupport::TempDir dir("zelfin-narrowing");
    const auto imageOf = [&](int productType, bool capab = true) {
        image::ImageSpec spec = image::DefaultImageSpec(image::BinFamily::Tarn, 7);
        spec.productType = static_cast<uint8_t>(productType);
        spec.omitCapab = !capab;
        return tarntest::writeImageFile(spec, dir.path() / ("kv7-" + std::to_string(productType) + ".bin"));
    };
    const auto selected = [&] {
        std::vector<std::string> names;
        for (const DeviceInfoEntry& e : list.entries)
            if (e.name[0] && e.selected) names.push_back(e.name);
        return names;
    };
    // The filter alone takes the Tarn upgrade-mode reader too, and a KV7 one whatever its type.
    ASSERT_EQ(tarn::FilterDevices(&list, imageOf(23).c_str(), 0, 0), KPL_OK);
    EXPECT_EQ(selected().size(), 2u);

    EXPECT_EQ(tarn::MatchDfuDevicesByProductType(&list, imageOf(24).c_str()), KPL_OK) << "whatever came after";
    EXPECT_EQ(selected(), std::vector<std::string>{"KV7X DFU Device [Hub:2] [Port:1]"});
    EXPECT_EQ(tarn::MatchDfuDevicesByProductType(&list, imageOf(23).c_str()), KPL_E_SYSTEM)
        << "none matched: the failed read is the answer";
    EXPECT_TRUE(selected().empty());
    EXPECT_TRUE(testsupport::loggedMessage("Read EEPROM failed. Error: 0h."));
    EXPECT_EQ(tarn::MatchDfuDevicesByProductType(&list, imageOf(23, false).c_str()), KPL_E_IMAGE_INTEGRITY);
    EXPECT_EQ(tarn::MatchDfuDevicesByProductType(&list, (dir.path() / "missing.bin").c_str()), KPL_E_IMAGE_UNREADABLE);
}

}  // namespace
