#include "window_registry.h"

#include <strings.h>
#include <unistd.h>

#include "toolkit.h"

namespace ui::detail {

namespace {

uint64_t processBits() { return static_cast<uint64_t>(::getpid()) << 32; }

}  // namespace

WindowRegistry& WindowRegistry::instance() {
    static WindowRegistry* registry = new WindowRegistry();  // lives on through process exit
    return *registry;
}

bool WindowRegistry::isLocal(HWND hwnd) {
    return (reinterpret_cast<uint64_t>(hwnd) >> 32) == static_cast<uint64_t>(::getpid());
}

HWND WindowRegistry::add(const std::string& title, Handler handler) {
    HWND hwnd;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hwnd = reinterpret_cast<HWND>(processBits() | nextSerial_++);
        windows_[hwnd] = Entry{title, std::move(handler)};
    }
    startListener(*this);
    if (Toolkit* tk = Toolkit::existing()) tk->changed();
    return hwnd;
}

void WindowRegistry::setTitle(HWND hwnd, const std::string& title) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = windows_.find(hwnd);
    if (it != windows_.end()) it->second.title = title;
}

void WindowRegistry::remove(HWND hwnd) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        windows_.erase(hwnd);
    }
    if (Toolkit* tk = Toolkit::existing()) tk->changed();
}

HWND WindowRegistry::findLocal(const std::string& title) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [hwnd, entry] : windows_)
        if (::strcasecmp(entry.title.c_str(), title.c_str()) == 0) return hwnd;
    return nullptr;
}

std::optional<std::string> WindowRegistry::titleOf(HWND hwnd) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = windows_.find(hwnd);
    if (it == windows_.end()) return std::nullopt;
    return it->second.title;
}

bool WindowRegistry::requestLocal(HWND hwnd, WindowRequest request) const {
    Handler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = windows_.find(hwnd);
        if (it == windows_.end()) return false;
        handler = it->second.handler;
    }
    // The interface thread does it when it gets to it; the asker does not wait, as a posted
    // message does not.
    Toolkit* tk = Toolkit::existing();
    return tk && tk->post([handler, request] { handler(request); });
}

void WindowRegistry::stop() { stopListener(); }

}  // namespace ui::detail
