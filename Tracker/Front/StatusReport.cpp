#include "Front/StatusReport.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <sstream>

#include "Core/Decide.hpp"
#include "Core/HoldNotice.hpp"
#include "Core/NumberText.hpp"
#include "Core/PIDRange.hpp"
#include "Core/ProcessTable.hpp"
#include "Core/StatusLine.hpp"
#include "Core/TrackerConfig.hpp"
#include "Platform/Freezer.hpp"
#include "Platform/UserScope.hpp"

namespace tracker::Front {

namespace {

// A number for the JSON form; null when it has none.
JSON number(double value) {
    return std::isfinite(value) ? JSONCoerce::stamp(value) : JSON(nullptr);
}

JSON optionalNumber(const std::optional<double>& value) {
    return value ? number(*value) : JSON(nullptr);
}

JSON localClockJSON(double t) {
    auto text = NumberText::localHourMinute(t);
    return text ? JSON(*text) : JSON(nullptr);
}

using StatusLine::span;

std::string percent(double value) {
    if (!std::isfinite(value)) return "?";
    char text[64];
    std::snprintf(text, sizeof text, "%.1f", value);
    std::string shown = text;
    if (shown.size() > 2 && shown.compare(shown.size() - 2, 2, ".0") == 0) shown.resize(shown.size() - 2);
    return shown + "%";
}

// "+20.0%/h over the last 30m: 90% at about 14:20".
std::string forecastText(const UsageHistory::Forecast& forecast, double threshold, double now) {
    char rate[64];
    std::snprintf(rate, sizeof rate, "%+.1f%%/h", forecast.perHour);
    std::string text = std::string(rate) + " over the last " + span(forecast.over);
    if (forecast.thresholdAt && forecast.resetFirst) {
        text += ": the window resets before " + percent(threshold);
    } else if (forecast.thresholdAt) {
        text += ": " + percent(threshold) + " at about " + NumberText::dayClockText(*forecast.thresholdAt, now);
    }
    return text;
}

// Pids that ps can be asked about: above 0 and within 32 bits.
void addPID(std::vector<std::int64_t>& pids, std::optional<std::int64_t> pid) {
    if (pid && PIDRange::fits(*pid)) pids.push_back(*pid);
}

const char* lockText(StatusReport::LockState state) {
    switch (state) {
        case StatusReport::LockState::held:
            return "held";
        case StatusReport::LockState::free:
            return "free";
        case StatusReport::LockState::absent:
            return "absent";
        case StatusReport::LockState::unknown:
            break;
    }
    return "unknown";
}

// Which hold stands: the usage window's, one asked for with `tarnel pause`, or both.
const char* holdKind(const Pause& pause) {
    if (!pause.manualUntil) return "usage";
    return pause.usage.empty() ? "manual" : "manual+usage";
}

}  // namespace

StatusReport::LockState StatusReport::probeLock(const std::string& lockPath) {
    // Not through a link, and not waiting on a FIFO planted there.
    int fd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return errno == ENOENT ? LockState::absent : LockState::unknown;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return LockState::unknown;
    }
    // A shared lock can be had unless a daemon holds its exclusive one.
    LockState state = LockState::unknown;
    if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
        ::flock(fd, LOCK_UN);
        state = LockState::free;
    } else if (errno == EWOULDBLOCK) {
        state = LockState::held;
    }
    ::close(fd);
    return state;
}

StatusReport StatusReport::gather(const StateDir& stateDir, double now,
                                  std::optional<std::vector<std::int64_t>> frozen) {
    StatusReport report;
    report.stateDir = stateDir.root();
    std::error_code ec;
    report.stateDirExists = std::filesystem::is_directory(stateDir.root(), ec);
    report.now = now;
    report.daemon.lockPath = stateDir.lockPath();
    report.stateDirProblem = stateDir.trustProblem();
    if (report.stateDirProblem) {
        report.daemon.lock = LockState::unknown;
        return report;
    }

    const StateDir::ConfigRead read = stateDir.readConfigChecked();
    const TrackerConfig& config = read.settings;
    report.configProblem = read.problem;
    report.threshold = config.threshold;
    const auto pidFile = stateDir.readDaemonPID();
    const std::vector<Record> records = stateDir.readRecords();
    report.recordCount = records.size();
    report.pause = stateDir.readPause();
    report.lastThaw = stateDir.readLastThaw();
    auto history = stateDir.readUsageHistory();

    report.daemon.lockPath = stateDir.lockPath();
    report.daemon.lock = probeLock(stateDir.lockPath());
    if (pidFile) {
        report.daemon.pid = pidFile->pid;
        report.daemon.pidStart = pidFile->pidStart;
        report.daemon.startedAt = pidFile->startedAt;
    }

    // One snapshot of just the processes the files name.
    std::vector<std::int64_t> pids;
    for (const auto& record : records) addPID(pids, record.pid);
    if (report.pause) {
        for (const auto& target : report.pause->targets) {
            addPID(pids, target.pid);
            addPID(pids, target.shellPID);
        }
    }
    addPID(pids, report.daemon.pid);
    std::sort(pids.begin(), pids.end());
    pids.erase(std::unique(pids.begin(), pids.end()), pids.end());
    const ProcessTable table = pids.empty() ? ProcessTable() : ProcessTable::fromSystem(pids);

    const auto alive = [&](const Record& record) { return table.isAlive(record.pid); };
    report.freshest = Decide::pickTruth(records, now, config, alive);
    for (UsageWindow window : {UsageWindow::sevenDay, UsageWindow::spend}) {
        if (auto truth = Decide::pickTruth(records, now, config, alive, window)) report.windows[window] = *truth;
    }
    if (!frozen) {
        auto freezer = Freezer::make({});
        frozen = freezer ? freezer->heldPIDs() : std::vector<std::int64_t>{};
    }
    const auto isFrozen = [&](std::int64_t pid) { return std::binary_search(frozen->begin(), frozen->end(), pid); };
    std::sort(frozen->begin(), frozen->end());
    if (report.pause) {
        for (const auto& target : report.pause->targets) {
            TargetState state;
            state.target = target;
            state.alive = table.isAlive(target.pid);
            state.verified = table.isSameProcess(target.pid, target.pidStart, target.startID);
            state.claude = table.isClaudePID(target.pid, target.pidStart, target.startID);
            auto row = table.get(target.pid);
            state.stopped = state.verified && row && row->stopped();
            state.shellAlive = target.shellPID && table.isAlive(target.shellPID);
            if (state.verified && isFrozen(target.pid)) {
                state.heldBy = UserScope::holds(target.pid) ? "user scope" : "freezer";
            } else if (state.stopped) {
                state.heldBy = "SIGSTOP";
            }
            report.targets.push_back(state);
        }
    }
    report.daemon.pidVerified = report.daemon.pid && table.isSameProcess(*report.daemon.pid, report.daemon.pidStart);
    for (std::int64_t pid : *frozen) {
        const bool named = report.pause && std::any_of(report.pause->targets.begin(), report.pause->targets.end(),
                                                       [&](const Target& target) { return target.pid == pid; });
        if (named) continue;
        for (const Record& record : records) {
            if (record.pid == pid && table.isClaudePID(pid, record.pidStart, record.startID)) {
                report.orphaned.push_back({record.sessionID, pid});
                break;
            }
        }
    }
    // The threshold in force is the running daemon's (its command line or environment may have set it).
    if (report.daemon.pidVerified && pidFile->threshold) report.threshold = *pidFile->threshold;
    for (const Record& record : records) {
        auto phase = stateDir.readPhase(record.sessionID);
        if (phase && phase->limitHitAt && *phase->limitHitAt > now - limitHitsWithin) {
            report.limitHits.push_back({record.sessionID, *phase->limitHitAt});
        }
    }
    report.settings = config;
    report.settings.threshold = report.threshold;
    if (history && history->resetsAt() > now) report.forecast = history->forecast(report.threshold);
    auto weeklyHistory = stateDir.readUsageHistory({}, UsageWindow::sevenDay);
    if (weeklyHistory && weeklyHistory->resetsAt() > now && config.weeklyThreshold) {
        report.weeklyForecast = weeklyHistory->forecast(*config.weeklyThreshold);
    }
    if (!report.pause || !report.pause->usageHolds(now)) {
        for (UsageWindow window : UsageWindows::all) {
            auto figure = window == UsageWindow::fiveHour ? report.freshest : std::optional<Record>();
            if (auto found = report.windows.find(window); found != report.windows.end()) figure = found->second;
            const auto& known = window == UsageWindow::fiveHour ? history : weeklyHistory;
            const UsageHistory* kept = window != UsageWindow::spend && known ? &*known : nullptr;
            if (auto warning = UsageWarning::of(window, figure, report.settings, kept, now)) {
                report.warnings.push_back(*warning);
            }
        }
    }
    return report;
}

std::optional<std::string> StatusReport::limitHitText() const {
    if (limitHits.empty()) return std::nullopt;
    double last = 0;
    for (const auto& hit : limitHits) last = std::max(last, hit.at);
    return std::to_string(limitHits.size()) + (limitHits.size() == 1 ? " session hit" : " sessions hit") +
           " the limit" + (limitHits.size() == 1 ? " at " : ", the last at ") + NumberText::dayClockText(last, now);
}

JSON StatusReport::waitingUntil(const std::string& sessionID) const {
    if (!pause) return nullptr;
    auto until = pause->waiting.find(sessionID);
    return until == pause->waiting.end() ? JSON(nullptr) : number(until->second);
}

JSON StatusReport::toJSON() const {
    JSONObject object;
    object["state_dir"] = stateDir;
    object["state_dir_exists"] = stateDirExists;
    object["state_dir_problem"] = stateDirProblem ? JSON(*stateDirProblem) : JSON(nullptr);
    object["now"] = number(now);
    object["records"] = recordCount;
    object["threshold"] = number(threshold);
    object["config_problem"] = configProblem ? JSON(*configProblem) : JSON(nullptr);

    JSON usage = nullptr;
    if (freshest) {
        double used = freshest->usedPercentage().value_or(NAN);
        double resets = freshest->resetsAt().value_or(NAN);
        usage = JSONObject{
            {"session_id", freshest->sessionID},         {"pid", freshest->pid},
            {"used_percentage", number(used)},           {"resets_at", number(resets)},
            {"resets_at_local", localClockJSON(resets)}, {"resets_in", number(std::max(0.0, resets - now))},
            {"recorded_at", number(freshest->ts)},       {"age", number(now - freshest->ts)},
        };
        object["threshold_reached"] = std::isfinite(used) && used >= threshold;
    } else {
        object["threshold_reached"] = false;
    }
    object["usage"] = usage;
    JSONObject windowFigures;
    for (const auto& [window, truth] : windows) {
        const double used = truth.usedPercentage(window).value_or(NAN);
        const double resets = truth.resetsAt(window).value_or(NAN);
        auto threshold = settings.thresholdFor(window);
        JSONObject figure{
            {"session_id", truth.sessionID},
            {"used_percentage", number(used)},
            {"resets_at", number(resets)},
            {"resets_at_local", localClockJSON(resets)},
            {"threshold", optionalNumber(threshold)},
            {"threshold_reached", threshold && std::isfinite(used) && used >= *threshold},
        };
        if (window == UsageWindow::spend) {
            for (const char* key : {"used_usd", "limit_usd"}) figure[key] = optionalNumber(truth.figure(window, key));
        }
        windowFigures[UsageWindows::name(window)] = std::move(figure);
    }
    object["windows"] = std::move(windowFigures);

    JSON pauseJSON = nullptr;
    if (pause) {
        JSONArray targetList;
        for (const auto& state : targets) {
            targetList.push_back(JSONObject{
                {"session_id", state.target.sessionID},
                {"pid", state.target.pid},
                {"pid_start", state.target.pidStart},
                {"shell_pid", state.target.shellPID ? JSON(*state.target.shellPID) : JSON(nullptr)},
                {"shape", shapeText(state.target.shape)},
                {"alive", state.alive},
                {"verified", state.verified},
                {"claude", state.claude},
                {"stopped", state.stopped},
                {"held", !state.heldBy.empty()},
                {"held_by", state.heldBy.empty() ? JSON(nullptr) : JSON(state.heldBy)},
                {"shell_alive", state.shellAlive},
                {"waiting_until", waitingUntil(state.target.sessionID)},
            });
        }
        pauseJSON = JSONObject{
            {"paused_at", number(pause->pausedAt)},
            {"resume_at", number(pause->resumeAt)},
            {"resume_at_local", localClockJSON(pause->resumeAt)},
            {"resumes_in", number(std::isfinite(pause->resumeAt) ? std::max(0.0, pause->resumeAt - now) : 0.0)},
            {"reason", pause->reason},
            {"source_session", pause->sourceSession},
            {"kind", holdKind(*pause)},
            {"manual_until", optionalNumber(pause->manualUntil)},
            {"usage_until", optionalNumber(pause->usageUntil())},
            {"window", pause->window()},
            {"held_until", HoldNotice::heldUntil(*pause, settings, now)},
            {"targets", targetList},
        };
    }
    object["pause"] = pauseJSON;

    JSON thaw = nullptr;
    if (lastThaw) {
        thaw = JSONObject{
            {"thawed_at", number(lastThaw->thawedAt)},
            {"thawed_at_local", localClockJSON(lastThaw->thawedAt)},
            {"ago", number(now - lastThaw->thawedAt)},
            {"previous_resume_at", number(lastThaw->previousResumeAt)},
        };
    }
    object["last_thaw"] = thaw;
    JSON orphans = JSON::array();
    for (const auto& orphan : orphaned) orphans.push_back({{"session_id", orphan.sessionID}, {"pid", orphan.pid}});
    object["held_without_pause"] = orphans;
    JSON forecastJSON;
    if (forecast) {
        forecastJSON = {
            {"per_hour", number(forecast->perHour)},
            {"over", number(forecast->over)},
            {"threshold_at", forecast->thresholdAt ? number(*forecast->thresholdAt) : JSON(nullptr)},
            {"threshold_at_local", forecast->thresholdAt ? localClockJSON(*forecast->thresholdAt) : JSON(nullptr)},
            {"reset_first", forecast->resetFirst},
        };
    }
    object["forecast"] = forecastJSON;
    JSON weekly;
    if (weeklyForecast) {
        weekly = {
            {"per_hour", number(weeklyForecast->perHour)},
            {"over", number(weeklyForecast->over)},
            {"threshold_at", optionalNumber(weeklyForecast->thresholdAt)},
            {"reset_first", weeklyForecast->resetFirst},
        };
    }
    object["forecast_seven_day"] = weekly;
    JSON warned = JSON::array();
    for (const auto& warning : warnings) {
        warned.push_back({{"window", UsageWindows::name(warning.window)},
                          {"text", warning.text(now)},
                          {"threshold_at", optionalNumber(warning.thresholdAt)}});
    }
    object["warnings"] = warned;
    JSON hits = JSON::array();
    for (const auto& hit : limitHits) hits.push_back({{"session_id", hit.sessionID}, {"at", number(hit.at)}});
    object["limit_hits"] = hits;

    object["daemon"] = JSONObject{
        {"running", daemon.lock == LockState::held},
        {"lock", lockText(daemon.lock)},
        {"lock_path", daemon.lockPath},
        {"pid", daemon.pid ? JSON(*daemon.pid) : JSON(nullptr)},
        {"pid_start", daemon.pid ? JSON(daemon.pidStart) : JSON(nullptr)},
        {"started_at", optionalNumber(daemon.startedAt)},
        {"pid_verified", daemon.pidVerified},
    };
    return object;
}

std::string StatusReport::toText() const {
    std::ostringstream out;
    out << "State directory  " << stateDir << (stateDirExists ? "" : " (does not exist: nothing has run here yet)")
        << "\n";
    if (stateDirProblem) {
        out << "Not used         " << *stateDirProblem << "\n"
            << "                 Neither tarnel-tee nor tarnel-vovivida acts on it until it is fixed.\n";
        return out.str();
    }

    if (freshest) {
        double used = freshest->usedPercentage().value_or(NAN);
        double resets = freshest->resetsAt().value_or(NAN);
        out << "Usage            " << percent(used) << " of the five-hour window, resets at "
            << NumberText::clockText(resets);
        if (std::isfinite(resets) && resets > now) {
            out << " (in " << span(resets - now) << ")";
        } else {
            out << " (already passed)";
        }
        out << "\n                 session " << shortSessionID(freshest->sessionID) << ", pid " << freshest->pid
            << ", recorded " << span(now - freshest->ts) << " ago (" << recordCount << " record"
            << (recordCount == 1 ? "" : "s") << ")\n";
    } else {
        out << "Usage            unknown: no fresh record of a live session (" << recordCount << " record"
            << (recordCount == 1 ? "" : "s") << ")\n";
    }

    for (const auto& [window, truth] : windows) {
        const double used = truth.usedPercentage(window).value_or(NAN);
        const double resets = truth.resetsAt(window).value_or(NAN);
        out << (window == UsageWindow::sevenDay ? "Weekly           " : "Extra usage      ") << percent(used)
            << " of the " << UsageWindows::described(window);
        auto spent = truth.figure(window, "used_usd");
        auto limit = truth.figure(window, "limit_usd");
        if (spent && limit) {
            char money[96];
            std::snprintf(money, sizeof money, " ($%.2f of $%.2f)", *spent, *limit);
            out << money;
        }
        out << ", resets " << NumberText::dayClockText(resets, now);
        auto held = settings.thresholdFor(window);
        out << (held ? " (holds at " + percent(*held) + ")" : std::string(" (no hold: off)")) << "\n";
    }

    if (configProblem) out << "Config           " << *configProblem << ": every setting is its default\n";
    out << "Threshold        " << percent(threshold);
    if (freshest && freshest->usedPercentage()) {
        double used = *freshest->usedPercentage();
        if (used >= threshold) {
            out << " (reached)";
        } else {
            out << " (" << percent(threshold - used) << " to go)";
        }
    }
    out << "\n";

    if (forecast) {
        out << "Forecast         " << forecastText(*forecast, threshold, now) << "\n";
    } else {
        out << "Forecast         not yet (needs two figures a minute apart in this window)\n";
    }
    if (weeklyForecast && settings.weeklyThreshold) {
        out << "Forecast, week   " << forecastText(*weeklyForecast, *settings.weeklyThreshold, now) << "\n";
    }
    for (const auto& warning : warnings) out << "Warning          " << warning.text(now) << "\n";
    if (auto hits = limitHitText()) {
        out << "Limit hit        " << *hits << " (a turn ended with rate_limit before any hold)\n";
    }

    if (!pause) {
        out << "Pause            none\n";
    } else {
        if (std::isfinite(pause->resumeAt) && pause->resumeAt > now) {
            out << "Pause            " << HoldNotice::heldUntil(*pause, settings, now) << ", in "
                << span(pause->resumeAt - now);
        } else {
            out << "Pause            due to end at " << NumberText::clockText(pause->resumeAt)
                << " (overdue: a running daemon thaws at its next tick)";
        }
        out << ", since " << NumberText::clockText(pause->pausedAt) << "\n";
        if (!pause->reason.empty()) out << "                 reason: " << pause->reason << "\n";
        if (pause->manualUntil) {
            out << "                 asked for with tarnel pause until "
                << NumberText::dayClockText(*pause->manualUntil, now);
            for (const auto& [window, hold] : pause->usage) {
                out << "; the " << UsageWindows::described(window) << "'s until "
                    << NumberText::dayClockText(hold.until, now);
            }
            out << "\n";
        }
        if (targets.empty()) out << "                 it names no sessions\n";
        for (const auto& state : targets) {
            out << "  session " << shortSessionID(state.target.sessionID) << "  pid " << state.target.pid;
            if (state.target.shellPID) {
                out << " (shell " << *state.target.shellPID << (state.shellAlive ? "" : ", gone") << ")";
            }
            if (auto until = pause->waiting.find(state.target.sessionID);
                state.verified && until != pause->waiting.end()) {
                out << "  waiting for a safe point (up to " << NumberText::clockText(until->second) << ")";
            } else if (state.verified) {
                out << (state.heldBy.empty() ? "  not held" : "  held (" + state.heldBy + ")");
            } else if (state.alive) {
                out << "  not verified: the pid now belongs to another process";
            } else {
                out << "  gone";
            }
            out << "\n";
        }
    }

    for (const auto& orphan : orphaned) {
        out << "Held, no pause   session " << shortSessionID(orphan.sessionID) << "  pid " << orphan.pid
            << ": frozen by an earlier run whose pause.json and held.json are lost; the daemon lets it go when it "
               "starts (or tarnel-vovivida --thaw-now)\n";
    }
    if (lastThaw) {
        out << "Last thaw        " << NumberText::clockText(lastThaw->thawedAt) << " ("
            << span(now - lastThaw->thawedAt) << " ago)\n";
    } else {
        out << "Last thaw        none\n";
    }

    switch (daemon.lock) {
        case LockState::held:
            out << "Daemon           running";
            if (daemon.pid) {
                out << ", pid " << *daemon.pid << (daemon.pidVerified ? "" : " (not verified against daemon.pid)");
            } else {
                out << " (no daemon.pid yet)";
            }
            break;
        case LockState::unknown:
            out << "Daemon           unknown: cannot test the lock " << daemon.lockPath;
            break;
        case LockState::free:
        case LockState::absent:
            out << "Daemon           not running";
            if (daemon.pid) out << " (daemon.pid left behind names pid " << *daemon.pid << ")";
            break;
    }
    out << "\n";
    if (pause && daemon.lock != LockState::held) {
        out << "                 nothing thaws the paused sessions until a daemon runs;\n"
               "                 tarnel-vovivida --thaw-now continues them at once\n";
    }
    return out.str();
}

}  // namespace tracker::Front
