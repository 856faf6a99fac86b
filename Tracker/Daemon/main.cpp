// tarnel-vovivida: the daemon. Builds its world (flags, state directory, lock, log, settings, the loop and
// the signal relay) and hands over to the loop; whatever it held is continued on every way out.

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Core/DaemonPIDFile.hpp"
#include "Core/StandardStreams.hpp"
#include "Core/StateDir.hpp"
#include "Daemon/DaemonFlags.hpp"
#include "Daemon/DaemonLog.hpp"
#include "Daemon/DaemonLoop.hpp"
#include "Daemon/InstanceLock.hpp"
#include "Daemon/SignalRelay.hpp"

namespace tracker {
namespace {

// What the exit paths need; set during start-up, before they are armed.
DaemonLoop* exitingLoop = nullptr;
std::optional<StateDir> exitingStateDir;

[[noreturn]] void die(const std::string& message, int code) {
    std::string line = DaemonLogger::consolePrefix(DaemonLogLevel::error) + "tarnel-vovivida: " + message + "\n";
    ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
    std::exit(code);
}

void exitHook() {
    if (exitingLoop) exitingLoop->thawEverything("atexit");
    if (exitingStateDir) ::unlink(exitingStateDir->pidPath().c_str());
}

// The one way the process ends once the exit paths are armed. Whichever thread comes first thaws and ends
// the process; a later one parks for good. The end runs the exit hook itself and then _exit, so no thread
// ever runs exit() concurrently with another, and no static is destroyed under a thread that is still
// working.
[[noreturn]] void endProcess(int status, const char* why) {
    static std::atomic<bool> ending{false};
    if (ending.exchange(true)) {
        for (;;) ::pause();
    }
    if (exitingLoop) exitingLoop->thawEverything(why);
    exitHook();
    std::fflush(nullptr);
    ::_exit(status);
}

int daemonMain(int argc, char** argv) {
    // Before anything is opened: a closed 0, 1 or 2 would otherwise become the lock or the log, and every
    // console line would land in that file.
    StandardStreams::ensureOpen();
    SignalRelay::holdBack();
    const std::vector<std::string> commandLine(argv, argv + argc);
    FlagsOutcome outcome =
        parseFlags(std::vector<std::string>(commandLine.begin() + (argc > 0 ? 1 : 0), commandLine.end()));
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
    // The directory says which processes to hold and continue: only the user may write it. Checked before
    // anything is made in it, and again once it is there.
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
    // Held until the process ends.
    if (auto lock = InstanceLock::acquire(stateDir.lockPath()); !lock.held()) die(lock.refusal, 3);

    // daemon.log always has the log; standard error gets a copy where somebody reads it: a terminal, the
    // journal, or whoever asked. A daemon started in the background from a script then stays quiet.
    const bool console =
        flags.logToStandardError || ::isatty(STDERR_FILENO) == 1 || DaemonLogger::standardErrorIsJournal();
    auto logger = DaemonLogger::create(stateDir.logPath(), flags.logLevel, console, DaemonLogger::defaultMaxBytes);
    TrackerConfig settings = LiveConfig::load(
        stateDir, LiveConfig::Overrides{flags.threshold, flags.poll, flags.notify}, environment, logger->sink());
    DaemonWorld world = DaemonWorld::real(flags.dryRun, logger->sink());
    world.exit = [](int status) { endProcess(status, "exit"); };
    // Lives until the process ends; never destroyed, so no exit path can outlive it.
    auto& loop = *new DaemonLoop(stateDir, settings, logger,
                                 DaemonLoop::Options{flags.dryRun, flags.resumeIn, flags.pinnedKeys(environment),
                                                     DaemonPIDFile::ofThisProcess(commandLine)},
                                 std::move(world));

    exitingLoop = &loop;
    exitingStateDir = stateDir;
    std::atexit(exitHook);
    SignalRelay::arm([&loop](int sig) { loop.handleSignal(sig); });

    int status = flags.thawNow ? loop.thawNow() : loop.run(flags.once);
    endProcess(status, "normal exit");
}

}  // namespace
}  // namespace tracker

int main(int argc, char** argv) {
    tracker::daemonMain(argc, argv);
}
