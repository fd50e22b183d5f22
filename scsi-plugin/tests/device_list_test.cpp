// The device scan: which readers are listed and under which name, what each scan logs, the full
// and the empty list, the options, and the string library behind the messages.
#include "mora_fixture.h"

namespace {

using moratest::MoraPlugin;
using nlohmann::json;

const std::string kModel0 = "Quorvex CR-210 Card Reader";
const std::string kModel1 = "Quorvex MS-420 Multi-Slot Reader";
const std::string kModel2 = "Quorvex RM-630 Reader Module";

TEST_F(MoraPlugin, ListsItsReadersUnderTheirModelNames) {
    std::vector<json> devices = readerlab::typicalDevices();
    devices.push_back({{"kind", "scsi-reader"}, {"id", "reader-g"}, {"drive", "G"}, {"dfu-type", 1}});
    devices.push_back({{"kind", "scsi-reader"}, {"id", "reader-h"}, {"drive", "H"}, {"dfu-type", 2}});
    // Known by a text anywhere in the inquiry string, or not at all.
    devices.push_back({{"kind", "scsi-reader"}, {"id", "oem"}, {"drive", "I"}, {"inquiry", "OEM     SCSI    Secure  2.00"}});
    devices.push_back({{"kind", "scsi-reader"}, {"id", "other"}, {"drive", "J"}, {"inquiry", "SCSI    Secur   Reader  1.00"}});
    devices.push_back({{"kind", "removable"}, {"id", "stick"}, {"drive", "K"}});
    readerlab::setPc(devices);
    ASSERT_EQ(create(), KPL_OK);
    // The reader in its boot loader cannot name its upgrade type and keeps its inquiry text.
    EXPECT_EQ(names(), (std::vector<std::string>{"E: " + kModel0, "SCSI    DFU Reader  ", "G: " + kModel1, "H: " + kModel2,
                                                 "I: " + kModel0}));
    const std::vector<std::string> expectedRecordNames = {kModel0, "SCSI    DFU Reader  ", kModel1, kModel2, kModel0};
    for (size_t i = 0; i < expectedRecordNames.size(); ++i) {
        EXPECT_EQ(std::string(record(static_cast<int>(i))->name), expectedRecordNames[i]) << i;
        EXPECT_EQ(list_.entries[i].inUpgradeMode, 0) << i;
        EXPECT_EQ(list_.entries[i].selected, 0) << i;
        EXPECT_EQ(record(static_cast<int>(i))->transferred, 0) << i;
    }
    EXPECT_EQ(list_.entries[5].device, nullptr);
    // No model name starts another, so none can be taken for another inside a longer name.
    for (const std::string* a : {&kModel0, &kModel1, &kModel2})
        for (const std::string* b : {&kModel0, &kModel1, &kModel2})
            if (a != b) {
                EXPECT_NE(b->rfind(*a, 0), 0u) << *a << " / " << *b;
            }
    EXPECT_EQ(destroy(), KPL_OK);
}

TEST_F(MoraPlugin, ScanLogsEveryReaderItKeeps) {
    ASSERT_EQ(create(), KPL_OK);
    const std::vector<std::string> log = takeLog();
    EXPECT_TRUE(inOrder(log, {" Device 0", "KPLMORA(#) :Tag = 1399018345", "KPLMORA(#) :Version = 0",
                              "KPLMORA(#) :Flags = 0", "KPLMORA(#) :Interface = 2", "KPLMORA(#) :Path ID = 0",
                              "KPLMORA(#) :Target ID = 0", "KPLMORA(#) :LUN = 0", "KPLMORA(#) :Drive = E",
                              "KPLMORA(#) :DFU Type = 0", "KPLMORA(#) :Write Protect = 0",
                              "KPLMORA(#) :FW Feature  = 0X1", "KPLMORA(#) :FW Version  = 01.00",
                              "KPLMORA(#) :Target ID (as ret. by f/w) = 2",
                              "KPLMORA(#) :Inquiry String = SCSI    Secure Reader   1.00"}));
    // The reader in its boot loader answers none of the controller's queries.
    EXPECT_TRUE(inOrder(log, {"Utils(#) :Diagnostic Log Sense command failed.", "Utils(#) :ScsiDiagxGetFeatures Failed",
                              "Utils(#) :ScsiDiagxQueryController Failed", " Device 1", "KPLMORA(#) :Drive = F",
                              "KPLMORA(#) :DFU Type = 255", "KPLMORA(#) :Write Protect = 255",
                              "KPLMORA(#) :FW Feature  = 0Xff", "KPLMORA(#) :FW Version  = 255.255",
                              "KPLMORA(#) :Target ID (as ret. by f/w) = 255"}))
        << ::testing::PrintToString(log);
}

TEST_F(MoraPlugin, ReadersThatCannotBeQueriedKeepUnknownValues) {
    lab::Lab::current().applyFault("reader-e", "fail:FD0080");
    lab::Lab::current().applyFault("reader-e", "sense:FD0050:05/24/00");
    ASSERT_EQ(create(), KPL_OK);
    EXPECT_EQ(record(0)->dfuType, 0) << "the diagnostic log still answered";
    EXPECT_EQ(record(0)->feature, mora::kUnknown);
    EXPECT_EQ(record(0)->firmwareVersion, mora::kUnknownVersion);
    const std::vector<std::string> log = takeLog();
    EXPECT_TRUE(contains(log, "Utils(#) :ScsiDiagxGetFeatures Failed"));
    EXPECT_TRUE(contains(log, "Utils(#) :ScsiDiagxQueryController Failed"));
    EXPECT_EQ(record(0)->device->flags, 0u) << "closed after the queries";
}

TEST_F(MoraPlugin, NoReaderMeansStatus400AndAnEmptyList) {
    readerlab::setPc({{{"kind", "disk"}, {"id", "disk-1"}, {"drive", "C"}}, {{"kind", "cdrom"}, {"id", "cd"}, {"drive", "D"}}});
    EXPECT_EQ(create(), KPL_E_NO_DEVICE);
    EXPECT_TRUE(names().empty());
    EXPECT_EQ(destroy(), KPL_OK);
    EXPECT_EQ(destroy(), KPL_OK) << "destroying an empty list again";
}

TEST_F(MoraPlugin, FullListStopsAtThirtyYetEndsAndReadsItsOptions) {
    // Thirty-one readers behind ASPI, none with a drive letter: seven targets with five LUNs each.
    std::vector<json> devices;
    for (int n = 0; n < 31; ++n)
        devices.push_back({{"kind", "scsi-reader"}, {"id", "r" + std::to_string(n)}, {"drive", "none"},
                           {"target", n / 5}, {"lun", n % 5}});
    readerlab::setPc(devices, true);
    EXPECT_EQ(create(writeConfig({{"UPGRADEONLY", "yes"}}).c_str()), KPL_E_LIST_FULL);
    // Without a drive letter a reader shows as its model alone.
    EXPECT_EQ(names(), std::vector<std::string>(30, kModel0));
    for (const DeviceInfoEntry& e : list_.entries) EXPECT_EQ(e.inUpgradeMode, 0);
    const std::vector<std::string> log = takeLog();
    EXPECT_EQ(std::count(log.begin(), log.end(), "KPLMORA(#) :List is full"), 1);
    EXPECT_TRUE(inOrder(log, {" Device 29", "KPLMORA(#) :List is full", "KPLMORA(#) :FW Upgrade Only"}));
    EXPECT_FALSE(contains(log, " Device 30"));
    EXPECT_EQ(destroy(), KPL_OK);
}

TEST_F(MoraPlugin, TheNineXFamilyListsTheSameReadersThroughAspi) {
    ASSERT_EQ(create(), KPL_OK);
    const std::vector<std::string> nt = names();
    ASSERT_EQ(destroy(), KPL_OK);
    readerlab::setPc(readerlab::typicalDevices(), true);
    takeLog();
    ASSERT_EQ(create(), KPL_OK);
    EXPECT_EQ(names(), nt);
    EXPECT_EQ(names(), (std::vector<std::string>{"E: " + kModel0, "SCSI    DFU Reader  "}));
    const std::vector<std::string> log = takeLog();
    EXPECT_TRUE(inOrder(log, {" Device 0", "KPLMORA(#) :Interface = 1", "KPLMORA(#) :Target ID = 2",
                              "KPLMORA(#) :Drive = E"}));
}

TEST_F(MoraPlugin, OptionsAreReadAfterTheScanAndStaySet) {
    const std::string both = writeConfig({{"MATCHFEATURE", "Yes"}, {"UPGRADEONLY", "YES"}});
    ASSERT_EQ(create(both.c_str()), KPL_OK);
    std::vector<std::string> log = takeLog();
    // Read in a fixed order, whatever the file's order.
    EXPECT_TRUE(inOrder(log, {" Device 1", "KPLMORA(#) :FW Upgrade Only", "KPLMORA(#) :Match FW Feature"}));
    ASSERT_EQ(destroy(), KPL_OK);
    EXPECT_EQ(create(writeConfig({{"UPGRADEONLY", "no"}}).c_str()), KPL_OK);
    log = takeLog();
    EXPECT_FALSE(contains(log, "KPLMORA(#) :FW Upgrade Only"));
    ASSERT_EQ(destroy(), KPL_OK);
    // Still in force: an up-to-date reader is not offered the same version again.
    ASSERT_EQ(create(), KPL_OK);
    EXPECT_EQ(filter_(&list_, writeImage("same.bin", scsiImage(0, 1, 0)).c_str(), 1, 0), KPL_OK);
    EXPECT_EQ(selected(), (std::vector<int32_t>{0, 1}));
}

TEST_F(MoraPlugin, ScanWithoutDestroyKeepsEarlierEntriesValid) {
    ASSERT_EQ(create(), KPL_OK);
    ASSERT_EQ(create(), KPL_OK) << "appended after the entries already there";
    EXPECT_EQ(names(), (std::vector<std::string>{"E: " + kModel0, "SCSI    DFU Reader  ", "E: " + kModel0,
                                                 "SCSI    DFU Reader  "}));
    DisplayInfo info{};
    EXPECT_EQ(displayInfo_(&list_, 0, nullptr, &info), KPL_OK) << "the first scan's reader is still reachable";
    EXPECT_STREQ(info.rows[3].existing, "01.00");
}

TEST_F(MoraPlugin, MessagesComeFromTheStringLibraryOnceItIsLoaded) {
    char text[KPL_TEXT_SIZE];
    // Before any scan the system's text of the last error stands in.
    SetLastError(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(errorMessage_(KPL_E_DEVICE_OPEN, text), 0);
    EXPECT_EQ(std::string(text), moratest::systemText(ERROR_FILE_NOT_FOUND));
    ASSERT_EQ(create(), KPL_OK);
    ASSERT_EQ(destroy(), KPL_OK);
    // Kept after the list is gone.
    for (int32_t status : {KPL_E_DEVICE_OPEN, KPL_E_NO_DEVICE, KPL_E_CONTROLLER_QUERY, KPL_E_STRINGS_NOT_LOADED}) {
        EXPECT_EQ(errorMessage_(status, text), 0);
        EXPECT_EQ(std::string(text), moratest::libraryText(static_cast<UINT>(status))) << status;
        EXPECT_FALSE(std::string(text).empty()) << status;
    }
    EXPECT_EQ(errorMessage_(KPL_E_NO_DEVICE, nullptr), 0);
}

class MoraWithoutStrings : public MoraPlugin {
protected:
    void SetUp() override {
        withStrings_ = false;
        MoraPlugin::SetUp();
    }
};

TEST_F(MoraWithoutStrings, ScanFailsWith617AndListsNothing) {
    EXPECT_EQ(create(), KPL_E_STRINGS_NOT_LOADED);
    EXPECT_TRUE(names().empty());
    char text[KPL_TEXT_SIZE];
    SetLastError(ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(errorMessage_(KPL_E_STRINGS_NOT_LOADED, text), 0);
    EXPECT_EQ(std::string(text), moratest::systemText(ERROR_MOD_NOT_FOUND));
    EXPECT_FALSE(std::string(text).empty());
}

}  // namespace
