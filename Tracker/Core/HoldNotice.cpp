#include "Core/HoldNotice.hpp"

#include <algorithm>
#include <cmath>
#include <tuple>

#include "Core/Decide.hpp"
#include "Core/NumberText.hpp"
#include "Core/StatusLine.hpp"

namespace tracker {

HoldNotice HoldNotice::of(const std::optional<Pause>& pause, const TrackerConfig& config,
                          const std::optional<double>& used, double now) {
    HoldNotice notice;
    notice.threshold = config.threshold;
    notice.warnBefore = config.warnBefore;
    notice.weeklyThreshold = config.weeklyThreshold;
    notice.spendThreshold = config.spendThreshold;
    notice.now = now;
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

std::string HoldNotice::heldUntil(const Pause& pause, const TrackerConfig& config, double now) {
    const double until = Decide::effectiveResumeAt(pause, config);
    std::string text = "held until " + NumberText::dayClockText(std::isfinite(until) ? until : pause.resumeAt, now);
    const std::string window = pause.window();
    if (window == "manual") return text + " (asked for with tarnel pause)";
    auto which = UsageWindows::parse(window).value_or(UsageWindow::fiveHour);
    auto threshold = config.thresholdFor(which);
    text += std::string(" (") + UsageWindows::described(which);
    if (threshold) text += " at " + NumberText::shortest(*threshold) + " %";
    return text + ")";
}

std::string HoldNotice::text() const {
    if (held > 0) return "\u23F8 " + std::to_string(held) + " held until " + NumberText::dayClockText(until, now);
    if (used && *used < threshold && warnBefore > 0 && *used >= threshold - warnBefore) {
        return "hold at " + NumberText::shortest(threshold) + "%";
    }
    return {};
}

std::optional<std::string> HoldNotice::line(const JSONObject& rateLimits, double now) const {
    // The other windows' figures, once they come near their threshold (the spend limit's end is 100 %).
    Record figures;
    figures.rateLimits = rateLimits;
    std::string near;
    for (auto [window, label, limit] : {std::tuple{UsageWindow::sevenDay, "7d", weeklyThreshold},
                                        std::tuple{UsageWindow::spend, "spend", spendThreshold}}) {
        auto figure = figures.usedPercentage(window);
        if (!figure || !std::isfinite(*figure) || (window == UsageWindow::sevenDay && !limit)) continue;
        if (*figure < limit.value_or(100) - showWithin) continue;
        near += std::string(" \u00B7 ") + label + " " + NumberText::whole(std::min(*figure, 999.0)) + "%";
    }
    if (held > 0) {
        // The time left in the window says nothing more while the hold's own end is shown.
        auto plain = StatusLine::minimal(rateLimits, NAN);
        return plain ? *plain + near + " \u00B7 " + text() : text();
    }
    auto plain = StatusLine::minimal(rateLimits, now);
    if (plain) plain = *plain + near;
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
