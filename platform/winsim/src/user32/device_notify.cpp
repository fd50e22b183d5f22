// RegisterDeviceNotificationA for device interfaces: while a window is registered for a class,
// each arrival and removal of an interface of it is sent to the window as WM_DEVICECHANGE on the
// window's own thread (queued, taken when the thread takes messages; the hardware does not wait).
//
// Another process attaching a device changes lab.json: one watcher thread, running while there
// is any registration, waits on inotify for lab.json to be replaced or rewritten and has the
// hardware pick the change up, which fires the interface events.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "user32.h"

namespace winsim::user32 {

namespace {

struct Registration {
    HWND hwnd = nullptr;
    bool allClasses = false;
    GUID cls{};
};

// Under the state lock.
std::map<uintptr_t, Registration>& registrations() {
    static auto* m = new std::map<uintptr_t, Registration>;
    return *m;
}
uintptr_t g_nextId = 1;  // ids are never used twice, so a stale one is refused

bool sameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::vector<uint8_t> record(const GUID& cls, const std::string& link) {
    const size_t size = std::max(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + link.size() + 1,
                                 sizeof(DEV_BROADCAST_DEVICEINTERFACE_A));
    std::vector<uint8_t> bytes(size, 0);
    auto* r = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(bytes.data());
    r->dbcc_size = static_cast<DWORD>(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + link.size() + 1);
    r->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    r->dbcc_classguid = cls;
    std::memcpy(r->dbcc_name, link.c_str(), link.size() + 1);
    return bytes;
}

void interfaceEvent(bool arrival, const GUID& cls, const std::string& link) {
    Lock lock = lockState();
    for (const auto& [id, reg] : registrations()) {
        if (!reg.allClasses && !sameGuid(reg.cls, cls)) continue;
        Window* w = findWindowLocked(reg.hwnd);
        if (!w) continue;
        auto m = std::make_shared<SentMessage>();
        m->hwnd = reg.hwnd;
        m->msg = WM_DEVICECHANGE;
        m->wParam = arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
        m->payload = record(cls, link);
        // Unregistered meanwhile: the window hears nothing more of the class.
        m->wanted = [key = id] { return registrations().count(key) != 0; };
        queueSentLocked(w->thread, std::move(m));
    }
}

class Watcher {
public:
    bool start() {
        fd_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (fd_ < 0) return false;
        file_ = labFileName();
        if (::inotify_add_watch(fd_, labFolder().c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0 ||
            ::pipe2(stop_, O_CLOEXEC) != 0) {
            ::close(fd_);
            fd_ = -1;
            return false;
        }
        thread_ = std::thread([this] { run(); });
        return true;
    }

    void stop() {
        if (!thread_.joinable()) return;
        const char byte = 0;
        (void)!::write(stop_[1], &byte, 1);
        thread_.join();
        ::close(fd_);
        ::close(stop_[0]);
        ::close(stop_[1]);
        fd_ = -1;
    }

private:
    void run() {
        for (;;) {
            pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents) return;
            if (labFileChanged()) {
                try {
                    refreshHardware();
                } catch (const std::exception&) {
                    // A lab.json caught half-way or unreadable: the next change is looked at again.
                }
            }
        }
    }

    // Reads what inotify has; whether lab.json is among it.
    bool labFileChanged() {
        alignas(inotify_event) char buf[4096];
        bool hit = false;
        for (;;) {
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) return hit;
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
                if (e->len && std::strncmp(e->name, file_.c_str(), e->len) == 0) hit = true;
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
        }
    }

    int fd_ = -1;
    int stop_[2] = {-1, -1};
    std::string file_;
    std::thread thread_;
};

// Subscription and watcher come with the first registration and go with the last one.
struct Life {
    std::mutex mutex;  // taken before the state lock, never while the state lock is held
    int token = -1;
    Watcher watcher;
    bool exitHook = false;
};

Life& life() {
    static auto* l = new Life;  // stopped at exit, never destroyed
    return *l;
}

void stopAll(Life& l) {
    l.watcher.stop();
    if (l.token >= 0) unsubscribeInterfaces(l.token);
    l.token = -1;
}

}  // namespace

}  // namespace winsim::user32

using namespace winsim::user32;

extern "C" {

HDEVNOTIFY WINAPI RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags) {
    if (flags & ~static_cast<DWORD>(DEVICE_NOTIFY_ALL_INTERFACE_CLASSES)) {
        traceRefused("RegisterDeviceNotificationA", "flags", flags);
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    const auto* hdr = static_cast<const DEV_BROADCAST_HDR*>(filter);
    if (!hdr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (hdr->dbch_size < sizeof(DEV_BROADCAST_HDR)) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    if (hdr->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) {
        traceRefused("RegisterDeviceNotificationA", "device type", hdr->dbch_devicetype);
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    if (hdr->dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_A)) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    Registration reg;
    reg.hwnd = static_cast<HWND>(recipient);
    reg.allClasses = (flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0;
    reg.cls = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(filter)->dbcc_classguid;

    Life& l = life();
    std::lock_guard<std::mutex> guard(l.mutex);
    {
        Lock lock = lockState();
        if (!findWindowLocked(reg.hwnd)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
    }
    if (l.token < 0) {
        try {
            l.token = subscribeInterfaces(interfaceEvent);
        } catch (const std::exception&) {
            SetLastError(ERROR_NOT_READY);  // the lab cannot be opened
            return nullptr;
        }
        l.watcher.start();
        if (!l.exitHook) {
            l.exitHook = true;
            std::atexit([] {
                Life& lf = life();
                std::lock_guard<std::mutex> g(lf.mutex);
                stopAll(lf);
            });
        }
    }
    Lock lock = lockState();
    const uintptr_t id = g_nextId++;
    registrations()[id] = reg;
    return reinterpret_cast<HDEVNOTIFY>(id);
}

BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY handle) {
    Life& l = life();
    std::lock_guard<std::mutex> guard(l.mutex);
    bool last;
    {
        Lock lock = lockState();
        if (!registrations().erase(reinterpret_cast<uintptr_t>(handle))) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        last = registrations().empty();
    }
    if (last) stopAll(l);
    return TRUE;
}

}  // extern "C"
