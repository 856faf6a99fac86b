#include "Core/HoldNotice.hpp"

#include <algorithm>
#include <cmath>

#include "Core/Decide.hpp"
#include "Core/NumberText.hpp"
#include "Core/StatusLine.hpp"

namespace tracker {

HoldNotice HoldNotice::of(const std::optional<Pause>& pause, const TrackerConfig& config,
                          const std::optional<double>& used, double now) {
    HoldNotice notice;
    notice.threshold = config.threshold;
    if (used && std::isfinite(*used)) notice.used = used;
    if (pause && !pause->targets.empty()) {
        const double until = Decide::effectiveResumeAt(*pause, config);
        if (std::isfinite(until) && until > now) {
            // Sessions still waiting for their safe point are not held yet.
            notice.held = pause->targets.size() - std::min(pause->targets.size(), pause->waiting.size());
            notice.until = until;
        }
    }
    return notice;
}

std::string HoldNotice::text() const {
    if (held > 0) return "\u23F8 " + std::to_string(held) + " held until " + NumberText::clockText(until);
    if (used && *used < threshold && *used >= threshold - warnWithin) {
        return "hold at " + NumberText::shortest(threshold) + "%";
    }
    return {};
}

std::optional<std::string> HoldNotice::line(const JSONObject& rateLimits, double now) const {
    if (held > 0) {
        // The time left in the window says nothing more while the hold's own end is shown.
        auto plain = StatusLine::minimal(rateLimits, NAN);
        return plain ? *plain + " \u00B7 " + text() : text();
    }
    auto plain = StatusLine::minimal(rateLimits, now);
    const std::string notice = text();
    if (!plain || notice.empty()) return plain;
    return *plain + " \u00B7 " + notice;
}

std::vector<std::pair<std::string, std::string>> HoldNotice::environment() const {
    return {
        {"VAZ_ADODIVO_HELD", std::to_string(held)},
        {"VAZ_ADODIVO_HELD_UNTIL", held > 0 ? NumberText::clockText(until) : std::string()},
        {"VAZ_ADODIVO_HELD_UNTIL_EPOCH", held > 0 ? std::to_string(static_cast<long long>(until)) : std::string()},
        {"VAZ_ADODIVO_THRESHOLD", NumberText::shortest(threshold)},
        {"VAZ_ADODIVO_NOTICE", text()},
    };
}

}  // namespace tracker
