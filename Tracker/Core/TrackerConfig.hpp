#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Core/JSONFile.hpp"

namespace tracker {

// A typed view over the raw object of "config.json". Getters coerce leniently
// and fall back to defaults; setters write into the same map, so keys this
// program does not know survive a read-modify-write unchanged.
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
    };

    static constexpr double defaultThreshold = 90;
    static constexpr std::int64_t defaultRefreshInterval = 60;
    static constexpr const char* defaultShellStopMode = "shell-first";
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

    JSONObject raw;

    TrackerConfig() = default;
    explicit TrackerConfig(JSONObject raw) : raw(std::move(raw)) {}

    // Text coercion; an empty text counts as absent.
    std::optional<std::string> displayCommand() const;
    void setDisplayCommand(const std::optional<std::string>& command);

    // The stored value whatever its type; JSON null counts as absent.
    std::optional<JSON> previousStatusLine() const;
    void setPreviousStatusLine(const std::optional<JSON>& value);
    bool hasPreviousStatusLineKey() const;

    // The stored threshold when it is a percentage (a finite number from 0 to 100), else the default.
    double threshold() const;
    static bool isThreshold(double percent);
    void setThreshold(double percent);

    std::int64_t refreshInterval() const;
    void setRefreshInterval(std::int64_t seconds);

    // An empty text is returned as it is, not replaced by the default.
    std::string shellStopMode() const;
    void setShellStopMode(const std::string& mode);

    std::optional<std::string> notify() const;
    void setNotify(const std::optional<std::string>& mode);

    double staleAfter() const;
    double grace() const;
    double maxFreeze() const;
    // As stored; the daemon waits boundedPollInterval of it.
    double pollInterval() const;
    // seconds within [minPollInterval, maxPollInterval]; the default for zero, a negative or no number.
    static double boundedPollInterval(double seconds);
    double recordTTL() const;
    // The stored value when it is a number from 0 to its maximum, else the default.
    double safePointWait() const;
    double thawSpacing() const;
    static bool isSafePointWait(double seconds);
    static bool isThawSpacing(double seconds);

    bool operator==(const TrackerConfig&) const = default;

private:
    const JSON* lookup(const char* key) const;
    double number(const char* key, double fallback) const;
};

}  // namespace tracker
