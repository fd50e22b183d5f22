// Everything user32 takes from the lab: its run folder, lab.json, and the hardware's interface
// arrivals and removals. The one file of user32 that uses the lab's own types.

#include "../internal.h"
#include "user32.h"

namespace winsim::user32 {

std::optional<std::string> runFolder() {
    try {
        return currentLab().runDir().string();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string labFolder() { return currentLab().root().string(); }
std::string labFileName() { return currentLab().labFile().filename().string(); }

int subscribeInterfaces(InterfaceEvent listener) {
    return currentLab().hardware().subscribe([listener = std::move(listener)](const lab::PnpEvent& e) {
        listener(e.kind == lab::PnpEvent::InterfaceArrival, e.interfaceClass, e.symbolicLink);
    });
}

void unsubscribeInterfaces(int token) { currentLab().hardware().unsubscribe(token); }

void refreshHardware() { currentLab().hardware().refresh(); }

}  // namespace winsim::user32
