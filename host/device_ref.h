// Which reader a row of a list stands for. Every list that offers readers keeps, with each row,
// the reader's plug-in slot and its place in that plug-in's device list, so that the reader an
// operator chose is the one the host works on: names are for people and are not unique ("Tarn DFU
// Device" is the start of "Tarn DFU Device [Hub:1]", and two plug-ins may list equal names).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "app.h"

namespace zelfin {

struct DeviceRef {
    int32_t plugin = -1;  // slot in theApp.plugins
    int32_t device = -1;  // index in that slot's DeviceInfoList

    // Names a bound plug-in and one of the devices it listed.
    bool valid() const;
    bool operator==(const DeviceRef&) const = default;
};

// The device's name, never read past its 260-byte field.
std::string deviceName(const DeviceRef& ref);

// Makes the reader the one the host works on: currentPlugin, currentPluginIndex, currentDevice.
void makeCurrent(const DeviceRef& ref);

// The devices of `slot` whose name no other device of the same plug-in carries, in list order
// (readers that cannot be told apart are left out altogether).
std::vector<DeviceRef> uniquelyNamedDevices(int32_t slot);

// The devices of `slot` that its filter marked `selected`, in list order.
std::vector<DeviceRef> selectedDevices(int32_t slot);

}  // namespace zelfin
