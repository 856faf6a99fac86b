#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Core/JSONFile.hpp"
#include "Core/NotifyMode.hpp"
#include "Core/Records.hpp"
#include "Core/ShellStopMode.hpp"

namespace tracker {

// The settings of "config.json", read once into typed values. fromJSON is the one place that checks each
// value: one that cannot be used is set aside for its default, and a problem says so. The document itself is
// kept as read, so that keys this program does not know, and values it set aside, survive a
// read-modify-write unchanged.
struct TrackerConfig {
    struct Key {
        static constexpr const char* displayCommand = "display_command";
        static constexpr const char* previousStatusLine = "previous_statusline";
        // The hook events whose lists the user's settings had before install, kept by restore.
        static constexpr const char* userHookEvents = "user_hook_events";
        static constexpr const char* threshold = "threshold";
        static constexpr const char* refreshInterval = "refresh_interval";
        static constexpr const char* shellStopMode = "shell_stop_mode";
        static constexpr const char* notify = "notify";
        static constexpr const char* staleAfter = "stale_after";
        static constexpr const char* grace = "grace";
        static constexpr const char* maxFreeze = "max_freeze";
        static constexpr const char* pollInterval = "poll_interval";
        static constexpr const char* recordTTL = "record_ttl";
        static constexpr const char* safePointWait = "safe_point_wait";
        static constexpr const char* thawSpacing = "thaw_spacing";
        static constexpr const char* weeklyThreshold = "weekly_threshold";
        static constexpr const char* weeklyMaxFreeze = "weekly_max_freeze";
        static constexpr const char* spendThreshold = "spend_threshold";
        static constexpr const char* warnBefore = "warn_before";
    };

    // One value that could not be used: its key, the value as written, why not, and what stands instead.
    struct Problem {
        std::string key;
        JSON value;
        std::string why;
        std::string instead;
        // `threshold "high": not a percentage from 0 to 100 - using 90`
        std::string text() const;
        bool operator==(const Problem&) const = default;
    };

    static constexpr double defaultThreshold = 90;
    static constexpr std::int64_t defaultRefreshInterval = 60;
    static constexpr ShellStopMode defaultShellStopMode = ShellStopMode::shellFirst;
    static constexpr double defaultStaleAfter = 1800;
    static constexpr double defaultGrace = 60;
    static constexpr double defaultMaxFreeze = 18600;
    static constexpr double defaultPollInterval = 2;
    // A poll interval is kept within these: shorter spins a core, longer leaves a pause's end unchecked.
    static constexpr double minPollInterval = 0.05;
    static constexpr double maxPollInterval = 3600;
    static constexpr double defaultRecordTTL = 3600;
    // How long a freeze waits at most for a streaming session to reach a safe point (0: holds at once).
    static constexpr double defaultSafePointWait = 90;
    static constexpr double maxSafePointWait = 3600;
    // The time between two sessions continued after a pause (0: all at once).
    static constexpr double defaultThawSpacing = 1.5;
    static constexpr double maxThawSpacing = 60;
    static constexpr double defaultWeeklyThreshold = 95;
    // How many points below a threshold the warning comes (0: none).
    static constexpr double defaultWarnBefore = 5;

    // The user's own status-line command, which the tee runs; none when empty.
    std::optional<std::string> displayCommand;
    // Percent of the five-hour window at which sessions are held.
    double threshold = defaultThreshold;
    std::int64_t refreshInterval = defaultRefreshInterval;
    ShellStopMode shellStopMode = defaultShellStopMode;
    // None: the daemon's own default.
    std::optional<NotifyMode> notify;
    // Seconds: a record older than this is left out of the decision.
    double staleAfter = defaultStaleAfter;
    // Seconds after a thaw in which records are not trusted to freeze again.
    double grace = defaultGrace;
    // Seconds a usage hold lasts at most.
    double maxFreeze = defaultMaxFreeze;
    double pollInterval = defaultPollInterval;
    // Seconds a dead session's record is kept.
    double recordTTL = defaultRecordTTL;
    double safePointWait = defaultSafePointWait;
    double thawSpacing = defaultThawSpacing;
    // Percent of the seven-day window at which sessions are held; none: never (100 or "off").
    std::optional<double> weeklyThreshold = defaultWeeklyThreshold;
    // Seconds a hold for the seven-day window lasts at most; none: to the window's reset.
    std::optional<double> weeklyMaxFreeze;
    // Percent of the spend limit of extra usage at which sessions are held; none (the default): never.
    std::optional<double> spendThreshold;
    double warnBefore = defaultWarnBefore;
    // The values set aside, in the order of the settings above.
    std::vector<Problem> problems;

    TrackerConfig() = default;
    // Every setting of document, each checked; a member that is missing or null keeps its default silently.
    static TrackerConfig fromJSON(JSONObject document);

    // The document as read: what a write puts back.
    const JSONObject& document() const { return document_; }

    // Whether percent can be a threshold (a finite number from 0 to 100).
    static bool isThreshold(double percent);
    // The threshold of a usage window; none when its hold is off.
    std::optional<double> thresholdFor(UsageWindow window) const;
    // The longest hold for a usage window, seconds; none: to its reset.
    std::optional<double> maxFreezeFor(UsageWindow window) const;
    // seconds within [minPollInterval, maxPollInterval]; the default for zero, a negative or no number.
    static double boundedPollInterval(double seconds);

    bool operator==(const TrackerConfig&) const = default;

private:
    JSONObject document_;
};

}  // namespace tracker
