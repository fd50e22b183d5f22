// A program of the tests started alongside, whose output a test reads while it runs: each read
// blocks until the awaited text arrives, the program ends or the cap passes.
#pragma once
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace uitest {

class ChildProcess {
public:
    // `env` entries ("NAME=value") are added to this process's environment.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env = {}) {
        int out[2], err[2];
        if (::pipe(out) != 0 || ::pipe(err) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, err[0]);
        std::vector<std::string> argStore{program};
        argStore.insert(argStore.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argStore) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> envStore;
        for (char** e = environ; *e; ++e) envStore.emplace_back(*e);
        envStore.insert(envStore.end(), env.begin(), env.end());
        std::vector<char*> envp;
        for (auto& e : envStore) envp.push_back(e.data());
        envp.push_back(nullptr);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        fds_[0] = out[0];
        fds_[1] = err[0];
    }

    ~ChildProcess() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (int fd : fds_)
            if (fd >= 0) ::close(fd);
    }

    bool started() const { return pid_ > 0; }
    // Ends the program at once, as a crash would, leaving whatever it had registered.
    void kill() {
        if (pid_ <= 0 || exited_) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        exited_ = true;
    }
    const std::string& out() const { return text_[0]; }
    const std::string& err() const { return text_[1]; }

    // Reads until standard output (stream 0) or error (1) holds `needle`.
    bool waitFor(int stream, const std::string& needle, std::chrono::milliseconds cap) {
        const auto deadline = std::chrono::steady_clock::now() + cap;
        while (text_[stream].find(needle) == std::string::npos) {
            if (!readSome(deadline)) return text_[stream].find(needle) != std::string::npos;
        }
        return true;
    }

    // Reads everything until the program ends; its exit code, or -1 past the cap.
    int wait(std::chrono::milliseconds cap) {
        const auto deadline = std::chrono::steady_clock::now() + cap;
        while (readSome(deadline)) {
        }
        if (fds_[0] >= 0 || fds_[1] >= 0) return -1;  // still running at the cap
        int status = 0;
        if (::waitpid(pid_, &status, 0) != pid_) return -1;
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    // One chunk of output; false at the cap or once both streams have ended.
    bool readSome(std::chrono::steady_clock::time_point deadline) {
        pollfd p[2];
        int n = 0;
        int which[2];
        for (int i = 0; i < 2; ++i)
            if (fds_[i] >= 0) {
                p[n] = {fds_[i], POLLIN, 0};
                which[n++] = i;
            }
        if (n == 0) return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        if (::poll(p, n, static_cast<int>(left.count())) <= 0) return false;
        for (int k = 0; k < n; ++k) {
            if (!(p[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            const ssize_t got = ::read(p[k].fd, buf, sizeof buf);
            if (got > 0) {
                text_[which[k]].append(buf, static_cast<size_t>(got));
            } else {
                ::close(fds_[which[k]]);
                fds_[which[k]] = -1;
            }
        }
        return true;
    }

    pid_t pid_ = -1;
    bool exited_ = false;
    int fds_[2] = {-1, -1};
    std::string text_[2];
};

}  // namespace uitest
