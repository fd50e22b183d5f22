// The top-level windows of this process by handle and title, and the reach into the other
// processes of the lab. A window handle carries its process id in its upper 32 bits, so that a
// handle found in another process leads back to it.
//
// Across processes: every process with an open window listens on a UNIX socket
// "<lab>/run/windows/<pid>.sock" (a listener thread, started with the first window). A request
// is one line, answered with one line:
//   FIND <title>      -> the handle in hex, or 0
//   TITLE <handle>    -> "1 <title>", or 0
//   RESTORE <handle>, FRONT <handle>, CLOSE <handle>   -> 1 when the window exists, else 0
// The listener answers from the registry and hands raise and close to the interface thread
// without waiting for it, so a busy interface never blocks another process. A socket nobody
// listens on belongs to a process that is gone: whoever finds it removes it.
#pragma once
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include <ui/win32.h>

namespace ui::detail {

enum class WindowRequest { Restore, Front, Close };

class WindowRegistry {
public:
    // `handler` runs on the interface thread for each request made of the window.
    using Handler = std::function<void(WindowRequest)>;

    static WindowRegistry& instance();

    HWND add(const std::string& title, Handler handler);
    void setTitle(HWND hwnd, const std::string& title);
    void remove(HWND hwnd);

    // This process's windows.
    HWND findLocal(const std::string& title) const;
    std::optional<std::string> titleOf(HWND hwnd) const;
    bool requestLocal(HWND hwnd, WindowRequest request) const;

    static bool isLocal(HWND hwnd);
    // Stops the listener and removes its socket; at process exit.
    void stop();

private:
    WindowRegistry() = default;
    struct Entry {
        std::string title;
        Handler handler;
    };
    mutable std::mutex mutex_;
    std::map<HWND, Entry> windows_;
    uint32_t nextSerial_ = 1;
};

// The other processes of the lab (window_ipc.cpp).
HWND remoteFind(const std::string& title);
std::optional<std::string> remoteTitle(HWND hwnd);
bool remoteRequest(HWND hwnd, WindowRequest request);
// The listener of this process: started once, answering from `registry`.
void startListener(WindowRegistry& registry);
void stopListener();

}  // namespace ui::detail
