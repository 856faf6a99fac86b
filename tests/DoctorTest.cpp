// tarnel doctor: a verdict for each kind of session, over a made-up machine, and the command's run.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <functional>
#include <map>
#include <string>

#include "Core/HookSettings.hpp"
#include "Core/NumberText.hpp"
#include "Core/SettingsInstaller.hpp"
#include "Front/DoctorReport.hpp"
#include "RealWorld.hpp"
#include "TestSupport.hpp"

namespace tracker {
namespace {

using Front::DoctorReport;
using Front::StatusReport;
using Route = ProcessContext::HoldRoute;
using test::TempDir;

constexpr double now = 1'800'000'000;
constexpr std::int64_t uid = 1000;

const ProcessStart started = test::startedAt(1'796'623'379);

Proc row(std::int64_t pid, std::int64_t ppid, std::string command,
         std::optional<std::uint64_t> terminal = test::ptsDevice(1)) {
    Proc proc = test::processRow(pid, ppid, std::move(command), started, RunState::sleeping, terminal);
    proc.start.id = "boot:" + std::to_string(pid);
    proc.uid = uid;
    return proc;
}

struct Machine {
    TempDir home;
    StateDir state{home.file("state")};
    std::string settings = home.file("settings.json");
    std::vector<Proc> procs{row(1, 0, "/sbin/init", std::nullopt),
                            row(50, 1, "tmux new-session -d claude", std::nullopt)};
    std::map<std::int64_t, Route> routes;

    Machine() {
        state.ensureDirectories();
        JSONFile::atomicWrite(
            JSONObject{{"statusLine", JSONObject{{"type", "command"}, {"command", "/bin/tarnel-tee"}}}}, settings,
            false);
    }

    // A claude under a shell, itself under parent.
    void session(std::int64_t pid, std::int64_t parent, Route route) {
        procs.push_back(row(pid - 1, parent, "-bash"));
        procs.push_back(row(pid, pid - 1, "claude"));
        routes[pid] = route;
    }

    void record(std::int64_t pid, bool exempt = false, bool figures = true, double age = 5) {
        Record r;
        r.sessionID = "session-" + std::to_string(pid);
        r.pid = pid;
        r.ts = now - age;
        r.pidStart = started.text();
        r.startID = "boot:" + std::to_string(pid);
        r.exempt = exempt;
        if (figures) {
            r.rateLimits = JSONObject{{"five_hour", JSONObject{{"used_percentage", 40}, {"resets_at", now + 3600}}}};
        }
        state.write(r, false);
    }

    std::vector<StatusReport::Orphan> orphaned;

    DoctorReport gather(bool daemonRunning = true, bool allUsers = false) {
        DoctorReport::Inputs inputs;
        inputs.stateDir = state;
        inputs.settingsPath = settings;
        inputs.now = now;
        inputs.table = ProcessTable(procs);
        inputs.outlook = [this](std::int64_t pid) {
            return ProcessContext::HoldOutlook{routes.count(pid) ? routes[pid] : Route::signalOnly, "why"};
        };
        inputs.environment = [](std::int64_t, const std::string&) { return std::nullopt; };
        inputs.serviceUnit = [](std::int64_t) { return std::optional<std::string>("tarnel-vovivida.service"); };
        StatusReport status = StatusReport::gather(state, now, std::vector<std::int64_t>{});
        status.orphaned = orphaned;
        if (daemonRunning) {
            status.daemon.lock = StatusReport::LockState::held;
            status.daemon.pid = 77;
            status.daemon.pidVerified = true;
        }
        inputs.status = status;
        inputs.uid = uid;
        inputs.allUsers = allUsers;
        return DoctorReport::gather(inputs);
    }
};

const DoctorReport::Session* sessionOf(const DoctorReport& report, std::int64_t pid) {
    for (const auto& session : report.sessions) {
        if (session.pid == pid) return &session;
    }
    return nullptr;
}

// Another user's process named claude, recorded in this state directory or not, is not this user's session:
// it cannot make the check fail unless the other users are asked for.
TEST(Doctor, OtherUsersSessionsOnlyWhenAskedFor) {
    Machine machine;
    machine.session(101, 1, Route::freezer);
    machine.record(101);
    machine.procs.push_back(row(201, 1, "claude"));
    machine.procs.back().uid = uid + 1;
    machine.record(201);
    const DoctorReport own = machine.gather();
    EXPECT_EQ(own.sessions.size(), 1u) << own.toText();
    EXPECT_EQ(own.exitStatus(), 0) << own.toText();
    const DoctorReport all = machine.gather(true, true);
    ASSERT_NE(sessionOf(all, 201), nullptr) << all.toText();
    EXPECT_EQ(sessionOf(all, 201)->outcome, DoctorReport::Outcome::notHeld);
    EXPECT_EQ(all.exitStatus(), 1);
}

// A session frozen by a run whose pause.json and ledger are lost is named, with what lets it go.
TEST(Doctor, ASessionHeldWithoutAPauseIsNamed) {
    Machine machine;
    machine.session(101, 1, Route::freezer);
    machine.record(101);
    machine.orphaned = {{"session-101", 101}};
    const DoctorReport report = machine.gather();
    ASSERT_NE(sessionOf(report, 101), nullptr);
    EXPECT_EQ(sessionOf(report, 101)->outcome, DoctorReport::Outcome::notHeld);
    EXPECT_NE(report.toText().find("no pause names"), std::string::npos) << report.toText();
    EXPECT_NE(report.toText().find("tarnel-vovivida --thaw-now"), std::string::npos);
}

TEST(Doctor, AVerdictForEachKindOfSession) {
    Machine machine;
    machine.session(101, 1, Route::freezer);      // plain, typed at a shell
    machine.session(201, 50, Route::freezer);     // tmux, a group it may write
    machine.session(301, 50, Route::signalOnly);  // tmux, a group it may not write, no user manager
    machine.session(401, 50, Route::userScope);   // tmux, the user manager's scope
    machine.session(501, 1, Route::freezer);      // exempt
    machine.session(601, 1, Route::freezer);      // never recorded
    machine.session(701, 1, Route::freezer);      // an API-key login
    machine.session(801, 1, Route::freezer);      // a status line that stopped refreshing
    for (std::int64_t pid : {101, 201, 301, 401}) machine.record(pid);
    machine.record(501, true);
    machine.record(701, false, false);
    machine.record(801, false, true, 7200);
    // A claude started by a session is part of it, not a session of its own.
    machine.procs.push_back(row(900, 101, "claude --print"));

    const DoctorReport report = machine.gather();
    const struct {
        std::int64_t pid;
        DoctorReport::Outcome outcome;
        const char* says;
    } expected[] = {
        {101, DoctorReport::Outcome::held, "the freezer"},
        {201, DoctorReport::Outcome::held, "the freezer"},
        {301, DoctorReport::Outcome::notHeld, "will NOT hold: only SIGSTOP is left (why), and tmux continues"},
        {401, DoctorReport::Outcome::held, "service manager"},
        {501, DoctorReport::Outcome::exempt, "exempt"},
        {601, DoctorReport::Outcome::notHeld, "no record"},
        {701, DoctorReport::Outcome::noWindow, "no figure yet (before its first reply"},
        {801, DoctorReport::Outcome::notHeld, "stale"},
    };
    ASSERT_EQ(report.sessions.size(), std::size(expected)) << report.toText();
    for (const auto& want : expected) {
        SCOPED_TRACE(want.pid);
        const auto* session = sessionOf(report, want.pid);
        ASSERT_NE(session, nullptr);
        EXPECT_EQ(session->outcome, want.outcome) << report.toText();
        bool said = false;
        for (const auto& finding : session->findings) said = said || finding.what.find(want.says) != std::string::npos;
        EXPECT_TRUE(said) << report.toText();
    }
    EXPECT_EQ(sessionOf(report, 301)->multiplexer, "tmux");
    EXPECT_EQ(sessionOf(report, 101)->multiplexer, "");
    EXPECT_FALSE(report.allHeld());
    EXPECT_EQ(report.exitStatus(), 1);
    const std::string text = report.toText();
    EXPECT_NE(text.find("Verdict: 3 of 8 sessions would NOT be held."), std::string::npos) << text;
    EXPECT_NE(text.find("as tarnel-vovivida.service"), std::string::npos) << text;
    EXPECT_EQ(report.toJSON()["sessions"].size(), 8u);
}

// A session known from its hooks alone is held with the others, as long as some session reports a figure.
TEST(Doctor, SessionsKnownFromTheirHooksNeedAFigureElsewhere) {
    Machine machine;
    machine.session(101, 1, Route::freezer);
    machine.record(101, false, false);
    Record headless = machine.state.readRecords().front();
    headless.fromHooks = true;
    machine.state.write(headless, false);
    auto noFigure = [](const DoctorReport& report) {
        for (const auto& finding : report.setup) {
            if (finding.what.rfind("no figure: a hold needs one interactive session, or the tee as status line", 0) ==
                0) {
                return !finding.ok;
            }
        }
        return false;
    };
    Pause weekly;
    weekly.pausedAt = now - 60;
    weekly.resumeAt = now + 3 * 86400;
    weekly.usage[UsageWindow::sevenDay] = WindowHold{weekly.resumeAt, weekly.resumeAt};
    machine.state.write(weekly);
    const DoctorReport alone = machine.gather();
    EXPECT_TRUE(noFigure(alone)) << alone.toText();
    EXPECT_NE(alone.toText().find("a hold stands: 0 session(s) held until " +
                                  NumberText::dayClockText(weekly.resumeAt, now) + " (seven-day window at 95 %)"),
              std::string::npos)
        << alone.toText();
    EXPECT_EQ(sessionOf(alone, 101)->outcome, DoctorReport::Outcome::held) << alone.toText();
    machine.session(201, 1, Route::freezer);
    machine.record(201);
    EXPECT_FALSE(noFigure(machine.gather()));
}

TEST(Doctor, TheSetUpAroundTheSessions) {
    struct Case {
        const char* name;
        std::function<void(Machine&)> change;
        bool daemonRunning;
        const char* fails;  // "" when every finding is ok
    } cases[] = {
        {"sound",
         [](Machine& m) {
             auto settings = *JSONFile::readObject(m.settings);
             JSONFile::atomicWrite(HookSettings::withHooks(settings, HookSettings::hookCommand("/bin/tarnel-tee")),
                                   m.settings, false);
         },
         true, ""},
        {"no hooks: a note, not a failure", [](Machine&) {}, true, "note: no hooks tell the daemon"},
        {"hooks of an earlier install on events no longer used: a note",
         [](Machine& m) {
             JSONObject settings = HookSettings::withHooks(*JSONFile::readObject(m.settings),
                                                           HookSettings::hookCommand("/bin/tarnel-tee"));
             settings["hooks"]["PostToolUse"] = settings["hooks"]["Stop"];
             JSONFile::atomicWrite(settings, m.settings, false);
         },
         true,
         "note: hooks of an earlier install also run tarnel-tee for PostToolUse: a run of the tee at each tool call"},
        {"no daemon", [](Machine&) {}, false, "no daemon runs on"},
        {"another status line",
         [](Machine& m) {
             JSONFile::atomicWrite(JSONObject{{"statusLine", JSONObject{{"command", "starship prompt"}}}}, m.settings,
                                   false);
         },
         true, "is not tarnel-tee (starship prompt)"},
        {"a tee writing elsewhere",
         [](Machine& m) {
             JSONFile::atomicWrite(
                 JSONObject{{"statusLine", SettingsInstaller::statusLineValue("/bin/tarnel-tee", 60, "/x/y")}},
                 m.settings, false);
         },
         true, "writes to /x/y"},
        {"a config.json that is not JSON",
         [](Machine& m) { test::writeFile(m.state.configPath(), "{\"threshold\": 85,}"); }, true,
         "config.json is not JSON: line 1, column"},
        {"bad config values",
         [](Machine& m) {
             JSONFile::atomicWrite(JSONObject{{"threshold", 140}, {"grace", "soon"}, {"shell_stop_mode", "x"}},
                                   m.state.configPath(), false);
         },
         true, "threshold 140, shell_stop_mode \"x\", grace \"soon\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Machine machine;
        machine.session(101, 1, Route::freezer);
        machine.record(101);
        c.change(machine);
        const DoctorReport report = machine.gather(c.daemonRunning);
        std::string failed;
        for (const auto& finding : report.setup) {
            if (!finding.ok) failed += finding.what + (finding.fix.empty() ? " (no fix)" : "") + "\n";
            if (finding.ok && !finding.fix.empty()) failed += "note: " + finding.what + "\n";
        }
        if (std::string(c.fails).rfind("note: ", 0) == 0) {
            EXPECT_EQ(failed.rfind(c.fails, 0), 0u) << failed;
            EXPECT_EQ(report.exitStatus(), 0);
        } else if (*c.fails) {
            EXPECT_NE(failed.find(c.fails), std::string::npos) << failed;
            EXPECT_EQ(report.exitStatus(), 1);
        } else {
            EXPECT_EQ(failed, "");
            EXPECT_EQ(report.exitStatus(), 0) << report.toText();
        }
    }
}

TEST(Doctor, TheCommandOnThisMachine) {
    TempDir home;
    auto run = [&](std::vector<std::string> arguments) {
        test::SpawnOptions options;
        options.environment = {"HOME=" + home.path(), "VAZ_ADODIVO_STATE_DIR=", "VAZ_ADODIVO_SETTINGS_FILE="};
        options.stdoutPath = home.file("out");
        options.stderrPath = home.file("err");
        arguments.insert(arguments.begin(), test::builtProgram("tarnel"));
        test::ChildProcess child(arguments, options);
        auto status = child.wait(std::chrono::seconds(60));
        return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
    };
    EXPECT_EQ(run({"doctor", "--bogus"}), 2);
    // No daemon and no status line here: a verdict that says so, and nothing written.
    EXPECT_EQ(run({"doctor", "--json"}), 1);
    auto parsed = JSONFile::parse(test::readFile(home.file("out")));
    ASSERT_TRUE(parsed && parsed->is_object()) << test::readFile(home.file("out"));
    EXPECT_EQ((*parsed)["all_held"], false);
    EXPECT_FALSE(test::fileExists(home.file(".claude")));
}

}  // namespace
}  // namespace tracker
