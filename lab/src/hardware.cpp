// The device tree: nodes, their stacks and interfaces, enumeration by bus drivers, the class
// installer's state changes, and the link to lab.json.
#include <tuple>

#include "hardware_impl.h"
#include "usb_drivers.h"

using nlohmann::json;

namespace lab {

// ---- property values ---------------------------------------------------------------------------

PropertyValue PropertyValue::text(const std::string& s) {
    PropertyValue v;
    v.type = REG_SZ;
    v.data.assign(s.begin(), s.end());
    v.data.push_back(0);
    return v;
}

PropertyValue PropertyValue::multiText(const std::vector<std::string>& items) {
    PropertyValue v;
    v.type = REG_MULTI_SZ;
    for (const std::string& s : items) {
        v.data.insert(v.data.end(), s.begin(), s.end());
        v.data.push_back(0);
    }
    v.data.push_back(0);
    return v;
}

PropertyValue PropertyValue::dword(uint32_t value) {
    PropertyValue v;
    v.type = REG_DWORD;
    v.data = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
              static_cast<uint8_t>(value >> 24)};
    return v;
}

std::string PropertyValue::asText() const {
    if (type != REG_SZ && type != REG_MULTI_SZ && type != REG_EXPAND_SZ) return {};
    std::string s(data.begin(), data.end());
    const size_t nul = s.find('\0');
    return nul == std::string::npos ? s : s.substr(0, nul);
}

// ---- Hardware --------------------------------------------------------------------------------------

Hardware::Hardware(Lab& lab) : lab_(lab), impl_(std::make_unique<Impl>(*this)) {
    registerStorageServices(*this);
    registerUsbServices(*this);
    registerTarnServices(*this);
    Impl::Lock lock(*impl_);
    impl_->loadPhysicalDevices();
    auto root = std::make_shared<DevNode>();
    root->devInst = 1;
    root->instanceId = "HTREE\\ROOT\\0";
    root->pdo = makeRootBus();
    impl_->nodes.push_back(root);
    impl_->byInstanceId[root->instanceId] = 1;
    // The PC has seen every device of its lab: one that is unplugged now is known to it as an
    // absent node, as Windows keeps a device it once had.
    std::vector<std::pair<std::shared_ptr<PhysicalDevice>, bool>> plugged;
    for (auto& [id, d] : impl_->physical) {
        plugged.emplace_back(d, d->plugged());
        d->setPlugged(true);
    }
    impl_->start(root);
    for (auto& [d, state] : plugged) d->setPlugged(state);
    impl_->enumerate(root);
    impl_->pending.clear();  // what is there at start-up has not "arrived"
    impl_->syncNineX();
}

Hardware::~Hardware() {
    {
        // The stacks go down in order, as at a shutdown, so that every driver sees its removal.
        Impl::Lock lock(*impl_);
        impl_->listeners.clear();
        impl_->stop(impl_->nodes[0]);
        impl_->pending.clear();
    }
    {
        std::lock_guard<std::mutex> lock(impl_->timerMutex);
        impl_->stopping = true;
    }
    impl_->timerChanged.notify_all();
    if (impl_->timerThread.joinable()) impl_->timerThread.join();
}

std::vector<NodeInfo> Hardware::nodes() {
    refresh();
    Impl::Lock lock(*impl_);
    std::vector<NodeInfo> out;
    impl_->walk(impl_->nodes[0], out);
    return out;
}

std::optional<NodeInfo> Hardware::node(DevInst devInst) {
    refresh();
    Impl::Lock lock(*impl_);
    auto n = impl_->find(devInst);
    if (!n) return std::nullopt;
    NodeInfo info;
    info.devInst = n->devInst;
    info.instanceId = n->instanceId;
    info.present = n->present;
    if (auto g = n->properties.find(SPDRP_CLASSGUID); g != n->properties.end()) parseGuid(g->second.asText(), &info.classGuid);
    return info;
}

std::optional<NodeInfo> Hardware::nodeByInstanceId(const std::string& instanceId) {
    DevInst d = 0;
    {
        Impl::Lock lock(*impl_);
        auto it = impl_->byInstanceId.find(instanceId);
        if (it == impl_->byInstanceId.end()) return std::nullopt;
        d = it->second;
    }
    return node(d);
}

std::optional<DevInst> Hardware::parentOf(DevInst devInst) {
    refresh();
    Impl::Lock lock(*impl_);
    auto n = impl_->find(devInst);
    if (!n || !n->present) return std::nullopt;
    return n->parent;
}

std::optional<DevInst> Hardware::firstChildOf(DevInst devInst) {
    refresh();
    Impl::Lock lock(*impl_);
    auto n = impl_->find(devInst);
    if (!n || !n->present) return std::nullopt;
    for (DevInst c : n->children)
        if (auto child = impl_->find(c); child && child->present) return c;
    return 0;
}

std::optional<DevInst> Hardware::nextSiblingOf(DevInst devInst) {
    refresh();
    Impl::Lock lock(*impl_);
    auto n = impl_->find(devInst);
    if (!n || !n->present) return std::nullopt;
    auto parent = impl_->find(n->parent);
    if (!parent) return 0;
    auto it = std::find(parent->children.begin(), parent->children.end(), devInst);
    for (++it; it != parent->children.end(); ++it)
        if (auto sibling = impl_->find(*it); sibling && sibling->present) return *it;
    return 0;
}

uint32_t Hardware::property(DevInst devInst, uint32_t spdrp, PropertyValue* out) {
    Impl::Lock lock(*impl_);
    auto n = impl_->find(devInst);
    if (!n) return ERROR_NO_SUCH_DEVINST;
    if (isLiveProperty(spdrp) && !n->present) return ERROR_NO_SUCH_DEVINST;
    auto it = n->properties.find(spdrp);
    if (it == n->properties.end()) return ERROR_INVALID_DATA;
    *out = it->second;
    return 0;
}

uint32_t Hardware::setProperty(DevInst devInst, uint32_t spdrp, const PropertyValue& value) {
    Impl::Lock lock(*impl_);
    auto n = impl_->find(devInst);
    if (!n) return ERROR_NO_SUCH_DEVINST;
    if (!isWritableProperty(spdrp)) return ERROR_INVALID_REG_PROPERTY;
    if (value.data.empty()) {
        n->properties.erase(spdrp);
    } else {
        n->properties[spdrp] = value;
    }
    return 0;
}

bool Hardware::status(DevInst devInst, uint32_t* statusFlags, uint32_t* problem) {
    refresh();
    Impl::Lock lock(*impl_);
    auto n = impl_->find(devInst);
    if (!n || !n->present) return false;
    uint32_t s = DN_NT_ENUMERATOR | DN_NT_DRIVER;
    if (n->instanceId.rfind("ROOT\\", 0) == 0 || n->instanceId.rfind("HTREE\\", 0) == 0) s |= DN_ROOT_ENUMERATED;
    if (n->devInst != root()) s |= DN_DISABLEABLE;
    if (auto caps = n->properties.find(SPDRP_CAPABILITIES);
        caps != n->properties.end() && caps->second.data.size() == 4 && (caps->second.data[0] & 0x04))
        s |= DN_REMOVABLE;
    if (n->started) s |= DN_DRIVER_LOADED | DN_STARTED;
    if (n->problem) s |= DN_HAS_PROBLEM;
    *statusFlags = s;
    *problem = n->problem;
    return true;
}

std::vector<InterfaceInfo> Hardware::interfaces(DevInst devInst) {
    Impl::Lock lock(*impl_);
    std::vector<InterfaceInfo> out;
    auto n = impl_->find(devInst);
    if (!n) return out;
    for (const auto& itf : n->interfaces) out.push_back({n->devInst, itf.interfaceClass, itf.link, itf.active && n->present});
    return out;
}

std::optional<InterfaceInfo> Hardware::interfaceByPath(const std::string& symbolicLink) {
    refresh();
    std::string wanted = symbolicLink;
    if (wanted.rfind("\\\\.\\", 0) == 0) wanted[2] = '?';  // "\\.\" names the same interfaces
    Impl::Lock lock(*impl_);
    for (const auto& n : impl_->nodes) {
        if (!n || n->removed) continue;
        for (const auto& itf : n->interfaces)
            if (equalNoCase(itf.link, wanted)) return InterfaceInfo{n->devInst, itf.interfaceClass, itf.link, itf.active && n->present};
    }
    return std::nullopt;
}

uint32_t Hardware::changeState(DevInst devInst, StateChange change, bool* needsReboot) {
    refresh();
    Impl::Lock lock(*impl_);
    *needsReboot = false;
    auto n = impl_->find(devInst);
    if (!n) return ERROR_NO_SUCH_DEVINST;
    if (devInst == root() && change != StateChange::Enable) return ERROR_NOT_DISABLEABLE;
    const bool stops = change == StateChange::Disable || change == StateChange::Stop || change == StateChange::Restart;
    if (!n->present) {
        if (change == StateChange::Enable || change == StateChange::Disable) {
            n->disabled = change == StateChange::Disable;
            return 0;
        }
        return ERROR_NO_SUCH_DEVINST;
    }
    if (stops && impl_->hasOpenHandles(n)) {
        // Windows cannot stop a device in use: the change waits for the next start of the PC.
        if (change == StateChange::Disable) n->disabled = true;
        *needsReboot = true;
        return 0;
    }
    switch (change) {
    case StateChange::Enable:
    case StateChange::Start:
        n->disabled = false;
        if (n->problem == CM_PROB_DISABLED) n->problem = 0;
        if (auto parent = impl_->find(n->parent); !parent || parent->started) impl_->start(n);
        break;
    case StateChange::Disable:
    case StateChange::Stop:
        impl_->stop(n);
        n->disabled = true;
        n->problem = CM_PROB_DISABLED;
        break;
    case StateChange::Restart:
        impl_->stop(n);
        impl_->start(n);
        break;
    }
    return 0;
}

uint32_t Hardware::remove(DevInst devInst, bool* needsReboot) {
    refresh();
    Impl::Lock lock(*impl_);
    *needsReboot = false;
    auto n = impl_->find(devInst);
    if (!n) return ERROR_NO_SUCH_DEVINST;
    if (devInst == root()) return ERROR_NOT_DISABLEABLE;
    if (impl_->hasOpenHandles(n)) {
        *needsReboot = true;
        return 0;
    }
    impl_->leave(n);
    n->removed = true;
    return 0;
}


void Hardware::registerService(const std::string& name, DriverFactory factory) {
    PDRIVER_OBJECT driver = detail::labDriverObject(name, std::move(factory));
    Impl::Lock lock(*impl_);
    if (!driver) return;
    impl_->services[name] = driver;
    impl_->builtins[name] = driver;
}

void Hardware::registerDriverObject(const std::string& name, PDRIVER_OBJECT driver) {
    Impl::Lock lock(*impl_);
    // A driver that goes gives the service back to the lab's own model of it, if there is one.
    if (!driver) {
        auto builtin = impl_->builtins.find(name);
        driver = builtin == impl_->builtins.end() ? nullptr : builtin->second;
    }
    if (driver) impl_->services[name] = driver;
    else impl_->services.erase(name);
}

std::string Hardware::setInterface(DevInst devInst, const GUID& interfaceClass, bool active, const std::string& reference) {
    Impl::Lock lock(*impl_);
    auto n = impl_->find(devInst);
    if (!n) return {};
    for (auto& itf : n->interfaces)
        if (IsEqualGUID(itf.interfaceClass, interfaceClass) && itf.reference == reference) {
            impl_->setInterfaceActive(n, itf, active);
            return itf.link;
        }
    std::string link = "\\\\?\\" + n->instanceId;
    std::replace(link.begin() + 4, link.end(), '\\', '#');
    link += "#" + guidText(interfaceClass, false);
    if (!reference.empty()) link += "\\" + reference;
    n->interfaces.push_back({interfaceClass, reference, link, false});
    impl_->setInterfaceActive(n, n->interfaces.back(), active);
    return link;
}

void Hardware::mount(char letter, uint32_t type, DevInst devInst) {
    Impl::Lock lock(*impl_);
    impl_->mounts[letter] = MountedDrive{letter, type, devInst};
}

void Hardware::unmount(DevInst devInst) {
    Impl::Lock lock(*impl_);
    for (auto m = impl_->mounts.begin(); m != impl_->mounts.end();)
        m = m->second.node == devInst ? impl_->mounts.erase(m) : std::next(m);
}

void Hardware::addSymbolicLink(const std::string& name, DevInst devInst) {
    Impl::Lock lock(*impl_);
    impl_->links[name] = devInst;
}

void Hardware::removeSymbolicLink(const std::string& name) {
    Impl::Lock lock(*impl_);
    impl_->links.erase(name);
}

std::shared_ptr<PhysicalDevice> Hardware::physical(const std::string& id) {
    Impl::Lock lock(*impl_);
    auto it = impl_->physical.find(id);
    return it == impl_->physical.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<PhysicalDevice>> Hardware::physicalDevices() {
    Impl::Lock lock(*impl_);
    std::vector<std::shared_ptr<PhysicalDevice>> out;
    for (auto& [id, d] : impl_->physical) out.push_back(d);
    // In the order of their SCSI addresses (devices of other buses first, by id).
    auto address = [](const std::shared_ptr<PhysicalDevice>& d) {
        ScsiTarget* t = d->scsi();
        return std::make_tuple(t ? t->targetId() : -1, t ? t->lun() : 0, d->id());
    };
    std::sort(out.begin(), out.end(), [&](const auto& a, const auto& b) { return address(a) < address(b); });
    return out;
}

std::string Hardware::physicalIdOf(DevInst devInst) {
    Impl::Lock lock(*impl_);
    auto n = impl_->find(devInst);
    return n ? n->physicalId : std::string();
}

std::string Hardware::instanceIdOf(DevInst devInst) {
    Impl::Lock lock(*impl_);
    auto n = impl_->find(devInst);
    return n ? n->instanceId : std::string();
}

bool Hardware::isStarted(const std::string& instanceId) {
    Impl::Lock lock(*impl_);
    auto it = impl_->byInstanceId.find(instanceId);
    if (it == impl_->byInstanceId.end()) return false;
    auto n = impl_->find(it->second);
    return n && n->present && n->started;
}

DevInst Hardware::presentNode(const std::string& instanceId) {
    Impl::Lock lock(*impl_);
    auto it = impl_->byInstanceId.find(instanceId);
    if (it == impl_->byInstanceId.end()) return 0;
    auto n = impl_->find(it->second);
    return n && n->present ? n->devInst : 0;
}

void Hardware::reenumerate(DevInst devInst) {
    Impl::Lock lock(*impl_);
    if (auto n = impl_->find(devInst)) impl_->enumerate(n);
}

void Hardware::schedule(uint64_t labMs, std::function<void()> action) {
    const auto when = std::chrono::steady_clock::now() + lab_.clock().realDuration(labMs);
    {
        std::lock_guard<std::mutex> lock(impl_->timerMutex);
        impl_->timers.emplace(when, std::move(action));
        if (!impl_->timerThread.joinable()) impl_->timerThread = std::thread([this] { impl_->runTimers(); });
    }
    impl_->timerChanged.notify_all();
}

void Hardware::sleepLab(uint64_t labMs) const {
    std::this_thread::sleep_for(lab_.clock().realDuration(labMs));
}

uint32_t Hardware::deviceNumber(const std::string& pool, const std::string& instanceId) {
    Impl::Lock lock(*impl_);
    auto& numbers = impl_->numbers[pool];
    auto it = numbers.find(instanceId);
    if (it != numbers.end()) return it->second;
    const uint32_t n = static_cast<uint32_t>(numbers.size());
    numbers[instanceId] = n;
    return n;
}

void Hardware::refresh() {
    // One step under the tree lock: a thread that finds nothing new to read must not go on
    // while another thread is still taking in what it read (a fault written a moment ago).
    Impl::Lock lock(*impl_);
    if (!lab_.reloadIfChanged()) return;
    impl_->loadPhysicalDevices();
    impl_->enumerate(impl_->nodes[0]);
    impl_->syncNineX();
}

void Hardware::persist(const PhysicalDevice& device) {
    const std::vector<std::string> faults = device.faultSpecs();
    const bool plugged = device.plugged();
    const json state = device.state();
    try {
        lab_.recordDevice(device.id(), [&](json& entry) {
            entry["faults"] = faults;
            entry["plugged"] = plugged;
            if (!state.is_null()) entry["state"] = state;
        });
    } catch (const std::exception&) {
        // Detached by another process meanwhile, or lab.json cannot be written: the device goes
        // on with what it has, as hardware does without anyone noting it.
    }
}

void Hardware::setPlugged(const std::string& id, bool plugged) {
    auto d = physical(id);
    if (!d) return;
    d->setPlugged(plugged);
    persist(*d);
    Impl::Lock lock(*impl_);
    impl_->enumerate(impl_->nodes[0]);
    impl_->syncNineX();
}

int Hardware::subscribe(Listener listener) {
    Impl::Lock lock(*impl_);
    const int token = impl_->nextToken++;
    impl_->listeners[token] = std::move(listener);
    return token;
}

void Hardware::unsubscribe(int token) {
    Impl::Lock lock(*impl_);
    impl_->listeners.erase(token);
}

}  // namespace lab
