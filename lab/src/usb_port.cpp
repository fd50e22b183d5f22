#include "usb_port.h"

#include "lab/hardware.h"

using nlohmann::json;

namespace lab {

UsbPort::UsbPort(PhysicalDevice& core, Hardware& hw, const json& entry)
    : portHw_(hw), core_(core), hub_(entry.value("hub", std::string("root"))), port_(entry.value("port", 0)) {}

bool isStuckPort(const Fault& f) { return f.action == Fault::Action::Stuck && f.bus == FaultRequest::Bus::Port; }
bool isEmptyPort(const Fault& f) { return f.action == Fault::Action::Empty && f.bus == FaultRequest::Bus::Port; }
bool isHeldPort(const Fault& f) { return isStuckPort(f) || isEmptyPort(f); }

PortState UsbPort::state() const {
    if (!core_.plugged() || !powered_ || core_.hasFault(isEmptyPort)) return PortState::Empty;
    const bool stuckByFault = core_.hasFault(isStuckPort);
    std::lock_guard<std::mutex> lock(mutex_);
    if (stuck_ || stuckByFault) return PortState::FailedEnumeration;
    return connected_ && !lost_ ? PortState::Connected : PortState::Empty;
}

void UsbPort::rescan(uint64_t labMs) {
    Hardware& hw = portHw_;
    hw.schedule(labMs, [&hw] { hw.reenumerate(hw.root()); });
}

void UsbPort::leave(LeaveKind why) {
    const std::optional<Fault> fault = core_.takeFault(FaultRequest::leave(why));
    uint64_t epoch;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connected_ = false;
        epoch = ++epoch_;
        ++arrival_;
        configuration_ = 0;
        if (fault && fault->action == Fault::Action::Lost) lost_ = true;
        if (fault && fault->action == Fault::Action::Stuck) stuck_ = true;
    }
    leaving(why, fault);
    portHw_.persist(core_);
    rescan();
    if (fault && (fault->action == Fault::Action::Lost || fault->action == Fault::Action::Stuck)) return;
    uint64_t delay = returnDelayMs(why);
    if (fault && fault->action == Fault::Action::Slow) delay += fault->delayMs;
    // The device may be detached from the lab before its return is due.
    std::weak_ptr<PhysicalDevice> alive = portHw_.physical(core_.id());
    portHw_.schedule(delay, [this, alive, why, fault, epoch] {
        const auto keep = alive.lock();
        if (!keep) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (epoch != epoch_) return;
        }
        returning(why, fault);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (epoch != epoch_) return;
            connected_ = true;
        }
        portHw_.persist(core_);
        portHw_.reenumerate(portHw_.root());
    });
}

void UsbPort::setPortPower(bool on) {
    if (!on) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!powered_) return;
            powered_ = false;
            connected_ = false;
            ++epoch_;
            ++arrival_;
            configuration_ = 0;
        }
        rescan();
        return;
    }
    if (powered_) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        powered_ = true;
        stuck_ = false;
    }
    // A port held in a failed enumeration (or showing nothing) by a fault is clear once its
    // power went round (while it is held, the port's other faults wait: see the hub).
    if (core_.hasFault(isHeldPort)) core_.takeFault(FaultRequest::port());
    poweredOn();
    leave(LeaveKind::Power);
}

void UsbPort::pluggedIn() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connected_ = true;
        lost_ = false;
        stuck_ = false;
        powered_ = true;
        ++epoch_;  // a return still due from before is void
        ++arrival_;
        configuration_ = 0;
    }
    booted();
}

std::vector<std::pair<int, UsbPort*>> devicesOnHub(Hardware& hw, const std::string& hub,
                                                   std::vector<std::shared_ptr<PhysicalDevice>>* keep) {
    std::vector<std::pair<int, UsbPort*>> out;
    for (auto& d : hw.physicalDevices()) {
        UsbPort* p = d->usbPort();
        if (!p || p->hub() != hub) continue;
        keep->push_back(d);
        out.emplace_back(p->port(), p);
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return out;
}

}  // namespace lab
