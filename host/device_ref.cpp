#include "device_ref.h"

#include <cstring>

#include "loader.h"

namespace zelfin {

namespace {

const DeviceInfoEntry& entry(const DeviceRef& ref) { return theApp.plugins[ref.plugin].devices.entries[ref.device]; }

std::string nameOf(const DeviceInfoEntry& e) { return std::string(e.name, strnlen(e.name, sizeof e.name)); }

}  // namespace

bool DeviceRef::valid() const {
    if (plugin < 0 || plugin >= theApp.pluginCount || device < 0) return false;
    return device < countDevices(theApp.plugins[plugin].devices);
}

std::string deviceName(const DeviceRef& ref) { return ref.valid() ? nameOf(entry(ref)) : std::string(); }

void makeCurrent(const DeviceRef& ref) {
    if (!ref.valid()) return;
    theApp.currentPlugin = &theApp.plugins[ref.plugin];
    theApp.currentPluginIndex = ref.plugin;
    theApp.currentDevice = ref.device;
}

std::vector<DeviceRef> uniquelyNamedDevices(int32_t slot) {
    std::vector<DeviceRef> found;
    if (slot < 0 || slot >= theApp.pluginCount) return found;
    const DeviceInfoList& list = theApp.plugins[slot].devices;
    const int n = countDevices(list);
    for (int i = 0; i < n; ++i) {
        bool shared = false;
        for (int j = 0; j < n && !shared; ++j)
            shared = j != i && nameOf(list.entries[j]) == nameOf(list.entries[i]);
        if (!shared) found.push_back({slot, i});
    }
    return found;
}

std::vector<DeviceRef> selectedDevices(int32_t slot) {
    std::vector<DeviceRef> found;
    if (slot < 0 || slot >= theApp.pluginCount) return found;
    const DeviceInfoList& list = theApp.plugins[slot].devices;
    const int n = countDevices(list);
    for (int i = 0; i < n; ++i)
        if (list.entries[i].selected) found.push_back({slot, i});
    return found;
}

}  // namespace zelfin
