// Sets the test program's lab to a PC with SCSI-reachable readers: the family of its operating
// system and the devices attached, fresh memories, no faults. Tests of the SCSI access and of
// the SCSI plug-in start from the typical PC and change what their case needs.
#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <lab/hardware.h>
#include <lab/lab.h>
#include <nlohmann/json.hpp>

#include "test_lab.h"

namespace readerlab {

// A fixed disk (C:, target 0), a CD-ROM drive (D:, target 1), a reader running its firmware
// (E:, target 2) and one in its boot loader (F:, target 3).
inline std::vector<nlohmann::json> typicalDevices() {
    return {{{"kind", "disk"}, {"id", "disk-1"}, {"drive", "C"}},
            {{"kind", "cdrom"}, {"id", "cdrom-1"}, {"drive", "D"}},
            {{"kind", "scsi-reader"}, {"id", "reader-e"}, {"drive", "E"}},
            {{"kind", "scsi-reader"}, {"id", "reader-f"}, {"drive", "F"}, {"mode", "upgrade"}}};
}

// Replaces every device of the lab and chooses the operating system: the NT family (XP SP3) or
// the 9x family with its ASPI manager installed or not.
inline void setPc(const std::vector<nlohmann::json>& devices, bool nineX = false, bool aspiInstalled = true) {
    lab::Lab& lab = lab::Lab::current();
    lab::Settings settings = lab.settings();
    settings.os = lab::OsVersion{};
    if (nineX) {
        settings.os.platformId = 1;
        settings.os.major = 4;
        settings.os.minor = 10;
        settings.os.build = 2222;
        settings.os.csdVersion = " A ";
    }
    settings.aspiInstalled = aspiInstalled;
    lab.setSettings(settings);
    // A hub takes the devices behind it along.
    while (!lab.devices().empty()) lab.detachDevice(lab.devices().front()["id"]);
    for (const auto& d : devices) lab.attachDevice(d);
}

// The bytes of a device memory as the lab keeps them.
inline std::vector<uint8_t> memory(const std::string& id, const std::string& name = "flash") {
    std::ifstream in(lab::Lab::current().deviceDir(id) / (name + ".bin"), std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Whether media change notification is on for a device's volume.
inline bool mediaChangeNotification(const std::string& id) {
    lab::Hardware& hw = lab::Lab::current().hardware();
    for (const auto& n : hw.nodes())
        if (hw.physicalIdOf(n.devInst) == id && n.instanceId.rfind("SCSI\\", 0) == 0)
            return hw.describe(n.devInst).value("mediaChangeNotification", true);
    return true;
}

// Each test starts from the typical PC of the NT family and leaves it so.
class TypicalPc : public ::testing::Test {
protected:
    void SetUp() override { setPc(typicalDevices()); }
    void TearDown() override { setPc(typicalDevices()); }
};

}  // namespace readerlab
