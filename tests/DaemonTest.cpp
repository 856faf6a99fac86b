// tarnel-vovivida end to end: the real daemon on a temporary state directory,
// with Claude Code stand-ins running the real tarnel-tee as their status line.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "Core/JSONFile.hpp"
#include "Core/PauseRequest.hpp"
#include "Core/StateDir.hpp"
#include "RealWorld.hpp"
#include "SkipOrFailInCI.hpp"
#include "TestSupport.hpp"

namespace tracker {
namespace {

using namespace std::chrono_literals;
using test::ScopedEnv;
using test::TempDir;

std::string daemonProgram() {
    return test::builtProgram("tarnel-vovivida");
}

std::string madeDirectory(const std::string& path) {
    std::filesystem::create_directories(path);
    return path;
}

// A session that keeps refreshing its status line through the real tee.
struct Session {
    std::string id;
    test::StandIn standIn;
    Session(const std::string& directory, const std::string& sessionID, double used, double resetsAt)
        : id(sessionID), standIn(madeDirectory(directory)) {
        standIn.withCommand(test::builtProgram("tarnel-tee")).withFiveHour(used, resetsAt);
        standIn.extra = {"--session-id", sessionID};
    }
    void setUsed(double used, double resetsAt) { standIn.withFiveHour(used, resetsAt); }
    ::testing::AssertionResult held() const { return test::expectHeld(standIn); }
    bool running() const { return test::heartbeatAdvances(standIn.heartbeat, 5s); }
};

class DaemonE2E : public ::testing::Test {
protected:
    TempDir dir;
    StateDir state{dir.file("state")};
    const double resetsAt = static_cast<double>(std::time(nullptr)) + 3 * 3600;
    std::unique_ptr<test::ChildProcess> daemon;
    std::vector<std::unique_ptr<test::ChildProcess>> children;

    void TearDown() override {
        // A frozen stand-in left behind would hang around: the daemon goes
        // first (it thaws), then the guards continue and kill the rest.
        daemon.reset();
        children.clear();
    }

    std::vector<std::string> stateEnv() const { return {"VAZ_ADODIVO_STATE_DIR=" + state.root()}; }

    // Starts the daemon and waits until it has published its daemon.pid (a
    // --once run may be over before that can be seen: waitForPID false).
    void startDaemon(std::vector<std::string> extra = {}, bool waitForPID = true,
                     std::vector<std::string> environment = {}) {
        std::vector<std::string> arguments{daemonProgram(), "--state-dir", state.root(),  "--notify", "off",
                                           "--poll",        "0.5",         "--log-level", "debug"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        test::SpawnOptions options;
        options.environment = std::move(environment);
        options.stderrPath = dir.file("daemon.stderr");
        daemon = std::make_unique<test::ChildProcess>(arguments, options);
        if (!waitForPID) return;
        // This daemon's, not one a killed daemon left behind.
        ASSERT_TRUE(test::waitUntil([&] {
            auto published = state.readDaemonPID();
            return published && published->pid == daemon->pid();
        })) << stderrText();
    }
    std::string stderrText() const { return test::readFile(dir.file("daemon.stderr")); }
    std::string logText() const { return test::readFile(state.logPath()); }
    bool logHas(const std::string& text) const { return logText().find(text) != std::string::npos; }
    std::size_t count(const std::string& text) const {
        return static_cast<std::size_t>(test::occurrences(logText(), text));
    }

    // Exit status of the daemon, none when it did not end in time.
    std::optional<int> daemonExit(std::chrono::milliseconds timeout = 15s) {
        auto status = daemon->wait(timeout);
        if (!status) return std::nullopt;
        return WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
    }

    Session& shapeA(std::vector<std::unique_ptr<Session>>& sessions, const std::string& id,
                    std::vector<std::string> env = {}) {
        sessions.push_back(std::make_unique<Session>(dir.file(id), id, 50, resetsAt));
        test::SpawnOptions options;
        options.newSession = true;
        options.environment = stateEnv();
        options.environment.insert(options.environment.end(), env.begin(), env.end());
        children.push_back(std::make_unique<test::ChildProcess>(sessions.back()->standIn.arguments(), options));
        return *sessions.back();
    }
    bool recorded(const std::string& id) const { return test::fileExists(state.recordPath(id)); }
};

TEST_F(DaemonE2E, FreezesEveryShapeAtTheThresholdAndThawsAtTheResumeTime) {
    ScopedEnv env("VAZ_ADODIVO_STATE_DIR", state.root());
    std::vector<std::unique_ptr<Session>> sessions;
    Session& a = shapeA(sessions, "session-a");
    Session& exempt = shapeA(sessions, "session-exempt", {"VAZ_ADODIVO_EXEMPT=1"});

    test::TmuxServer tmux;
    sessions.push_back(std::make_unique<Session>(dir.file("session-b"), "session-b", 50, resetsAt));
    Session& b = *sessions.back();
    std::int64_t shell = tmux.newSession("b", "exec bash --norc --noprofile -i");
    ASSERT_GT(shell, 0);
    tmux.sendKeys("b", b.standIn.commandLine());
    sessions.push_back(std::make_unique<Session>(dir.file("session-c"), "session-c", 50, resetsAt));
    Session& c = *sessions.back();
    std::int64_t paneC = tmux.newSession("c", "exec " + c.standIn.commandLine());
    ASSERT_GT(paneC, 0);

    for (const char* id : {"session-a", "session-exempt", "session-b", "session-c"}) {
        ASSERT_TRUE(test::waitUntil([&] { return recorded(id); })) << id;
    }
    startDaemon({"--resume-in", "4"});
    ASSERT_TRUE(test::waitUntil([&] { return logHas("below threshold: 50.0% < 90.0%"); })) << logText();

    for (auto& session : sessions) session->setUsed(95, resetsAt);
    // pause.json comes before the first stop: wait for the freeze to be done.
    ASSERT_TRUE(test::waitUntil([&] { return logHas("[doFreeze] Exit - paused until"); })) << logText();
    auto pause = state.readPause();
    ASSERT_EQ(pause->targets.size(), 3u) << logText();
    EXPECT_TRUE(a.held());
    EXPECT_TRUE(b.held());
    EXPECT_TRUE(c.held());
    EXPECT_TRUE(exempt.running());

    // Shape B in shell-first mode: the shell was held before claude.
    std::int64_t claudeB = 0;
    for (const auto& target : pause->targets) {
        if (target.sessionID == "session-b") {
            EXPECT_EQ(target.shape, Shape::b);
            EXPECT_EQ(target.shellPID, shell);
            claudeB = target.pid;
        }
    }
    ASSERT_GT(claudeB, 0);
    std::string log = logText();
    // The line names the way the process is held: the cgroup freezer where it may be used, else SIGSTOP.
    auto heldLine = [&](std::int64_t pid) {
        std::string rest = " pid=" + std::to_string(pid) + " (session session- shape B) ok";
        auto frozen = log.find("[doFreeze] cgroup freeze" + rest);
        return frozen != std::string::npos ? frozen : log.find("[doFreeze] SIGSTOP" + rest);
    };
    auto shellLine = heldLine(shell);
    auto claudeLine = heldLine(claudeB);
    ASSERT_NE(shellLine, std::string::npos) << log;
    ASSERT_NE(claudeLine, std::string::npos) << log;
    EXPECT_LT(shellLine, claudeLine);

    // At the resume time everything runs again.
    ASSERT_TRUE(test::waitUntil([&] { return test::fileExists(state.lastThawPath()); }, 15s)) << logText();
    EXPECT_FALSE(state.readPause());
    EXPECT_TRUE(a.running());
    EXPECT_TRUE(b.running());
    EXPECT_TRUE(c.running());
    // The shell never took the terminal back: no job-control line, and the
    // stand-in is still the terminal's foreground job.
    EXPECT_EQ(tmux.capture("b").find("Stopped"), std::string::npos) << tmux.capture("b");
    auto stat = test::procStat(claudeB);
    ASSERT_TRUE(stat);
    EXPECT_EQ(stat->tpgid, stat->pgrp);

    // The same window does not freeze again: the decision on the sessions' fresh records says why.
    EXPECT_TRUE(test::waitUntil([&] { return logHas("post-thaw grace: record ts "); })) << logText();
    EXPECT_FALSE(state.readPause());

    daemon->kill();
}

TEST_F(DaemonE2E, EveryTerminationSignalThawsAndExitsZero) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        std::filesystem::remove_all(state.root());
        std::vector<std::unique_ptr<Session>> sessions;
        Session& a = shapeA(sessions, "sig-" + std::to_string(sig));
        ASSERT_TRUE(test::waitUntil([&] { return recorded(a.id); }));
        startDaemon();
        a.setUsed(97, resetsAt);
        ASSERT_TRUE(test::waitUntil([&] { return logHas("[doFreeze] Exit - paused until"); })) << logText();
        ASSERT_TRUE(a.held());

        ::kill(daemon->pid(), sig);
        EXPECT_EQ(daemonExit(), 0) << logText();
        EXPECT_TRUE(a.running());
        EXPECT_FALSE(state.readPause());
        EXPECT_FALSE(test::fileExists(state.pidPath()));
        EXPECT_TRUE(logHas("[thawEverything] signal " + std::to_string(sig) + " - thawing 1 target(s) before exit"));
        EXPECT_TRUE(logHas("exit: signal " + std::to_string(sig)));
        children.clear();
    }
}

TEST_F(DaemonE2E, ANewDaemonAdoptsThePauseOfAKilledOne) {
    std::vector<std::unique_ptr<Session>> sessions;
    Session& a = shapeA(sessions, "adopted");
    ASSERT_TRUE(test::waitUntil([&] { return recorded(a.id); }));
    startDaemon({"--resume-in", "5"});
    a.setUsed(99, resetsAt);
    ASSERT_TRUE(test::waitUntil([&] { return logHas("[doFreeze] Exit - paused until"); })) << logText();
    ::kill(daemon->pid(), SIGKILL);
    daemon->wait();
    EXPECT_TRUE(a.held()) << logText();  // nobody thawed it
    EXPECT_TRUE(test::fileExists(state.pidPath()));

    startDaemon();
    ASSERT_TRUE(test::waitUntil([&] { return logHas("[adopt] existing pause.json: 1 target(s), resume at "); }))
        << logText();
    EXPECT_TRUE(a.held());  // the pause stands until its time
    ASSERT_TRUE(test::waitUntil([&] { return !state.readPause(); }, 15s)) << logText();
    EXPECT_TRUE(a.running());
    EXPECT_TRUE(logHas("[doThaw] Entry - 1 target(s): resume_at reached"));
}

TEST_F(DaemonE2E, APauseOnDemandHoldsWhateverTheUsageSurvivesACrashAndEndsOnResume) {
    std::vector<std::unique_ptr<Session>> sessions;
    Session& a = shapeA(sessions, "asked");
    Session& exempt = shapeA(sessions, "exempt", {"VAZ_ADODIVO_EXEMPT=1"});
    ASSERT_TRUE(test::waitUntil([&] { return recorded(a.id) && recorded(exempt.id); }));
    auto tarnel = [&](std::vector<std::string> words) {
        words.insert(words.begin(), {test::builtProgram("tarnel")});
        words.insert(words.end(), {"--state-dir", state.root()});
        test::SpawnOptions options;
        std::filesystem::remove(dir.file("tarnel.out"));  // the output of this run alone
        options.stdoutPath = dir.file("tarnel.out");
        test::ChildProcess child(words, options);
        auto status = child.wait(30s);
        return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
    };
    EXPECT_EQ(tarnel({"pause"}), 1);  // no daemon: nothing would hold them

    startDaemon();
    ASSERT_EQ(tarnel({"pause", "--for", "2h"}), 0) << logText();
    EXPECT_NE(test::readFile(dir.file("tarnel.out")).find("Holding 1 session until "), std::string::npos)
        << test::readFile(dir.file("tarnel.out"));
    EXPECT_TRUE(a.held()) << logText();  // at 50 %, far below the threshold
    EXPECT_TRUE(exempt.running());
    auto pause = state.readPause();
    ASSERT_TRUE(pause && pause->manualUntil);
    ASSERT_EQ(tarnel({"status", "--json"}), 0);
    auto status = JSONFile::parse(test::readFile(dir.file("tarnel.out")));
    ASSERT_TRUE(status && (*status)["pause"].is_object()) << test::readFile(dir.file("tarnel.out"));
    EXPECT_EQ((*status)["pause"]["kind"], "manual");

    // A crash keeps the hold; the next daemon ends it when asked.
    ::kill(daemon->pid(), SIGKILL);
    daemon->wait();
    startDaemon();
    EXPECT_TRUE(a.held());
    ASSERT_EQ(tarnel({"resume"}), 0) << logText();
    EXPECT_NE(test::readFile(dir.file("tarnel.out")).find("Resumed"), std::string::npos);
    EXPECT_TRUE(a.running());
    EXPECT_FALSE(state.readPause());
}

// A daemon killed during a pause, and both pause.json and the ledger damaged after: the session sits in its
// frozen group with nothing naming it. tarnel status names it, and the next daemon lets it go.
TEST_F(DaemonE2E, ASessionHeldWhenBothDocumentsAreLostIsLetGo) {
    std::vector<std::unique_ptr<Session>> sessions;
    Session& a = shapeA(sessions, "lost");
    ASSERT_TRUE(test::waitUntil([&] { return recorded(a.id); }));
    startDaemon();
    state.write(PauseRequest{PauseRequest::Kind::pause, std::nullopt, static_cast<double>(std::time(nullptr))});
    ASSERT_TRUE(test::waitUntil([&] { return logHas("[doFreeze] Exit - paused until"); })) << logText();
    ASSERT_TRUE(a.held());
    const std::int64_t pid = a.standIn.pid();
    if (test::readFile("/proc/" + std::to_string(pid) + "/cgroup").find("tarnel-freeze-") == std::string::npos) {
        SKIP_OR_FAIL_IN_CI("the session was held by SIGSTOP, not in a frozen group: " + logText());
    }
    ::kill(daemon->pid(), SIGKILL);
    daemon->wait();
    test::writeFile(state.pausePath(), "{\"resume_at\": ");
    test::writeFile(state.heldPath(), "not a ledger");

    test::SpawnOptions options;
    options.stdoutPath = dir.file("status.json");
    test::ChildProcess status({test::builtProgram("tarnel"), "status", "--json", "--state-dir", state.root()}, options);
    ASSERT_TRUE(status.wait());
    auto shown = JSONFile::parse(test::readFile(dir.file("status.json")));
    ASSERT_TRUE(shown && (*shown)["held_without_pause"].is_array()) << test::readFile(dir.file("status.json"));
    ASSERT_EQ((*shown)["held_without_pause"].size(), 1u);
    EXPECT_EQ((*shown)["held_without_pause"][0]["pid"], pid);

    startDaemon();
    EXPECT_TRUE(a.running()) << logText();
    EXPECT_TRUE(logHas("[sweep] session lost (pid " + std::to_string(pid) +
                       ") is held in a frozen group that no pause names - releasing it"))
        << logText();
}

TEST_F(DaemonE2E, APauseWhoseTargetsAreGoneIsClearedAtStart) {
    state.ensureDirectories();
    state.write(Pause{static_cast<double>(std::time(nullptr)),
                      static_cast<double>(std::time(nullptr)) + 600,
                      {Target{999999, "Mon Jan  1 00:00:00 2024", std::nullopt, Shape::a, "gone"}},
                      "r",
                      "gone",
                      1});
    startDaemon({"--once"}, false);
    EXPECT_EQ(daemonExit(), 0);
    EXPECT_TRUE(
        logHas("[adopt] STALE pause.json: none of its 1 target(s) verify against the live process table "
               "(pids 999999) - the machine almost certainly rebooted."))
        << logText();
    EXPECT_FALSE(state.readPause());
    EXPECT_TRUE(state.readLastThaw());
}

TEST_F(DaemonE2E, ASecondDaemonIsRefused) {
    startDaemon();
    std::string out;
    test::SpawnOptions options;
    options.stderrPath = dir.file("second.stderr");
    test::ChildProcess second({daemonProgram(), "--state-dir", state.root(), "--once"}, options);
    auto status = second.wait();
    ASSERT_TRUE(status);
    EXPECT_EQ(WEXITSTATUS(*status), 3);
    EXPECT_EQ(test::readFile(dir.file("second.stderr")),
              "tarnel-vovivida: another tarnel-vovivida is already running (pid " + std::to_string(daemon->pid()) +
                  "); refusing to start a second one. Lock: " + state.lockPath() + "\n");
    // The first one is undisturbed and ends normally.
    ::kill(daemon->pid(), SIGTERM);
    EXPECT_EQ(daemonExit(), 0);
    EXPECT_EQ(test::readFile(state.lockPath()), std::to_string(daemon->pid()) + "\n");
    EXPECT_FALSE(test::fileExists(state.pidPath()));
}

TEST_F(DaemonE2E, DryRunTouchesNothing) {
    std::vector<std::unique_ptr<Session>> sessions;
    Session& a = shapeA(sessions, "dry");
    ASSERT_TRUE(test::waitUntil([&] { return recorded(a.id); }));
    state.write(LastThaw{5, 6});
    std::string lastThawBefore = test::readFile(state.lastThawPath());
    a.setUsed(99, resetsAt);
    startDaemon({"--dry-run"});
    ASSERT_TRUE(test::waitUntil([&] { return logHas("[doFreeze] DRY-RUN would stop pid="); })) << logText();
    EXPECT_TRUE(a.running());
    EXPECT_FALSE(test::fileExists(state.pausePath()));
    EXPECT_EQ(test::readFile(state.lastThawPath()), lastThawBefore);
    ::kill(daemon->pid(), SIGTERM);
    EXPECT_EQ(daemonExit(), 0);
    EXPECT_EQ(test::readFile(state.lastThawPath()), lastThawBefore);
}

TEST_F(DaemonE2E, CommandLineEdgeCases) {
    auto runDaemon = [&](std::vector<std::string> arguments, std::string* out, std::string* err) {
        arguments.insert(arguments.begin(), daemonProgram());
        test::SpawnOptions options;
        options.stdoutPath = dir.file("out");
        options.stderrPath = dir.file("err");
        std::filesystem::remove(dir.file("out"));
        std::filesystem::remove(dir.file("err"));
        options.environment = stateEnv();
        test::ChildProcess child(arguments, options);
        auto status = child.wait();
        *out = test::readFile(dir.file("out"));
        *err = test::readFile(dir.file("err"));
        return status ? WEXITSTATUS(*status) : -1;
    };
    std::string out, err;
    EXPECT_EQ(runDaemon({"-h"}, &out, &err), 0);
    EXPECT_EQ(out.rfind("usage: tarnel-vovivida [--dry-run]", 0), 0u);
    EXPECT_EQ(out.substr(out.size() - 44), "\n  --version     print the version and exit\n");
    EXPECT_FALSE(test::fileExists(state.root()));  // help creates nothing

    EXPECT_EQ(runDaemon({"--threshold=95"}, &out, &err), 2);
    EXPECT_EQ(err.rfind("tarnel-vovivida: unrecognised argument: --threshold=95\n\nusage: ", 0), 0u) << err;
    EXPECT_EQ(runDaemon({"--poll"}, &out, &err), 2);
    EXPECT_EQ(err, "tarnel-vovivida: --poll needs a value\n");
    EXPECT_EQ(runDaemon({"--notify", "OFF"}, &out, &err), 2);
    EXPECT_EQ(err, "tarnel-vovivida: --notify: choose from desktop, app, off\n");
    EXPECT_FALSE(test::fileExists(state.root()));

    EXPECT_EQ(runDaemon({"--log-level", "WARN", "--once", "--notify", "off"}, &out, &err), 0) << err;
    EXPECT_TRUE(test::fileExists(state.lockPath()));
    EXPECT_FALSE(test::fileExists(state.pidPath()));
    // At warning level the info entry line is not written.
    EXPECT_EQ(test::readFile(state.logPath()).find("[run] Entry"), std::string::npos);

    // Standard error that is neither a terminal nor the journal gets the log only when asked; daemon.log
    // has it either way.
    std::filesystem::remove(state.logPath());
    EXPECT_EQ(runDaemon({"--once", "--notify", "off"}, &out, &err), 0) << err;
    EXPECT_EQ(err, "");
    EXPECT_NE(test::readFile(state.logPath()).find("[run] Entry"), std::string::npos);
    EXPECT_EQ(runDaemon({"--once", "--notify", "off", "--log-stderr"}, &out, &err), 0) << err;
    EXPECT_NE(err.find("INFO     [run] Entry"), std::string::npos) << err;
}

TEST_F(DaemonE2E, LiveReloadOfThresholdNotifyAndShellStopMode) {
    state.ensureDirectories();
    state.write(TrackerConfig::fromJSON(JSONObject{{"notify", "off"}}));
    std::vector<std::string> arguments{daemonProgram(), "--state-dir", state.root(), "--poll",
                                       "0.3",           "--log-level", "debug"};
    test::SpawnOptions options;
    options.stderrPath = dir.file("daemon.stderr");
    daemon = std::make_unique<test::ChildProcess>(arguments, options);
    ASSERT_TRUE(test::waitUntil([&] { return logHas("[run] watching"); })) << stderrText();
    state.write(
        TrackerConfig::fromJSON(JSONObject{{"notify", "app"}, {"threshold", 85}, {"shell_stop_mode", "claude-only"}}));
    ASSERT_TRUE(test::waitUntil([&] { return logHas("[reloadConfig] shell_stop_mode: shell-first -> claude-only"); }))
        << logText();
    EXPECT_TRUE(logHas("INFO     [reloadConfig] threshold: 90 -> 85"));
    // The threshold in force is published for the sessions' lines.
    EXPECT_TRUE(test::waitUntil([&] {
        auto published = state.readDaemonPID();
        return published && published->threshold == 85;
    }));
    EXPECT_TRUE(logHas("INFO     [reloadConfig] notify: off -> app"));
    state.write(TrackerConfig::fromJSON(JSONObject{{"notify", "OFF"}, {"threshold", "85"}}));
    ASSERT_TRUE(
        test::waitUntil([&] { return logHas("[reloadConfig] ignoring bad notify=OFF in " + state.configPath()); }));
    ::kill(daemon->pid(), SIGTERM);
    EXPECT_EQ(daemonExit(), 0);
}

// Open descriptors of pid above 2 and their open flags.
std::map<int, unsigned long> descriptorFlags(pid_t pid) {
    std::map<int, unsigned long> result;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fdinfo", ec)) {
        int fd = std::stoi(entry.path().filename().string());
        if (fd <= 2) continue;
        std::ifstream info(entry.path());
        std::string key, flags;
        while (info >> key) {
            if (key == "flags:") {
                info >> flags;
                result[fd] = std::stoul(flags, nullptr, 8);
                break;
            }
        }
    }
    return result;
}

TEST_F(DaemonE2E, EveryDescriptorOfTheDaemonIsCloseOnExec) {
    startDaemon();
    ASSERT_TRUE(test::waitUntil([&] { return logHas("[run] watching"); }));
    // Whatever this test process hands down to its children is not the daemon's doing.
    std::set<int> inherited;
    for (const auto& [fd, flags] : descriptorFlags(::getpid())) {
        if (!(flags & O_CLOEXEC)) inherited.insert(fd);
    }
    int checked = 0;
    for (const auto& [fd, flagBits] : descriptorFlags(daemon->pid())) {
        if (inherited.count(fd)) continue;
        std::string flags = std::to_string(flagBits);
        ++checked;
        EXPECT_TRUE(flagBits & O_CLOEXEC)
            << "fd " << fd << " flags " << flags << " -> "
            << std::filesystem::read_symlink("/proc/" + std::to_string(daemon->pid()) + "/fd/" + std::to_string(fd));
    }
    EXPECT_GE(checked, 2);  // at least the lock and the log
}

TEST_F(DaemonE2E, ATerminationDuringWaitsAndTicksEndsOnceWithStatusZero) {
    // Many records make ticks take a while, so signals land in ticks too.
    state.ensureDirectories();
    for (int i = 0; i < 300; ++i) {
        Record record;
        record.sessionID = "r" + std::to_string(i);
        record.pid = 900000 + i;
        record.ts = static_cast<double>(std::time(nullptr));
        state.write(record, false);
    }
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        std::filesystem::remove(state.logPath());
        startDaemon({"--poll", "0.05"});
        // A later tick in every round: the signal lands in a wait or a tick as it comes.
        ASSERT_TRUE(test::waitUntil([&] { return count("[tick]") > static_cast<std::size_t>(round); })) << logText();
        ::kill(daemon->pid(), SIGTERM);
        EXPECT_EQ(daemonExit(), 0) << stderrText();
        EXPECT_FALSE(test::fileExists(state.pidPath()));
    }
}

// Every signal that would end the daemon thaws first; SIGPIPE does not end it at all.
TEST_F(DaemonE2E, EveryFatalSignalThawsAndSIGPIPEIsIgnored) {
    std::vector<std::unique_ptr<Session>> sessions;
    Session& a = shapeA(sessions, "signalled");
    ASSERT_TRUE(test::waitUntil([&] { return recorded(a.id); }));
    a.setUsed(95, resetsAt);
    // The signals of faults too, when another process sends them: the daemon did not fault.
    for (int sig :
         {SIGPIPE, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) {
        SCOPED_TRACE(strsignal(sig));
        std::filesystem::remove(state.lastThawPath());
        startDaemon();
        ASSERT_TRUE(test::waitUntil([&] { return test::fileExists(state.heldPath()); })) << logText();
        ASSERT_TRUE(a.held()) << logText();
        const std::size_t ticks = count("[tick]");
        ::kill(daemon->pid(), sig);
        if (sig == SIGPIPE) {
            // Two ticks after it: it was delivered and the daemon lives on.
            EXPECT_TRUE(test::waitUntil([&] { return count("[tick]") >= ticks + 2; })) << "SIGPIPE ended the daemon";
            EXPECT_TRUE(a.held());
            ::kill(daemon->pid(), SIGTERM);
        }
        EXPECT_EQ(daemonExit(), 0);
        EXPECT_TRUE(a.running());
        EXPECT_FALSE(test::fileExists(state.pausePath()));
        EXPECT_FALSE(test::fileExists(state.heldPath()));
        EXPECT_FALSE(test::fileExists(state.pidPath()));
    }
}

// The tee renders start times in Claude Code's time zone, the daemon in its own: holds do not depend on it.
TEST_F(DaemonE2E, HoldsWhateverTheTimeZonesOfTeeAndDaemon) {
    std::vector<std::unique_ptr<Session>> sessions;
    Session& a = shapeA(sessions, "zoned", {"TZ=America/New_York"});
    ASSERT_TRUE(test::waitUntil([&] { return recorded(a.id); }));
    startDaemon({"--resume-in", "2"}, true, {"TZ=UTC"});
    a.setUsed(95, resetsAt);
    ASSERT_TRUE(test::waitUntil([&] { return logHas("[doFreeze] Exit - paused until"); })) << logText();
    EXPECT_TRUE(a.held());
    EXPECT_FALSE(logHas("no longer matches record")) << logText();
    ASSERT_TRUE(test::waitUntil([&] { return test::fileExists(state.lastThawPath()); }, 15s)) << logText();
    EXPECT_TRUE(a.running());
}

TEST_F(DaemonE2E, AClosedStandardErrorNeverBecomesTheLockOrTheLog) {
    state.ensureDirectories();
    test::SpawnOptions options;
    daemon = std::make_unique<test::ChildProcess>(
        std::vector<std::string>{"/bin/sh", "-c",
                                 "exec 2>&- 1>&- \"$0\" --state-dir \"$1\" --notify off --poll 0.3 --log-level debug",
                                 daemonProgram(), state.root()},
        options);
    ASSERT_TRUE(test::waitUntil([&] { return logHas("[run] watching"); })) << logText();
    ::kill(daemon->pid(), SIGTERM);
    EXPECT_EQ(daemonExit(), 0);
    EXPECT_EQ(test::readFile(state.lockPath()), std::to_string(daemon->pid()) + "\n");
}

TEST_F(DaemonE2E, DeeplyNestedDocumentsAreReadAsAbsentWithOneWarning) {
    state.ensureDirectories();
    const std::string deep(2 << 20, '[');
    test::writeFile(state.recordPath("deep"), deep);
    test::writeFile(state.configPath(), "{\"threshold\": " + deep);
    startDaemon({"--poll", "0.2"});
    // Five ticks, each of which read both documents again.
    ASSERT_TRUE(test::waitUntil([&] { return count("[tick]") >= 5; })) << logText();
    ::kill(daemon->pid(), SIGTERM);
    EXPECT_EQ(daemonExit(), 0);
    const std::string log = logText();
    std::size_t warned = 0;
    for (auto at = log.find("deep.json is nested deeper"); at != std::string::npos;
         at = log.find("deep.json is nested deeper", at + 1)) {
        ++warned;
    }
    EXPECT_EQ(warned, 1u) << log;

    // The tee and tarnel status do not crash on such input either.
    test::writeFile(dir.file("deep-input"), "{\"session_id\": \"x\", \"rate_limits\": " + deep + "}");
    for (const auto& program : {test::builtProgram("tarnel-tee"), test::builtProgram("tarnel")}) {
        test::SpawnOptions quiet;
        quiet.stdinPath = dir.file("deep-input");
        quiet.environment = stateEnv();
        std::vector<std::string> arguments{program};
        if (program.ends_with("/tarnel")) arguments.push_back("status");
        test::ChildProcess child(arguments, quiet);
        auto status = child.wait();
        ASSERT_TRUE(status) << program;
        EXPECT_TRUE(WIFEXITED(*status)) << program << " ended by signal " << WTERMSIG(*status);
    }
}

}  // namespace
}  // namespace tracker
