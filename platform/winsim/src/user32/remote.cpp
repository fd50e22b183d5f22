// The windows of the other processes of the lab. Every process with a findable window listens on
// a UNIX socket "<lab>/run/windows/<pid>.sock" (a listener thread, started with the first such
// window, stopped at exit). A request is one line, answered with one line:
//   FIND <class>\t<title>            -> the handle in hex, or 0 (each field "-" for any, or "=" and
//                                       the text)
//   TITLE <handle>                   -> "1 <title>", or 0
//   POST <handle> <msg> <wp> <lp>    -> 1, or "0 <error>" (numbers in hex)
//   POSTALL <msg> <wp> <lp>          -> 1 (HWND_BROADCAST)
//   SHOW <handle> <cmd>              -> "1 <was visible: 0|1>", or 0
//   FRONT <handle>                   -> 1, or 0
//   SENDALL <msg> <wp> <lp> <ms>     -> "1", then for each top-level window a tab and
//                                       "<handle> <answered: 0|1> <result> <class>"; sent to the
//                                       windows and waited for at most <ms> (real) milliseconds
// The listener answers at once; what reaches a window's procedure is posted or sent to its
// thread without waiting for it, so a busy interface never blocks another process. SENDALL is
// the exception: the system's notices wait for their answers, for a bounded time. A socket
// nobody listens on belongs to a process that is gone: whoever finds it removes it.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>

#include "user32.h"

namespace fs = std::filesystem;

namespace winsim::user32 {

namespace {

constexpr size_t kMaxLine = 4096;
constexpr int kTimeoutSeconds = 5;
// The longest a system notice may wait for the windows of one process.
constexpr uint64_t kMaxNoticeMs = 60000;

std::optional<fs::path> socketDir() {
    auto run = runFolder();
    if (!run) return std::nullopt;
    fs::path dir = fs::path(*run) / "windows";
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) return std::nullopt;
    return dir;
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

void setTimeouts(int fd, int seconds = kTimeoutSeconds) {
    timeval tv{seconds, 0};
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

std::string hex(uint64_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%" PRIx64, v);
    return buf;
}
std::string hex(HWND h) { return hex(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(h))); }

std::optional<uint64_t> parseHex(const std::string& s) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(s.c_str(), &end, 16);
    if (s.empty() || !end || *end != '\0' || errno) return std::nullopt;
    return v;
}

// The words of a line after its verb.
std::vector<std::string> words(const std::string& rest) {
    std::vector<std::string> out;
    std::istringstream in(rest);
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

std::string field(const std::optional<std::string>& s) { return s ? "=" + *s : "-"; }
std::optional<std::string> unfield(const std::string& s) {
    if (s.empty() || s[0] != '=') return std::nullopt;
    return s.substr(1);
}
bool fitsOnLine(const std::optional<std::string>& s) { return !s || s->find_first_of("\t\n") == std::string::npos; }

HWND localHandle(const std::string& text) {
    auto v = parseHex(text);
    if (!v) return nullptr;
    HWND h = reinterpret_cast<HWND>(static_cast<uintptr_t>(*v));
    return isLocalHandle(h) ? h : nullptr;
}

std::string answer(const std::string& line) {
    const size_t space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const std::string rest = space == std::string::npos ? std::string() : line.substr(space + 1);
    if (verb == "FIND") {
        const size_t tab = rest.find('\t');
        if (tab == std::string::npos) return "0";
        HWND h = findLocal(unfield(rest.substr(0, tab)), unfield(rest.substr(tab + 1)));
        return h ? hex(h) : "0";
    }
    const std::vector<std::string> w = words(rest);
    if (verb == "POSTALL" && w.size() == 3) {
        auto m = parseHex(w[0]), wp = parseHex(w[1]), lp = parseHex(w[2]);
        if (!m || !wp || !lp) return "0";
        Lock lock = lockState();
        for (Window* win : windowsLocked())
            if (!win->messageOnly) postLocked(*win, static_cast<UINT>(*m), *wp, static_cast<LPARAM>(*lp));
        return "1";
    }
    if (verb == "SENDALL" && w.size() == 4) {
        auto m = parseHex(w[0]), wp = parseHex(w[1]), lp = parseHex(w[2]), ms = parseHex(w[3]);
        if (!m || !wp || !lp || !ms || *ms > kMaxNoticeMs) return "0";
        std::string reply = "1";
        for (const NoticeAnswer& a : sendNoticeLocal(static_cast<UINT>(*m), *wp, static_cast<LPARAM>(*lp),
                                                     std::chrono::milliseconds(*ms))) {
            std::string cls = a.className;
            for (char& c : cls)
                if (c == '\t' || c == '\n') c = ' ';
            reply += "\t" + hex(a.hwnd) + (a.answered ? " 1 " : " 0 ") + hex(static_cast<uint64_t>(a.result)) + " " + cls;
        }
        return reply;
    }
    if (w.empty()) return "0";
    HWND h = localHandle(w[0]);
    if (!h) return "0";
    if (verb == "TITLE" && w.size() == 1) {
        char title[kMaxLine];
        SetLastError(0);
        const int n = GetWindowTextA(h, title, sizeof title);
        if (n == 0 && GetLastError() == ERROR_INVALID_WINDOW_HANDLE) return "0";
        return "1 " + std::string(title, static_cast<size_t>(n));
    }
    if (verb == "POST" && w.size() == 4) {
        auto m = parseHex(w[1]), wp = parseHex(w[2]), lp = parseHex(w[3]);
        if (!m || !wp || !lp) return "0";
        if (PostMessageA(h, static_cast<UINT>(*m), *wp, static_cast<LPARAM>(*lp))) return "1";
        return "0 " + hex(GetLastError());
    }
    if (verb == "SHOW" && w.size() == 2) {
        auto cmd = parseHex(w[1]);
        if (!cmd || !IsWindow(h)) return "0";
        const BOOL was = ShowWindow(h, static_cast<int>(*cmd));
        return IsWindow(h) ? std::string("1 ") + (was ? "1" : "0") : "0";
    }
    if (verb == "FRONT" && w.size() == 1) return SetForegroundWindow(h) ? "1" : "0";
    return "0";
}

// ---- the listener of this process ------------------------------------------------------------

class Listener {
public:
    void start() {
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
        thread_ = std::thread([this] { serve(); });
        std::atexit([] { listener().stop(); });
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

    static Listener& listener() {
        static Listener* l = new Listener();  // stopped at exit, never destroyed
        return *l;
    }

private:
    void serve() {
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
            if (auto line = readLine(client)) sendAll(client, answer(*line) + "\n");
            ::close(client);
        }
    }

    std::mutex mutex_;
    bool started_ = false;
    int fd_ = -1;
    int wake_[2] = {-1, -1};
    fs::path path_;
    std::thread thread_;
};

// ---- asking another process ------------------------------------------------------------------

enum class Reach { Answered, Gone, Failed };

// Asks process `pid`; a socket nobody listens on any more is removed.
Reach ask(const fs::path& dir, uint64_t pid, const std::string& line, std::string* reply,
          int timeoutSeconds = kTimeoutSeconds) {
    const fs::path path = socketPath(dir, pid);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Reach::Failed;
    setTimeouts(fd, timeoutSeconds);
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

// The other processes that listen, by their sockets.
std::vector<uint64_t> otherProcesses(const fs::path& dir) {
    const uint64_t self = static_cast<uint64_t>(::getpid());
    std::error_code ec;
    std::vector<uint64_t> pids;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".sock") continue;
        char* end = nullptr;
        const unsigned long long pid = std::strtoull(name.c_str(), &end, 10);
        if (end && std::strcmp(end, ".sock") == 0 && pid != self) pids.push_back(pid);
    }
    return pids;
}

}  // namespace

void startListener() { Listener::listener().start(); }

HWND remoteFind(const std::optional<std::string>& className, const std::optional<std::string>& title) {
    if (!fitsOnLine(className) || !fitsOnLine(title)) return nullptr;
    auto dir = socketDir();
    if (!dir) return nullptr;
    const std::string line = "FIND " + field(className) + "\t" + field(title);
    for (uint64_t pid : otherProcesses(*dir)) {
        std::string reply;
        if (ask(*dir, pid, line, &reply) != Reach::Answered || reply == "0") continue;
        if (auto v = parseHex(reply)) return reinterpret_cast<HWND>(static_cast<uintptr_t>(*v));
    }
    return nullptr;
}

std::optional<std::string> remoteTitle(HWND hwnd) {
    const std::string reply = askOwner(hwnd, "TITLE " + hex(hwnd));
    if (reply.rfind("1 ", 0) != 0) return std::nullopt;
    return reply.substr(2);
}

bool remotePost(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, DWORD* error) {
    const std::string reply = askOwner(hwnd, "POST " + hex(hwnd) + " " + hex(msg) + " " + hex(wParam) + " " +
                                                 hex(static_cast<uint64_t>(lParam)));
    if (reply == "1") return true;
    *error = ERROR_INVALID_WINDOW_HANDLE;
    if (reply.rfind("0 ", 0) == 0)
        if (auto e = parseHex(reply.substr(2))) *error = static_cast<DWORD>(*e);
    return false;
}

std::vector<NoticeAnswer> remoteSendAll(UINT msg, WPARAM wParam, LPARAM lParam, std::chrono::milliseconds timeout) {
    std::vector<NoticeAnswer> out;
    auto dir = socketDir();
    if (!dir) return out;
    const uint64_t ms = std::min<uint64_t>(static_cast<uint64_t>(timeout.count()), kMaxNoticeMs);
    const std::string line = "SENDALL " + hex(msg) + " " + hex(wParam) + " " + hex(static_cast<uint64_t>(lParam)) +
                             " " + hex(ms);
    for (uint64_t pid : otherProcesses(*dir)) {
        std::string reply;
        // The owner waits for its windows first: give it that long and the usual time on top.
        if (ask(*dir, pid, line, &reply, static_cast<int>(ms / 1000) + kTimeoutSeconds) != Reach::Answered ||
            reply.rfind("1", 0) != 0)
            continue;
        std::istringstream entries(reply.substr(1));
        std::string entry;
        std::getline(entries, entry, '\t');  // what stands before the first tab: nothing
        while (std::getline(entries, entry, '\t')) {
            std::istringstream in(entry);
            std::string handle, answered, result;
            if (!(in >> handle >> answered >> result)) continue;
            auto h = parseHex(handle);
            auto r = parseHex(result);
            if (!h || !r) continue;
            NoticeAnswer a;
            a.hwnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(*h));
            a.answered = answered == "1";
            a.result = static_cast<LRESULT>(*r);
            std::getline(in >> std::ws, a.className);
            out.push_back(std::move(a));
        }
    }
    return out;
}

bool remotePostAll(UINT msg, WPARAM wParam, LPARAM lParam) {
    auto dir = socketDir();
    if (!dir) return false;
    const std::string line = "POSTALL " + hex(msg) + " " + hex(wParam) + " " + hex(static_cast<uint64_t>(lParam));
    for (uint64_t pid : otherProcesses(*dir)) {
        std::string reply;
        ask(*dir, pid, line, &reply);
    }
    return true;
}

std::optional<bool> remoteShow(HWND hwnd, int cmd) {
    const std::string reply = askOwner(hwnd, "SHOW " + hex(hwnd) + " " + hex(static_cast<uint64_t>(cmd)));
    if (reply.rfind("1 ", 0) != 0) return std::nullopt;
    return reply == "1 1";
}

bool remoteFront(HWND hwnd) { return askOwner(hwnd, "FRONT " + hex(hwnd)) == "1"; }

}  // namespace winsim::user32
