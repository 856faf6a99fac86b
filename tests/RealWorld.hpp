#pragma once

// Helpers for tests that run real things: child processes, tmux servers and screen sessions that are always
// ended when the test ends (also when it fails), bounded waits, and reading a process's state from /proc.

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tracker::test {

// Polls condition every `step` until it holds or `timeout` has passed; whether it held at the end.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(10),
               std::chrono::milliseconds step = std::chrono::milliseconds(5));

// Fields of /proc/<pid>/stat.
struct ProcStat {
    char state = '?';  // R, S, D, T (stopped), t (traced), Z, ...
    std::int64_t ppid = 0;
    std::int64_t pgrp = 0;
    std::int64_t session = 0;
    std::int64_t tpgid = 0;  // foreground group of the controlling terminal, -1 without one
};
std::optional<ProcStat> procStat(std::int64_t pid);
// The state letter, or '\0' when the process is gone.
char processState(std::int64_t pid);
// Whether the pid exists and is not a zombie.
bool processExists(std::int64_t pid);
// Pids whose parent is pid, ascending.
std::vector<std::int64_t> childrenOf(std::int64_t pid);
// Pids of every process in the session sid, ascending.
std::vector<std::int64_t> processesInSession(std::int64_t sid);
// Sends SIGCONT and then SIGKILL to every process in the session; waits (bounded) until they are gone.
void killSession(std::int64_t sid);

// The counter a stand-in advances on every refresh; none when the file is missing or not a number.
std::optional<std::int64_t> readHeartbeat(const std::string& path);
// Whether the heartbeat advances within timeout (a running stand-in).
bool heartbeatAdvances(const std::string& path, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Runs a program (no shell, arguments[0] searched in PATH) to its end; its exit status (-1 when it could not
// run or was killed), its standard output into *output when given. Standard error is discarded.
int runProgram(const std::vector<std::string>& arguments, std::string* output = nullptr);

// How a child process starts.
struct SpawnOptions {
    std::vector<std::string> environment;  // "NAME=value" added to (or replacing in) ours
    std::string stdinPath = "/dev/null";
    std::string stdoutPath = "/dev/null";
    std::string stderrPath = "/dev/null";
    bool newSession = false;  // setsid(): no controlling terminal at all (else only a process group of its own)
};

// A child process in a process group of its own (or a session of its own). On destruction the whole group
// is continued, killed and the child reaped, whatever state it was left in.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& arguments, const SpawnOptions& options = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Waits for the child to exit; its wait status, none on time-out (the child is then still running).
    std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Kills the group now and reaps the child.
    void kill();

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
};

// A tmux server of our own on a private socket (-L), killed with everything it runs on destruction.
class TmuxServer {
public:
    TmuxServer();
    ~TmuxServer();
    TmuxServer(const TmuxServer&) = delete;
    TmuxServer& operator=(const TmuxServer&) = delete;

    const std::string& socketName() const { return name_; }
    // Runs "tmux -L <name> -f /dev/null <arguments>"; its exit status, its output into *output.
    int run(const std::vector<std::string>& arguments, std::string* output = nullptr) const;
    // Starts a detached session running command (through the default shell as tmux does); the pane's pid,
    // or -1 when it did not start.
    std::int64_t newSession(const std::string& session, const std::string& command, int width = 160, int height = 48);
    std::int64_t panePID(const std::string& session) const;
    // What the pane shows, with its history.
    std::string capture(const std::string& session) const;
    // Types text into the pane, then Enter when `enter` is set.
    void sendKeys(const std::string& session, const std::string& text, bool enter = true) const;

private:
    std::string name_;
    std::vector<std::int64_t> paneSessions_;
};

// A GNU screen session run without forking (screen -DmS), ended with everything in it on destruction.
class ScreenSession {
public:
    explicit ScreenSession(const std::vector<std::string>& command);
    ~ScreenSession();
    ScreenSession(const ScreenSession&) = delete;
    ScreenSession& operator=(const ScreenSession&) = delete;

    pid_t serverPID() const { return server_->pid(); }
    // The process screen started in its first window, or -1 when it did not appear in time.
    std::int64_t windowPID(std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    std::string name_;
    std::unique_ptr<ChildProcess> server_;
    std::vector<std::int64_t> windowSessions_;
};

// The Claude Code stand-in (tests/support/claude) with its files in one directory.
struct StandIn {
    std::string directory;
    std::string heartbeat;
    std::string settings;
    std::string limits;
    std::string statusFile;
    // Where the stand-in writes its pid when it starts.
    std::string pidFile;
    std::vector<std::string> extra;  // further options

    // Files under directory; settings without a status-line command unless one is set with withCommand.
    explicit StandIn(const std::string& directory);
    // Writes the settings file with this status-line command.
    StandIn& withCommand(const std::string& command);
    // Writes the limits file with this five-hour window.
    StandIn& withFiveHour(double usedPercentage, double resetsAt);
    // The argument vector, period in milliseconds.
    std::vector<std::string> arguments(int periodMs = 100) const;
    // The same as one shell-quoted command line, for tmux and shells.
    std::string commandLine(int periodMs = 100) const;
    // The pid it wrote when it started (waiting a moment for it); 0 when it did not start.
    std::int64_t pid() const;
};

// Whether the kernel holds pid now: stopped by a signal, or in a cgroup whose every task is frozen.
bool heldByKernel(std::int64_t pid);
// Waits until the kernel holds pid, as for any event; the failure says what pid was doing instead.
::testing::AssertionResult expectHeld(std::int64_t pid, std::chrono::milliseconds timeout = std::chrono::seconds(10));
::testing::AssertionResult expectHeld(const StandIn& standIn,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(10));
// That pid stays held for the whole window: the kernel holds it and its heartbeat does not move. The one wait
// that is a span rather than an event: it is for what a real outside program (a multiplexer that continues its
// pane, a SIGCONT) might undo at any moment, and nothing announces that something did not happen.
::testing::AssertionResult expectStaysHeld(std::int64_t pid, const std::string& heartbeat,
                                           std::chrono::milliseconds window);

// Quotes a word for /bin/sh.
std::string shellQuote(const std::string& word);

}  // namespace tracker::test
