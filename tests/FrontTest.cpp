// The `tarnel` program as a user runs it: real files, a real process table
// and a real lock on daemon.lock.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <regex>
#include <set>
#include <thread>

#include "Core/JSONFile.hpp"
#include "Core/NumberText.hpp"
#include "Core/PauseOnDemand.hpp"
#include "Core/ProcessTable.hpp"
#include "Core/Records.hpp"
#include "Core/SessionPhase.hpp"
#include "Core/SettingsInstaller.hpp"
#include "Core/StateDir.hpp"
#include "Core/UsageHistory.hpp"
#include "Front/PauseCommands.hpp"
#include "Front/StatusReport.hpp"
#include "RealWorld.hpp"
#include "TestSupport.hpp"

namespace fs = std::filesystem;

namespace tracker {
namespace {

using test::TempDir;

double wallClock() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs tarnel with HOME inside home and neither location variable inherited.
Outcome tarnel(const TempDir& home, const std::vector<std::string>& arguments,
               std::vector<std::string> environment = {}, const std::string& program = test::builtProgram("tarnel")) {
    static int counter = 0;
    const std::string stem = home.file(".run-" + std::to_string(counter++));
    test::SpawnOptions options;
    for (const char* base : {"VAZ_ADODIVO_STATE_DIR=", "VAZ_ADODIVO_SETTINGS_FILE="}) {
        const std::string name = std::string(base).substr(0, std::string(base).find('='));
        bool given = std::any_of(environment.begin(), environment.end(),
                                 [&](const std::string& entry) { return entry.rfind(name + "=", 0) == 0; });
        if (!given) options.environment.push_back(base);
    }
    options.environment.push_back("HOME=" + home.path());
    options.environment.insert(options.environment.end(), environment.begin(), environment.end());
    options.stdoutPath = stem + ".out";
    options.stderrPath = stem + ".err";
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    Outcome outcome;
    {
        test::ChildProcess child(argv, options);
        auto status = child.wait(std::chrono::seconds(60));
        if (status && WIFEXITED(*status)) outcome.status = WEXITSTATUS(*status);
    }
    outcome.out = test::readFile(stem + ".out");
    outcome.err = test::readFile(stem + ".err");
    return outcome;
}

JSON statusJSON(const TempDir& home, const std::string& stateDir) {
    Outcome outcome = tarnel(home, {"status", "--json", "--state-dir", stateDir});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    auto parsed = JSONFile::parse(outcome.out);
    EXPECT_TRUE(parsed && parsed->is_object()) << outcome.out;
    return parsed.value_or(JSON::object());
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string ownStart() {
    auto row = ProcessTable::fromSystem({::getpid()}).get(::getpid());
    return row ? row->start.text() : "";
}

// A pid that certainly named a process a moment ago and names none now.
std::int64_t deadPID() {
    test::ChildProcess child({"/bin/true"});
    auto pid = child.pid();
    child.wait();
    return pid;
}

// An executable stand-in for the tee.
std::string fakeTee(const TempDir& dir, const std::string& name) {
    const std::string path = dir.file(name);
    test::writeFile(path, "#!/bin/sh\necho tee\n");
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

TEST(FrontCommandLine, UsageErrorsExitTwoAndTouchNothing) {
    TempDir home;
    const std::string state = home.file("state");
    EXPECT_EQ(tarnel(home, {}).status, 2);
    EXPECT_EQ(tarnel(home, {"frobnicate"}).status, 2);
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"install", "--refresh", "0"},
             {"install", "--refresh", "1.5"},
             {"install", "--refresh"},
             {"install", "--threshold", "ninety"},
             {"install", "--threshold", "101"},
             {"install", "--notify", "OFF"},
             {"install", "--shell-stop-mode", "shell"},
             {"install", "--tee", home.file("no-such-tee")},
             {"restore", "--bogus"},
             {"status", "extra"},
             {"status", "--state-dir"},
         }) {
        std::vector<std::string> withState = arguments;
        withState.insert(withState.begin() + 1, {"--state-dir", state, "--settings", home.file("s.json")});
        Outcome outcome = tarnel(home, withState);
        EXPECT_EQ(outcome.status, 2) << arguments[1];
        EXPECT_TRUE(contains(outcome.err, "tarnel " + arguments[0] + ": ")) << outcome.err;
        EXPECT_FALSE(test::fileExists(state)) << arguments[1];
        EXPECT_FALSE(test::fileExists(home.file("s.json"))) << arguments[1];
    }
    EXPECT_TRUE(contains(tarnel(home, {"install", "--notify", "OFF"}).err, "choose from desktop, app, off"));
}

TEST(FrontCommandLine, EveryCommandHasHelp) {
    TempDir home;
    EXPECT_EQ(tarnel(home, {"--help"}).status, 0);
    for (const char* command : {"install", "restore", "status"}) {
        Outcome outcome = tarnel(home, {command, "--help"});
        EXPECT_EQ(outcome.status, 0) << command;
        EXPECT_TRUE(contains(outcome.out, std::string("usage: tarnel ") + command)) << outcome.out;
        EXPECT_TRUE(contains(outcome.out, "--state-dir DIR")) << command;
    }
    EXPECT_TRUE(contains(tarnel(home, {"status", "--help"}).out, "pid_verified"));
    EXPECT_FALSE(test::fileExists(home.file(".claude")));
}

TEST(FrontInstall, DefaultsFindTheTeeBesideTarnelAndTheHomeFiles) {
    if (!test::fileExists(test::builtProgram("tarnel-tee"))) GTEST_SKIP() << "tarnel-tee is not built";
    TempDir home;
    Outcome outcome = tarnel(home, {"install"});
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    auto settings = JSONFile::readObject(home.file(".claude/settings.json"));
    ASSERT_TRUE(settings);
    const std::string tee = fs::canonical(test::builtProgram("tarnel-tee")).string();
    EXPECT_EQ((*settings)["statusLine"]["command"], SettingsInstaller::shellQuoted(tee));
    EXPECT_EQ((*settings)["statusLine"]["refreshInterval"], 60);
    auto config = JSONFile::readObject(home.file(".claude/usage-state/config.json"));
    ASSERT_TRUE(config);
    EXPECT_EQ((*config)["threshold"], 90.0);
    EXPECT_EQ((*config)["shell_stop_mode"], "shell-first");
    EXPECT_TRUE(contains(outcome.out, "none (there was no settings file)")) << outcome.out;
    EXPECT_TRUE(contains(outcome.out, "To undo: tarnel restore")) << outcome.out;
}

TEST(FrontInstall, TheDefaultTeeIsTheOneBesideTheRealProgram) {
    // An installed layout: bin/tarnel and bin/tarnel-tee, run through a link elsewhere.
    TempDir home;
    fs::create_directories(home.file("prefix/bin"));
    fs::create_directories(home.file("links"));
    fs::copy_file(test::builtProgram("tarnel"), home.file("prefix/bin/tarnel"));
    const std::string tee = fakeTee(home, "prefix/bin/tarnel-tee");
    fs::create_symlink(home.file("prefix/bin/tarnel"), home.file("links/tarnel"));
    Outcome outcome = tarnel(home, {"install", "--settings", home.file("s.json"), "--state-dir", home.file("state")},
                             {}, home.file("links/tarnel"));
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    // The chosen state directory travels in the command, so the tee records where the daemon looks.
    EXPECT_EQ(JSONFile::readObject(home.file("s.json")).value()["statusLine"]["command"],
              "VAZ_ADODIVO_STATE_DIR=" + home.file("state") + " " + SettingsInstaller::shellQuoted(tee));

    fs::remove(tee);
    outcome = tarnel(home, {"install", "--settings", home.file("t.json"), "--state-dir", home.file("state")}, {},
                     home.file("links/tarnel"));
    EXPECT_EQ(outcome.status, 1);
    EXPECT_TRUE(contains(outcome.err, "--tee PATH")) << outcome.err;
    EXPECT_FALSE(test::fileExists(home.file("t.json")));
}

TEST(FrontInstall, EnvironmentNamesTheFilesAndOptionsWin) {
    TempDir home;
    const std::string tee = fakeTee(home, "tarnel-tee");
    const std::vector<std::string> environment{"VAZ_ADODIVO_STATE_DIR=" + home.file("env-state"),
                                               "VAZ_ADODIVO_SETTINGS_FILE=" + home.file("env-settings.json")};
    ASSERT_EQ(tarnel(home, {"install", "--tee", tee}, environment).status, 0);
    EXPECT_TRUE(test::fileExists(home.file("env-settings.json")));
    EXPECT_TRUE(test::fileExists(home.file("env-state/config.json")));

    ASSERT_EQ(
        tarnel(home,
               {"install", "--tee", tee, "--state-dir", home.file("opt-state"), "--settings", home.file("opt.json")},
               environment)
            .status,
        0);
    EXPECT_TRUE(test::fileExists(home.file("opt.json")));
    EXPECT_TRUE(test::fileExists(home.file("opt-state/config.json")));
    EXPECT_FALSE(test::fileExists(home.file(".claude")));
}

TEST(FrontInstall, InstallReinstallRestoreAsAUserSeesIt) {
    TempDir home;
    const std::string tee = fakeTee(home, "my tarnel-tee");
    const std::string settings = home.file("settings.json");
    const std::string state = home.file("state");
    const std::string original =
        R"({"model": "opus", "statusLine": {"type": "command", "command": "~/bin/my-status.sh"}})";
    test::writeFile(settings, original);

    Outcome first = tarnel(home, {"install", "--tee", tee, "--threshold", "85", "--refresh", "15", "--notify", "off",
                                  "--settings", settings, "--state-dir", state});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_TRUE(contains(first.out, "backup          " + settings + ".bak-")) << first.out;
    EXPECT_TRUE(contains(first.out, "~/bin/my-status.sh")) << first.out;
    auto installed = JSONFile::readObject(settings);
    ASSERT_TRUE(installed);
    EXPECT_EQ((*installed)["statusLine"]["command"],
              "VAZ_ADODIVO_STATE_DIR=" + state + " " + SettingsInstaller::shellQuoted(tee));
    EXPECT_EQ((*installed)["model"], "opus");

    // A reinstall that names nothing keeps the threshold, interval and modes in force.
    ASSERT_EQ(tarnel(home, {"install", "--tee", tee, "--settings", settings, "--state-dir", state}).status, 0);
    auto config = JSONFile::readObject(state + "/config.json");
    ASSERT_TRUE(config);
    EXPECT_EQ((*config)["threshold"], 85.0);
    EXPECT_EQ((*config)["refresh_interval"], 15);
    EXPECT_EQ((*config)["notify"], "off");
    EXPECT_EQ((*config)["display_command"], "~/bin/my-status.sh");
    ASSERT_EQ(tarnel(home, {"install", "--tee", tee, "--settings", settings, "--state-dir", state, "--shell-stop-mode",
                            "claude-only", "--notify", "app"})
                  .status,
              0);
    config = JSONFile::readObject(state + "/config.json");
    EXPECT_EQ((*config)["shell_stop_mode"], "claude-only");
    EXPECT_EQ((*config)["notify"], "app");

    Outcome restored = tarnel(home, {"restore", "--settings", settings, "--state-dir", state});
    ASSERT_EQ(restored.status, 0) << restored.err;
    EXPECT_TRUE(contains(restored.out, "To undo: tarnel install")) << restored.out;
    EXPECT_EQ(JSONFile::readObject(settings), JSON::parse(original).get<JSONObject>());

    // Nothing of ours is left to take out: the file stays byte for byte.
    const std::string after = test::readFile(settings);
    Outcome again = tarnel(home, {"restore", "--settings", settings, "--state-dir", state});
    EXPECT_EQ(again.status, 0);
    EXPECT_TRUE(contains(again.out, "Nothing to restore")) << again.out;
    EXPECT_EQ(test::readFile(settings), after);
}

TEST(FrontInstall, InvalidSettingsLoseNothing) {
    TempDir home;
    const std::string tee = fakeTee(home, "tarnel-tee");
    const std::string settings = home.file("settings.json");
    const std::string state = home.file("state");
    const std::string broken = "{\n  \"model\": \"opus\",\n  \"statusLine\": \"~/bin/s.sh\",\n}\n";
    test::writeFile(settings, broken);
    for (const char* command : {"install", "restore"}) {
        std::vector<std::string> arguments{command, "--settings", settings, "--state-dir", state};
        if (std::string(command) == "install") arguments.insert(arguments.end(), {"--tee", tee});
        Outcome outcome = tarnel(home, arguments);
        EXPECT_EQ(outcome.status, 1) << command;
        EXPECT_TRUE(contains(outcome.err, settings)) << outcome.err;
        EXPECT_TRUE(contains(outcome.err, "Nothing was changed")) << outcome.err;
        EXPECT_EQ(test::readFile(settings), broken);
    }
    EXPECT_FALSE(test::fileExists(state + "/config.json"));
    for (const auto& entry : fs::directory_iterator(home.path())) {
        EXPECT_FALSE(contains(entry.path().filename().string(), ".bak-")) << entry.path();
    }
}

TEST(FrontInstall, UnwritableSettingsAreRefused) {
    TempDir home;
    const std::string tee = fakeTee(home, "tarnel-tee");
    test::writeFile(home.file("claude"), "a file, not a directory");
    Outcome outcome = tarnel(home, {"install", "--tee", tee, "--settings", home.file("claude/settings.json"),
                                    "--state-dir", home.file("state")});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_TRUE(contains(outcome.err, "not writable")) << outcome.err;
    EXPECT_FALSE(test::fileExists(home.file("state/config.json")));
}

// A state directory the test fills, and tarnel status run over it.
TEST(FrontInstall, AChosenStateDirectoryReachesTheTeeAndRestore) {
    TempDir home;
    const std::string settings = home.file("settings.json");
    const std::string state = home.file("my state");
    test::writeFile(settings, R"({"statusLine": {"type": "command", "command": "echo mine"}})");
    ASSERT_EQ(tarnel(home, {"install", "--tee", test::builtProgram("tarnel-tee"), "--settings", settings},
                     {"VAZ_ADODIVO_STATE_DIR=" + state})
                  .status,
              0);
    // The installed command, run the way Claude Code runs it (by a shell), uses the chosen directory.
    const std::string command = JSONFile::readObject(settings).value()["statusLine"]["command"];
    fs::copy_file("/bin/sh", home.file("claude"));
    test::writeFile(home.file("in"), R"({"session_id": "chosen"})");
    test::SpawnOptions options;
    options.environment = {"VAZ_ADODIVO_STATE_DIR="};
    options.stdinPath = home.file("in");
    options.stdoutPath = home.file("out");
    test::ChildProcess claude({home.file("claude"), "-c", command + "; true"}, options);
    ASSERT_TRUE(claude.wait(std::chrono::seconds(20)));
    EXPECT_EQ(test::readFile(home.file("out")), "mine\n");
    EXPECT_TRUE(test::fileExists(state + "/sessions/chosen.json"));
    // restore without naming the directory finds the saved status line there.
    ASSERT_EQ(tarnel(home, {"restore", "--settings", settings}).status, 0);
    EXPECT_EQ(JSONFile::readObject(settings).value()["statusLine"]["command"], "echo mine");
}

TEST(FrontInstall, EveryRunKeepsItsOwnBackupAndRestoreFallsBackToThem) {
    TempDir home;
    const std::string tee = fakeTee(home, "tarnel-tee");
    const std::string settings = home.file("settings.json");
    const std::string state = home.file("state");
    test::writeFile(settings, R"({"statusLine": "~/bin/mine.sh"})");
    const std::vector<std::string> where{"--settings", settings, "--state-dir", state};
    std::vector<std::string> install{"install", "--tee", tee};
    install.insert(install.end(), where.begin(), where.end());
    std::vector<std::string> restore{"restore"};
    restore.insert(restore.end(), where.begin(), where.end());
    // Runs within one second: each backup is its own file, and the undo hint names it.
    std::set<std::string> backups;
    for (int run = 0; run < 2; ++run) {
        Outcome outcome = tarnel(home, install);
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        std::smatch found;
        ASSERT_TRUE(std::regex_search(outcome.out, found, std::regex("cp (\\S+) ")));
        EXPECT_TRUE(contains(outcome.out, "backup          " + found[1].str() + "\n")) << outcome.out;
        backups.insert(found[1].str());
    }
    EXPECT_EQ(backups.size(), 2u);
    EXPECT_EQ(test::readFile(*backups.begin()), R"({"statusLine": "~/bin/mine.sh"})");

    // config.json gone: the newest backup from before the tee gives the status line.
    fs::remove(state + "/config.json");
    Outcome restored = tarnel(home, restore);
    ASSERT_EQ(restored.status, 0) << restored.err;
    EXPECT_TRUE(contains(restored.out, "taken from " + *backups.begin())) << restored.out;
    EXPECT_EQ(JSONFile::readObject(settings).value()["statusLine"], "~/bin/mine.sh");

    // Neither config.json nor a backup from before: the status line is left as it is, and it says so.
    ASSERT_EQ(tarnel(home, install).status, 0);
    fs::remove(state + "/config.json");
    for (const auto& entry : fs::directory_iterator(home.path())) {
        if (contains(entry.path().string(), ".bak-")) fs::remove(entry.path());
    }
    const std::string installed = test::readFile(settings);
    Outcome left = tarnel(home, restore);
    EXPECT_EQ(left.status, 0);
    EXPECT_TRUE(contains(left.out, "left as it is")) << left.out;
    EXPECT_EQ(test::readFile(settings), installed);
}

TEST(FrontCommandLine, FIFOsAndLinkLoopsAreRefusedNotWaitedOn) {
    for (const char* name : {"settings.json", "state/config.json", "state/daemon.lock"}) {
        for (const bool loop : {false, true}) {
            TempDir home;
            const std::string tee = fakeTee(home, "tarnel-tee");
            fs::create_directories(home.file("state"));
            const std::string path = home.file(name);
            if (loop) {
                fs::create_symlink(path, path);
            } else {
                ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
            }
            const std::vector<std::string> where{"--settings", home.file("settings.json"), "--state-dir",
                                                 home.file("state")};
            for (std::vector<std::string> arguments :
                 std::vector<std::vector<std::string>>{{"install", "--tee", tee}, {"restore"}, {"status"}}) {
                arguments.insert(arguments.end(), where.begin(), where.end());
                Outcome outcome = tarnel(home, arguments);
                const std::string what = arguments[0] + " with " + (loop ? "a loop" : "a FIFO") + " at " + name;
                EXPECT_NE(outcome.status, -1) << what << " did not end";
                EXPECT_LE(outcome.status, 1) << what << ": " << outcome.err;
                if (outcome.status == 1) {
                    EXPECT_TRUE(contains(outcome.err, path)) << what << ": " << outcome.err;
                }
            }
        }
    }
}

// The time zone for as long as it lives.
class ScopedZone {
public:
    explicit ScopedZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) saved_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ScopedZone() {
        saved_ ? ::setenv("TZ", saved_->c_str(), 1) : ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::optional<std::string> saved_;
};

// An end on another day than the moment it is told names its day: in what `tarnel pause` prints and in the
// reason the daemon gives the hold (which status shows), for --until and --for alike.
bool daemonRuns(const std::string& state) {
    return Front::StatusReport::probeLock(StateDir(state).lockPath()) == Front::StatusReport::LockState::held;
}

// Ends the daemon that runs on a state directory when it goes, so that none outlives a test that failed.
class DaemonReaper {
public:
    explicit DaemonReaper(std::string state) : state_(std::move(state)) {}
    ~DaemonReaper() {
        auto file = StateDir(state_).readDaemonPID();
        // One that holds the lock writes daemon.pid right after.
        for (int i = 0; i < 40 && !file && daemonRuns(state_); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            file = StateDir(state_).readDaemonPID();
        }
        if (!file || !ProcessTable::fromSystem({file->pid}).isSameProcess(file->pid, file->pidStart)) return;
        ::kill(static_cast<pid_t>(file->pid), SIGTERM);
        for (int i = 0; i < 100 && ::kill(static_cast<pid_t>(file->pid), 0) == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

private:
    std::string state_;
};

// Without a service manager: tarnel start runs the daemon detached, its log in daemon.log alone, and tarnel stop
// ends it; each exit status says whether a daemon runs, and doing either twice changes nothing.
TEST(FrontDaemon, StartAndStopWithoutAServiceManager) {
    TempDir home;
    const std::string state = home.file("state");
    const std::vector<std::string> noManager{"XDG_RUNTIME_DIR=", "VAZ_ADODIVO_STATE_DIR=" + state};
    DaemonReaper reaper(state);

    Outcome started = tarnel(home, {"start"}, noManager);
    EXPECT_EQ(started.status, 0) << started.err;
    EXPECT_TRUE(contains(started.out, "Started tarnel-vovivida on " + state + " (pid ")) << started.out;
    EXPECT_EQ(started.err, "");
    ASSERT_TRUE(daemonRuns(state));
    const auto pidFile = StateDir(state).readDaemonPID();
    ASSERT_TRUE(pidFile);
    EXPECT_TRUE(contains(started.out, "(pid " + std::to_string(pidFile->pid) + ")")) << started.out;
    // Its own session, no terminal: the log goes to the file alone.
    EXPECT_EQ(::getsid(static_cast<pid_t>(pidFile->pid)), static_cast<pid_t>(pidFile->pid));
    EXPECT_TRUE(contains(test::readFile(StateDir(state).logPath()), "[run]"));

    Outcome again = tarnel(home, {"start"}, noManager);
    EXPECT_EQ(again.status, 0);
    EXPECT_TRUE(contains(again.out, "already runs on " + state)) << again.out;

    Outcome stopped = tarnel(home, {"stop"}, noManager);
    EXPECT_EQ(stopped.status, 0) << stopped.err;
    EXPECT_TRUE(contains(stopped.out, "Stopped tarnel-vovivida (pid " + std::to_string(pidFile->pid))) << stopped.out;
    EXPECT_FALSE(daemonRuns(state));
    Outcome none = tarnel(home, {"stop"}, noManager);
    EXPECT_EQ(none.status, 0);
    EXPECT_TRUE(contains(none.out, "No daemon runs on " + state)) << none.out;

    // Where no user manager answers, the hints name tarnel start.
    Outcome pause = tarnel(home, {"pause", "--for", "1h"}, noManager);
    EXPECT_EQ(pause.status, 1);
    EXPECT_TRUE(contains(pause.err, "Start it first: tarnel start\n")) << pause.err;
}

// A daemon that cannot be found or ends at once is reported, with exit status 1.
TEST(FrontDaemon, StartSaysWhenNoDaemonCameUp) {
    TempDir home;
    const std::string state = home.file("state");
    DaemonReaper reaper(state);
    fs::create_directories(home.file("bin"));
    fs::copy_file(test::builtProgram("tarnel"), home.file("bin/tarnel"));
    Outcome alone = tarnel(home, {"start", "--state-dir", state}, {}, home.file("bin/tarnel"));
    EXPECT_EQ(alone.status, 1);
    EXPECT_TRUE(contains(alone.err, "cannot find tarnel-vovivida beside this program")) << alone.err;

    // Others may write the state directory: the daemon refuses it and ends.
    fs::create_directories(state);
    ::chmod(state.c_str(), 0777);
    Outcome refused = tarnel(home, {"start", "--state-dir", state});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(contains(refused.err, "tarnel-vovivida ended at once (exit status ")) << refused.err;
    EXPECT_FALSE(daemonRuns(state));
}

TEST(FrontPause, AnEndOnAnotherDayNamesIt) {
    const double wednesday1750 = 1'796'838'600;  // Wed 2026-12-09 17:50 UTC
    const double day = 86400;
    const struct {
        const char* zone;
        double at;
        const char* text;
    } ends[] = {
        {"UTC0", wednesday1750 + 600, "18:00"},
        {"UTC0", wednesday1750 + 6 * 3600 + 9 * 60 + 59, "23:59"},
        {"UTC0", wednesday1750 + 6 * 3600 + 10 * 60, "tomorrow 00:00"},
        {"UTC0", wednesday1750 + day, "tomorrow 17:50"},
        {"UTC0", wednesday1750 + 2 * day, "Fri 17:50"},
        {"UTC0", wednesday1750 + 6 * day, "Tue 17:50"},
        {"UTC0", wednesday1750 + 7 * day, "2026-12-16 17:50"},
        {"UTC0", wednesday1750 - day, "yesterday 17:50"},
        {"UTC0", wednesday1750 - 3600, "16:50"},
        {"UTC0", NAN, "--:--"},
        // 23:20 there: an hour on is the next day, though it is the same day in UTC.
        {"IST-5:30", wednesday1750 + 3600, "tomorrow 00:20"},
        {"IST-5:30", wednesday1750 + 1800, "23:50"},
        // Across the end of summer time the day is still the calendar's.
        // (Sat 2026-10-24 23:30 CEST; Sun 03:00 CET, 25 hours on.)
        {"CET-1CEST,M3.5.0,M10.5.0/3", 1'792'893'600, "tomorrow 03:00"},
    };
    for (const auto& e : ends) {
        ScopedZone zone(e.zone);
        const double now = std::string(e.zone).rfind("CET", 0) == 0 ? 1'792'877'400 : wednesday1750;
        EXPECT_EQ(NumberText::dayClockText(e.at, now), e.text) << e.zone << " " << e.at;
    }

    ScopedZone zone("UTC0");
    // --until 17:49 at 17:50 is tomorrow's 17:49, and --for 1d ends tomorrow at the same time.
    const auto until = Front::PauseCommands::nextClockTime("17:49", wednesday1750);
    ASSERT_TRUE(until);
    EXPECT_EQ(*until - wednesday1750, day - 60);
    const auto forADay = Front::PauseCommands::parseDuration("1d");
    ASSERT_TRUE(forADay);
    Target target;
    target.pid = 4242;
    for (const auto& [end, text] : std::vector<std::pair<double, std::string>>{
             {*until, "tomorrow 17:49"}, {wednesday1750 + *forADay, "tomorrow 17:50"}, {wednesday1750 + 60, "17:51"}}) {
        const Action action = PauseOnDemand::apply(PauseRequest{PauseRequest::Kind::pause, end, wednesday1750},
                                                   std::nullopt, {target}, wednesday1750);
        ASSERT_TRUE(action.freeze());
        EXPECT_EQ(action.freeze()->reason, "pause asked for until " + text);

        Pause standing;
        standing.resumeAt = end;
        standing.manualUntil = end;
        standing.targets = {target};
        EXPECT_EQ(Front::PauseCommands::heldText(standing, wednesday1750),
                  "Holding 1 session until " + text + ". `tarnel resume` lets them go on sooner.\n");
        // Over a hold the usage asked for first, the reason names both ends' days.
        Pause usage = standing;
        usage.manualUntil.reset();
        usage.resumeAt = wednesday1750 + 3 * 3600;
        usage.implyUsage();
        const Action replaced = PauseOnDemand::apply(PauseRequest{PauseRequest::Kind::pause, end, wednesday1750}, usage,
                                                     {target}, wednesday1750);
        ASSERT_TRUE(replaced.replace());
        EXPECT_EQ(replaced.replace()->reason, "pause asked for until " + text + ": the hold stands until " +
                                                  (end > usage.resumeAt ? text : std::string("20:50")));
    }
}

TEST(FrontPause, DurationsClockTimesAndTheirMistakes) {
    const struct {
        const char* text;
        std::optional<double> seconds;
    } durations[] = {{"90", 5400},         {"90m", 5400},          {"2h", 7200},          {"1h30m", 5400},
                     {"45s", 45},          {"1d", 86400},          {"", std::nullopt},    {"h", std::nullopt},
                     {"2x", std::nullopt}, {"1.5h", std::nullopt}, {"-5m", std::nullopt}, {"10m5", std::nullopt}};
    for (const auto& d : durations) EXPECT_EQ(Front::PauseCommands::parseDuration(d.text), d.seconds) << d.text;

    const double now = wallClock();
    auto at = Front::PauseCommands::nextClockTime("00:00", now);
    ASSERT_TRUE(at);
    EXPECT_GT(*at, now);
    EXPECT_LE(*at, now + 86400 + 3600);
    EXPECT_EQ(NumberText::clockText(*at), "00:00");
    for (const char* bad : {"24:00", "7", "12:60", "1:2", "ab:cd", "12:00:00", ":30"}) {
        EXPECT_FALSE(Front::PauseCommands::nextClockTime(bad, now)) << bad;
    }

    TempDir home;
    const std::string state = home.file("state");
    for (const auto& words : std::vector<std::vector<std::string>>{
             {"pause", "--for", "25h"},
             {"pause", "--for", "soon"},
             {"pause", "--until", "25:00"},
             {"pause", "--for", "1h", "--until", "12:00"},
             {"resume", "--for", "1h"},
         }) {
        std::vector<std::string> withState = words;
        withState.insert(withState.end(), {"--state-dir", state});
        Outcome outcome = tarnel(home, withState);
        EXPECT_EQ(outcome.status, 2) << words[1] << " " << outcome.err;
        EXPECT_FALSE(test::fileExists(state)) << outcome.err;
    }
    Outcome noDaemon = tarnel(home, {"resume", "--state-dir", state});
    EXPECT_EQ(noDaemon.status, 1);
    EXPECT_TRUE(contains(noDaemon.err, "no daemon runs on")) << noDaemon.err;
}

class FrontStatus : public ::testing::Test {
protected:
    TempDir home;
    StateDir state{home.file("state")};
    double now = wallClock();

    void SetUp() override { state.ensureDirectories(); }

    Record record(const std::string& sessionID, std::int64_t pid, double ts, double used, double resetsAt) {
        Record r;
        r.sessionID = sessionID;
        r.pid = pid;
        r.ts = ts;
        r.rateLimits = JSONObject{{"five_hour", JSONObject{{"used_percentage", used}, {"resets_at", resetsAt}}}};
        state.write(r, false);
        return r;
    }

    Outcome text() { return tarnel(home, {"status", "--state-dir", state.root()}); }
};

TEST_F(FrontStatus, EmptyStateDirectory) {
    JSON report = statusJSON(home, state.root());
    EXPECT_EQ(report["state_dir"], state.root());
    EXPECT_EQ(report["records"], 0);
    EXPECT_TRUE(report["usage"].is_null());
    EXPECT_TRUE(report["pause"].is_null());
    EXPECT_TRUE(report["last_thaw"].is_null());
    EXPECT_EQ(report["threshold"], 90);
    EXPECT_EQ(report["daemon"]["running"], false);
    EXPECT_EQ(report["daemon"]["lock"], "absent");
    Outcome outcome = text();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_TRUE(contains(outcome.out, "Pause            none")) << outcome.out;
    EXPECT_TRUE(contains(outcome.out, "Daemon           not running")) << outcome.out;

    // Asking about a directory that is not there creates nothing.
    EXPECT_EQ(tarnel(home, {"status", "--state-dir", home.file("nowhere")}).status, 0);
    EXPECT_FALSE(test::fileExists(home.file("nowhere")));
}

TEST_F(FrontStatus, FreshestRecordOfALiveSession) {
    const double resets = now + 3900;
    record("live-session-1", ::getpid(), now - 5, 42.5, resets);
    record("dead-session-2", deadPID(), now - 1, 99, resets);
    record("stale-session-3", ::getpid(), now - 7200, 98, resets);
    JSONFile::atomicWrite(JSONObject{{"threshold", "80"}, {"custom", true}}, state.configPath(), false);

    JSON report = statusJSON(home, state.root());
    EXPECT_EQ(report["records"], 3);
    ASSERT_TRUE(report["usage"].is_object()) << report.dump();
    EXPECT_EQ(report["usage"]["session_id"], "live-session-1");
    EXPECT_EQ(report["usage"]["used_percentage"], 42.5);
    EXPECT_EQ(report["usage"]["resets_at"], JSONCoerce::stamp(resets));
    EXPECT_EQ(report["threshold"], 80);
    EXPECT_EQ(report["threshold_reached"], false);

    Outcome outcome = text();
    EXPECT_TRUE(contains(outcome.out, "42.5% of the five-hour window, resets at ")) << outcome.out;
    EXPECT_TRUE(contains(outcome.out, report["usage"]["resets_at_local"].get<std::string>())) << outcome.out;
    EXPECT_TRUE(contains(outcome.out, "(in 1h")) << outcome.out;
    EXPECT_TRUE(contains(outcome.out, "Threshold        80%")) << outcome.out;
}

TEST_F(FrontStatus, ForecastFromTheDaemonsHistory) {
    EXPECT_TRUE(contains(text().out, "Forecast         not yet")) << text().out;
    UsageHistory history;
    history.observe(record("s", ::getpid(), now - 1800, 40, now + 9000));
    history.observe(record("s", ::getpid(), now, 50, now + 9000));
    state.writeUsageHistory(history);
    JSON report = statusJSON(home, state.root());
    ASSERT_TRUE(report["forecast"].is_object()) << report.dump();
    EXPECT_NEAR(report["forecast"]["per_hour"].get<double>(), 20, 1e-6);
    EXPECT_EQ(report["forecast"]["reset_first"], false);
    EXPECT_TRUE(contains(
        text().out, "Forecast         +20.0%/h over the last 30m: 90% at about " + NumberText::clockText(now + 7200)))
        << text().out;
    // Near the threshold the warning says when the hold comes at this pace, as the daemon's notification does.
    UsageHistory rising;
    rising.observe(record("s", ::getpid(), now - 1800, 76, now + 9000));
    rising.observe(record("s", ::getpid(), now - 1, 86, now + 9000));
    state.writeUsageHistory(rising);
    report = statusJSON(home, state.root());
    ASSERT_EQ(report["warnings"].size(), 1u) << report.dump();
    EXPECT_EQ(report["warnings"][0]["window"], "five_hour");
    EXPECT_TRUE(contains(text().out, "Warning          Claude sessions will be held at 90 % (now 86 %, about "))
        << text().out;
    // A turn that ended at the limit before any hold shows, with its time.
    SessionPhase phase;
    phase.sessionID = "s";
    phase.pid = ::getpid();
    phase.limitHitAt = now - 60;
    state.write(phase);
    EXPECT_TRUE(contains(text().out, "Limit hit        1 session hit the limit at " + NumberText::clockText(now - 60)))
        << text().out;
}

TEST_F(FrontStatus, PauseWithLiveAndDeadTargets) {
    Target live;
    live.pid = ::getpid();
    live.pidStart = ownStart();
    ASSERT_FALSE(live.pidStart.empty());
    live.sessionID = "live-target";
    live.shape = Shape::c;
    Target reused = live;
    reused.sessionID = "reused-target";
    reused.pidStart = "Mon Jan  1 00:00:00 2001";
    Target dead;
    dead.pid = deadPID();
    dead.pidStart = "Mon Jan  1 00:00:00 2001";
    dead.sessionID = "dead-target";
    Pause pause;
    pause.pausedAt = now - 60;
    pause.resumeAt = now + 1800;
    pause.targets = {live, reused, dead};
    pause.reason = "91.0% >= 90%";
    state.write(pause);
    state.write(LastThaw{now - 86400, now - 86400});

    JSON report = statusJSON(home, state.root());
    ASSERT_TRUE(report["pause"].is_object()) << report.dump();
    const JSON& targets = report["pause"]["targets"];
    ASSERT_EQ(targets.size(), 3u);
    EXPECT_EQ(targets[0]["verified"], true);
    EXPECT_EQ(targets[0]["alive"], true);
    EXPECT_EQ(targets[0]["claude"], false);
    EXPECT_EQ(targets[0]["stopped"], false);
    EXPECT_EQ(targets[1]["alive"], true);
    EXPECT_EQ(targets[1]["verified"], false);
    EXPECT_EQ(targets[2]["alive"], false);
    EXPECT_EQ(targets[2]["verified"], false);
    EXPECT_EQ(report["last_thaw"]["thawed_at"], JSONCoerce::stamp(now - 86400));

    Outcome outcome = text();
    EXPECT_TRUE(contains(outcome.out, "Pause            held until " + NumberText::clockText(now + 1800) +
                                          " (five-hour window at 90 %), in "))
        << outcome.out;
    EXPECT_TRUE(contains(outcome.out, ", in 29m") || contains(outcome.out, ", in 30m")) << outcome.out;
    EXPECT_TRUE(contains(outcome.out, "session live-tar  pid " + std::to_string(::getpid()) + "  not held"))
        << outcome.out;
    EXPECT_TRUE(contains(outcome.out, "not verified")) << outcome.out;
    EXPECT_TRUE(contains(outcome.out, "session dead-tar  pid " + std::to_string(dead.pid) + "  gone")) << outcome.out;
    EXPECT_TRUE(contains(outcome.out, "Last thaw        ")) << outcome.out;
    EXPECT_TRUE(contains(outcome.out, "(24h0m ago)")) << outcome.out;
    EXPECT_TRUE(contains(outcome.out, "--thaw-now")) << outcome.out;
}

TEST_F(FrontStatus, SessionWaitingForItsSafePoint) {
    Target live;
    live.pid = ::getpid();
    live.pidStart = ownStart();
    live.sessionID = "streaming-target";
    Target held = live;
    held.sessionID = "held-target";
    Pause pause;
    pause.pausedAt = now - 10;
    pause.resumeAt = now + 1800;
    pause.targets = {live, held};
    pause.waiting["streaming-target"] = now + 80;
    state.write(pause);

    JSON report = statusJSON(home, state.root());
    const JSON& targets = report["pause"]["targets"];
    ASSERT_EQ(targets.size(), 2u) << report.dump();
    EXPECT_EQ(targets[0]["waiting_until"], JSONCoerce::stamp(now + 80));
    EXPECT_TRUE(targets[1]["waiting_until"].is_null());
    Outcome outcome = text();
    EXPECT_TRUE(contains(outcome.out, "session streamin  pid " + std::to_string(::getpid()) +
                                          "  waiting for a safe point (up to " + NumberText::clockText(now + 80) + ")"))
        << outcome.out;
    EXPECT_TRUE(contains(outcome.out, "session held-tar  pid " + std::to_string(::getpid()) + "  not held"))
        << outcome.out;
}

// A session held says so, and how; a weekly hold names its window and its day.
TEST_F(FrontStatus, AHeldSessionSaysHowAndTheWeekNamesItsDay) {
    test::ChildProcess child({"/bin/sleep", "60"});
    ASSERT_EQ(::kill(child.pid(), SIGSTOP), 0);
    ASSERT_TRUE(test::waitUntil([&] {
        auto row = ProcessTable::fromSystem({child.pid()}).get(child.pid());
        return row && row->stopped();
    }));
    Target stopped;
    stopped.pid = child.pid();
    stopped.pidStart = ProcessTable::fromSystem({child.pid()}).get(child.pid())->start.text();
    stopped.sessionID = "stopped-target";
    Pause pause;
    pause.pausedAt = now - 10;
    pause.resumeAt = now + 3 * 86400;
    pause.targets = {stopped};
    pause.usage[UsageWindow::sevenDay] = WindowHold{now + 3 * 86400, now + 3 * 86400};
    state.write(pause);
    Record weekly;
    weekly.sessionID = "weekly";
    weekly.pid = ::getpid();
    weekly.ts = now;
    weekly.pidStart = ownStart();
    weekly.rateLimits = JSONObject{
        {"five_hour", JSONObject{{"used_percentage", 12}, {"resets_at", now + 600}}},
        {"seven_day", JSONObject{{"used_percentage", 96}, {"resets_at", now + 3 * 86400}}},
        {"spend_limit",
         JSONObject{{"used_percentage", 40}, {"resets_at", now + 9 * 86400}, {"used_usd", 20}, {"limit_usd", 50}}}};
    state.write(weekly, false);

    JSON report = statusJSON(home, state.root());
    const JSON& target = report["pause"]["targets"][0];
    EXPECT_EQ(target["held"], true) << report.dump();
    EXPECT_EQ(target["held_by"], "SIGSTOP");
    EXPECT_EQ(report["pause"]["window"], "seven_day");
    EXPECT_EQ(report["windows"]["seven_day"]["used_percentage"], 96);
    EXPECT_EQ(report["windows"]["seven_day"]["threshold_reached"], true);
    EXPECT_TRUE(report["windows"]["spend_limit"]["threshold"].is_null());
    EXPECT_EQ(report["windows"]["spend_limit"]["limit_usd"], 50);
    const std::string day = NumberText::dayClockText(now + 3 * 86400, now);
    EXPECT_EQ(day.find("tomorrow"), std::string::npos);
    Outcome outcome = text();
    EXPECT_TRUE(contains(outcome.out, "Pause            held until " + day + " (seven-day window at 95 %)"))
        << outcome.out;
    EXPECT_TRUE(contains(outcome.out, "  held (SIGSTOP)")) << outcome.out;
    EXPECT_TRUE(
        contains(outcome.out, "Weekly           96% of the seven-day window, resets " + day + " (holds at 95%)"))
        << outcome.out;
    EXPECT_TRUE(contains(outcome.out, "Extra usage      40% of the spend limit ($20.00 of $50.00), resets "))
        << outcome.out;
    ::kill(child.pid(), SIGCONT);
}

TEST_F(FrontStatus, DaemonHoldingTheLock) {
    int fd = ::open(state.lockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    JSONFile::atomicWrite(JSONObject{{"pid", ::getpid()},
                                     {"pid_start", ownStart()},
                                     {"started_at", 1796600000},
                                     {"argv", JSONArray{"tarnel-vovivida"}}},
                          state.pidPath(), false);

    JSON report = statusJSON(home, state.root());
    EXPECT_EQ(report["daemon"]["running"], true);
    EXPECT_EQ(report["daemon"]["lock"], "held");
    EXPECT_EQ(report["daemon"]["pid"], ::getpid());
    EXPECT_EQ(report["daemon"]["pid_verified"], true);
    Outcome outcome = text();
    EXPECT_TRUE(contains(outcome.out, "Daemon           running, pid " + std::to_string(::getpid()) + "\n"))
        << outcome.out;

    // The daemon is gone (lock released) but left its pid file behind.
    ::flock(fd, LOCK_UN);
    report = statusJSON(home, state.root());
    EXPECT_EQ(report["daemon"]["running"], false);
    EXPECT_EQ(report["daemon"]["lock"], "free");
    EXPECT_TRUE(contains(text().out, "not running (daemon.pid left behind")) << text().out;
}

}  // namespace
}  // namespace tracker
