#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Core/JSONFile.hpp"
#include "Core/Records.hpp"
#include "Core/StateDir.hpp"
#include "Core/TrackerConfig.hpp"
#include "Core/UsageHistory.hpp"
#include "Core/UsageWarning.hpp"

namespace tracker::Front {

// What the daemon would see in a state directory now, gathered once from the
// files, one process-table snapshot and a probe of the daemon's lock.
struct StatusReport {
    // How the daemon's single-instance lock looks from outside.
    enum class LockState { held, free, absent, unknown };

    struct TargetState {
        Target target;
        // Some process has the pid.
        bool alive = false;
        // The pid still names the process that was frozen (same start time).
        bool verified = false;
        // ... and it runs a Claude command.
        bool claude = false;
        bool stopped = false;
        bool shellAlive = false;
        // How it is held: "freezer" (a frozen group of ours), "user scope" (a frozen group in the scope of the
        // user's own manager it was moved to), "SIGSTOP"; empty when it is not held.
        std::string heldBy;
    };

    struct Daemon {
        LockState lock = LockState::absent;
        std::string lockPath;
        // From "daemon.pid", when it is there and names a pid.
        std::optional<std::int64_t> pid;
        std::string pidStart;
        std::optional<double> startedAt;
        // The pid still names the process that wrote "daemon.pid".
        bool pidVerified = false;
    };

    std::string stateDir;
    bool stateDirExists = false;
    // Why the state directory is not used (not the user's alone); nothing in it was read then.
    std::optional<std::string> stateDirProblem;
    double now = 0;
    double threshold = 0;
    // Why config.json could not be used at all (not JSON: where; not an object; not the user's alone).
    std::optional<std::string> configProblem;
    std::size_t recordCount = 0;
    // The freshest usable record of a live session, as the daemon picks it.
    std::optional<Record> freshest;
    // The same for the seven-day window and the spend limit, where a session reports them.
    std::map<UsageWindow, Record> windows;
    // The settings in force (the running daemon's threshold).
    TrackerConfig settings;
    std::optional<Pause> pause;
    std::vector<TargetState> targets;
    std::optional<LastThaw> lastThaw;
    // Sessions of this state directory held in a frozen group of ours that no pause names (pause.json and the
    // ledger were lost): nothing lets them go but the daemon's start or --thaw-now.
    struct Orphan {
        std::string sessionID;
        std::int64_t pid = 0;
    };
    std::vector<Orphan> orphaned;
    // The rate the five-hour figure rose at lately in this window and where it leads (usage_history.json).
    std::optional<UsageHistory::Forecast> forecast;
    // The same for the seven-day window (usage_history_seven_day.json), against its threshold.
    std::optional<UsageHistory::Forecast> weeklyForecast;
    // The warnings before a hold that stand now, one per window whose figure is near its threshold.
    std::vector<UsageWarning> warnings;
    // Turns that ended at a usage limit within the last five hours (a StopFailure hook's "rate_limit"), by
    // session: the time of each one's last.
    struct LimitHit {
        std::string sessionID;
        double at = 0;
    };
    std::vector<LimitHit> limitHits;
    // The span limitHits looks back over, seconds.
    static constexpr double limitHitsWithin = 5 * 3600;
    // "1 session hit the limit at 13:02", none when none did.
    std::optional<std::string> limitHitText() const;
    Daemon daemon;

    // frozen: the processes held in frozen groups of ours; none: asked of this platform's freezer.
    static StatusReport gather(const StateDir& stateDir, double now,
                               std::optional<std::vector<std::int64_t>> frozen = std::nullopt);
    static LockState probeLock(const std::string& lockPath);

    // One object for scripts; the members are listed in `tarnel status --help`.
    JSON toJSON() const;
    // When the session's wait for a safe point ends, null when it does not wait.
    JSON waitingUntil(const std::string& sessionID) const;
    // Lines for people.
    std::string toText() const;
};

}  // namespace tracker::Front
