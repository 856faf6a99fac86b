// What the real daemon costs and how fast it holds, measured from the outside with the real programs:
// tarnel-vovivida as it is started, and Claude Code stand-ins (tests/support/claude) whose status line is
// the real tarnel-tee, so every refresh writes a real record. Nothing of the daemon is linked or called:
// the same binary measures several builds side by side in one run, e.g. today's build and a new one:
//
//   DaemonCostBench --build /tmp/base-build --build build
//
// 1. cpu: the daemon's CPU (sum of the first field of /proc/<pid>/task/*/schedstat, nanoseconds on CPU)
//    over a window, the daemon at its defaults (only --state-dir and --notify off), with 5 sessions
//    refreshing every 2 s below the threshold, at ~100, ~1,000 and ~3,000 extra idle processes
//    (forked children that pause()). Also how often per second it was put on a CPU (third field: its
//    wake-ups, plus the preemptions a busy machine adds).
//    The sessions start together, so their refreshes come in bursts, as several sessions do in real use.
// 2. reaction: from a record crossing the threshold to its session held (cgroup frozen or state T);
//    median and p90 over several runs. 5 sessions; all of them cross together (the five-hour window is
//    the account's), and the change is made just after a burst of refreshes, so the first record of the
//    next burst is the crossing one. The time starts when the record lands (inotify on sessions/).
// 3. hold: from the crossing record to all 50 sessions held, twice:
//    - freezer: daemon and sessions as we are (root): the daemon holds through the cgroup v2 freezer;
//    - sigstop: daemon and sessions as an unprivileged user (default "nobody", as the tests use for
//      "another user"), started in our own cgroup, which that user cannot write: the daemon cannot make
//      its freeze group there and falls back to SIGSTOP/SIGCONT, as in an SSH login where the session
//      scope belongs to root. The sessions run without a terminal in sessions of their own (setsid,
//      shape A), never under a multiplexer, so SIGSTOP holds. Each held session is checked for how it
//      was held (state T or a frozen cgroup) and the mechanism is printed.
//
// Everything started here is ended here, also on failure and on Ctrl-C (SIGINT, SIGTERM, SIGHUP): the
// daemons first with SIGTERM (they continue what they hold), then the sessions and idle processes; any
// freeze group tarnel-freeze-<pid> of our sessions is thawed and removed, the temporary directory removed.
// Every child also gets a parent-death signal (the daemon SIGTERM, the rest SIGKILL) should this program
// be killed outright, and this program is the subreaper of what its children leave behind.
//
// Run it alone: every daemon's sweep continues held claude processes that its own pause does not name,
// so a holding test or another daemon beside it would thaw our sessions, and ours theirs.

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// ---------------------------------------------------------------------------------------------------------
// Time, interruption, files

volatile sig_atomic_t interrupted = 0;
struct Interrupted {};

void onInterrupt(int) {
    interrupted = 1;
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double wallNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void checkInterrupt() {
    if (interrupted) throw Interrupted{};
}

// Sleeps, but gives way to Ctrl-C.
void nap(double seconds) {
    double deadline = now() + seconds;
    for (;;) {
        checkInterrupt();
        double left = deadline - now();
        if (left <= 0) return;
        usleep(static_cast<useconds_t>(std::min(left, 0.01) * 1e6));
    }
}

// For the way out, where Ctrl-C must not stop the cleaning.
void quietNap(double seconds) {
    usleep(static_cast<useconds_t>(seconds * 1e6));
}

bool waitFor(const std::function<bool()>& condition, double timeout, double step = 0.005) {
    double deadline = now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (now() >= deadline) return false;
        nap(step);
    }
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// Replaces the file in one step, as the stand-in expects of its limits file.
void writeAtomically(const std::string& path, const std::string& text) {
    std::string temporary = path + ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot write " + temporary + ": " + std::strerror(errno));
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        throw std::runtime_error("cannot write " + path);
    }
}

void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// ---------------------------------------------------------------------------------------------------------
// Processes we start

struct Account {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string name;
};

// Process groups we started and have not reaped yet (every child leads a group or session of its own).
std::set<pid_t> started;

void endGroup(pid_t pid) {
    if (pid <= 0) return;
    ::kill(-pid, SIGCONT);
    ::kill(pid, SIGCONT);
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
}

// Waits (without giving way to Ctrl-C) for a child to end and reaps it.
bool waitExit(pid_t pid, double timeout) {
    double deadline = now() + timeout;
    for (;;) {
        pid_t result = ::waitpid(pid, nullptr, WNOHANG);
        if (result == pid || (result < 0 && errno == ECHILD)) {
            started.erase(pid);
            return true;
        }
        if (now() >= deadline) return false;
        quietNap(0.002);
    }
}

bool childRunning(pid_t pid) {
    if (pid <= 0) return false;
    pid_t result = ::waitpid(pid, nullptr, WNOHANG);
    if (result == pid || (result < 0 && errno == ECHILD)) {
        started.erase(pid);
        return false;
    }
    return true;
}

// Reaps whatever has ended: our children and the orphans handed to us as their subreaper.
void reapStrays() {
    for (;;) {
        pid_t result = ::waitpid(-1, nullptr, WNOHANG);
        if (result <= 0) return;
        started.erase(result);
    }
}

struct Launch {
    std::vector<std::string> argv;
    std::vector<std::string> environment;  // "NAME=value", added to ours or replacing
    bool newSession = false;               // setsid (no terminal at all); else a process group of its own
    const Account* account = nullptr;      // run as this user
    int deathSignal = SIGKILL;             // sent to it when we die
    std::string stdoutPath = "/dev/null";
    std::string stderrPath = "/dev/null";
    int stdoutFD = -1;
};

pid_t launch(const Launch& request) {
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        std::string text = *entry;
        bool replaced = std::any_of(request.environment.begin(), request.environment.end(),
                                    [&](const std::string& added) { return nameOf(added) == nameOf(text); });
        if (!replaced) environment.push_back(text);
    }
    environment.insert(environment.end(), request.environment.begin(), request.environment.end());
    std::vector<std::string> words = request.argv;
    std::vector<char*> argv, envp;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    const pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int signal = 1; signal < NSIG; ++signal) {
            if (signal != SIGKILL && signal != SIGSTOP) ::signal(signal, SIG_DFL);
        }
        if (request.newSession) {
            ::setsid();
        } else {
            ::setpgid(0, 0);
        }
        int in = ::open("/dev/null", O_RDONLY);
        int out = request.stdoutFD >= 0 ? request.stdoutFD
                                        : ::open(request.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        int err = ::open(request.stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in < 0 || out < 0 || err < 0) _exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::close_range(3, ~0U, 0);
        if (request.account) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(request.account->gid) != 0 ||
                ::setuid(request.account->uid) != 0) {
                _exit(126);
            }
        }
        // After the change of user, which clears it.
        ::prctl(PR_SET_PDEATHSIG, request.deathSignal);
        if (::getppid() != parent) _exit(1);
        ::execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (!request.newSession) ::setpgid(pid, pid);
    started.insert(pid);
    return pid;
}

// ---------------------------------------------------------------------------------------------------------
// /proc and the cgroup tree

int processCount() {
    int count = 0;
    if (DIR* proc = ::opendir("/proc")) {
        while (dirent* entry = ::readdir(proc)) {
            if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9') ++count;
        }
        ::closedir(proc);
    }
    return count;
}

char processState(pid_t pid) {
    std::string text = readText("/proc/" + std::to_string(pid) + "/stat");
    auto close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size()) return '\0';
    return text[close + 2];
}

// Time on CPU (ns), time waiting to run (ns) and times put on a CPU, summed over the process's threads.
struct SchedStat {
    std::uint64_t onCPU = 0;
    std::uint64_t waiting = 0;
    std::uint64_t slices = 0;
    int threads = 0;
};

SchedStat schedStat(pid_t pid) {
    SchedStat total;
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* dir = ::opendir(tasks.c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
            std::istringstream fields(readText(tasks + "/" + entry->d_name + "/schedstat"));
            std::uint64_t onCPU = 0, waiting = 0, slices = 0;
            if (fields >> onCPU >> waiting >> slices) {
                total.onCPU += onCPU;
                total.waiting += waiting;
                total.slices += slices;
                ++total.threads;
            }
        }
        ::closedir(dir);
    }
    return total;
}

// utime + stime of /proc/<pid>/stat in clock ticks: a coarse cross-check of schedstat.
long cpuTicks(pid_t pid) {
    std::string text = readText("/proc/" + std::to_string(pid) + "/stat");
    auto close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; fields >> field && i <= 15; ++i) {
        if (i == 14 || i == 15) ticks += std::atol(field.c_str());
    }
    return ticks;
}

// The machine's load: the other work beside the benchmark.
std::string loadAverage() {
    std::istringstream fields(readText("/proc/loadavg"));
    std::string one, five, fifteen;
    fields >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// Where cgroup2 is mounted ("" without one).
const std::string& cgroupMount() {
    static const std::string mount = [] {
        std::istringstream lines(readText("/proc/self/mountinfo"));
        std::string line;
        while (std::getline(lines, line)) {
            auto dash = line.find(" - ");
            if (dash == std::string::npos) continue;
            std::istringstream after(line.substr(dash + 3));
            std::string type;
            after >> type;
            if (type != "cgroup2") continue;
            std::istringstream before(line.substr(0, dash));
            std::string id, parent, device, root, point;
            before >> id >> parent >> device >> root >> point;
            return point;
        }
        return std::string();
    }();
    return mount;
}

// The cgroup2 path ("0::" line) of a process, "" when it cannot be read.
std::string cgroupOf(pid_t pid) {
    std::istringstream lines(readText("/proc/" + std::to_string(pid) + "/cgroup"));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("0::", 0) == 0) return line.substr(3);
    }
    return {};
}

std::string cgroupDirectory(const std::string& cgroup) {
    return cgroupMount() + (cgroup == "/" ? "" : cgroup);
}

enum class Hold { none, stopped, frozen };

// Held: stopped by a signal, or in a frozen cgroup (whatever its name).
Hold holdOf(pid_t pid) {
    char state = processState(pid);
    if (state == 'T') return Hold::stopped;
    if (cgroupMount().empty()) return Hold::none;
    std::string cgroup = cgroupOf(pid);
    if (cgroup.empty() || cgroup == "/") return Hold::none;
    std::string events = readText(cgroupDirectory(cgroup) + "/cgroup.events");
    return events.find("frozen 1") != std::string::npos ? Hold::frozen : Hold::none;
}

// Thaws a freeze group, moves what is left in it to its parent and removes it.
void dismantleGroup(const std::string& directory) {
    if (!exists(directory)) return;
    std::string parent = directory.substr(0, directory.rfind('/'));
    {
        std::ofstream freeze(directory + "/cgroup.freeze");
        freeze << "0";
    }
    for (int attempt = 0; attempt < 200; ++attempt) {
        std::istringstream members(readText(directory + "/cgroup.procs"));
        std::string member;
        while (members >> member) {
            std::ofstream procs(parent + "/cgroup.procs");
            procs << member;
        }
        if (::rmdir(directory.c_str()) == 0 || errno == ENOENT) return;
        quietNap(0.01);
    }
    say("warning: could not remove %s: %s", directory.c_str(), std::strerror(errno));
}

bool isFreezeGroupName(const std::string& name) {
    return name.rfind("tarnel-freeze-", 0) == 0;
}

// ---------------------------------------------------------------------------------------------------------
// The programs of one build

struct Programs {
    std::string label;
    std::string daemon;   // tarnel-vovivida
    std::string tee;      // tarnel-tee
    std::string standIn;  // the Claude Code stand-in, named claude
};

// Copies of the programs that another user can surely run (our build tree may sit where it cannot look).
Programs copiedFor(const Programs& programs, const std::string& directory) {
    fs::create_directories(directory);
    ::chmod(directory.c_str(), 0755);
    Programs copy = programs;
    copy.daemon = directory + "/tarnel-vovivida";
    copy.tee = directory + "/tarnel-tee";
    copy.standIn = directory + "/claude";
    fs::copy_file(programs.daemon, copy.daemon, fs::copy_options::overwrite_existing);
    fs::copy_file(programs.tee, copy.tee, fs::copy_options::overwrite_existing);
    fs::copy_file(programs.standIn, copy.standIn, fs::copy_options::overwrite_existing);
    for (const auto& path : {copy.daemon, copy.tee, copy.standIn}) ::chmod(path.c_str(), 0755);
    return copy;
}

void handTo(const std::string& path, const Account* account) {
    if (account && ::chown(path.c_str(), account->uid, account->gid) != 0) {
        throw std::runtime_error("cannot hand " + path + " to " + account->name + ": " + std::strerror(errno));
    }
}

// ---------------------------------------------------------------------------------------------------------
// Idle processes: one process re-executed from this binary ("--idle-herd N") that forks N-1 children which
// only pause(); it says "ready" when all are there, and on SIGTERM kills and reaps them and ends.

volatile sig_atomic_t herdEnding = 0;
void onHerdTerm(int) {
    herdEnding = 1;
}

int herdMain(int count) {
    struct sigaction action {};
    action.sa_handler = onHerdTerm;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    sigset_t term, previous;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, &previous);
    sigdelset(&previous, SIGTERM);

    const pid_t self = ::getpid();
    std::vector<pid_t> children;
    std::string failure;
    for (int i = 1; i < count && !herdEnding; ++i) {
        pid_t child = ::fork();
        if (child == 0) {
            ::signal(SIGTERM, SIG_DFL);
            sigprocmask(SIG_SETMASK, &previous, nullptr);
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != self) _exit(0);
            for (;;) ::pause();
        }
        if (child < 0) {
            failure = std::string("fork failed after ") + std::to_string(i) + " processes: " + std::strerror(errno);
            break;
        }
        children.push_back(child);
    }
    std::string line = failure.empty() ? "ready " + std::to_string(children.size() + 1) + "\n" : failure + "\n";
    ssize_t ignored = ::write(1, line.data(), line.size());
    (void)ignored;
    while (!herdEnding) sigsuspend(&previous);
    for (pid_t child : children) ::kill(child, SIGKILL);
    for (pid_t child : children) ::waitpid(child, nullptr, 0);
    return 0;
}

class Herd {
public:
    explicit Herd(int count) {
        if (count <= 0) return;
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        Launch request;
        request.argv = {fs::canonical("/proc/self/exe").string(), "--idle-herd", std::to_string(count)};
        request.stdoutFD = fds[1];
        try {
            pid_ = launch(request);
        } catch (...) {
            ::close(fds[0]);
            ::close(fds[1]);
            throw;
        }
        ::close(fds[1]);
        std::string line;
        try {
            double deadline = now() + 120;
            while (line.find('\n') == std::string::npos && now() < deadline) {
                checkInterrupt();
                pollfd readable{fds[0], POLLIN, 0};
                if (::poll(&readable, 1, 50) <= 0) continue;
                char buffer[256];
                ssize_t n = ::read(fds[0], buffer, sizeof buffer);
                if (n <= 0) break;
                line.append(buffer, static_cast<std::size_t>(n));
            }
            ::close(fds[0]);
            if (line.rfind("ready", 0) != 0) {
                throw std::runtime_error("could not start " + std::to_string(count) +
                                         " idle processes: " + (line.empty() ? "no answer" : line));
            }
        } catch (...) {
            stop();
            throw;
        }
    }
    ~Herd() { stop(); }
    Herd(const Herd&) = delete;
    Herd& operator=(const Herd&) = delete;

    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        if (!waitExit(pid_, 30)) {
            endGroup(pid_);
            waitExit(pid_, 5);
        }
        pid_ = -1;
        // Children killed with the herd come to us as their subreaper.
        for (int i = 0; i < 100; ++i) {
            reapStrays();
            quietNap(0.005);
        }
    }

private:
    pid_t pid_ = -1;
};

// ---------------------------------------------------------------------------------------------------------
// The daemon

class Daemon {
public:
    Daemon(const Programs& programs, const std::string& stateDir, const std::vector<std::string>& extra,
           const Account* account, const std::string& stderrPath)
        : stateDir_(stateDir) {
        Launch request;
        request.argv = {programs.daemon, "--state-dir", stateDir, "--notify", "off"};
        request.argv.insert(request.argv.end(), extra.begin(), extra.end());
        request.account = account;
        request.deathSignal = SIGTERM;  // so that it continues what it holds
        request.stderrPath = stderrPath;
        stderrPath_ = stderrPath;
        pid_ = launch(request);
        try {
            // Up once it has published its pid (or at least its log); a daemon without either is given a moment.
            waitFor([&] { return exists(stateDir + "/daemon.pid") || exists(stateDir + "/daemon.log"); }, 5);
            nap(0.3);
            if (!alive()) throw std::runtime_error("the daemon " + programs.daemon + " ended at once: " + diagnosis());
        } catch (...) {
            stop();
            throw;
        }
    }
    ~Daemon() { stop(); }
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    pid_t pid() const { return pid_; }
    bool alive() { return childRunning(pid_); }

    // SIGTERM: it continues whatever it holds and ends.
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGCONT);
        ::kill(pid_, SIGTERM);
        if (!waitExit(pid_, 20)) {
            say("warning: the daemon pid %d did not end on SIGTERM; killing it", pid_);
            endGroup(pid_);
            waitExit(pid_, 5);
        }
        pid_ = -1;
    }

    // The end of its log and its standard error.
    std::string diagnosis() const {
        std::string log = readText(stateDir_ + "/daemon.log");
        if (log.size() > 1500) log = "..." + log.substr(log.size() - 1500);
        std::string errors = readText(stderrPath_);
        if (errors.size() > 500) errors = "..." + errors.substr(errors.size() - 500);
        return "\n--- daemon.log (end) ---\n" + log + "--- stderr ---\n" + errors;
    }

private:
    std::string stateDir_;
    std::string stderrPath_;
    pid_t pid_ = -1;
};

// ---------------------------------------------------------------------------------------------------------
// Sessions: stand-ins refreshing their status line through the real tee, each in a session of its own

struct Session {
    std::string id;
    std::string directory;
    std::string limits;
    std::string heartbeat;
    std::string record;
    std::string cgroup;  // where it was started
    pid_t pid = -1;
};

std::optional<double> recordUsed(const std::string& path) {
    json document = json::parse(readText(path), nullptr, false);
    if (document.is_discarded() || !document.is_object()) return std::nullopt;
    auto limits = document.find("rate_limits");
    if (limits == document.end() || !limits->is_object()) return std::nullopt;
    auto window = limits->find("five_hour");
    if (window == limits->end() || !window->is_object()) return std::nullopt;
    auto used = window->find("used_percentage");
    if (used == window->end() || !used->is_number()) return std::nullopt;
    return used->get<double>();
}

long heartbeatOf(const Session& session) {
    return std::strtol(readText(session.heartbeat).c_str(), nullptr, 10);
}

class SessionSet {
public:
    SessionSet(const Programs& programs, const std::string& directory, const std::string& stateDir, int count,
               int periodMs, double used, double resetsAt, const Account* account)
        : resetsAt_(resetsAt) {
        try {
            fs::create_directories(directory);
            ::chmod(directory.c_str(), 0755);
            const std::string ownCgroup = cgroupOf(::getpid());
            for (int i = 0; i < count; ++i) {
                char name[32];
                std::snprintf(name, sizeof name, "cost-%02d", i + 1);
                Session session;
                session.id = name;
                session.directory = directory + "/" + name;
                session.limits = session.directory + "/limits.json";
                session.heartbeat = session.directory + "/heartbeat";
                session.record = stateDir + "/sessions/" + session.id + ".json";
                session.cgroup = ownCgroup;
                fs::create_directories(session.directory);
                handTo(session.directory, account);
                std::string settings = session.directory + "/settings.json";
                writeAtomically(settings,
                                json{{"statusLine", {{"type", "command"}, {"command", programs.tee}}}}.dump() + "\n");
                writeAtomically(session.limits, limitsText(used));
                sessions_.push_back(session);
            }
            // Started back to back, so that their refreshes come in bursts.
            for (auto& session : sessions_) {
                Launch request;
                request.argv = {programs.standIn,
                                "--settings",
                                session.directory + "/settings.json",
                                "--period-ms",
                                std::to_string(periodMs),
                                "--session-id",
                                session.id,
                                "--limits-file",
                                session.limits,
                                "--heartbeat",
                                session.heartbeat,
                                "--lifetime-s",
                                "7200"};
                request.environment = {"VAZ_ADODIVO_STATE_DIR=" + stateDir};
                request.newSession = true;
                request.account = account;
                session.pid = launch(request);
            }
        } catch (...) {
            end();
            throw;
        }
    }
    ~SessionSet() { end(); }
    SessionSet(const SessionSet&) = delete;
    SessionSet& operator=(const SessionSet&) = delete;

    std::vector<Session>& all() { return sessions_; }

    std::string limitsText(double used) const {
        return json{{"five_hour", {{"used_percentage", used}, {"resets_at", resetsAt_}}}}.dump() + "\n";
    }

    // What every session reports from its next refresh on.
    void setUsed(double used) {
        for (const auto& session : sessions_) writeAtomically(session.limits, limitsText(used));
    }

    // Every session has a record, all of them below the threshold.
    bool allRecordedBelow(double threshold) const {
        return std::all_of(sessions_.begin(), sessions_.end(), [&](const Session& session) {
            auto used = recordUsed(session.record);
            return used && *used < threshold;
        });
    }

    bool anyHeld() const {
        return std::any_of(sessions_.begin(), sessions_.end(),
                           [](const Session& session) { return holdOf(session.pid) != Hold::none; });
    }

    std::vector<long> heartbeats() const {
        std::vector<long> beats;
        for (const auto& session : sessions_) beats.push_back(heartbeatOf(session));
        return beats;
    }

    // Ends every stand-in with all it started and removes any freeze group left for it.
    void end() {
        std::set<std::string> groups;
        for (auto& session : sessions_) {
            if (session.pid <= 0) continue;
            std::string now = cgroupOf(session.pid);
            if (!now.empty() && now != session.cgroup) groups.insert(cgroupDirectory(now));
            groups.insert(cgroupDirectory(session.cgroup) + "/tarnel-freeze-" + std::to_string(session.pid));
            endGroup(session.pid);
        }
        for (auto& session : sessions_) {
            if (session.pid <= 0) continue;
            if (!waitExit(session.pid, 10)) say("warning: stand-in pid %d did not end", session.pid);
            session.pid = -1;
        }
        reapStrays();
        for (const auto& group : groups) {
            std::string name = group.substr(group.rfind('/') + 1);
            if (isFreezeGroupName(name)) dismantleGroup(group);
        }
        sessions_.clear();
    }

private:
    double resetsAt_;
    std::vector<Session> sessions_;
};

// ---------------------------------------------------------------------------------------------------------
// Watching records land

class RecordWatch {
public:
    explicit RecordWatch(const std::string& directory) {
        fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ < 0 || ::inotify_add_watch(fd_, directory.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
            throw std::runtime_error("cannot watch " + directory + ": " + std::strerror(errno));
        }
    }
    ~RecordWatch() {
        if (fd_ >= 0) ::close(fd_);
    }
    RecordWatch(const RecordWatch&) = delete;
    RecordWatch& operator=(const RecordWatch&) = delete;

    // Names of the records (.json, not hidden) that landed, waiting up to timeout for the first;
    // *seenAt is when they were read.
    std::vector<std::string> next(double timeout, double* seenAt = nullptr) {
        std::vector<std::string> names;
        double deadline = now() + timeout;
        while (names.empty()) {
            checkInterrupt();
            double left = deadline - now();
            if (left <= 0) break;
            pollfd readable{fd_, POLLIN, 0};
            if (::poll(&readable, 1, static_cast<int>(std::ceil(std::min(left, 0.05) * 1000))) <= 0) continue;
            alignas(inotify_event) char buffer[16384];
            ssize_t n = ::read(fd_, buffer, sizeof buffer);
            double at = now();
            if (n <= 0) continue;
            for (char* at_ = buffer; at_ < buffer + n;) {
                auto* event = reinterpret_cast<inotify_event*>(at_);
                std::string name = event->len ? event->name : "";
                if (!name.empty() && name[0] != '.' && name.size() > 5 && name.ends_with(".json")) {
                    names.push_back(name);
                }
                at_ += sizeof(inotify_event) + event->len;
            }
            if (seenAt) *seenAt = at;
        }
        return names;
    }

    // Forgets the records that landed so far.
    void drain() {
        alignas(inotify_event) char buffer[16384];
        while (::read(fd_, buffer, sizeof buffer) > 0) {
        }
    }

    // Waits for the next burst of records (not one that landed before) and returns once none has landed
    // for `quiet` seconds.
    bool waitBurstEnd(double timeout, double quiet = 0.3) {
        drain();
        if (next(timeout).empty()) return false;
        double last = now();
        while (now() - last < quiet) {
            if (!next(quiet - (now() - last)).empty()) last = now();
        }
        return true;
    }

private:
    int fd_ = -1;
};

struct Crossing {
    double at = 0;
    std::size_t session = 0;
};

// The first record of one of the sessions that says the threshold is reached.
std::optional<Crossing> waitCrossing(RecordWatch& watch, const std::vector<Session>& sessions, double threshold,
                                     double timeout) {
    double deadline = now() + timeout;
    while (now() < deadline) {
        double seenAt = 0;
        auto names = watch.next(deadline - now(), &seenAt);
        for (const auto& name : names) {
            for (std::size_t i = 0; i < sessions.size(); ++i) {
                if (name != sessions[i].id + ".json") continue;
                auto used = recordUsed(sessions[i].record);
                if (used && *used >= threshold) return Crossing{seenAt, i};
            }
        }
    }
    return std::nullopt;
}

// When each session was first seen held after `from` (seconds after it; negative: not within timeout),
// polling until all are, and how each was held.
struct HoldTimes {
    std::vector<double> after;
    std::vector<Hold> how;
    bool all = false;
};

HoldTimes watchHolds(const std::vector<Session>& sessions, double from, double timeout, std::size_t first) {
    HoldTimes times;
    times.after.assign(sessions.size(), -1);
    times.how.assign(sessions.size(), Hold::none);
    std::size_t left = sessions.size();
    double deadline = from + timeout;
    while (left > 0 && now() < deadline) {
        checkInterrupt();
        // The crossing session first, so that its time is not delayed by the others.
        for (std::size_t k = 0; k < sessions.size(); ++k) {
            std::size_t i = (first + k) % sessions.size();
            if (times.after[i] >= 0) continue;
            Hold hold = holdOf(sessions[i].pid);
            if (hold == Hold::none) continue;
            times.after[i] = now() - from;
            times.how[i] = hold;
            --left;
        }
        if (left > 0) usleep(200);
    }
    times.all = left == 0;
    return times;
}

// Ready for the next crossing: no pause, nobody held, every record below the threshold, at least `sinceThaw`
// seconds after the last thaw, and just after a burst of refreshes (so the next burst is all above).
void prepareCrossing(RecordWatch& watch, SessionSet& sessions, const std::string& stateDir, double threshold,
                     double lastThaw, double sinceThaw, double periodSeconds) {
    double deadline = now() + 10 * periodSeconds + 20;
    while (now() < deadline) {
        if (!watch.waitBurstEnd(2 * periodSeconds + 2)) continue;
        if (exists(stateDir + "/pause.json") || sessions.anyHeld()) continue;
        if (!sessions.allRecordedBelow(threshold)) continue;
        if (now() - lastThaw < sinceThaw) continue;
        return;
    }
    throw std::runtime_error("the sessions did not settle below the threshold (pause.json " +
                             std::string(exists(stateDir + "/pause.json") ? "present" : "absent") + ")");
}

// The configuration of the phases that hold: no grace after a thaw, and every session continued at once at
// the reset (builds that space them out would take over a minute for 50).
const char* const noWaits = "{\"grace\": 0, \"thaw_spacing\": 0}\n";

// Sets every session back below the threshold and waits for the thaw. The time of the thaw.
double awaitThaw(SessionSet& sessions, const std::string& stateDir, double threshold, double timeout) {
    sessions.setUsed(threshold - 40);
    if (!waitFor([&] { return !exists(stateDir + "/pause.json") && !sessions.anyHeld(); }, timeout, 0.002)) {
        throw std::runtime_error("no thaw within " + fixed(timeout, 0) + " s");
    }
    return now();
}

// ---------------------------------------------------------------------------------------------------------
// Figures

double median(std::vector<double> values) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Nearest rank.
double percentile(std::vector<double> values, double p) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    std::size_t rank = static_cast<std::size_t>(std::ceil(p / 100 * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

struct Options {
    std::vector<Programs> builds;
    std::set<std::string> phases{"cpu", "reaction", "hold"};
    std::vector<int> procs{100, 1000, 3000};
    double window = 20;
    double settle = 3;
    int sessions = 5;
    int periodMs = 2000;
    int reactions = 12;
    int reactionPeriodMs = 1000;
    int reactionProcs = 1000;
    int holdSessions = 50;
    int holdRuns = 2;
    int holdPeriodMs = 2000;
    int holdProcs = 1000;
    std::string fallbackUser = "nobody";
    double threshold = 90;  // the daemon's default
};

struct CpuResult {
    bool ok = false;
    double share = NAN;      // % of one core
    double statShare = NAN;  // the same from utime + stime (clock ticks)
    double wakeups = NAN;    // per second
    int processes = 0;
    std::string note;
};

struct ReactionResult {
    bool ok = false;
    std::vector<double> crossingHeld;  // ms, the crossing session
    std::vector<double> allHeld;       // ms, every session
    int failed = 0;
    std::string note;
};

struct HoldResult {
    bool ok = false;
    std::vector<double> allHeld;  // s
    int stopped = 0, frozen = 0;  // how the sessions were held, over all runs
    int failed = 0;
    std::string note;
};

std::string makeDirectory(const std::string& path, const Account* account = nullptr) {
    fs::create_directories(path);
    ::chmod(path.c_str(), 0755);
    handTo(path, account);
    return path;
}

// ---------------------------------------------------------------------------------------------------------
// 1. CPU

CpuResult measureCPU(const Options& options, const Programs& programs, const std::string& directory) {
    CpuResult result;
    std::string state = makeDirectory(directory + "/state");
    makeDirectory(state + "/sessions");
    // Declared before the daemon, so that the daemon ends first.
    SessionSet sessions(programs, directory + "/sessions", state, options.sessions, options.periodMs,
                        options.threshold - 40, wallNow() + 3 * 3600, nullptr);
    Daemon daemon(programs, state, {}, nullptr, directory + "/daemon.stderr");
    if (!waitFor([&] { return sessions.allRecordedBelow(options.threshold); }, 15)) {
        throw std::runtime_error("the sessions wrote no records" + daemon.diagnosis());
    }
    nap(options.settle);
    if (!daemon.alive()) throw std::runtime_error("the daemon ended" + daemon.diagnosis());
    result.processes = processCount();
    auto beatsBefore = sessions.heartbeats();
    SchedStat before = schedStat(daemon.pid());
    long ticksBefore = cpuTicks(daemon.pid());
    double start = now();
    nap(options.window);
    SchedStat after = schedStat(daemon.pid());
    long ticksAfter = cpuTicks(daemon.pid());
    double elapsed = now() - start;
    if (!daemon.alive()) throw std::runtime_error("the daemon ended during the window" + daemon.diagnosis());
    auto beatsAfter = sessions.heartbeats();
    result.share = 100.0 * static_cast<double>(after.onCPU - before.onCPU) / (elapsed * 1e9);
    result.wakeups = static_cast<double>(after.slices - before.slices) / elapsed;
    result.statShare =
        100.0 * static_cast<double>(ticksAfter - ticksBefore) / static_cast<double>(::sysconf(_SC_CLK_TCK)) / elapsed;
    result.ok = true;
    long slowest = 1L << 40;
    for (std::size_t i = 0; i < beatsAfter.size(); ++i) slowest = std::min(slowest, beatsAfter[i] - beatsBefore[i]);
    long expected = static_cast<long>(options.window * 1000 / options.periodMs);
    if (slowest < expected - 1) {
        result.note += "a session refreshed only " + std::to_string(slowest) + " times (expected ~" +
                       std::to_string(expected) + "); ";
    }
    if (exists(state + "/pause.json")) result.note += "pause.json appeared; ";
    if (after.threads != before.threads) {
        result.note += "threads " + std::to_string(before.threads) + " -> " + std::to_string(after.threads) +
                       " (ended threads are not counted); ";
    }
    return result;
}

// ---------------------------------------------------------------------------------------------------------
// 2. Reaction

ReactionResult measureReaction(const Options& options, const Programs& programs, const std::string& directory) {
    ReactionResult result;
    std::string state = makeDirectory(directory + "/state");
    std::string sessionsDir = makeDirectory(state + "/sessions");
    // A thaw lets the next crossing freeze at once (the tee's ts is in whole seconds: see prepareCrossing).
    writeAtomically(state + "/config.json", noWaits);
    RecordWatch watch(sessionsDir);
    SessionSet sessions(programs, directory + "/sessions", state, options.sessions, options.reactionPeriodMs,
                        options.threshold - 40, wallNow() + 3 * 3600, nullptr);
    // Declared after the sessions, so that it ends first and continues what it holds.
    Daemon daemon(programs, state, {"--resume-in", "0.5"}, nullptr, directory + "/daemon.stderr");
    const double period = options.reactionPeriodMs / 1000.0;
    double lastThaw = 0;
    for (int run = 0; run < options.reactions; ++run) {
        prepareCrossing(watch, sessions, state, options.threshold, lastThaw, 1.2, period);
        sessions.setUsed(options.threshold + 5);
        auto crossing = waitCrossing(watch, sessions.all(), options.threshold, 3 * period + 2);
        if (!crossing) throw std::runtime_error("no record crossed the threshold" + daemon.diagnosis());
        HoldTimes times = watchHolds(sessions.all(), crossing->at, 10, crossing->session);
        if (times.after[crossing->session] >= 0) {
            result.crossingHeld.push_back(times.after[crossing->session] * 1000);
        } else {
            ++result.failed;
        }
        if (times.all) result.allHeld.push_back(*std::max_element(times.after.begin(), times.after.end()) * 1000);
        lastThaw = awaitThaw(sessions, state, options.threshold, 15);
        if (!daemon.alive()) throw std::runtime_error("the daemon ended" + daemon.diagnosis());
    }
    result.ok = !result.crossingHeld.empty();
    if (result.failed) result.note = std::to_string(result.failed) + " run(s) not held within 10 s";
    return result;
}

// ---------------------------------------------------------------------------------------------------------
// 3. Hold of many sessions

HoldResult measureHold(const Options& options, const Programs& original, const std::string& directory,
                       const Account* account) {
    HoldResult result;
    makeDirectory(directory);
    // Another user runs copies of the programs, from a directory it can read.
    Programs programs = account ? copiedFor(original, directory + "/bin") : original;
    std::string state = makeDirectory(directory + "/state", account);
    std::string sessionsDir = makeDirectory(state + "/sessions", account);
    writeAtomically(state + "/config.json", noWaits);
    handTo(state + "/config.json", account);
    RecordWatch watch(sessionsDir);
    SessionSet sessions(programs, directory + "/sessions", state, options.holdSessions, options.holdPeriodMs,
                        options.threshold - 40, wallNow() + 3 * 3600, account);
    // Declared after the sessions, so that it ends first and continues what it holds.
    Daemon daemon(programs, state, {"--resume-in", "1"}, account, directory + "/daemon.stderr");
    const double period = options.holdPeriodMs / 1000.0;
    if (!waitFor([&] { return sessions.allRecordedBelow(options.threshold); }, 20 + 2 * period)) {
        throw std::runtime_error("not every session wrote a record" + daemon.diagnosis());
    }
    double lastThaw = 0;
    for (int run = 0; run < options.holdRuns; ++run) {
        prepareCrossing(watch, sessions, state, options.threshold, lastThaw, 1.2, period);
        sessions.setUsed(options.threshold + 5);
        auto crossing = waitCrossing(watch, sessions.all(), options.threshold, 3 * period + 2);
        if (!crossing) throw std::runtime_error("no record crossed the threshold" + daemon.diagnosis());
        HoldTimes times = watchHolds(sessions.all(), crossing->at, 60, crossing->session);
        if (times.all) {
            result.allHeld.push_back(*std::max_element(times.after.begin(), times.after.end()));
        } else {
            ++result.failed;
            long held = std::count_if(times.after.begin(), times.after.end(), [](double t) { return t >= 0; });
            result.note += "run " + std::to_string(run + 1) + ": only " + std::to_string(held) + " of " +
                           std::to_string(times.after.size()) + " held within 60 s; ";
        }
        for (Hold how : times.how) {
            if (how == Hold::stopped) ++result.stopped;
            if (how == Hold::frozen) ++result.frozen;
        }
        lastThaw = awaitThaw(sessions, state, options.threshold, 60);
        if (!daemon.alive()) throw std::runtime_error("the daemon ended" + daemon.diagnosis());
    }
    result.ok = !result.allHeld.empty();
    return result;
}

// ---------------------------------------------------------------------------------------------------------
// Command line

[[noreturn]] void usage(const std::string& problem) {
    if (!problem.empty()) std::fprintf(stderr, "DaemonCostBench: %s\n\n", problem.c_str());
    std::fprintf(stderr,
                 "usage: DaemonCostBench [options] --build [LABEL=]DIR [--build [LABEL=]DIR ...]\n"
                 "  --build [LABEL=]DIR     a build tree: DIR/Tracker/{tarnel-vovivida,tarnel-tee}, DIR/tests/claude\n"
                 "  --bin [LABEL=]DIR       a directory holding tarnel-vovivida and tarnel-tee ...\n"
                 "  --stand-in PATH         ... and the Claude Code stand-in (named claude) for the --bin before\n"
                 "  --only LIST             phases, comma-separated: cpu,reaction,hold (default all)\n"
                 "  --procs LIST            extra idle processes of the CPU points (default 100,1000,3000)\n"
                 "  --window S              CPU window per point and build (default 20)\n"
                 "  --settle S              before each window, after the first records (default 3)\n"
                 "  --sessions N            refreshing sessions for cpu and reaction (default 5)\n"
                 "  --period-ms N           their refresh period in the CPU phase (default 2000)\n"
                 "  --reactions N           reaction runs per build (default 12)\n"
                 "  --reaction-period-ms N  refresh period in the reaction phase (default 1000)\n"
                 "  --reaction-procs N      extra idle processes in the reaction phase (default 1000)\n"
                 "  --hold-sessions N       sessions held at once (default 50)\n"
                 "  --hold-runs N           runs per build and way of holding (default 2)\n"
                 "  --hold-period-ms N      their refresh period (default 2000)\n"
                 "  --hold-procs N          extra idle processes in the hold phase (default 1000)\n"
                 "  --fallback-user NAME    user for the SIGSTOP fallback (default nobody)\n"
                 "Measure several builds in one run; the ratios are against the first.\n");
    std::exit(2);
}

std::vector<int> numberList(const std::string& text) {
    std::vector<int> numbers;
    std::istringstream parts(text);
    std::string part;
    while (std::getline(parts, part, ',')) numbers.push_back(std::atoi(part.c_str()));
    return numbers;
}

std::pair<std::string, std::string> labelled(const std::string& text) {
    auto equals = text.find('=');
    if (equals != std::string::npos && equals > 0 && text.find('/') > equals) {
        return {text.substr(0, equals), text.substr(equals + 1)};
    }
    std::string trimmed = text;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    return {fs::path(trimmed).filename().string(), trimmed};
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "-h" || option == "--help") usage("");
        if (i + 1 >= argc) usage("missing value after " + option);
        std::string value = argv[++i];
        if (option == "--build") {
            auto [label, directory] = labelled(value);
            options.builds.push_back({label, directory + "/Tracker/tarnel-vovivida", directory + "/Tracker/tarnel-tee",
                                      directory + "/tests/claude"});
        } else if (option == "--bin") {
            auto [label, directory] = labelled(value);
            options.builds.push_back(
                {label, directory + "/tarnel-vovivida", directory + "/tarnel-tee", directory + "/claude"});
        } else if (option == "--stand-in") {
            if (options.builds.empty()) usage("--stand-in belongs after a --bin");
            options.builds.back().standIn = value;
        } else if (option == "--only") {
            options.phases.clear();
            std::istringstream parts(value);
            std::string part;
            while (std::getline(parts, part, ',')) {
                if (part != "cpu" && part != "reaction" && part != "hold") usage("unknown phase " + part);
                options.phases.insert(part);
            }
        } else if (option == "--procs") {
            options.procs = numberList(value);
        } else if (option == "--window") {
            options.window = std::atof(value.c_str());
        } else if (option == "--settle") {
            options.settle = std::atof(value.c_str());
        } else if (option == "--sessions") {
            options.sessions = std::atoi(value.c_str());
        } else if (option == "--period-ms") {
            options.periodMs = std::atoi(value.c_str());
        } else if (option == "--reactions") {
            options.reactions = std::atoi(value.c_str());
        } else if (option == "--reaction-period-ms") {
            options.reactionPeriodMs = std::atoi(value.c_str());
        } else if (option == "--reaction-procs") {
            options.reactionProcs = std::atoi(value.c_str());
        } else if (option == "--hold-sessions") {
            options.holdSessions = std::atoi(value.c_str());
        } else if (option == "--hold-runs") {
            options.holdRuns = std::atoi(value.c_str());
        } else if (option == "--hold-period-ms") {
            options.holdPeriodMs = std::atoi(value.c_str());
        } else if (option == "--hold-procs") {
            options.holdProcs = std::atoi(value.c_str());
        } else if (option == "--fallback-user") {
            options.fallbackUser = value;
        } else {
            usage("unknown option " + option);
        }
    }
    if (options.builds.empty()) usage("name at least one build");
    for (auto& build : options.builds) {
        for (std::string* path : {&build.daemon, &build.tee, &build.standIn}) {
            if (::access(path->c_str(), X_OK) != 0) usage("not an executable: " + *path);
            *path = fs::canonical(*path).string();
        }
        if (fs::path(build.standIn).filename() != "claude")
            usage("the stand-in must be named claude: " + build.standIn);
    }
    if (options.window <= 0 || options.sessions < 1 || options.periodMs < 100 || options.reactionPeriodMs < 100 ||
        options.holdPeriodMs < 100 || options.holdSessions < 1) {
        usage("bad number");
    }
    return options;
}

// ---------------------------------------------------------------------------------------------------------
// Report

std::string cell(const std::string& text, std::size_t width) {
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

std::string ratioText(double value, double base) {
    if (!std::isfinite(value) || !std::isfinite(base) || base == 0) return "";
    return " (x" + fixed(value / base, 2) + ")";
}

std::string verdict(bool met) {
    return met ? "met" : "MISSED";
}

// A temporary directory, removed with everything in it.
class TempRoot {
public:
    TempRoot() {
        char pattern[] = "/tmp/tarnel-costbench-XXXXXX";
        if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
        path_ = pattern;
        ::chmod(path_.c_str(), 0755);
    }
    ~TempRoot() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

int run(const Options& options) {
    const double began = now();
    const std::size_t builds = options.builds.size();
    TempRoot temporary;
    const std::string loadAtStart = loadAverage();
    say("DaemonCostBench: %zu build(s), working in %s, %d processes on the machine, load %s", builds,
        temporary.path().c_str(), processCount(), loadAtStart.c_str());
    for (const auto& build : options.builds) say("  %-12s %s", build.label.c_str(), build.daemon.c_str());
    if (cgroupMount().empty()) say("  no cgroup2 file system: holds fall back to SIGSTOP everywhere");

    std::map<int, std::vector<CpuResult>> cpu;
    std::vector<ReactionResult> reaction(builds);
    std::map<std::string, std::vector<HoldResult>> hold;
    std::string skipped;
    int status = 0;

    auto attempt = [&](const std::string& what, auto&& body, std::string& note) {
        try {
            body();
        } catch (const Interrupted&) {
            throw;
        } catch (const std::exception& error) {
            note = error.what();
            status = 1;
            say("  %s FAILED: %s", what.c_str(), error.what());
        }
        reapStrays();
    };

    try {
        if (options.phases.count("cpu")) {
            for (int extra : options.procs) {
                say("cpu: starting %d idle processes", extra);
                Herd herd(extra);
                auto& row = cpu[extra];
                row.resize(builds);
                for (std::size_t b = 0; b < builds; ++b) {
                    say("cpu: %d extra, %s: %d sessions every %d ms, %.0f s window", extra,
                        options.builds[b].label.c_str(), options.sessions, options.periodMs, options.window);
                    std::string directory =
                        temporary.path() + "/cpu-" + std::to_string(extra) + "-" + std::to_string(b);
                    attempt(
                        "cpu", [&] { row[b] = measureCPU(options, options.builds[b], directory); }, row[b].note);
                    if (row[b].ok) {
                        say("  %.4f %% of a core (utime+stime: %.2f %%), %.1f runs on a CPU/s, %d processes, load %s "
                            "%s",
                            row[b].share, row[b].statShare, row[b].wakeups, row[b].processes, loadAverage().c_str(),
                            row[b].note.c_str());
                    }
                    std::error_code ignored;
                    fs::remove_all(directory, ignored);
                }
            }
        }
        if (options.phases.count("reaction")) {
            say("reaction: starting %d idle processes", options.reactionProcs);
            Herd herd(options.reactionProcs);
            for (std::size_t b = 0; b < builds; ++b) {
                say("reaction: %s, %d runs, %d sessions every %d ms", options.builds[b].label.c_str(),
                    options.reactions, options.sessions, options.reactionPeriodMs);
                std::string directory = temporary.path() + "/reaction-" + std::to_string(b);
                attempt(
                    "reaction", [&] { reaction[b] = measureReaction(options, options.builds[b], directory); },
                    reaction[b].note);
                if (reaction[b].ok) {
                    std::vector<double> sorted = reaction[b].crossingHeld;
                    std::sort(sorted.begin(), sorted.end());
                    std::string runs;
                    for (double value : sorted) runs += " " + fixed(value, 0);
                    say("  median %.1f ms, p90 %.1f ms (runs, ms:%s), load %s", median(reaction[b].crossingHeld),
                        percentile(reaction[b].crossingHeld, 90), runs.c_str(), loadAverage().c_str());
                }
                std::error_code ignored;
                fs::remove_all(directory, ignored);
            }
        }
        if (options.phases.count("hold")) {
            say("hold: starting %d idle processes", options.holdProcs);
            Herd herd(options.holdProcs);
            std::optional<Account> fallback;
            if (::getuid() != 0) {
                skipped = "sigstop: needs root (to run daemon and sessions as another user)";
            } else if (passwd* found = ::getpwnam(options.fallbackUser.c_str())) {
                fallback = Account{found->pw_uid, found->pw_gid, options.fallbackUser};
            } else {
                skipped = "sigstop: no user " + options.fallbackUser;
            }
            for (const char* mode : {"freezer", "sigstop"}) {
                bool signals = std::string(mode) == "sigstop";
                if (signals && !fallback) {
                    say("hold: %s", skipped.c_str());
                    continue;
                }
                auto& row = hold[mode];
                row.resize(builds);
                for (std::size_t b = 0; b < builds; ++b) {
                    say("hold: %s, %s, %d sessions, %d runs%s", mode, options.builds[b].label.c_str(),
                        options.holdSessions, options.holdRuns, signals ? (", as " + fallback->name).c_str() : "");
                    std::string directory = temporary.path() + "/hold-" + mode + "-" + std::to_string(b);
                    attempt(
                        std::string("hold ") + mode,
                        [&] {
                            row[b] = measureHold(options, options.builds[b], directory, signals ? &*fallback : nullptr);
                        },
                        row[b].note);
                    if (row[b].ok) {
                        say("  all held after %s s (worst %.3f s); held by SIGSTOP %d, frozen cgroup %d %s",
                            fixed(median(row[b].allHeld), 3).c_str(),
                            *std::max_element(row[b].allHeld.begin(), row[b].allHeld.end()), row[b].stopped,
                            row[b].frozen, row[b].note.c_str());
                    }
                    std::error_code ignored;
                    fs::remove_all(directory, ignored);
                }
            }
        }
    } catch (const Interrupted&) {
        say("interrupted: everything started is ended");
        reapStrays();
        return 130;
    }

    // The report, builds side by side; ratios against the first build.
    std::printf("\nDaemonCostBench: builds");
    for (const auto& build : options.builds) std::printf("  %s=%s", build.label.c_str(), build.daemon.c_str());
    std::printf("\n");
    const std::size_t first = 20, width = 30;
    auto header = [&](const std::string& title) {
        std::printf("%s", cell(title, first).c_str());
        for (const auto& build : options.builds) std::printf("%s", cell(build.label, width).c_str());
        std::printf("\n");
    };

    if (!cpu.empty()) {
        std::printf(
            "\nCPU of the daemon, %% of one core (schedstat), %d sessions refreshing every %d ms below the "
            "threshold, %.0f s window; times put on a CPU per second\n",
            options.sessions, options.periodMs, options.window);
        header("extra processes");
        for (const auto& [extra, row] : cpu) {
            std::printf(
                "%s", cell(std::to_string(extra) + " (" + std::to_string(row[0].processes) + " total)", first).c_str());
            for (std::size_t b = 0; b < builds; ++b) {
                std::string text = row[b].ok ? fixed(row[b].share, 4) + " %" + ratioText(row[b].share, row[0].share) +
                                                   ", " + fixed(row[b].wakeups, 1) + "/s"
                                             : "failed";
                std::printf("%s", cell(text, width).c_str());
            }
            std::printf("\n");
        }
        if (cpu.size() >= 2) {
            const auto& low = cpu.begin()->second;
            const auto& high = cpu.rbegin()->second;
            std::printf(
                "%s",
                cell(std::to_string(cpu.rbegin()->first) + "/" + std::to_string(cpu.begin()->first), first).c_str());
            for (std::size_t b = 0; b < builds; ++b) {
                bool ok = low[b].ok && high[b].ok && low[b].share > 0;
                double growth = ok ? high[b].share / low[b].share : NAN;
                std::printf("%s", cell(ok ? "x" + fixed(growth, 2) +
                                                (cpu.begin()->first == 100 && cpu.rbegin()->first == 3000
                                                     ? " (goal <= 1.5: " + verdict(growth <= 1.5) + ")"
                                                     : "")
                                          : "-",
                                       width)
                                      .c_str());
            }
            std::printf("\n");
        }
        if (cpu.count(1000)) {
            std::printf("%s", cell("goal <= 0.05 % @1000", first).c_str());
            for (std::size_t b = 0; b < builds; ++b) {
                const auto& point = cpu[1000][b];
                std::printf("%s", cell(point.ok ? verdict(point.share <= 0.05) : "-", width).c_str());
            }
            std::printf("\n");
        }
        for (const auto& [extra, row] : cpu) {
            for (std::size_t b = 0; b < builds; ++b) {
                if (!row[b].note.empty()) {
                    std::printf("  note %d/%s: %s\n", extra, options.builds[b].label.c_str(), row[b].note.c_str());
                }
            }
        }
    }

    if (options.phases.count("reaction")) {
        std::printf(
            "\nReaction, record crossing the threshold -> its session held, %d runs, %d sessions every %d ms, "
            "%d extra processes\n",
            options.reactions, options.sessions, options.reactionPeriodMs, options.reactionProcs);
        header("");
        auto line = [&](const std::string& title, auto&& value) {
            std::printf("%s", cell(title, first).c_str());
            for (std::size_t b = 0; b < builds; ++b) {
                std::string text = "-";
                if (reaction[b].ok) {
                    double figure = value(reaction[b]);
                    text = fixed(figure, 1) + " ms" + ratioText(figure, reaction[0].ok ? value(reaction[0]) : NAN);
                }
                std::printf("%s", cell(text, width).c_str());
            }
            std::printf("\n");
        };
        line("median", [](const ReactionResult& r) { return median(r.crossingHeld); });
        line("p90", [](const ReactionResult& r) { return percentile(r.crossingHeld, 90); });
        line("all held, median", [](const ReactionResult& r) { return median(r.allHeld); });
        std::printf("%s", cell("goal median <= 50ms", first).c_str());
        for (std::size_t b = 0; b < builds; ++b) {
            std::printf("%s",
                        cell(reaction[b].ok ? verdict(median(reaction[b].crossingHeld) <= 50) : "-", width).c_str());
        }
        std::printf("\n");
        for (std::size_t b = 0; b < builds; ++b) {
            if (!reaction[b].note.empty())
                std::printf("  note %s: %s\n", options.builds[b].label.c_str(), reaction[b].note.c_str());
        }
    }

    if (!hold.empty() || !skipped.empty()) {
        std::printf(
            "\nHold of %d sessions, crossing record -> all held, %d run(s), %d extra processes: median "
            "(worst)\n",
            options.holdSessions, options.holdRuns, options.holdProcs);
        header("");
        for (const auto& [mode, row] : hold) {
            std::printf("%s", cell(mode, first).c_str());
            for (std::size_t b = 0; b < builds; ++b) {
                std::string text = "failed";
                if (row[b].ok) {
                    double worst = *std::max_element(row[b].allHeld.begin(), row[b].allHeld.end());
                    text = fixed(median(row[b].allHeld), 3) + " s (" + fixed(worst, 3) + ")" +
                           ratioText(median(row[b].allHeld), row[0].ok ? median(row[0].allHeld) : NAN);
                }
                std::printf("%s", cell(text, width).c_str());
            }
            std::printf("\n%s", cell("  held by", first).c_str());
            for (std::size_t b = 0; b < builds; ++b) {
                std::printf("%s", cell("SIGSTOP " + std::to_string(row[b].stopped) + ", cgroup " +
                                           std::to_string(row[b].frozen),
                                       width)
                                      .c_str());
            }
            std::printf("\n%s", cell("  goal <= 0.5 s", first).c_str());
            for (std::size_t b = 0; b < builds; ++b) {
                bool ok = row[b].ok && row[b].failed == 0;
                double worst = ok ? *std::max_element(row[b].allHeld.begin(), row[b].allHeld.end()) : NAN;
                std::printf("%s", cell(ok ? verdict(worst <= 0.5) : "-", width).c_str());
            }
            std::printf("\n");
            for (std::size_t b = 0; b < builds; ++b) {
                if (!row[b].note.empty()) {
                    std::printf("  note %s/%s: %s\n", mode.c_str(), options.builds[b].label.c_str(),
                                row[b].note.c_str());
                }
            }
        }
        if (!skipped.empty()) std::printf("  skipped %s\n", skipped.c_str());
    }
    std::printf("\n(%.0f s; load average %s at the start, %s at the end)\n", now() - began, loadAtStart.c_str(),
                loadAverage().c_str());
    std::fflush(stdout);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--idle-herd") return herdMain(std::atoi(argv[2]));
    Options options = parseOptions(argc, argv);
    // Orphans of the stand-ins (a status-line command whose stand-in was killed) come to us to be reaped.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action {};
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
    }
    ::signal(SIGPIPE, SIG_IGN);
    int status = 1;
    try {
        status = run(options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "DaemonCostBench: %s\n", error.what());
    }
    // Anything still standing (nothing, when every object ended what it started).
    for (pid_t pid : std::set<pid_t>(started)) {
        endGroup(pid);
        waitExit(pid, 5);
    }
    reapStrays();
    return status;
}
