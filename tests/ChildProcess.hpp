#pragma once

// Processes that tests start and must never leave behind.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tracker::test {

// A child started with posix_spawn in a process group of its own. The
// destructor kills the whole group and reaps the child, also when a test
// fails half-way.
class ChildProcess {
public:
    explicit ChildProcess(std::vector<std::string> argv) : argv_(std::move(argv)) {
        std::vector<char*> raw;
        for (auto& argument : argv_) raw.push_back(argument.data());
        raw.push_back(nullptr);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setpgroup(&attributes, 0);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        int result = posix_spawn(&pid_, raw[0], &actions, &attributes, raw.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (result != 0) throw std::runtime_error("could not start " + argv_[0]);
    }
    ~ChildProcess() {
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

private:
    std::vector<std::string> argv_;
    pid_t pid_ = -1;
};

// A process the test did not start itself (a grandchild) but must end.
class KillOnExit {
public:
    explicit KillOnExit(pid_t pid) : pid_(pid) {}
    ~KillOnExit() {
        if (pid_ > 1) ::kill(pid_, SIGKILL);
    }
    KillOnExit(const KillOnExit&) = delete;
    KillOnExit& operator=(const KillOnExit&) = delete;

private:
    pid_t pid_;
};

// Polls condition every 10 ms until it holds or about ten seconds have gone.
inline bool eventually(const std::function<bool()>& condition) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

}  // namespace tracker::test
