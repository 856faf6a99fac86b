#include "Front/DoctorReport.hpp"

#include <unistd.h>

#include <cmath>
#include <sstream>

#include "Core/CommandLine.hpp"
#include "Core/HoldNotice.hpp"
#include "Core/HookSettings.hpp"
#include "Core/NumberText.hpp"
#include "Core/SettingsInstaller.hpp"
#include "Core/ShellStopMode.hpp"
#include "Core/StateDirTrust.hpp"
#include "Core/StatusLine.hpp"
#include "Core/TrackerConfig.hpp"
#include "Platform/ProcessSource.hpp"

namespace tracker::Front {

namespace {

constexpr int ancestorHops = 16;

DoctorReport::Finding good(std::string what) {
    return {std::move(what), {}, true};
}

DoctorReport::Finding bad(std::string what, std::string fix) {
    return {std::move(what), std::move(fix), false};
}

std::string programName(const std::string& command) {
    std::string first = command.substr(0, command.find(' '));
    auto slash = first.rfind('/');
    return slash == std::string::npos ? first : first.substr(slash + 1);
}

// "tmux" or "screen" for a command of theirs (whose arguments may well name claude), else "".
std::string multiplexerOf(const std::string& command) {
    std::string name = programName(command);
    if (name.rfind("tmux", 0) == 0) return "tmux";
    if (name == "screen" || name == "SCREEN") return "screen";
    return {};
}

bool isSessionCommand(const std::string& command) {
    return isClaudeCommand(command) && multiplexerOf(command).empty();
}

// The multiplexer among the ancestors of pid, which continues what it runs as soon as it is stopped.
std::string multiplexerAbove(const ProcessTable& table, std::int64_t pid) {
    auto row = table.parent(pid);
    for (int hop = 0; row && hop < ancestorHops; ++hop, row = table.parent(row->pid)) {
        if (auto name = multiplexerOf(row->command); !name.empty()) return name;
    }
    return {};
}

// A Claude process under another one is part of that session (a helper it started).
bool underAnotherClaude(const ProcessTable& table, std::int64_t pid) {
    auto row = table.parent(pid);
    for (int hop = 0; row && hop < ancestorHops; ++hop, row = table.parent(row->pid)) {
        if (isSessionCommand(row->command)) return true;
    }
    return false;
}

const char* routeText(ProcessContext::HoldRoute route) {
    switch (route) {
        case ProcessContext::HoldRoute::freezer:
            return "freezer";
        case ProcessContext::HoldRoute::userScope:
            return "user-scope";
        case ProcessContext::HoldRoute::signalOnly:
            break;
    }
    return "signal";
}

// Where the tee of a session that has no record here writes: the state directory the installed status line
// names, else the one its environment names, else the default.
std::string teeStateDir(const DoctorReport::Inputs& inputs, const JSONObject& settings, std::int64_t pid) {
    if (auto installed = SettingsInstaller::installedStateDir(settings)) return StateDir(*installed).root();
    Environment environment;
    if (auto named = inputs.environment(pid, StateDir::environmentKey)) environment[StateDir::environmentKey] = *named;
    return StateDir::fromEnvironment(std::nullopt, environment).root();
}

void judgeHold(DoctorReport::Session& session) {
    using ProcessContext::HoldRoute;
    const auto& outlook = session.outlook;
    if (outlook.route == HoldRoute::freezer) {
        session.findings.push_back(good("a hold holds: the freezer, in " + outlook.detail));
    } else if (outlook.route == HoldRoute::userScope) {
        session.findings.push_back(
            good("a hold holds: moved into a scope of the user's service manager (" + outlook.detail + ")"));
    } else if (!session.multiplexer.empty()) {
        session.findings.push_back(
            bad("a hold will NOT hold: only SIGSTOP is left (" + outlook.detail + "), and " + session.multiplexer +
                    " continues what it runs at once",
                "run " + session.multiplexer +
                    " where the freezer works: in a desktop session, or as a systemd user service; for SSH logins "
                    "keep the user's service manager running (loginctl enable-linger)"));
        return;
    } else {
        session.findings.push_back(good("a hold holds by SIGSTOP, checked after each stop (" + outlook.detail + ")"));
    }
}

void judgeSession(DoctorReport::Session& session, const DoctorReport::Inputs& inputs,
                  const std::vector<Record>& records, const TrackerConfig& config, const JSONObject& settings) {
    const Proc& proc = inputs.table.byPID.at(session.pid);
    for (const Record& record : records) {
        if (record.pid != session.pid) continue;
        if (!session.record || record.ts > session.record->ts) session.record = record;
    }
    if (!session.record) {
        const std::string writes = teeStateDir(inputs, settings, session.pid);
        if (!SettingsInstaller::pointsAtTee(settings)) {
            session.findings.push_back(
                bad("no record: the status line in " + inputs.settingsPath + " is not tarnel-tee",
                    "run `tarnel install`, then let the session refresh its status line"));
        } else if (writes != inputs.stateDir.root()) {
            session.findings.push_back(bad("no record here: its tee would write to " + writes,
                                           "use one state directory for tee and daemon (--state-dir or " +
                                               std::string(StateDir::environmentKey) + ")"));
        } else {
            session.findings.push_back(
                bad("no record: its status line has not run since it started, or runs another "
                    "settings file",
                    "let it refresh (send a message), or check CLAUDE_CONFIG_DIR"));
        }
        session.outcome = DoctorReport::Outcome::notHeld;
        return;
    }
    const Record& record = *session.record;
    session.shape = record.shape;
    session.shellPID = record.parentShellPID;
    const double age = inputs.now - record.ts;
    bool holdable = true;
    session.findings.push_back(
        good("recorded as session " + shortSessionID(record.sessionID) + ", " + StatusLine::span(age) + " ago"));
    if (!inputs.table.isClaudePID(record.pid, record.pidStart, record.startID)) {
        session.findings.push_back(
            bad("its record names an earlier process with this pid", "let the session refresh its status line"));
        holdable = false;
    }
    if (record.fromHooks) {
        session.findings.push_back(
            good("known from its hooks alone (no status line of ours, as a `claude -p` run): "
                 "held with the others when another session's figure crosses a threshold"));
    } else if (!record.hasFigures()) {
        session.findings.push_back(
            good("no figure yet (before its first reply; an API-key login never has one): nothing to hold for yet"));
        session.outcome = DoctorReport::Outcome::noWindow;
        return;
    }
    if (!(age <= config.staleAfter)) {
        session.findings.push_back(bad(
            "its record is stale (older than " + StatusLine::span(config.staleAfter) + "): the daemon leaves it out",
            "check that the status line refreshes (refreshInterval in the settings)"));
        holdable = false;
    }
    if (record.exempt) {
        session.findings.push_back(good("exempt: never held, it keeps the reserve"));
        session.outcome = DoctorReport::Outcome::exempt;
        return;
    }
    if (proc.uid >= 0 && inputs.uid >= 0 && proc.uid != inputs.uid) {
        session.findings.push_back(bad("it runs as user " + std::to_string(proc.uid) + ", not as this user",
                                       "run the daemon as the user who runs the session"));
        holdable = false;
    }
    judgeHold(session);
    if (!session.findings.back().ok) holdable = false;
    session.outcome = holdable ? DoctorReport::Outcome::held : DoctorReport::Outcome::notHeld;
}

std::vector<DoctorReport::Finding> judgeSetup(const DoctorReport::Inputs& inputs, const StatusReport& status,
                                              const JSONObject& settings, const StateDir::ConfigRead& read) {
    const TrackerConfig& config = read.settings;
    std::vector<DoctorReport::Finding> found;
    if (status.stateDirProblem) {
        found.push_back(bad("state directory " + status.stateDir + " is not used: " + *status.stateDirProblem,
                            "make it the user's alone (chmod 700, owned by the user)"));
    }
    if (status.pause && status.pause->resumeAt > status.now) {
        found.push_back(good("a hold stands: " + std::to_string(status.pause->targets.size()) + " session(s) " +
                             HoldNotice::heldUntil(*status.pause, status.settings, status.now)));
    }
    if (auto hits = status.limitHitText()) {
        found.push_back(good(*hits + " (a turn ended with rate_limit before any hold): if it comes again, a lower "
                                     "threshold holds sooner"));
    }
    const auto& daemon = status.daemon;
    if (daemon.lock == StatusReport::LockState::held && daemon.pid && daemon.pidVerified) {
        std::string how = "daemon running, pid " + std::to_string(*daemon.pid);
        if (auto unit = inputs.serviceUnit(*daemon.pid)) how += ", as " + *unit;
        found.push_back(
            good(how + ", on " + status.stateDir + ", threshold " + NumberText::shortest(status.threshold) + " %"));
    } else if (daemon.lock == StatusReport::LockState::held) {
        found.push_back(good("a daemon holds the lock of " + status.stateDir + ", threshold " +
                             NumberText::shortest(status.threshold) + " %"));
    } else {
        std::string elsewhere;
        for (const auto& [pid, proc] : inputs.table.byPID) {
            if (programName(proc.command) == "tarnel-vovivida") {
                elsewhere = " (tarnel-vovivida pid " + std::to_string(pid) + " runs on another state directory)";
                break;
            }
        }
        found.push_back(bad("no daemon runs on " + status.stateDir + elsewhere,
                            "systemctl --user enable --now tarnel-vovivida.service (or start tarnel-vovivida)"));
    }

    const std::string command = SettingsInstaller::statusLineCommand(settings);
    if (!SettingsInstaller::pointsAtTee(settings)) {
        found.push_back(bad("the status line in " + inputs.settingsPath + " is not tarnel-tee" +
                                (command.empty() ? "" : " (" + command + ")"),
                            "tarnel install"));
    } else if (auto dir = SettingsInstaller::installedStateDir(settings);
               dir && StateDir(*dir).root() != inputs.stateDir.root()) {
        found.push_back(
            bad("the status line's tee writes to " + StateDir(*dir).root() + ", not " + inputs.stateDir.root(),
                "tarnel install --state-dir " + inputs.stateDir.root()));
    } else {
        found.push_back(good("the status line in " + inputs.settingsPath + " runs tarnel-tee"));
    }
    if (HookSettings::hasOurs(settings)) {
        found.push_back(good("the hooks that hold a session between replies are in " + inputs.settingsPath));
        if (auto unused = HookSettings::unusedEvents(settings); !unused.empty()) {
            std::string events;
            for (const auto& event : unused) events += (events.empty() ? "" : ", ") + event;
            found.push_back({"hooks of an earlier install also run tarnel-tee for " + events +
                                 ": a run of the tee at each tool call that tells the daemon nothing",
                             "tarnel install (it replaces them)", true});
        }
    } else {
        // Holds still hold without them; they may only land in the middle of a reply and cost its turn.
        found.push_back(
            {"no hooks tell the daemon where a session stands in its turn: a hold lands at once, "
             "even in the middle of a reply",
             "tarnel install (it adds them beside your own hooks)", true});
    }

    std::vector<std::string> problems;
    for (const auto& problem : config.problems) problems.push_back(problem.key + " " + problem.value.dump());
    if (read.problem) {
        found.push_back(bad(*read.problem,
                            "mend it: until then every setting is its default (the daemon keeps its last good ones)"));
    } else if (problems.empty()) {
        found.push_back(good("config.json sound"));
    } else {
        std::string joined;
        for (const auto& problem : problems) joined += (joined.empty() ? "" : ", ") + problem;
        found.push_back(bad("config.json has values the daemon ignores: " + joined,
                            "fix them in " + inputs.stateDir.configPath() + " (the defaults stand meanwhile)"));
    }
    return found;
}

JSON findingsJSON(const std::vector<DoctorReport::Finding>& findings) {
    JSON list = JSON::array();
    for (const auto& finding : findings) {
        list.push_back(
            {{"ok", finding.ok}, {"what", finding.what}, {"fix", finding.fix.empty() ? JSON() : JSON(finding.fix)}});
    }
    return list;
}

void writeFindings(std::ostream& out, const std::vector<DoctorReport::Finding>& findings, const char* indent) {
    for (const auto& finding : findings) {
        out << indent << (!finding.ok ? "FAIL " : finding.fix.empty() ? "ok   " : "note ") << finding.what << "\n";
        if (!finding.fix.empty()) out << indent << "     fix: " << finding.fix << "\n";
    }
}

}  // namespace

const char* outcomeText(DoctorReport::Outcome outcome) {
    switch (outcome) {
        case DoctorReport::Outcome::held:
            return "will be held";
        case DoctorReport::Outcome::exempt:
            return "exempt";
        case DoctorReport::Outcome::noWindow:
            return "no five-hour window";
        case DoctorReport::Outcome::notHeld:
            break;
    }
    return "will NOT be held";
}

DoctorReport::Inputs DoctorReport::systemInputs(const StateDir& stateDir, const std::string& settingsPath, double now) {
    Inputs inputs;
    inputs.stateDir = stateDir;
    inputs.settingsPath = settingsPath;
    inputs.now = now;
    inputs.table = ProcessTable::fromSystem();
    inputs.outlook = ProcessContext::holdOutlook;
    inputs.environment = ProcessContext::environmentVariable;
    inputs.serviceUnit = ProcessContext::serviceUnit;
    inputs.uid = static_cast<std::int64_t>(::getuid());
    return inputs;
}

DoctorReport DoctorReport::gather(const Inputs& inputs) {
    DoctorReport report;
    report.stateDir = inputs.stateDir.root();
    report.settingsPath = inputs.settingsPath;
    report.now = inputs.now;
    const StatusReport status = inputs.status ? *inputs.status : StatusReport::gather(inputs.stateDir, inputs.now);
    const JSONObject settings = JSONFile::readObject(inputs.settingsPath).value_or(JSONObject{});
    StateDir::ConfigRead config;
    std::vector<Record> records;
    if (!status.stateDirProblem) {
        config = inputs.stateDir.readConfigChecked();
        records = inputs.stateDir.readRecords();
    }
    report.setup = judgeSetup(inputs, status, settings, config);

    for (const Proc& proc : inputs.table.claudes()) {
        if (!isSessionCommand(proc.command) || underAnotherClaude(inputs.table, proc.pid)) continue;
        // Another user's process named claude is not this user's session, nor anything it could fix.
        const bool ownOrUnknown = proc.uid < 0 || inputs.uid < 0 || proc.uid == inputs.uid;
        if (!ownOrUnknown && !inputs.allUsers) continue;
        Session session;
        session.pid = proc.pid;
        session.tty = ProcessSource::terminalName(proc);
        session.shape = inputs.table.classifyShape(proc.pid);
        session.shellPID = inputs.table.parentShellPID(proc.pid);
        session.multiplexer = multiplexerAbove(inputs.table, proc.pid);
        session.outlook = inputs.outlook(proc.pid);
        judgeSession(session, inputs, records, config.settings, settings);
        for (const auto& orphan : status.orphaned) {
            if (orphan.pid != proc.pid) continue;
            session.findings.push_back(
                bad("held now in a frozen group that no pause names (pause.json and held.json "
                    "of the run that held it are lost)",
                    "restart the daemon, or run tarnel-vovivida --thaw-now: either lets it go"));
            session.outcome = DoctorReport::Outcome::notHeld;
        }
        report.sessions.push_back(std::move(session));
    }
    // Sessions known from their hooks alone are held when a figure crosses a threshold: some session must
    // report one.
    const bool someFromHooks = std::any_of(report.sessions.begin(), report.sessions.end(),
                                           [](const Session& s) { return s.record && s.record->fromHooks; });
    const bool someFigure = std::any_of(report.sessions.begin(), report.sessions.end(),
                                        [](const Session& s) { return s.record && s.record->hasFigures(); });
    if (someFromHooks && !someFigure) {
        report.setup.push_back(bad("no figure: a hold needs one interactive session, or the tee as status line",
                                   "run one session with tarnel-tee as its status line (tarnel install), and let "
                                   "it reply once"));
    }
    return report;
}

bool DoctorReport::allHeld() const {
    for (const auto& finding : setup) {
        if (!finding.ok) return false;
    }
    for (const auto& session : sessions) {
        if (session.outcome == Outcome::notHeld) return false;
    }
    return true;
}

JSON DoctorReport::toJSON() const {
    JSON list = JSON::array();
    for (const auto& session : sessions) {
        list.push_back({
            {"pid", session.pid},
            {"tty", session.tty},
            {"shape", shapeText(session.shape)},
            {"shell_pid", session.shellPID ? JSON(*session.shellPID) : JSON()},
            {"multiplexer", session.multiplexer.empty() ? JSON() : JSON(session.multiplexer)},
            {"session_id", session.record ? JSON(session.record->sessionID) : JSON()},
            {"hold_route", routeText(session.outlook.route)},
            {"outcome", outcomeText(session.outcome)},
            {"findings", findingsJSON(session.findings)},
        });
    }
    return {{"state_dir", stateDir}, {"settings", settingsPath},     {"now", now},
            {"all_held", allHeld()}, {"setup", findingsJSON(setup)}, {"sessions", list}};
}

std::string DoctorReport::toText() const {
    std::ostringstream out;
    out << "Set-up\n";
    writeFindings(out, setup, "  ");
    out << "Sessions (" << sessions.size() << " live)\n";
    std::size_t notHeld = 0;
    for (const auto& session : sessions) {
        if (session.outcome == Outcome::notHeld) ++notHeld;
        out << "  pid " << session.pid << "  " << session.tty << "  shape " << shapeText(session.shape);
        if (!session.multiplexer.empty()) out << " in " << session.multiplexer;
        out << ": " << outcomeText(session.outcome) << "\n";
        writeFindings(out, session.findings, "    ");
    }
    bool setupSound = true;
    for (const auto& finding : setup) setupSound = setupSound && finding.ok;
    if (allHeld()) {
        out << "Verdict: every session that should be held would be.\n";
    } else if (!setupSound) {
        out << "Verdict: the set-up needs a fix first (see FAIL above).\n";
    } else {
        out << "Verdict: " << notHeld << " of " << sessions.size() << " session" << (sessions.size() == 1 ? "" : "s")
            << " would NOT be held.\n";
    }
    return out.str();
}

}  // namespace tracker::Front
