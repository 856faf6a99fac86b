#include "Core/UsageWarning.hpp"

#include <cmath>

#include "Core/NumberText.hpp"

namespace tracker {

std::optional<UsageWarning> UsageWarning::of(UsageWindow window, const std::optional<Record>& figure,
                                             const TrackerConfig& settings, const UsageHistory* history, double now) {
    auto threshold = settings.thresholdFor(window);
    if (!figure || !threshold || !(settings.warnBefore > 0)) return std::nullopt;
    auto used = figure->usedPercentage(window);
    auto resets = figure->resetsAt(window);
    if (!used || !resets || !std::isfinite(*used) || !std::isfinite(*resets) || !(*resets > now)) return std::nullopt;
    if (!(*used < *threshold && *used >= *threshold - settings.warnBefore)) return std::nullopt;
    UsageWarning warning{window, *used, *threshold, *resets, std::nullopt};
    if (history && history->window() == window && std::fabs(history->resetsAt() - *resets) <= sameWindowWithin) {
        if (auto forecast = history->forecast(*threshold);
            forecast && forecast->thresholdAt && !forecast->resetFirst && *forecast->thresholdAt > now) {
            warning.thresholdAt = forecast->thresholdAt;
        }
    }
    return warning;
}

std::string UsageWarning::text(double now) const {
    std::string text = "Claude sessions will be held at " + NumberText::shortest(threshold) + " %";
    if (window != UsageWindow::fiveHour) text += std::string(" of the ") + UsageWindows::described(window);
    text += " (now " + NumberText::whole(used) + " %";
    if (thresholdAt) text += ", about " + NumberText::dayClockText(*thresholdAt, now) + " at this pace";
    return text + ")";
}

}  // namespace tracker
