// The device list on both families: which devices it holds, in which order, with which address
// and drive letter.
#include <devaccess/scsi.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reader_lab.h"

namespace {

using nlohmann::json;
using readerlab::setPc;
using readerlab::typicalDevices;

struct Listed {
    uint8_t interfaceType, pathId, targetId, lun;
    char drive;
    std::string inquiry;
    bool operator==(const Listed&) const = default;
};

void PrintTo(const Listed& l, std::ostream* os) {
    *os << "{if " << int(l.interfaceType) << ", " << int(l.pathId) << ":" << int(l.targetId) << ":" << int(l.lun)
        << ", drive '" << (l.drive ? l.drive : '-') << "', \"" << l.inquiry << "\"}";
}

// The list as a vector, checking on the way what every record must hold; the list is released.
std::vector<Listed> listDevices(uint32_t* count = nullptr) {
    ScsiListOptions options{};
    options.count = 77;
    ScsiDevice* first = ScsiCreateDeviceInfoList(&options);
    std::vector<Listed> out;
    for (ScsiDevice* d = first; d; d = d->next) {
        EXPECT_EQ(d->tag, kScsiDeviceTag);
        EXPECT_EQ(d->version, 0u);
        EXPECT_EQ(d->flags, 0u) << "a fresh list is closed";
        EXPECT_EQ(d->device, d);
        EXPECT_EQ(std::string(d->inquiry).size(), kScsiInquiryStringLength);
        EXPECT_NE(d->bounce, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(d->bounce) % 8, 0u);
        out.push_back({d->interfaceType, d->pathId, d->targetId, d->lun, d->drive, d->inquiry});
    }
    EXPECT_EQ(options.count, out.size());
    if (count) *count = options.count;
    ScsiDestroyDeviceInfoList(first);
    return out;
}

const std::string kCdrom = "LAB     DVD-ROM Drive   1.00";
const std::string kDisk = "LAB     Fixed Disk      1.00";
const std::string kSecure = "SCSI    Secure Reader   1.00";
const std::string kUpgrade = "SCSI    DFU Reader      1.00";

TEST(ScsiList, VolumesOfRemovableAndCdromDrivesInLetterOrder) {
    std::vector<json> devices = typicalDevices();
    devices.push_back({{"kind", "removable"}, {"id", "stick"}, {"drive", "H"}});
    devices.push_back({{"kind", "scsi-reader"}, {"id", "reader-g"}, {"drive", "G"}, {"fault", "fail:12"}});
    // A volume's requests reach its own device, also at a LUN other than 0.
    devices.push_back({{"kind", "scsi-reader"}, {"id", "reader-i"}, {"drive", "I"}, {"target", 8}, {"lun", 1}});
    setPc(devices);
    // The fixed disk is no volume to probe, the reader that refuses INQUIRY is not listed.
    EXPECT_EQ(listDevices(), (std::vector<Listed>{{2, 0, 0, 0, 'D', kCdrom},
                                                  {2, 0, 0, 0, 'E', kSecure},
                                                  {2, 0, 0, 0, 'F', kUpgrade},
                                                  {2, 0, 0, 0, 'H', "LAB     Flash Disk      1.00"},
                                                  {2, 0, 0, 0, 'I', kSecure}}));
}

TEST(ScsiList, NoDeviceToListGivesNoListOnEitherFamily) {
    for (bool nineX : {false, true}) {
        setPc({{{"kind", "disk"}, {"id", "disk-1"}, {"drive", "C"}}}, nineX);
        uint32_t count = 1;
        // On the 9x family ASPI reaches the fixed disk as well.
        const std::vector<Listed> listed = listDevices(&count);
        EXPECT_EQ(listed.size(), nineX ? 1u : 0u);
        setPc({}, nineX);
        EXPECT_TRUE(listDevices(&count).empty()) << nineX;
        EXPECT_EQ(count, 0u);
    }
    setPc(typicalDevices(), true, false);
    EXPECT_TRUE(listDevices().empty()) << "a 9x PC without its ASPI manager";
    setPc(typicalDevices());
}

TEST(ScsiList, AspiProbesEveryAddressAndTakesLettersFromTheRegistry) {
    std::vector<json> devices = typicalDevices();
    // A second reader of the same product: letters go to the readers in list order. One without
    // a drive letter keeps none; one behind LUN 2 of a target is found there.
    devices.push_back({{"kind", "scsi-reader"}, {"id", "reader-g"}, {"drive", "G"}, {"target", 5}});
    devices.push_back({{"kind", "scsi-reader"}, {"id", "reader-none"}, {"drive", "none"}, {"target", 6}});
    devices.push_back({{"kind", "removable"}, {"id", "stick"}, {"drive", "H"}, {"target", 5}, {"lun", 2}});
    devices.push_back({{"kind", "removable"}, {"id", "far"}, {"drive", "I"}, {"target", 7},
                       {"inquiry", "LAB     Far Unit        1.00"}});
    setPc(devices, true);
    EXPECT_EQ(listDevices(), (std::vector<Listed>{{1, 0, 0, 0, 'C', kDisk},
                                                  {1, 0, 1, 0, 'D', kCdrom},
                                                  {1, 0, 2, 0, 'E', kSecure},
                                                  {1, 0, 3, 0, 'F', kUpgrade},
                                                  {1, 0, 5, 0, 'G', kSecure},
                                                  {1, 0, 5, 2, 'H', "LAB     Flash Disk      1.00"},
                                                  {1, 0, 6, 0, 0, kSecure}}))
        << "targets above 6 are not probed";
    setPc(typicalDevices());
}

}  // namespace
