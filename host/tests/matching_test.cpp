// Choosing among the readers a plug-in marked for an image, and giving an image that fits
// several readers one row per reader.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "matching.h"
#include "text.h"

using namespace zelfin;

namespace {

// A device list written as text: one letter per reader, upper case for a reader the image fits,
// "u" after a letter for a reader in upgrade mode: "Bu Du A" = B and D in upgrade mode, then A.
void setDevices(const std::string& spec) {
    theApp = ZelfinApp{};
    theApp.pluginCount = 1;
    PluginSlot& slot = theApp.plugins[0];
    int i = 0;
    for (size_t p = 0; p < spec.size(); ++p) {
        if (spec[p] == ' ') continue;
        DeviceInfoEntry& e = slot.devices.entries[i++];
        e.name[0] = static_cast<char>(std::toupper(spec[p]));
        e.selected = std::isupper(static_cast<unsigned char>(spec[p])) ? 1 : 0;
        if (p + 1 < spec.size() && spec[p + 1] == 'u') {
            e.inUpgradeMode = 1;
            ++p;
        }
    }
}

std::string selectedNames() {
    std::string names;
    for (const DeviceInfoEntry& e : theApp.plugins[0].devices.entries)
        if (e.name[0] && e.selected) names += e.name[0];
    return names;
}

TEST(ChooseDevices, NormalModeReadersWinWhateverTheOrder) {
    struct Case {
        const char* devices;
        int32_t configured;
        int32_t chosen;
        const char* kept;
        char current;  // name of currentDevice after the choice ('-': not looked at)
        int32_t status;
    };
    const Case cases[] = {
        {"Bu Du A", 1, 1, "A", 'A', 0},   // the order that a step-by-step rule gets wrong
        {"A Bu C", 1, 2, "AC", 'C', 0},
        {"Au B Cu", 1, 1, "B", 'B', 0},
        {"Au Bu", 1, 0, "AB", '-', kOnlyUpgradeModeDevices},
        {"au Bu", 1, 1, "B", 'B', 0},     // one upgrade-mode reader is no doubt
        {"a b", 1, 0, "", '-', 0},
        {"Au B", 0, 2, "AB", 'B', 0},     // the interactive dialog takes what the plug-in marked
    };
    for (const Case& c : cases) {
        setDevices(c.devices);
        theApp.configured = c.configured;
        theApp.currentDevice = -1;
        HostStatus status;
        EXPECT_EQ(chooseDevices(theApp.plugins[0], status), c.chosen) << c.devices;
        EXPECT_EQ(selectedNames(), c.kept) << c.devices;
        EXPECT_EQ(status.code, c.status) << c.devices;
        if (c.current != '-') {
            EXPECT_EQ(theApp.plugins[0].devices.entries[theApp.currentDevice].name[0], c.current) << c.devices;
        }
    }
    theApp = ZelfinApp{};
}

class ExpandRow : public ::testing::Test {
protected:
    void TearDown() override { theApp = ZelfinApp{}; }
    // Rows as "image:reader", readers by name.
    static std::vector<std::string> rows() {
        std::vector<std::string> out;
        for (int k = 0; k < theApp.downloadCount; ++k) {
            const DownloadEntry& r = theApp.downloads[k];
            const std::string reader =
                r.deviceIndex == kNoIndex ? "-" : std::string(1, theApp.plugins[0].devices.entries[r.deviceIndex].name[0]);
            out.push_back(std::string(r.fileName) + ":" + reader);
        }
        return out;
    }
    static void addRow(const char* image) {
        DownloadEntry& r = theApp.downloads[theApp.downloadCount++];
        copyInto(r.fileName, image);
        r.pluginIndex = 0;
        r.deviceIndex = kNoIndex;
    }
};

TEST_F(ExpandRow, EachFurtherReaderGetsARowOfItsOwn) {
    setDevices("A b C D");
    theApp.configured = 1;
    addRow("one.bin");
    addRow("two.bin");
    HostStatus status;
    ASSERT_EQ(chooseDevices(theApp.plugins[0], status), 3);
    bindRow(0);  // the reader the choice ended on
    EXPECT_EQ(expandRow(0, 3), 2);
    EXPECT_EQ(rows(), (std::vector<std::string>{"one.bin:D", "one.bin:A", "one.bin:C", "two.bin:-"}));
}

TEST_F(ExpandRow, AReaderOfAnEarlierImageIsNoReasonToWriteTwice) {
    setDevices("A B");
    theApp.configured = 1;
    addRow("first.bin");
    addRow("second.bin");
    theApp.currentDevice = 0;
    bindRow(0);  // first.bin went to A
    HostStatus status;
    ASSERT_EQ(chooseDevices(theApp.plugins[0], status), 2);
    bindRow(1);  // second.bin to B, the last chosen
    EXPECT_EQ(expandRow(1, 2), 1);
    EXPECT_EQ(rows(), (std::vector<std::string>{"first.bin:A", "second.bin:B", "second.bin:A"}));
}

TEST_F(ExpandRow, AFullTableTakesNoFurtherRows) {
    setDevices("A B");
    theApp.configured = 1;
    for (int i = 0; i < kMaxDownloads; ++i) addRow(("img" + std::to_string(i) + ".bin").c_str());
    HostStatus status;
    ASSERT_EQ(chooseDevices(theApp.plugins[0], status), 2);
    bindRow(kMaxDownloads - 1);
    EXPECT_EQ(expandRow(kMaxDownloads - 1, 2), 0);
    EXPECT_EQ(theApp.downloadCount, kMaxDownloads);
}

}  // namespace
