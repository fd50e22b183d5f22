// The insides of the device tree, shared by the tree operations (hardware.cpp) and device
// I/O (hardware_io.cpp).
#pragma once
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <set>
#include <thread>

#include <winsim/cfgmgr32.h>
#include <winsim/setupapi.h>
#include <winsim/winbase.h>
#include <winsim/winreg.h>

#include "lab/hardware.h"
#include "lab/lab.h"
#include "lab/physical_device.h"
#include "lab_driver_objects.h"
#include "pc_drivers.h"
#include "registry9x.h"

namespace lab {

struct DevNode {
    DevInst devInst = 0;
    std::string instanceId;
    std::string physicalId;
    std::weak_ptr<PhysicalDevice> device;  // the device object the node was found for
    uint64_t arrival = 0;                  // ChildDescription::arrival it was found with
    DevInst parent = 0;
    std::vector<DevInst> children;  // in order of first arrival, present or not
    std::map<uint32_t, PropertyValue> properties;
    bool present = true;
    bool started = false;
    bool disabled = false;  // by the class installer
    bool removed = false;   // by DIF_REMOVE, until its bus finds it again
    uint32_t problem = 0;
    std::shared_ptr<Driver> pdo;                 // the bus driver's model of this child
    std::vector<PDEVICE_OBJECT> devices;         // the device stack, bottom first (referenced), while started
    std::vector<std::shared_ptr<Driver>> stack;  // the lab drivers among them, bottom first, while started
    struct Interface {
        GUID interfaceClass;
        std::string reference, link;
        bool active;
    };
    std::vector<Interface> interfaces;
    std::atomic<int> openHandles{0};
    uint64_t generation = 0;
};

// Helpers of the tree, private to the lab.
namespace detail {

struct NoCaseLess {
    bool operator()(const std::string& a, const std::string& b) const {
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
            return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
        });
    }
};

inline bool equalNoCase(const std::string& a, const std::string& b) { return !NoCaseLess()(a, b) && !NoCaseLess()(b, a); }

inline std::string guidText(const GUID& g, bool upper) {
    char buf[40];
    std::snprintf(buf, sizeof buf, upper ? "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}"
                                         : "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                  g.Data4[6], g.Data4[7]);
    return buf;
}

inline bool parseGuid(const std::string& s, GUID* out) {
    unsigned d1, d2, d3, b[8];
    if (s.size() != 38 || std::sscanf(s.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0], &b[1],
                                      &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]) != 11)
        return false;
    out->Data1 = d1;
    out->Data2 = static_cast<uint16_t>(d2);
    out->Data3 = static_cast<uint16_t>(d3);
    for (int i = 0; i < 8; ++i) out->Data4[i] = static_cast<uint8_t>(b[i]);
    return true;
}

// Properties the PnP manager reads from the live node: gone with the device.
inline bool isLiveProperty(uint32_t p) {
    return p == SPDRP_PHYSICAL_DEVICE_OBJECT_NAME || p == SPDRP_BUSNUMBER || p == SPDRP_LEGACYBUSTYPE ||
           p == SPDRP_BUSTYPEGUID;
}

// Properties that belong to the installation and survive a re-enumeration of the node.
inline bool isInstallProperty(uint32_t p) {
    return p == SPDRP_SERVICE || p == SPDRP_DEVICEDESC || p == SPDRP_FRIENDLYNAME || p == SPDRP_UPPERFILTERS ||
           p == SPDRP_LOWERFILTERS || p == SPDRP_CLASS || p == SPDRP_CLASSGUID || p == SPDRP_DRIVER ||
           p == SPDRP_MFG || p == SPDRP_CONFIGFLAGS;
}

inline bool isWritableProperty(uint32_t p) {
    return isInstallProperty(p) || p == SPDRP_LOCATION_INFORMATION;
}

}  // namespace detail

using namespace detail;

// ---- the tree ------------------------------------------------------------------------------------

struct Hardware::Impl {
    Hardware& hw;
    std::recursive_mutex mutex;
    int depth = 0;
    std::vector<PnpEvent> pending;
    std::map<int, Listener> listeners;
    int nextToken = 1;

    std::vector<std::shared_ptr<DevNode>> nodes;  // index devInst - 1
    std::map<std::string, DevInst, NoCaseLess> byInstanceId;
    std::map<std::string, PDRIVER_OBJECT, NoCaseLess> services;  // the driver each service runs on now
    std::map<std::string, PDRIVER_OBJECT, NoCaseLess> builtins;  // the lab's own models among them
    std::map<char, MountedDrive> mounts;
    std::map<std::string, DevInst, NoCaseLess> links;
    std::map<std::string, std::shared_ptr<PhysicalDevice>> physical;
    std::map<std::string, std::map<std::string, uint32_t, NoCaseLess>> numbers;
    std::map<std::string, uint32_t> classIndex;  // class GUID text -> next SPDRP_DRIVER index
    std::string nineXSignature;

    // The scheduler of delayed actions, started on first use.
    std::mutex timerMutex;
    std::condition_variable timerChanged;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> timers;
    std::thread timerThread;
    bool stopping = false;

    explicit Impl(Hardware& h) : hw(h) {}

    // The tree lock; the outermost holder delivers the events queued meanwhile.
    class Lock {
    public:
        explicit Lock(Impl& impl) : i_(impl) {
            i_.mutex.lock();
            ++i_.depth;
        }
        ~Lock() {
            std::vector<PnpEvent> events;
            std::vector<Listener> listeners;
            if (--i_.depth == 0 && !i_.pending.empty()) {
                events.swap(i_.pending);
                for (auto& [token, l] : i_.listeners) listeners.push_back(l);
            }
            i_.mutex.unlock();
            for (const PnpEvent& e : events)
                for (const Listener& l : listeners) l(e);
        }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        Impl& i_;
    };

    std::shared_ptr<DevNode> find(DevInst d) {
        if (d == 0 || d > nodes.size()) return nullptr;
        auto n = nodes[d - 1];
        return n && !n->removed ? n : nullptr;
    }


    bool hasOpenHandles(const std::shared_ptr<DevNode>& n) {
        if (n->openHandles > 0) return true;
        for (DevInst c : n->children)
            if (auto child = find(c); child && child->present && hasOpenHandles(child)) return true;
        return false;
    }

    void setInterfaceActive(const std::shared_ptr<DevNode>& n, DevNode::Interface& itf, bool active) {
        if (itf.active == active) return;
        itf.active = active;
        pending.push_back({active ? PnpEvent::InterfaceArrival : PnpEvent::InterfaceRemoval, itf.interfaceClass,
                           itf.link, n->devInst});
    }

    DevInst addNode(DevInst parent, const ChildDescription& d) {
        auto it = byInstanceId.find(d.instanceId);
        std::shared_ptr<DevNode> n;
        if (it != byInstanceId.end()) {
            n = nodes[it->second - 1];
            for (auto p = n->properties.begin(); p != n->properties.end();)
                p = isInstallProperty(p->first) ? std::next(p) : n->properties.erase(p);
            for (const auto& [key, value] : d.properties)
                if (!isInstallProperty(key) || d.rebind || !n->properties.count(key)) n->properties[key] = value;
            n->removed = false;
        } else {
            n = std::make_shared<DevNode>();
            n->devInst = static_cast<DevInst>(nodes.size() + 1);
            n->instanceId = d.instanceId;
            n->properties = d.properties;
            nodes.push_back(n);
            byInstanceId[d.instanceId] = n->devInst;
            if (auto cls = n->properties.find(SPDRP_CLASSGUID); cls != n->properties.end() && !n->properties.count(SPDRP_DRIVER)) {
                const std::string g = cls->second.asText();
                char index[8];
                std::snprintf(index, sizeof index, "%04u", classIndex[g]++);
                n->properties[SPDRP_DRIVER] = PropertyValue::text(g + "\\" + index);
            }
            n->properties[SPDRP_CONFIGFLAGS] = PropertyValue::dword(0);
        }
        const std::string enumerator = d.instanceId.substr(0, d.instanceId.find('\\'));
        n->properties[SPDRP_ENUMERATOR_NAME] = PropertyValue::text(enumerator);
        if (!n->properties.count(SPDRP_PHYSICAL_DEVICE_OBJECT_NAME)) {
            char name[32];
            std::snprintf(name, sizeof name, "\\Device\\%08x", 0x40 + hw.deviceNumber("pdo", d.instanceId));
            n->properties[SPDRP_PHYSICAL_DEVICE_OBJECT_NAME] = PropertyValue::text(name);
        }
        n->physicalId = d.physicalId;
        n->arrival = d.arrival;
        n->device = d.physicalId.empty() ? nullptr : hw.physical(d.physicalId);
        n->pdo = d.pdo ? d.pdo : std::make_shared<Driver>();
        n->present = true;
        if (n->parent != parent) {
            if (auto old = find(n->parent)) std::erase(old->children, n->devInst);
            n->parent = parent;
            if (auto p = find(parent)) p->children.push_back(n->devInst);
        }
        return n->devInst;
    }

    // Nodes are passed by value here: starting a node may add nodes, which moves the table.
    void start(std::shared_ptr<DevNode> n) {
        if (n->started || !n->present || n->disabled) return;
        std::vector<std::string> names;
        if (auto s = n->properties.find(SPDRP_SERVICE); s != n->properties.end()) names.push_back(s->second.asText());
        if (auto f = n->properties.find(SPDRP_UPPERFILTERS); f != n->properties.end()) {
            const std::string all(f->second.data.begin(), f->second.data.end());
            for (size_t pos = 0; pos < all.size() && all[pos];) {
                const size_t end = all.find('\0', pos);
                names.push_back(all.substr(pos, end - pos));
                pos = end + 1;
            }
        }
        std::vector<PDRIVER_OBJECT> drivers;
        for (const std::string& name : names) {
            if (name.empty()) continue;
            // A registered driver nothing has started yet is loaded for the device that needs it.
            // Its image takes the place of the lab's own model of the service (a driver package
            // installed over it); without an image the model serves. An image that is there but
            // does not load leaves the device without a driver, as it does on Windows.
            const NTSTATUS loaded = hw.loadRegisteredDriver(name);
            auto driver = services.find(name);
            const bool usable =
                NT_SUCCESS(loaded) || loaded == STATUS_OBJECT_NAME_COLLISION || loaded == STATUS_OBJECT_NAME_NOT_FOUND;
            if (driver == services.end() || !usable) {
                n->problem = CM_PROB_FAILED_INSTALL;
                return;
            }
            drivers.push_back(driver->second);
        }
        std::string pdoName;
        if (auto p = n->properties.find(SPDRP_PHYSICAL_DEVICE_OBJECT_NAME); p != n->properties.end()) pdoName = p->second.asText();
        PDEVICE_OBJECT pdo = createPdo(hw, n->devInst, n->pdo, pdoName);
        if (!pdo) {
            n->problem = CM_PROB_OUT_OF_MEMORY;
            return;
        }
        for (PDRIVER_OBJECT driver : drivers) {
            const NTSTATUS added = driver->DriverExtension->AddDevice ? driver->DriverExtension->AddDevice(driver, pdo)
                                                                      : STATUS_NOT_SUPPORTED;
            if (!NT_SUCCESS(added)) {
                removeStack(pdo);
                n->problem = CM_PROB_FAILED_ADD;
                return;
            }
        }
        collectStack(n, pdo);
        if (!NT_SUCCESS(sendPnp(n->devices.back(), IRP_MN_START_DEVICE))) {
            deactivate(n);
            teardown(n);
            n->problem = CM_PROB_FAILED_START;
            return;
        }
        n->started = true;
        n->problem = 0;
        ++n->generation;
        enumerate(n);
    }

    // The devices from the PDO up, and the lab drivers among them.
    void collectStack(const std::shared_ptr<DevNode>& n, PDEVICE_OBJECT pdo) {
        for (PDEVICE_OBJECT d = pdo; d; d = d->AttachedDevice) {
            winsim::kernel::reference(d);
            n->devices.push_back(d);
            if (auto model = labDriverOf(d)) n->stack.push_back(model);
        }
    }

    // IRP_MN_REMOVE_DEVICE down the whole stack; the drivers above the PDO detach and delete
    // their devices, and the PDO goes last.
    void removeStack(PDEVICE_OBJECT pdo) {
        sendPnp(IoGetAttachedDevice(pdo), IRP_MN_REMOVE_DEVICE);
        IoDeleteDevice(pdo);
    }

    void teardown(const std::shared_ptr<DevNode>& n) {
        if (n->devices.empty()) return;
        removeStack(n->devices.front());
        for (PDEVICE_OBJECT d : n->devices) winsim::kernel::release(d);
        n->devices.clear();
        n->stack.clear();
    }

    void deactivate(std::shared_ptr<DevNode> n) {
        for (auto& itf : n->interfaces) setInterfaceActive(n, itf, false);
        for (auto m = mounts.begin(); m != mounts.end();) m = m->second.node == n->devInst ? mounts.erase(m) : std::next(m);
        for (auto l = links.begin(); l != links.end();) l = l->second == n->devInst ? links.erase(l) : std::next(l);
    }

    // Stops a node: its children leave first, as they do when their bus goes away.
    void stop(std::shared_ptr<DevNode> n) {
        for (DevInst c : n->children)
            if (auto child = find(c); child && child->present) leave(child);
        if (!n->started) return;
        teardown(n);
        deactivate(n);
        n->started = false;
    }

    void leave(std::shared_ptr<DevNode> n) {
        stop(n);
        n->present = false;
    }

    void enumerate(std::shared_ptr<DevNode> n) {
        if (!n->started) return;
        // The topmost bus driver of the stack reports the children.
        std::shared_ptr<Driver> bus;
        PDEVICE_OBJECT busDevice = nullptr;
        for (PDEVICE_OBJECT d : n->devices)
            if (auto model = labDriverOf(d); model && model->isBus()) {
                bus = model;
                busDevice = d;
            }
        if (!bus) return;
        DriverContext ctx = contextOf(busDevice);
        const std::vector<ChildDescription> found = bus->enumerate(ctx);
        std::set<std::string, NoCaseLess> reported;
        for (const ChildDescription& d : found) reported.insert(d.instanceId);
        for (DevInst c : std::vector<DevInst>(n->children))
            if (auto child = find(c); child && child->present && !reported.count(child->instanceId)) leave(child);
        for (const ChildDescription& d : found) {
            auto existing = byInstanceId.find(d.instanceId);
            if (existing != byInstanceId.end()) {
                auto child = nodes[existing->second - 1];
                if (child->present && !child->removed) {
                    // A device found under another bus has moved there (a USB device whose
                    // host controller changed): it leaves the old one and arrives anew.
                    if (sameDevice(*child, d) && child->parent == n->devInst) {
                        enumerate(child);  // still there: its own children may have changed
                        continue;
                    }
                    // Another device with the same identifiers took its place between two looks:
                    // the old one left and the new one arrives.
                    leave(child);
                }
            }
            start(nodes[addNode(n->devInst, d) - 1]);
        }
    }

    bool sameDevice(const DevNode& n, const ChildDescription& d) {
        if (n.physicalId != d.physicalId || n.arrival != d.arrival) return false;
        return d.physicalId.empty() || n.device.lock() == hw.physical(d.physicalId);
    }

    void walk(const std::shared_ptr<DevNode>& n, std::vector<NodeInfo>& out) {
        NodeInfo info;
        info.devInst = n->devInst;
        info.instanceId = n->instanceId;
        info.present = n->present;
        if (auto g = n->properties.find(SPDRP_CLASSGUID); g != n->properties.end()) parseGuid(g->second.asText(), &info.classGuid);
        out.push_back(info);
        for (DevInst c : n->children)
            if (auto child = find(c)) walk(child, out);
    }

    void loadPhysicalDevices() {
        std::map<std::string, std::shared_ptr<PhysicalDevice>> next;
        for (const nlohmann::json& entry : hw.lab().devices()) {
            const std::string id = entry.value("id", "");
            auto it = physical.find(id);
            if (it != physical.end() && PhysicalDevice::shapeOf(entry) == it->second->shape()) {
                it->second->update(entry);
                next[id] = it->second;
            } else if (auto d = makePhysicalDevice(hw, entry, hw.lab().deviceDir(id))) {
                next[id] = d;
            }
        }
        physical.swap(next);
    }

    void syncNineX() {
        if (!hw.lab().is9x()) return;
        std::vector<std::shared_ptr<PhysicalDevice>> present;
        std::string signature;
        for (auto& [id, d] : physical)
            if (d->plugged() && d->scsi() && d->scsi()->targetId() >= 0) {
                present.push_back(d);
                signature += id + ":" + d->driveLetter() + ";";
            }
        if (signature == nineXSignature) return;
        nineXSignature = signature;
        writeNineXDriveKeys(hw.lab().registry(), present);
    }

    void runTimers() {
        std::unique_lock<std::mutex> lock(timerMutex);
        while (!stopping) {
            if (timers.empty()) {
                timerChanged.wait(lock);
                continue;
            }
            const auto when = timers.begin()->first;
            if (timerChanged.wait_until(lock, when) != std::cv_status::timeout && std::chrono::steady_clock::now() < when)
                continue;
            if (timers.empty() || timers.begin()->first > std::chrono::steady_clock::now()) continue;
            auto action = std::move(timers.begin()->second);
            timers.erase(timers.begin());
            lock.unlock();
            action();
            lock.lock();
        }
    }
};

}  // namespace lab
