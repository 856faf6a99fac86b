// tarnel-vovivida: the freeze daemon. Parses its flags, takes the
// single-instance lock, builds the loop, routes SIGTERM, SIGINT and SIGHUP to
// a thread of their own, and thaws whatever it froze on every way out.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Core/FileRead.hpp"
#include "Core/ProcessTable.hpp"
#include "Core/StandardStreams.hpp"
#include "Core/StateDir.hpp"
#include "Daemon/DaemonFlags.hpp"
#include "Daemon/DaemonLog.hpp"
#include "Daemon/DaemonLoop.hpp"

namespace tracker {
namespace {

// What the exit paths need; set during start-up, before they are armed.
DaemonLoop* exitingLoop = nullptr;
std::optional<StateDir> exitingStateDir;
std::vector<std::string> commandLine;
int signalPipe[2] = {-1, -1};
// Every signal whose default action ends the process and that can arrive from outside: each ends the
// daemon through the same thaw as SIGTERM, so no way out leaves a session held. (SIGPIPE is ignored
// instead: a console whose reader went away is no reason to stop; the log file is the record.)
const int trapped[] = {SIGTERM,   SIGINT,  SIGHUP,  SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,
                       SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGIO,   SIGPWR,  SIGSTKFLT};

[[noreturn]] void die(const std::string& message, int code) {
    std::string line = DaemonLogger::consolePrefix(DaemonLogLevel::error) + "tarnel-vovivida: " + message + "\n";
    ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
    std::exit(code);
}

std::string trimmed(const std::string& text) {
    const char* blanks = " \t\r\n\v\f";
    size_t start = text.find_first_not_of(blanks);
    if (start == std::string::npos) return "";
    size_t end = text.find_last_not_of(blanks);
    return text.substr(start, end - start + 1);
}

// An open, exclusively locked "daemon.lock" holding our pid, or the end of the process.
// Made 0600 and never opened through a symbolic link, a FIFO or a file of another user:
// the lock file is truncated, and a planted link would aim that at a file of the user's.
int acquireSingleInstanceLock(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0 && errno == ELOOP) die("the daemon lock " + path + " is a symbolic link; remove it and start again", 3);
    if (fd >= 0) {
        struct stat info {};
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
            ::close(fd);
            die("the daemon lock " + path + " is not a regular file of yours; remove it and start again", 3);
        }
    }
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        if (::ftruncate(fd, 0) == 0) {
            std::string pid = std::to_string(::getpid()) + "\n";
            ssize_t ignored = ::pwrite(fd, pid.data(), pid.size(), 0);
            (void)ignored;
        }
        return fd;
    }
    int error = errno;
    if (fd >= 0) ::close(fd);
    if (error == EWOULDBLOCK) {
        std::string holder = trimmed(FileRead::file(path, 4096, O_NOFOLLOW | O_NONBLOCK).bytes);
        die("another tarnel-vovivida is already running" + (holder.empty() ? "" : " (pid " + holder + ")") +
                "; refusing to start a second one. Lock: " + path,
            3);
    }
    die("cannot take the daemon lock at " + path + ": " + std::strerror(error), 3);
}

void writeDaemonPIDFile(const StateDir& stateDir) {
    const std::int64_t pid = ::getpid();
    auto row = ProcessTable::fromSystem({pid}).get(pid);
    DaemonPIDFile pidFile;
    pidFile.pid = pid;
    pidFile.pidStart = row ? row->lstart : std::string();
    pidFile.startedAt = static_cast<double>(std::time(nullptr));
    pidFile.argv = commandLine;
    try {
        stateDir.write(pidFile);
    } catch (const std::exception&) {
        // Only outside observers read it.
    }
}

void removeDaemonPIDFile(const StateDir& stateDir) {
    ::unlink(stateDir.pidPath().c_str());
}

void exitHook() {
    if (exitingLoop) exitingLoop->thawEverything("atexit");
    if (exitingStateDir) removeDaemonPIDFile(*exitingStateDir);
}

// The one way the process ends once the exit paths are armed. Whichever
// thread comes first thaws and ends the process; a later one parks for good.
// The end runs the exit hook itself and then _exit, so no thread ever runs
// exit() concurrently with another, and no static is destroyed under a
// thread that is still working.
[[noreturn]] void endProcess(int status, const char* why) {
    static std::atomic<bool> ending{false};
    if (ending.exchange(true)) {
        for (;;) ::pause();
    }
    if (exitingLoop) exitingLoop->thawEverything(why);
    if (exitingStateDir) removeDaemonPIDFile(*exitingStateDir);
    exitHook();
    std::fflush(nullptr);
    ::_exit(status);
}

sigset_t trappedSet() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int sig : trapped) sigaddset(&signals, sig);
    return signals;
}

// Async-signal-safe: only the signal number crosses into the pipe.
void onTrappedSignal(int sig) {
    int saved = errno;
    unsigned char byte = static_cast<unsigned char>(sig);
    ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

// Installs handlers for the trapped signals and starts the thread that serves
// them. Handlers (unlike SIG_IGN) are reset to the default in every child at exec.
void armSignals(DaemonLoop& loop) {
    if (::pipe2(signalPipe, O_CLOEXEC) != 0) {
        // No way to serve them: they keep their default action rather than wait forever.
        sigset_t signals = trappedSet();
        ::pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
        return;
    }
    ::fcntl(signalPipe[1], F_SETFL, O_NONBLOCK);
    std::thread([&loop] {
        for (;;) {
            unsigned char byte = 0;
            ssize_t n = ::read(signalPipe[0], &byte, 1);
            if (n == 1) {
                loop.handleSignal(byte);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            return;
        }
    }).detach();
    for (int sig : trapped) {
        struct sigaction action {};
        action.sa_handler = onTrappedSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(sig, &action, nullptr);
    }
    // What came during start-up was held back (see daemonMain) and is handled now.
    sigset_t signals = trappedSet();
    ::pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
}

int daemonMain(int argc, char** argv) {
    // Before anything is opened: a closed 0, 1 or 2 would otherwise become the lock or the log, and every
    // console line would land in that file.
    StandardStreams::ensureOpen();
    ::signal(SIGPIPE, SIG_IGN);
    // A signal that comes before its handler is in place waits instead of ending the daemon unthawed.
    sigset_t signals = trappedSet();
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    commandLine.assign(argv, argv + argc);
    std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    FlagsOutcome outcome = parseFlags(arguments);
    if (!outcome.flags) {
        if (outcome.status == 0) {
            std::fwrite(outcome.out.data(), 1, outcome.out.size(), stdout);
            std::fflush(stdout);
            std::exit(0);
        }
        die(outcome.error, outcome.status);
    }
    const Flags flags = *outcome.flags;

    const Environment environment = currentEnvironment();
    const StateDir stateDir = StateDir::fromEnvironment(flags.stateDir, environment);
    // The directory says which processes to hold and continue: only the user may write it.
    // Checked before anything is made in it, and again once it is there.
    auto refuseUntrusted = [&stateDir] {
        if (auto problem = stateDir.trustProblem()) die("refusing to run: " + *problem, 2);
    };
    refuseUntrusted();
    try {
        stateDir.ensureDirectories();
    } catch (const std::exception&) {
        // Shows up as a lock failure next.
    }
    refuseUntrusted();
    acquireSingleInstanceLock(stateDir.lockPath());  // held until the process ends

    auto logger = DaemonLogger::create(stateDir.logPath(), flags.logLevel, true, DaemonLogger::defaultMaxBytes);
    TrackerConfig config =
        LiveConfig::load(stateDir, flags.threshold, flags.poll, flags.notify, environment, logger->sink());
    // Lives until the process ends; never destroyed, so no exit path can outlive it.
    auto& loop = *new DaemonLoop(stateDir, config, logger, flags.dryRun, flags.resumeIn, flags.pinnedKeys(environment));

    exitingLoop = &loop;
    exitingStateDir = stateDir;
    loop.exitHandler = [](int status) { endProcess(status, "exit"); };
    std::atexit(exitHook);
    armSignals(loop);

    writeDaemonPIDFile(stateDir);
    int status = flags.thawNow ? loop.thawNow() : loop.run(flags.once);
    loop.thawEverything("normal exit");
    removeDaemonPIDFile(stateDir);
    endProcess(status, "normal exit");
}

}  // namespace
}  // namespace tracker

int main(int argc, char** argv) {
    tracker::daemonMain(argc, argv);
}
