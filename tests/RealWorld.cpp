#include "RealWorld.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "Platform/linux/CgroupV2.hpp"
#include "TestSupport.hpp"

extern char** environ;

namespace tracker::test {

namespace {

std::optional<std::int64_t> parseInteger(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str()) return std::nullopt;
    while (*end == ' ' || *end == '\n' || *end == '\t') ++end;
    if (*end != '\0') return std::nullopt;
    return value;
}

std::vector<std::int64_t> allPIDs() {
    std::vector<std::int64_t> pids;
    DIR* proc = opendir("/proc");
    if (!proc) return pids;
    while (dirent* entry = readdir(proc)) {
        if (auto pid = parseInteger(entry->d_name)) pids.push_back(*pid);
    }
    closedir(proc);
    std::sort(pids.begin(), pids.end());
    return pids;
}

// Our environment with additions ("NAME=value", replacing a variable of the same name) and without the
// variables named in removals.
std::vector<std::string> environmentWith(const std::vector<std::string>& additions,
                                         const std::vector<std::string>& removals = {}) {
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> result;
    for (char** entry = environ; *entry; ++entry) {
        std::string text = *entry;
        std::string name = nameOf(text);
        bool replaced = std::any_of(additions.begin(), additions.end(),
                                    [&](const std::string& added) { return nameOf(added) == name; });
        bool removed = std::find(removals.begin(), removals.end(), name) != removals.end();
        if (!replaced && !removed) result.push_back(text);
    }
    result.insert(result.end(), additions.begin(), additions.end());
    return result;
}

std::vector<char*> pointersTo(std::vector<std::string>& words) {
    std::vector<char*> pointers;
    for (auto& word : words) pointers.push_back(word.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Children start with no blocked signals and every handled or ignored signal back at its default.
void resetSignals(posix_spawnattr_t& attributes, short extraFlags) {
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigemptyset(&all);
    for (int signal = 1; signal < NSIG; ++signal) {
        if (signal != SIGKILL && signal != SIGSTOP) sigaddset(&all, signal);
    }
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes,
                             static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | extraFlags));
}

// The environment every multiplexer test runs with: no outer tmux, a terminal type that is always known.
std::vector<std::string> multiplexerEnvironment() {
    return environmentWith({"TERM=xterm-256color"}, {"TMUX", "STY"});
}

int runWithEnvironment(const std::vector<std::string>& arguments, std::vector<std::string> environment,
                       std::string* output) {
    if (arguments.empty()) return -1;
    int pipeFDs[2];
    if (pipe2(pipeFDs, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFDs[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    resetSignals(attributes, 0);
    std::vector<std::string> words = arguments;
    auto argv = pointersTo(words);
    auto envp = pointersTo(environment);
    pid_t child = -1;
    int spawned = posix_spawnp(&child, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(pipeFDs[1]);
    std::string collected;
    if (spawned == 0) {
        char buffer[4096];
        for (;;) {
            ssize_t n = read(pipeFDs[0], buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            collected.append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(pipeFDs[0]);
    if (output) *output = collected;
    if (spawned != 0) return -1;
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string uniqueName(const char* kind) {
    static std::atomic<int> counter{0};
    return std::string("tarnel-") + kind + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

}  // namespace

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds step) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(step);
    }
}

std::optional<ProcStat> procStat(std::int64_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!in || !std::getline(in, text)) return std::nullopt;
    // The command name in parentheses may hold blanks and parentheses: the fields start after the last ')'.
    auto close = text.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(text.substr(close + 1));
    ProcStat stat;
    std::int64_t ttyNumber = 0;
    if (!(fields >> stat.state >> stat.ppid >> stat.pgrp >> stat.session >> ttyNumber >> stat.tpgid)) {
        return std::nullopt;
    }
    return stat;
}

char processState(std::int64_t pid) {
    auto stat = procStat(pid);
    return stat ? stat->state : '\0';
}

bool processExists(std::int64_t pid) {
    char state = processState(pid);
    return state != '\0' && state != 'Z' && state != 'X';
}

std::vector<std::int64_t> childrenOf(std::int64_t pid) {
    std::vector<std::int64_t> children;
    for (auto candidate : allPIDs()) {
        auto stat = procStat(candidate);
        if (stat && stat->ppid == pid) children.push_back(candidate);
    }
    return children;
}

std::vector<std::int64_t> processesInSession(std::int64_t sid) {
    std::vector<std::int64_t> members;
    if (sid <= 1) return members;
    for (auto candidate : allPIDs()) {
        auto stat = procStat(candidate);
        if (stat && stat->session == sid) members.push_back(candidate);
    }
    return members;
}

void killSession(std::int64_t sid) {
    if (sid <= 1) return;
    auto members = processesInSession(sid);
    for (auto pid : members) ::kill(static_cast<pid_t>(pid), SIGCONT);
    for (auto pid : members) ::kill(static_cast<pid_t>(pid), SIGKILL);
    waitUntil([&] { return std::none_of(members.begin(), members.end(), processExists); }, std::chrono::seconds(5));
}

std::optional<std::int64_t> readHeartbeat(const std::string& path) {
    std::ifstream in(path);
    std::string text;
    if (!in || !std::getline(in, text)) return std::nullopt;
    return parseInteger(text);
}

bool heartbeatAdvances(const std::string& path, std::chrono::milliseconds timeout) {
    auto first = readHeartbeat(path).value_or(0);
    return waitUntil([&] { return readHeartbeat(path).value_or(0) > first; }, timeout);
}

int runProgram(const std::vector<std::string>& arguments, std::string* output) {
    return runWithEnvironment(arguments, environmentWith({}), output);
}

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, const SpawnOptions& options) {
    if (arguments.empty()) throw std::invalid_argument("ChildProcess needs a program");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, options.stdinPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, options.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, options.stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setpgroup(&attributes, 0);
    resetSignals(attributes, options.newSession ? POSIX_SPAWN_SETSID : POSIX_SPAWN_SETPGROUP);
    std::vector<std::string> words = arguments;
    auto argv = pointersTo(words);
    auto environment = environmentWith(options.environment);
    auto envp = pointersTo(environment);
    int spawned = posix_spawnp(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) throw std::runtime_error("could not start " + arguments[0] + ": " + std::strerror(spawned));
}

ChildProcess::~ChildProcess() {
    kill();
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (reaped_) return std::nullopt;
    int status = 0;
    bool done = waitUntil(
        [&] {
            pid_t result = waitpid(pid_, &status, WNOHANG);
            return result == pid_ || (result < 0 && errno == ECHILD);
        },
        timeout, std::chrono::milliseconds(2));
    if (!done) return std::nullopt;
    reaped_ = true;
    return status;
}

void ChildProcess::kill() {
    if (reaped_ || pid_ <= 0) return;
    // The group first (it may hold processes the child started), then the child itself in case it moved
    // to a group of its own.
    ::kill(-pid_, SIGCONT);
    ::kill(pid_, SIGCONT);
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
}

TmuxServer::TmuxServer() : name_(uniqueName("tmux")) {}

TmuxServer::~TmuxServer() {
    std::string panes;
    run({"list-panes", "-a", "-F", "#{pane_pid}"}, &panes);
    std::istringstream lines(panes);
    std::string line;
    while (std::getline(lines, line)) {
        if (auto pid = parseInteger(line)) paneSessions_.push_back(*pid);
    }
    run({"kill-server"});
    // tmux ends its panes with SIGHUP, which a stopped or frozen process does not act on; end them for good.
    for (auto sid : paneSessions_) killSession(sid);
    // The server leaves its socket behind.
    const char* base = std::getenv("TMUX_TMPDIR");
    std::string directory = std::string(base && *base ? base : "/tmp") + "/tmux-" + std::to_string(getuid());
    unlink((directory + "/" + name_).c_str());
}

int TmuxServer::run(const std::vector<std::string>& arguments, std::string* output) const {
    std::vector<std::string> command = {"tmux", "-L", name_, "-f", "/dev/null"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return runWithEnvironment(command, multiplexerEnvironment(), output);
}

std::int64_t TmuxServer::newSession(const std::string& session, const std::string& command, int width, int height) {
    if (run({"new-session", "-d", "-s", session, "-x", std::to_string(width), "-y", std::to_string(height), command}) !=
        0) {
        return -1;
    }
    std::int64_t pid = panePID(session);
    // tmux makes every pane's process a session leader, so the pid names its whole session.
    if (pid > 0) paneSessions_.push_back(pid);
    return pid;
}

std::int64_t TmuxServer::panePID(const std::string& session) const {
    std::string output;
    if (run({"display-message", "-p", "-t", session, "#{pane_pid}"}, &output) != 0) return -1;
    return parseInteger(trimmed(output)).value_or(-1);
}

std::string TmuxServer::capture(const std::string& session) const {
    std::string output;
    run({"capture-pane", "-p", "-J", "-S", "-", "-t", session}, &output);
    return output;
}

void TmuxServer::sendKeys(const std::string& session, const std::string& text, bool enter) const {
    run({"send-keys", "-t", session, "-l", text});
    if (enter) run({"send-keys", "-t", session, "Enter"});
}

ScreenSession::ScreenSession(const std::vector<std::string>& command) : name_(uniqueName("screen")) {
    std::vector<std::string> arguments = {"screen", "-DmS", name_};
    arguments.insert(arguments.end(), command.begin(), command.end());
    SpawnOptions options;
    options.environment = {"TERM=xterm-256color"};
    server_ = std::make_unique<ChildProcess>(arguments, options);
}

ScreenSession::~ScreenSession() {
    for (auto pid : childrenOf(server_->pid())) windowSessions_.push_back(pid);
    runWithEnvironment({"screen", "-S", name_, "-X", "quit"}, multiplexerEnvironment(), nullptr);
    server_->wait(std::chrono::seconds(5));
    server_.reset();
    for (auto sid : windowSessions_) killSession(sid);
    runWithEnvironment({"screen", "-wipe", name_}, multiplexerEnvironment(), nullptr);
}

std::int64_t ScreenSession::windowPID(std::chrono::milliseconds timeout) {
    std::int64_t window = -1;
    waitUntil(
        [&] {
            auto children = childrenOf(server_->pid());
            if (children.empty()) return false;
            window = children.front();
            return true;
        },
        timeout);
    if (window > 0 && std::find(windowSessions_.begin(), windowSessions_.end(), window) == windowSessions_.end()) {
        windowSessions_.push_back(window);
    }
    return window;
}

StandIn::StandIn(const std::string& directoryPath)
    : directory(directoryPath),
      heartbeat(directoryPath + "/heartbeat"),
      settings(directoryPath + "/settings.json"),
      limits(directoryPath + "/limits.json"),
      statusFile(directoryPath + "/status-line"),
      pidFile(directoryPath + "/pid") {
    writeFile(settings, "{}\n");
}

StandIn& StandIn::withCommand(const std::string& command) {
    std::string escaped;
    for (char c : command) {
        if (c == '"' || c == '\\') escaped += '\\';
        escaped += c;
    }
    writeFile(settings, "{\"statusLine\": {\"type\": \"command\", \"command\": \"" + escaped + "\"}}\n");
    return *this;
}

StandIn& StandIn::withFiveHour(double usedPercentage, double resetsAt) {
    std::ostringstream text;
    text.precision(17);
    text << "{\"five_hour\": {\"used_percentage\": " << usedPercentage << ", \"resets_at\": " << resetsAt << "}}\n";
    writeFile(limits, text.str());
    return *this;
}

std::vector<std::string> StandIn::arguments(int periodMs) const {
    std::vector<std::string> words = {supportProgram("claude"),
                                      "--settings",
                                      settings,
                                      "--period-ms",
                                      std::to_string(periodMs),
                                      "--heartbeat",
                                      heartbeat,
                                      "--limits-file",
                                      limits,
                                      "--status-file",
                                      statusFile,
                                      "--pid-file",
                                      pidFile};
    words.insert(words.end(), extra.begin(), extra.end());
    return words;
}

std::string StandIn::commandLine(int periodMs) const {
    std::string line;
    for (const auto& word : arguments(periodMs)) {
        if (!line.empty()) line += ' ';
        line += shellQuote(word);
    }
    return line;
}

std::int64_t StandIn::pid() const {
    std::int64_t found = 0;
    waitUntil([&] {
        found = std::atoll(readFile(pidFile).c_str());
        return found > 0;
    });
    return found;
}

bool heldByKernel(std::int64_t pid) {
    const char state = processState(pid);
    if (state == 'T') return true;
    if (state == '\0' || state == 'Z') return false;
    auto mount = CgroupV2::mount();
    auto directory = mount ? CgroupV2::directoryOf(*mount, pid) : std::nullopt;
    if (!directory) return false;
    return CgroupV2::keyedValue(CgroupV2::read(*directory + "/cgroup.events").value_or(""), "frozen") == "1";
}

namespace {

std::string whatItDoes(std::int64_t pid) {
    auto mount = CgroupV2::mount();
    auto directory = mount ? CgroupV2::directoryOf(*mount, pid) : std::nullopt;
    return "pid " + std::to_string(pid) + " is in state " + std::string(1, processState(pid)) + " in cgroup " +
           directory.value_or("?");
}

}  // namespace

::testing::AssertionResult expectHeld(std::int64_t pid, std::chrono::milliseconds timeout) {
    if (pid <= 0) return ::testing::AssertionFailure() << "no process to hold";
    if (waitUntil([&] { return heldByKernel(pid); }, timeout)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "not held: " << whatItDoes(pid);
}

::testing::AssertionResult expectHeld(const StandIn& standIn, std::chrono::milliseconds timeout) {
    return expectHeld(standIn.pid(), timeout);
}

::testing::AssertionResult expectStaysHeld(std::int64_t pid, const std::string& heartbeat,
                                           std::chrono::milliseconds window) {
    auto first = readHeartbeat(heartbeat);
    const auto end = std::chrono::steady_clock::now() + window;
    while (std::chrono::steady_clock::now() < end) {
        if (!heldByKernel(pid)) return ::testing::AssertionFailure() << "no longer held: " << whatItDoes(pid);
        if (readHeartbeat(heartbeat) != first) {
            return ::testing::AssertionFailure() << "the heartbeat moved on from " << first.value_or(-1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return ::testing::AssertionSuccess();
}

std::string shellQuote(const std::string& word) {
    bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("/._-=:,+@%", c);
    });
    if (plain) return word;
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

}  // namespace tracker::test
