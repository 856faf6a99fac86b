#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Core/Records.hpp"
#include "Core/TrackerConfig.hpp"

namespace tracker {

// What a session that still runs tells its user about holds: how many sessions a standing hold keeps and
// until when, or, shortly before the threshold, that a hold is near. Shown on the tee's own status line and
// handed to a display command in the environment.
struct HoldNotice {
    // How close below its threshold the seven-day figure and the spend limit's show on the line, in points.
    static constexpr double showWithin = 10;

    // Sessions a standing hold names; 0 when none stands.
    std::size_t held = 0;
    // When it ends (the daemon's clamp applied); meaningful only with held sessions.
    double until = 0;
    double threshold = TrackerConfig::defaultThreshold;
    // The session's own five-hour figure, when it has one.
    std::optional<double> used;
    // How close below the threshold the warning starts, in percentage points (0: none).
    double warnBefore = TrackerConfig::defaultWarnBefore;
    // The seven-day window's and the spend limit's thresholds (none: off).
    std::optional<double> weeklyThreshold;
    std::optional<double> spendThreshold;
    double now = 0;

    // From a pause that still stands at now (none, or one already over, holds nobody).
    static HoldNotice of(const std::optional<Pause>& pause, const TrackerConfig& config,
                         const std::optional<double>& used, double now);

    // "⏸ 3 held until 14:05" ("until Mon 09:00" on another day), "hold at 90%" within warnBefore of the
    // threshold, else "".
    std::string text() const;
    // The minimal line with the notice: "⏳ 5h 93% · ⏸ 3 held until 14:05", "⏳ 5h 87% · 1h5m · hold at 90%";
    // the seven-day figure and the spend limit's once within showWithin of their threshold ("⏳ 5h 42% · 1h5m ·
    // 7d 91%"); none where the minimal line has none.
    std::optional<std::string> line(const JSONObject& rateLimits, double now) const;
    // What holds a pause and until when, with the day when it is not today: "held until Mon 09:00 (seven-day
    // window at 95 %)", "held until 14:05 (asked for with tarnel pause)".
    static std::string heldUntil(const Pause& pause, const TrackerConfig& config, double now);

    // VAZ_ADODIVO_HELD (a count), VAZ_ADODIVO_HELD_UNTIL ("HH:mm", "" when none),
    // VAZ_ADODIVO_HELD_UNTIL_EPOCH (seconds, "" when none), VAZ_ADODIVO_THRESHOLD and VAZ_ADODIVO_NOTICE (text()).
    std::vector<std::pair<std::string, std::string>> environment() const;
};

}  // namespace tracker
