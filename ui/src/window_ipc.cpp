// The reach of the window functions into the other processes of the lab (protocol in
// window_registry.h).
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include <winsim/winsim.h>

#include "window_registry.h"

namespace fs = std::filesystem;

namespace ui::detail {

namespace {

constexpr size_t kMaxLine = 4096;
constexpr int kTimeoutSeconds = 5;

std::optional<fs::path> socketDir() {
    try {
        char run[4096];
        const DWORD n = WinsimRunFolder(run, sizeof run);
        if (n == 0 || n >= sizeof run) return std::nullopt;
        fs::path dir = fs::path(run) / "windows";
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (ec) return std::nullopt;
        return dir;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

fs::path socketPath(const fs::path& dir, uint64_t pid) { return dir / (std::to_string(pid) + ".sock"); }

// Calls `use` with the address of `path`. A path too long for sun_path is reached through
// /proc/self/fd and an open descriptor of its folder.
template <class F>
int withAddress(const fs::path& path, F&& use) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string name = path.string();
    int dirFd = -1;
    if (name.size() >= sizeof addr.sun_path) {
        dirFd = ::open(path.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dirFd < 0) return -1;
        name = "/proc/self/fd/" + std::to_string(dirFd) + "/" + path.filename().string();
    }
    int rc = -1;
    if (name.size() < sizeof addr.sun_path) {
        std::memcpy(addr.sun_path, name.c_str(), name.size() + 1);
        rc = use(reinterpret_cast<const sockaddr*>(&addr), static_cast<socklen_t>(sizeof addr));
    } else {
        errno = ENAMETOOLONG;
    }
    const int saved = errno;
    if (dirFd >= 0) ::close(dirFd);
    errno = saved;
    return rc;
}

void setTimeouts(int fd) {
    timeval tv{kTimeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool sendAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// One line, without its newline; nullopt on time-out, error or a line too long.
std::optional<std::string> readLine(int fd) {
    std::string line;
    char buf[256];
    while (line.size() <= kMaxLine) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        line.append(buf, static_cast<size_t>(n));
        const size_t nl = line.find('\n');
        if (nl != std::string::npos) return line.substr(0, nl);
    }
    return std::nullopt;
}

std::string hex(HWND h) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%" PRIx64, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(h)));
    return buf;
}

HWND parseHex(const std::string& s) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(s.c_str(), &end, 16);
    return (end && *end == '\0' && !s.empty()) ? reinterpret_cast<HWND>(static_cast<uintptr_t>(v)) : nullptr;
}

// ---- the listener of this process ------------------------------------------------------------

class Listener {
public:
    void start(WindowRegistry& registry) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (started_) return;
        started_ = true;
        auto dir = socketDir();
        if (!dir) return;
        const uint64_t pid = static_cast<uint64_t>(::getpid());
        path_ = socketPath(*dir, pid);
        const fs::path temp = *dir / (std::to_string(pid) + ".sock.new");
        std::error_code ec;
        fs::remove(temp, ec);
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return;
        // Bound under a temporary name and renamed once listening, so that nobody who looks
        // meanwhile takes the socket for a dead process's.
        const bool ok = withAddress(temp, [&](const sockaddr* a, socklen_t n) { return ::bind(fd_, a, n); }) == 0 &&
                        ::listen(fd_, 16) == 0 && ::rename(temp.c_str(), path_.c_str()) == 0;
        if (!ok || ::pipe2(wake_, O_CLOEXEC) != 0) {
            ::close(fd_);
            fd_ = -1;
            fs::remove(temp, ec);
            return;
        }
        thread_ = std::thread([this, &registry] { serve(registry); });
    }

    void stop() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!thread_.joinable()) return;
        const char byte = 0;
        (void)!::write(wake_[1], &byte, 1);
        thread_.join();
        ::close(fd_);
        ::close(wake_[0]);
        ::close(wake_[1]);
        fd_ = -1;
        std::error_code ec;
        fs::remove(path_, ec);
    }

private:
    void serve(WindowRegistry& registry) {
        for (;;) {
            pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents) return;
            if (!(fds[0].revents & POLLIN)) continue;
            const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            setTimeouts(client);
            if (auto line = readLine(client)) sendAll(client, answer(registry, *line) + "\n");
            ::close(client);
        }
    }

    static std::string answer(WindowRegistry& registry, const std::string& line) {
        const size_t space = line.find(' ');
        const std::string verb = line.substr(0, space);
        const std::string arg = space == std::string::npos ? std::string() : line.substr(space + 1);
        if (verb == "FIND") {
            HWND h = registry.findLocal(arg);
            return h ? hex(h) : "0";
        }
        HWND h = parseHex(arg);
        if (!h || !WindowRegistry::isLocal(h)) return "0";
        if (verb == "TITLE") {
            auto title = registry.titleOf(h);
            return title ? "1 " + *title : "0";
        }
        if (verb == "RESTORE") return registry.requestLocal(h, WindowRequest::Restore) ? "1" : "0";
        if (verb == "FRONT") return registry.requestLocal(h, WindowRequest::Front) ? "1" : "0";
        if (verb == "CLOSE") return registry.requestLocal(h, WindowRequest::Close) ? "1" : "0";
        return "0";
    }

    std::mutex mutex_;
    bool started_ = false;
    int fd_ = -1;
    int wake_[2] = {-1, -1};
    fs::path path_;
    std::thread thread_;
};

Listener& listener() {
    static Listener* l = new Listener();  // stopped explicitly at exit, never destroyed
    return *l;
}

// ---- asking another process ------------------------------------------------------------------

enum class Reach { Answered, Gone, Failed };

// Asks process `pid`; a socket nobody listens on any more is removed.
Reach ask(const fs::path& dir, uint64_t pid, const std::string& line, std::string* reply) {
    const fs::path path = socketPath(dir, pid);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Reach::Failed;
    setTimeouts(fd);
    const int rc = withAddress(path, [&](const sockaddr* a, socklen_t n) { return ::connect(fd, a, n); });
    if (rc != 0) {
        const int err = errno;
        ::close(fd);
        if (err == ECONNREFUSED) {
            std::error_code ec;
            fs::remove(path, ec);
        }
        return err == ECONNREFUSED || err == ENOENT ? Reach::Gone : Reach::Failed;
    }
    std::optional<std::string> answer;
    if (sendAll(fd, line + "\n")) answer = readLine(fd);
    ::close(fd);
    if (!answer) return Reach::Failed;
    *reply = *answer;
    return Reach::Answered;
}

std::string askOwner(HWND hwnd, const std::string& line) {
    auto dir = socketDir();
    std::string reply;
    if (!dir || ask(*dir, reinterpret_cast<uint64_t>(hwnd) >> 32, line, &reply) != Reach::Answered) return "0";
    return reply;
}

}  // namespace

void startListener(WindowRegistry& registry) { listener().start(registry); }
void stopListener() { listener().stop(); }

HWND remoteFind(const std::string& title) {
    if (title.find('\n') != std::string::npos) return nullptr;
    auto dir = socketDir();
    if (!dir) return nullptr;
    const uint64_t self = static_cast<uint64_t>(::getpid());
    std::error_code ec;
    std::vector<uint64_t> pids;
    for (const auto& entry : fs::directory_iterator(*dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".sock") continue;
        char* end = nullptr;
        const unsigned long long pid = std::strtoull(name.c_str(), &end, 10);
        if (end && std::strcmp(end, ".sock") == 0 && pid != self) pids.push_back(pid);
    }
    for (uint64_t pid : pids) {
        std::string reply;
        if (ask(*dir, pid, "FIND " + title, &reply) == Reach::Answered && reply != "0")
            if (HWND h = parseHex(reply)) return h;
    }
    return nullptr;
}

std::optional<std::string> remoteTitle(HWND hwnd) {
    const std::string reply = askOwner(hwnd, "TITLE " + hex(hwnd));
    if (reply.rfind("1 ", 0) != 0) return std::nullopt;
    return reply.substr(2);
}

bool remoteRequest(HWND hwnd, WindowRequest request) {
    const char* verb = request == WindowRequest::Restore ? "RESTORE" : request == WindowRequest::Front ? "FRONT" : "CLOSE";
    return askOwner(hwnd, std::string(verb) + " " + hex(hwnd)) == "1";
}

}  // namespace ui::detail
