// The lab for the helper driver's tests: the USB PC of the winsim tests (an external hub with a
// reader on its own driver and one on the generic mass-storage driver) with DMHLP.SYS written
// into the system's driver folder and started through the client, as the plug-in does it.
#pragma once
#include <filesystem>
#include <string>
#include <vector>

#include <lab/lab.h>
#include <winsim/winsvc.h>

#include "helper_client.h"
#include "log_capture.h"
#include "tarn_log.h"
#include "usb_lab.h"

namespace helpertest {

inline void installImage() {
    const std::filesystem::path drivers = lab::Lab::current().windowsFolder() / "System32" / "Drivers";
    std::filesystem::create_directories(drivers);
    std::filesystem::copy_file(ZELFIN_DMHLP_SYS, drivers / dmhlp::kImageName,
                               std::filesystem::copy_options::overwrite_existing);
}

// The faults a lab device still holds, as lab.json keeps them ("fail:usb:21.00:1@99").
inline std::vector<std::string> faultsOf(const std::string& id) {
    for (const auto& d : lab::Lab::current().devices())
        if (d.value("id", "") == id && d.contains("faults")) return d["faults"].get<std::vector<std::string>>();
    return {};
}

// A fault that never hits but counts the requests it lets pass: "@1000" goes down by one for
// each request it matches.
inline std::string counter(const std::string& what) { return "fail:" + what + ":1@1000"; }
inline int counted(const std::string& id, const std::string& what) {
    const std::string prefix = "fail:" + what + ":1@";
    for (const std::string& f : faultsOf(id))
        if (f.rfind(prefix, 0) == 0) return 1000 - std::stoi(f.substr(prefix.size()));
    return -1;
}

class HelperPc : public usbtest::UsbPc {
protected:
    void SetUp() override {
        UsbPc::SetUp();
        testsupport::logged().clear();
        tarn::setLogger(testsupport::captureLog);
        installImage();
        ASSERT_EQ(tarn::LoadHelperDriver(&tarn::helperHandle(), dmhlp::kImageName, dmhlp::kServiceName), 0);
        helper = tarn::helperHandle();
        ASSERT_NE(helper, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        tarn::UnloadHelperDriver();
        tarn::setLogger(nullptr);
        UsbPc::TearDown();
    }

    // A query of the device named `pdoName`; the record as the driver left it.
    dmhlp::QueryRecord query(const std::string& pdoName, uint8_t dfuType = dmhlp::kQueryFromDeviceList,
                             uint32_t retries = 1, uint32_t retryDataError = 0, BOOL* ok = nullptr) {
        dmhlp::QueryRecord r;
        tarn::PrepareQuery(&r, pdoName.c_str(), retries, retryDataError, dfuType);
        const BOOL sent = tarn::QueryDevice(helper, &r);
        if (ok) *ok = sent;
        return r;
    }
    // The id of a lab device's USB node (only the device object is asked for).
    uint32_t idOf(const std::string& physicalId, uint32_t retries = 1, uint32_t retryDataError = 0) {
        return query(usbtest::pdoName(physicalId), dmhlp::kQueryObjectOnly, retries, retryDataError).deviceObject;
    }

    HANDLE helper = INVALID_HANDLE_VALUE;
};

}  // namespace helpertest
