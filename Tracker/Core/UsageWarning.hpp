#pragma once

#include <optional>
#include <string>

#include "Core/Records.hpp"
#include "Core/TrackerConfig.hpp"
#include "Core/UsageHistory.hpp"

namespace tracker {

// The warning before a hold: the account's figure of a window has come within warn_before points of the
// window's threshold, and the window does not reset before. Given once per window and reset by the daemon, shown
// by `tarnel status` while it holds.
struct UsageWarning {
    UsageWindow window = UsageWindow::fiveHour;
    double used = 0;
    double threshold = 0;
    double resetsAt = 0;
    // When the threshold comes at the pace of late, if the window's history tells one before its reset.
    std::optional<double> thresholdAt;

    // From the account's figure of the window (Decide::pickTruth) and its history; none unless the figure is
    // below the threshold and within warn_before of it (a warn_before of 0: never).
    static std::optional<UsageWarning> of(UsageWindow window, const std::optional<Record>& figure,
                                          const TrackerConfig& settings, const UsageHistory* history, double now);

    // "Claude sessions will be held at 90 % (now 86 %, about 14:20 at this pace)"; another window names itself:
    // "... held at 95 % of the seven-day window (now 91 %, about Mon 09:00 at this pace)".
    std::string text(double now) const;
};

}  // namespace tracker
