#include "Front/DaemonCommands.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <thread>

#include "Core/ProcessTable.hpp"
#include "Core/StateDir.hpp"
#include "Front/ExecutablePath.hpp"
#include "Front/Locations.hpp"
#include "Front/StatusReport.hpp"

extern char** environ;

namespace tracker::Front::DaemonCommands {

const char* const startUsage =
    "usage: tarnel start [--state-dir DIR] [--settings FILE]\n"
    "\n"
    "Start the daemon, tarnel-vovivida from beside this program, in the background on the\n"
    "state directory: for machines where no systemd user manager runs it (WSL, a container,\n"
    "a login script). It writes its log to daemon.log in the state directory alone. Where\n"
    "systemd runs, prefer its user unit, tarnel-vovivida.service.\n"
    "Exit status: 0 the daemon runs (started now or already running), 1 it could not be\n"
    "started, 2 a command-line error.\n";

const char* const stopUsage =
    "usage: tarnel stop [--state-dir DIR] [--settings FILE]\n"
    "\n"
    "Stop the daemon that runs on the state directory, however it was started; it continues\n"
    "every session it holds before it ends.\n"
    "Exit status: 0 no daemon runs on it any more (or none ran), 1 it still runs, 2 a\n"
    "command-line error.\n";

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

void readLocations(Arguments& arguments, Locations& locations, const char* usage, bool& help) {
    while (!arguments.empty()) {
        if (arguments.flag("-h") || arguments.flag("--help")) {
            std::cout << usage << Locations::helpText();
            help = true;
            return;
        }
        if (!locations.take(arguments)) arguments.reject();
    }
}

bool running(const StateDir& stateDir) {
    return StatusReport::probeLock(stateDir.lockPath()) == StatusReport::LockState::held;
}

// The pid daemon.pid names, when it is still that process.
std::optional<std::int64_t> daemonPID(const StateDir& stateDir) {
    auto file = stateDir.readDaemonPID();
    if (!file || file->pid <= 0) return std::nullopt;
    if (!ProcessTable::fromSystem({file->pid}).isSameProcess(file->pid, file->pidStart)) return std::nullopt;
    return file->pid;
}

std::string pidText(const std::optional<std::int64_t>& pid) {
    return pid ? " (pid " + std::to_string(*pid) + ")" : std::string();
}

// Starts program with arguments in a session of its own, its standard streams on /dev/null; its pid, or
// none (errno set) when it could not be started.
std::optional<pid_t> spawnDetached(const std::vector<std::string>& arguments) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0) return std::nullopt;
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return std::nullopt;
    }
    for (int fd = 0; fd <= 2; ++fd) {
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    }
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        errno = error;
        return std::nullopt;
    }
    return pid;
}

}  // namespace

bool userManagerRuns(const Environment& environment) {
    auto it = environment.find("XDG_RUNTIME_DIR");
    if (it == environment.end() || it->second.empty()) return false;
    std::error_code ec;
    return fs::is_socket(fs::path(it->second) / "systemd" / "private", ec);
}

std::string startCommand(const Environment& environment) {
    return userManagerRuns(environment) ? "systemctl --user enable --now tarnel-vovivida.service" : "tarnel start";
}

std::string stopCommand(const Environment& environment) {
    return userManagerRuns(environment) ? "systemctl --user disable --now tarnel-vovivida.service" : "tarnel stop";
}

int start(Arguments& arguments, const Invocation& invocation) {
    Locations locations;
    bool help = false;
    readLocations(arguments, locations, startUsage, help);
    if (help) return 0;
    const StateDir stateDir = locations.stateDir(invocation.environment);
    if (running(stateDir)) {
        std::cout << "tarnel-vovivida already runs on " << stateDir.root() << pidText(daemonPID(stateDir)) << ".\n";
        return 0;
    }
    const std::string self = executablePath(invocation.argv0.c_str());
    const std::string daemon =
        self.empty() ? std::string("tarnel-vovivida") : (fs::path(self).parent_path() / "tarnel-vovivida").string();
    if (::access(daemon.c_str(), X_OK) != 0) {
        std::cerr << "tarnel start: cannot find tarnel-vovivida beside this program (looked for " << daemon << ").\n";
        return 1;
    }
    auto pid = spawnDetached({daemon, "--state-dir", stateDir.root()});
    if (!pid) {
        std::cerr << "tarnel start: could not run " << daemon << ": " << std::strerror(errno) << "\n";
        return 1;
    }
    auto started = [&] {
        std::cout << "Started tarnel-vovivida on " << stateDir.root() << " (pid " << *pid
                  << "); its log: " << stateDir.logPath() << ". `tarnel stop` ends it.\n";
        return 0;
    };
    // Up once it holds the state directory's lock; a daemon that ends first says why in its log.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        int status = 0;
        if (::waitpid(*pid, &status, WNOHANG) == *pid) {
            std::cerr << "tarnel start: tarnel-vovivida ended at once ("
                      << (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                            : "signal " + std::to_string(WTERMSIG(status)))
                      << "); run it in the foreground to see why: " << daemon << " --state-dir " << stateDir.root()
                      << "\n";
            return 1;
        }
        // Up, and daemon.pid (written just after the lock is taken) names it, so that status shows it.
        auto file = running(stateDir) ? stateDir.readDaemonPID() : std::nullopt;
        if (file && file->pid == *pid) return started();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (running(stateDir)) return started();
    std::cerr << "tarnel start: tarnel-vovivida (pid " << *pid << ") has not taken " << stateDir.lockPath()
              << " in 10 s; see " << stateDir.logPath() << "\n";
    return 1;
}

int stop(Arguments& arguments, const Invocation& invocation) {
    Locations locations;
    bool help = false;
    readLocations(arguments, locations, stopUsage, help);
    if (help) return 0;
    const StateDir stateDir = locations.stateDir(invocation.environment);
    if (!running(stateDir)) {
        std::cout << "No daemon runs on " << stateDir.root() << ".\n";
        return 0;
    }
    const auto pid = daemonPID(stateDir);
    if (!pid) {
        std::cerr << "tarnel stop: a daemon holds " << stateDir.lockPath() << " but " << stateDir.pidPath()
                  << " does not name it; stop it by hand.\n";
        return 1;
    }
    if (::kill(static_cast<pid_t>(*pid), SIGTERM) != 0) {
        std::cerr << "tarnel stop: could not signal pid " << *pid << ": " << std::strerror(errno) << "\n";
        return 1;
    }
    // It continues what it holds first, a little apart: as long as systemd gives it.
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
        if (!running(stateDir)) {
            std::cout << "Stopped tarnel-vovivida" << pidText(pid) << " on " << stateDir.root()
                      << "; every session it held goes on.\n";
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::cerr << "tarnel stop: tarnel-vovivida (pid " << *pid << ") still runs 20 s after it was asked to end; see "
              << stateDir.logPath() << "\n";
    return 1;
}

}  // namespace tracker::Front::DaemonCommands
