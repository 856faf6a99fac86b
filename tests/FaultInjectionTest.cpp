// Failed writes, made to happen by preloading tests/faultshim into the real
// programs: each step of an atomic write (creating the temporary file,
// writing it, flushing it, renaming it over the target, removing a file) is
// made to fail and the outcome checked against what the state must look like.

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <thread>

#include "Core/JSONFile.hpp"
#include "Core/StateDir.hpp"
#include "RealWorld.hpp"
#include "TestSupport.hpp"

namespace tracker {
namespace {

using namespace std::chrono_literals;
using test::TempDir;

// Variables that make the shim fail a call, as NAME=value words.
struct Fault {
    std::string calls;
    std::string path;
    std::string error = "ENOSPC";
    std::string whileFile;
    std::string log;

    std::vector<std::string> environment() const {
        std::string asan = "verify_asan_link_order=0";
        if (const char* options = std::getenv("ASAN_OPTIONS"); options && *options)
            asan = std::string(options) + ":" + asan;
        std::vector<std::string> words{"LD_PRELOAD=" TARNEL_FAULTSHIM, "TARNEL_FAULT_CALLS=" + calls,
                                       "TARNEL_FAULT_PATH=" + path,    "TARNEL_FAULT_ERRNO=" + error,
                                       "TARNEL_FAULT_LOG=" + log,      "ASAN_OPTIONS=" + asan};
        if (!whileFile.empty()) words.push_back("TARNEL_FAULT_WHILE=" + whileFile);
        return words;
    }
};

// Hidden temporary files of the atomic write left in a directory.
std::vector<std::string> temporaryFiles(const std::string& directory) {
    std::vector<std::string> found;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(directory, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.starts_with(".") && name.ends_with(".tmp")) found.push_back(name);
    }
    return found;
}

std::string madeDirectory(const std::string& path) {
    std::filesystem::create_directories(path);
    return path;
}

class FaultInjection : public ::testing::Test {
protected:
    TempDir dir;
    StateDir state{dir.file("state")};
    const double resetsAt = static_cast<double>(std::time(nullptr)) + 3 * 3600;
    std::unique_ptr<test::ChildProcess> daemon;
    std::vector<std::unique_ptr<test::ChildProcess>> children;
    std::vector<std::unique_ptr<test::StandIn>> standIns;

    void SetUp() override { state.ensureDirectories(); }
    void TearDown() override {
        daemon.reset();
        children.clear();
    }

    std::string faultLog() const { return dir.file("faults.log"); }
    bool faultFired(const std::string& call) const {
        return test::readFile(faultLog()).find(call + " ") != std::string::npos;
    }
    std::string logText() const { return test::readFile(state.logPath()) + test::readFile(dir.file("daemon.stderr")); }
    bool logHas(const std::string& text) const { return logText().find(text) != std::string::npos; }
    // How often text appears on the daemon's standard error (which, unlike daemon.log, a bad state
    // directory cannot lose).
    std::size_t occurrences(const std::string& text) const {
        std::string log = test::readFile(dir.file("daemon.stderr"));
        std::size_t count = 0;
        for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
        return count;
    }

    // A shape-A session refreshing every 100 ms through the real tee.
    test::StandIn& session(const std::string& id, double used, std::vector<std::string> environment = {}) {
        standIns.push_back(std::make_unique<test::StandIn>(madeDirectory(dir.file(id))));
        test::StandIn& standIn = *standIns.back();
        standIn.withCommand(test::shellQuote(test::builtProgram("tarnel-tee"))).withFiveHour(used, resetsAt);
        standIn.extra = {"--session-id", id};
        test::SpawnOptions options;
        options.newSession = true;
        options.environment = {"VAZ_ADODIVO_STATE_DIR=" + state.root()};
        options.environment.insert(options.environment.end(), environment.begin(), environment.end());
        children.push_back(std::make_unique<test::ChildProcess>(standIn.arguments(), options));
        EXPECT_TRUE(test::waitUntil([&] { return test::fileExists(state.recordPath(id)); }));
        return standIn;
    }
    static ::testing::AssertionResult held(const test::StandIn& standIn) { return test::expectHeld(standIn); }
    static bool running(const test::StandIn& standIn) { return test::heartbeatAdvances(standIn.heartbeat, 5s); }

    void startDaemon(const Fault& fault, std::vector<std::string> extra = {}) {
        std::vector<std::string> arguments{test::builtProgram("tarnel-vovivida"),
                                           "--state-dir",
                                           state.root(),
                                           "--notify",
                                           "off",
                                           "--poll",
                                           "0.3",
                                           "--log-level",
                                           "debug",
                                           "--log-stderr"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        test::SpawnOptions options;
        options.stderrPath = dir.file("daemon.stderr");
        options.environment = fault.environment();
        daemon = std::make_unique<test::ChildProcess>(arguments, options);
        ASSERT_TRUE(test::waitUntil([&] { return logHas("[run] watching"); })) << logText();
    }
    bool daemonEnded = false;
    bool daemonAlive() {
        daemonEnded = daemonEnded || daemon->wait(0ms).has_value();
        return !daemonEnded;
    }
    std::optional<int> stopDaemon() {
        ::kill(daemon->pid(), SIGTERM);
        auto status = daemon->wait(15s);
        if (!status) return std::nullopt;
        return WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
    }
};

class EachWriteStep : public FaultInjection, public ::testing::WithParamInterface<std::string> {};

// The tee under the shim (the tee's code linked so that the shim can be preloaded): a record write that
// fails at any step leaves the previous record as it was and no temporary file; the status line still shows.
TEST_P(EachWriteStep, AFailedRecordWriteKeepsThePreviousRecordWhole) {
    const std::string step = GetParam();
    const std::string tee = test::shellQuote(TARNEL_PRELOADABLE_TEE);
    test::StandIn standIn(madeDirectory(dir.file("claude")));
    standIn.withCommand(tee).withFiveHour(41.5, resetsAt);
    standIn.extra = {"--session-id", "tee-session", "--refreshes", "1"};
    test::SpawnOptions options;
    options.environment = {"VAZ_ADODIVO_STATE_DIR=" + state.root()};
    {
        test::ChildProcess first(standIn.arguments(), options);
        ASSERT_TRUE(first.wait(20s));
    }
    const std::string before = test::readFile(state.recordPath("tee-session"));
    ASSERT_NE(before.find("41.5"), std::string::npos) << before;

    Fault fault{step, "/sessions/", "ENOSPC", "", faultLog()};
    std::string command = "env";
    for (const auto& word : fault.environment()) command += " " + test::shellQuote(word);
    standIn.withCommand(command + " " + tee).withFiveHour(77, resetsAt);
    {
        test::ChildProcess second(standIn.arguments(), options);
        ASSERT_TRUE(second.wait(20s));
    }
    EXPECT_NE(test::readFile(standIn.statusFile).find("5h 77%"), std::string::npos)
        << test::readFile(standIn.statusFile);
    EXPECT_TRUE(temporaryFiles(state.sessionsDir()).empty());
    const std::string after = test::readFile(state.recordPath("tee-session"));
    if (step == "fsync") {
        // Records are written without a flush: the step is never taken, the write goes through.
        EXPECT_FALSE(faultFired("fsync"));
        EXPECT_NE(after.find("77"), std::string::npos) << after;
        return;
    }
    EXPECT_TRUE(faultFired(step)) << test::readFile(faultLog());
    EXPECT_EQ(after, before);
}

// The tee under the shim with a state directory that cannot be made: no
// record and no directory, but the status line all the same.
TEST_F(FaultInjection, ARecordWhoseDirectoryCannotBeMadeIsSkippedQuietly) {
    std::filesystem::remove_all(state.root());
    Fault fault{"mkdir", state.root(), "EACCES", "", faultLog()};
    std::string command = "env";
    for (const auto& word : fault.environment()) command += " " + test::shellQuote(word);
    test::StandIn standIn(madeDirectory(dir.file("claude")));
    standIn.withCommand(command + " " + test::shellQuote(TARNEL_PRELOADABLE_TEE)).withFiveHour(41.5, resetsAt);
    standIn.extra = {"--session-id", "no-dir", "--refreshes", "1"};
    test::SpawnOptions options;
    options.environment = {"VAZ_ADODIVO_STATE_DIR=" + state.root()};
    test::ChildProcess run(standIn.arguments(), options);
    ASSERT_TRUE(run.wait(20s));
    EXPECT_TRUE(faultFired("mkdir")) << test::readFile(faultLog());
    EXPECT_FALSE(std::filesystem::exists(state.root()));
    EXPECT_NE(test::readFile(standIn.statusFile).find("5h 42%"), std::string::npos)
        << test::readFile(standIn.statusFile);
}

// The daemon under the shim: when pause.json cannot be written, nothing is
// stopped, a critical line says so, and the daemon carries on.
TEST_P(EachWriteStep, AFailedPauseWriteStopsNothing) {
    const std::string step = GetParam();
    test::StandIn& a = session("pause-a", 95);
    startDaemon(Fault{step, "pause.json", "ENOSPC", "", faultLog()});
    ASSERT_TRUE(test::waitUntil([&] { return logHas("could not write pause.json"); })) << logText();
    EXPECT_TRUE(logHas("CRITICAL")) << logText();
    EXPECT_TRUE(logHas("NOT signalling anything"));
    EXPECT_TRUE(faultFired(step));
    EXPECT_TRUE(running(a));
    EXPECT_FALSE(test::fileExists(state.pausePath()));
    EXPECT_FALSE(logHas("SIGSTOP pid="));
    EXPECT_TRUE(daemonAlive());
    EXPECT_EQ(stopDaemon(), 0) << logText();
    EXPECT_TRUE(running(a));
    // The daemon tries again on every tick; once it has ended no attempt may
    // have left its temporary file behind.
    EXPECT_TRUE(temporaryFiles(state.root()).empty());
}

// The daemon under the shim: when last_thaw.json cannot be written the thaw
// still happens, and the sessions are not stopped again at once.
TEST_P(EachWriteStep, AFailedLastThawWriteStillThaws) {
    const std::string step = GetParam();
    test::StandIn& a = session("thaw-a", 95);
    startDaemon(Fault{step, "last_thaw.json", "ENOSPC", "", faultLog()}, {"--resume-in", "2"});
    ASSERT_TRUE(test::waitUntil([&] { return logHas("[doFreeze] Exit - paused until"); })) << logText();
    EXPECT_TRUE(held(a));
    ASSERT_TRUE(test::waitUntil([&] { return logHas("could not write last_thaw.json"); }, 15s)) << logText();
    EXPECT_TRUE(faultFired(step));
    EXPECT_TRUE(running(a));
    EXPECT_FALSE(test::fileExists(state.lastThawPath()));
    EXPECT_TRUE(temporaryFiles(state.root()).empty());
    // The thaw is remembered although it could not be written: the grace after it holds.
    EXPECT_TRUE(test::waitUntil([&] { return logHas("post-thaw grace"); })) << logText();
    EXPECT_FALSE(test::fileExists(state.pausePath())) << logText();
    EXPECT_TRUE(running(a));
    EXPECT_EQ(stopDaemon(), 0) << logText();
}

INSTANTIATE_TEST_SUITE_P(Steps, EachWriteStep, ::testing::Values("open", "write", "fsync", "rename"),
                         [](const auto& info) { return info.param; });

class BadStateDirectory : public FaultInjection, public ::testing::WithParamInterface<std::string> {};

// The state directory fills up (or turns read-only) while sessions are
// frozen: at the resume time they run again all the same, the daemon never
// exits on its own, and once the directory is usable again the pause is
// cleared for good.
TEST_P(BadStateDirectory, NeverEndsTheDaemonOrHoldsASessionPastItsResumeTime) {
    const std::string error = GetParam();
    test::StandIn& a = session("bad-a", 95);
    test::StandIn& b = session("bad-b", 95);
    const std::string trigger = dir.file("fault-on");
    // A full disk still lets files be removed; a read-only one does not.
    Fault fault{error == "EROFS" ? "open,write,fsync,rename,unlink,mkdir" : "open,write,fsync,rename,mkdir",
                state.root() + "/", error, trigger, faultLog()};
    startDaemon(fault, {"--resume-in", "3"});
    ASSERT_TRUE(test::waitUntil([&] { return logHas("[doFreeze] Exit - paused until"); })) << logText();
    test::writeFile(trigger, "");
    EXPECT_TRUE(held(a));
    EXPECT_TRUE(held(b));

    ASSERT_TRUE(test::waitUntil([&] { return running(a) && running(b); }, 20s)) << logText();
    // The thaw came while the directory was bad (its record is written once the last session, spaced after
    // the first, has continued).
    EXPECT_TRUE(test::waitUntil([&] { return logHas("[doThaw] could not write last_thaw.json"); }, 10s)) << logText();
    // Five ticks later (at 0.3 s each) the daemon still runs, and so do the sessions.
    const std::size_t ticks = occurrences("[tick]");
    EXPECT_TRUE(test::waitUntil([&] { return occurrences("[tick]") >= ticks + 5; })) << logText();
    for (int k = 0; k < 3; ++k) {
        EXPECT_TRUE(daemonAlive()) << logText();
        EXPECT_TRUE(running(a)) << logText();
        EXPECT_TRUE(running(b));
    }
    EXPECT_TRUE(faultFired("open") || faultFired("write")) << test::readFile(faultLog());
    // One thaw, not one on every tick for as long as pause.json cannot be removed.
    EXPECT_EQ(occurrences("[doThaw] Entry"), 1u) << logText();
    if (error == "EROFS") {
        EXPECT_TRUE(faultFired("unlink"));
        EXPECT_TRUE(logHas("[doThaw] could not remove pause.json: Read-only file system")) << logText();
        EXPECT_TRUE(test::fileExists(state.pausePath()));
    }

    std::filesystem::remove(trigger);
    if (error == "EROFS") {
        ASSERT_TRUE(test::waitUntil([&] { return logHas("[tick] removed the pause.json of the last thaw"); }, 15s))
            << logText();
    }
    EXPECT_FALSE(test::fileExists(state.pausePath()));
    EXPECT_TRUE(daemonAlive());
    EXPECT_EQ(stopDaemon(), 0) << logText();
    EXPECT_TRUE(running(a));
    EXPECT_TRUE(running(b));
    EXPECT_FALSE(test::fileExists(state.pausePath())) << logText();
    EXPECT_TRUE(temporaryFiles(state.root()).empty());
    EXPECT_TRUE(temporaryFiles(state.sessionsDir()).empty());
}

// A daemon ended by a signal while the directory is read-only still continues everything it froze.
TEST_F(FaultInjection, ATerminationWhileTheDirectoryIsReadOnlyStillThaws) {
    test::StandIn& a = session("ro-term", 95);
    const std::string trigger = dir.file("fault-on");
    startDaemon(Fault{"open,write,fsync,rename,unlink,mkdir", state.root() + "/", "EROFS", trigger, faultLog()});
    ASSERT_TRUE(test::waitUntil([&] { return logHas("[doFreeze] Exit - paused until"); })) << logText();
    EXPECT_TRUE(held(a));
    test::writeFile(trigger, "");
    EXPECT_EQ(stopDaemon(), 0) << logText();
    EXPECT_TRUE(running(a));
    EXPECT_TRUE(faultFired("unlink")) << test::readFile(faultLog());
}

// A real fault of the daemon's own (a store to address 0, here in the middle of a write) leaves no code to
// trust: the handler lets go of every session it holds, and the daemon dies of the signal as before.
TEST_F(FaultInjection, ARealFaultLetsGoOfEverySessionBeforeTheDaemonDies) {
    test::StandIn& a = session("fault-a", 95);
    test::StandIn& exempt = session("fault-exempt", 50, {"VAZ_ADODIVO_EXEMPT=1"});
    const std::string trigger = dir.file("fault-on");
    startDaemon(Fault{"open", "usage_history", "crash", trigger, faultLog()});
    ASSERT_TRUE(test::waitUntil([&] { return logHas("[doFreeze] Exit - paused until"); })) << logText();
    EXPECT_TRUE(held(a));
    // The next figure is written to usage_history.json: there it faults.
    test::writeFile(trigger, "");
    exempt.withFiveHour(97, resetsAt);
    auto status = daemon->wait(15s);
    ASSERT_TRUE(status) << logText();
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGSEGV) << *status;
    EXPECT_TRUE(faultFired("open"));
    EXPECT_TRUE(running(a));
}

INSTANTIATE_TEST_SUITE_P(Errors, BadStateDirectory, ::testing::Values("ENOSPC", "EROFS"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace tracker
