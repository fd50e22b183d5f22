// A lab of its own for each hardware test, with helpers to send SCSI commands to its devices.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include <lab/hardware.h>
#include <lab/lab.h>
#include <lab/physical_device.h>

#include <protocol/reader_commands.h>
#include "test_lab.h"

namespace labtest {

class HardwareTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/lab-hw-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        lab_ = lab::Lab::create(dir_ / "lab", "empty");
    }
    void TearDown() override {
        lab_.reset();
        std::filesystem::remove_all(dir_);
    }

    std::string attach(nlohmann::json request) { return lab_->attachDevice(request, dir_); }
    lab::Hardware& hw() { return lab_->hardware(); }
    std::shared_ptr<lab::PhysicalDevice> device(const std::string& id) {
        hw().refresh();
        return hw().physical(id);
    }
    std::vector<uint8_t> memory(const std::string& id, const std::string& name) {
        std::ifstream in(lab_->deviceDir(id) / (name + ".bin"), std::ios::binary);
        return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    nlohmann::json entry(const std::string& id) {
        for (const auto& d : lab::Lab::open(dir_ / "lab")->devices())
            if (d["id"] == id) return d;
        return nullptr;
    }

    std::filesystem::path dir_;
    std::unique_ptr<lab::Lab> lab_;
};

// Runs one command with a data phase in `buffer` (direction None when it is empty).
inline lab::ScsiOutcome run(lab::PhysicalDevice& d, std::vector<uint8_t> cdb, std::vector<uint8_t>& buffer,
                            lab::DataDirection direction = lab::DataDirection::In, uint8_t lun = 0) {
    lab::ScsiCommand c;
    c.cdb = cdb.data();
    c.cdbLength = static_cast<uint8_t>(cdb.size());
    c.lun = lun;
    c.data = buffer.empty() ? nullptr : buffer.data();
    c.dataLength = static_cast<uint32_t>(buffer.size());
    c.direction = buffer.empty() ? lab::DataDirection::None : direction;
    return d.scsi()->execute(c);
}

inline std::vector<uint8_t> cdbOf(const uint8_t* bytes, size_t n) { return std::vector<uint8_t>(bytes, bytes + n); }

inline std::vector<uint8_t> blockWriteCdb(uint8_t count, uint8_t first) {
    std::vector<uint8_t> cdb = {readercmd::kOpRova, 0, readercmd::kRovaWrite};
    cdb.insert(cdb.end(), std::begin(readercmd::kRovaAccessSequence), std::end(readercmd::kRovaAccessSequence));
    cdb.push_back(count);
    cdb.push_back(first);
    return cdb;
}

inline std::vector<uint8_t> blockReadCdb(uint8_t count, uint8_t first) {
    return {readercmd::kOpRova, 0, readercmd::kRovaRead, count, first, 0, 0, 0, 0, 0, 0, 0};
}

// Sense key, ASC and ASCQ of a CHECK CONDITION.
inline std::vector<int> senseOf(const lab::ScsiOutcome& o) {
    if (o.status != lab::kStatusCheckCondition || o.sense.size() < 14) return {};
    return {o.sense[2], o.sense[12], o.sense[13]};
}

}  // namespace labtest
