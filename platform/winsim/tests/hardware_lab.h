// Puts the test program's lab back to the default PC before each hardware test: a fixed disk
// (C:), a CD-ROM drive (D:), a reader of the SCSI family running its firmware (E:) and one in
// its boot loader (F:), with fresh memories, no faults, all plugged in.
#pragma once
#include <gtest/gtest.h>

#include <lab/lab.h>

#include "test_lab.h"

namespace hwtest {

inline void resetDevices() {
    lab::Lab& lab = lab::Lab::current();
    lab::Settings settings = lab.settings();
    if (settings.os.platformId != 2 || !settings.aspiInstalled) {
        settings.os = lab::OsVersion{};
        settings.aspiInstalled = true;
        lab.setSettings(settings);
    }
    for (const auto& d : lab.devices()) lab.detachDevice(d["id"]);
    for (const nlohmann::json& d : {nlohmann::json{{"kind", "disk"}, {"id", "disk-1"}, {"drive", "C"}},
                                    nlohmann::json{{"kind", "cdrom"}, {"id", "cdrom-1"}, {"drive", "D"}},
                                    nlohmann::json{{"kind", "scsi-reader"}, {"id", "scsi-reader-1"}, {"drive", "E"}},
                                    nlohmann::json{{"kind", "scsi-reader"},
                                                   {"id", "scsi-reader-2"},
                                                   {"drive", "F"},
                                                   {"mode", "upgrade"}}})
        lab.attachDevice(d);
}

class DefaultPc : public ::testing::Test {
protected:
    void SetUp() override { resetDevices(); }
    void TearDown() override { resetDevices(); }
};

}  // namespace hwtest
