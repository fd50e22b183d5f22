// A lab PC with Tarn readers (the USB PC of the winsim tests: an external hub with a reader on
// its own driver and one on the generic mass-storage driver), the helper driver's image in place,
// and a scan of the plug-in's device groups driven directly, with its log captured.
#pragma once
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include <devaccess/scsi.h>

#include "device_list.h"
#include "helper_lab.h"
#include "plugin_state.h"

namespace tarntest {

using namespace usbtest;
using tarn::TarnDeviceRecord;

// One listed entry as the tests compare it.
struct Listed {
    std::string name;
    int32_t mode;
    uint8_t drive;
    uint32_t type;
    uint32_t version;
    bool upgrade;
    bool operator==(const Listed&) const = default;
};
inline void PrintTo(const Listed& l, std::ostream* os) {
    *os << '"' << l.name << "\" mode " << l.mode << " drive " << static_cast<int>(l.drive) << " type " << l.type
        << " version " << std::hex << l.version << std::dec << (l.upgrade ? " upgrade" : "");
}

class TarnScan : public UsbPc {
protected:
    void SetUp() override {
        UsbPc::SetUp();
        helpertest::installImage();
        testsupport::logged().clear();
        tarn::setLogger(testsupport::captureLog);
        tarn::plugin().options = 0;
    }
    void TearDown() override {
        free();
        tarn::UnloadHelperDriver();
        tarn::setLogger(nullptr);
        tarn::plugin().options = 0;
        UsbPc::TearDown();
    }
    static void settle() {
        lab::Hardware& hw = lab::Lab::current().hardware();
        hw.refresh();
        hw.reenumerate(hw.root());
    }
    int32_t scan() {
        free();
        ScsiListOptions options{};
        ScsiDevice* scsi = ScsiCreateDeviceInfoList(&options);
        const int32_t status = tarn::BuildDeviceGroups(&list, scsi);
        ScsiDestroyDeviceInfoList(scsi);
        return status;
    }
    void free() {
        for (DeviceInfoEntry& e : list.entries) tarn::FreeDeviceRecord(static_cast<TarnDeviceRecord*>(e.device));
        list = DeviceInfoList{};
    }
    std::vector<Listed> listed() const {
        std::vector<Listed> out;
        for (const DeviceInfoEntry& e : list.entries) {
            if (!e.name[0]) break;
            const auto* r = static_cast<const TarnDeviceRecord*>(e.device);
            out.push_back({e.name, r->deviceMode, r->driveLetter, r->deviceType, r->firmwareVersion, e.inUpgradeMode != 0});
        }
        return out;
    }
    DeviceInfoEntry* entry(const std::string& namePart) {
        for (DeviceInfoEntry& e : list.entries)
            if (e.name[0] && std::string(e.name).find(namePart) != std::string::npos) return &e;
        return nullptr;
    }
    const TarnDeviceRecord* record(const std::string& namePart) const {
        for (const DeviceInfoEntry& e : list.entries)
            if (e.name[0] && std::string(e.name).find(namePart) != std::string::npos)
                return static_cast<const TarnDeviceRecord*>(e.device);
        return nullptr;
    }

    DeviceInfoList list{};
};

}  // namespace tarntest
