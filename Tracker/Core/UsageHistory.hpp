#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "Core/JSONFile.hpp"
#include "Core/Records.hpp"

namespace tracker {

// How a window's figure rose in its current window: one sample each time the figure the sessions report
// changes, kept by the daemon ("usage_history.json" for the five-hour window, see StateDir::usageHistoryPath)
// so that `tarnel status` can tell the rate and when the threshold comes at that rate.
class UsageHistory {
public:
    explicit UsageHistory(UsageWindow window = UsageWindow::fiveHour) : window_(window) {}

    struct Sample {
        double at = 0;
        double used = 0;
        bool operator==(const Sample&) const = default;
    };
    // The rate over recent samples and where it leads.
    struct Forecast {
        // Percentage points per hour.
        double perHour = 0;
        // The span the rate was taken over, seconds.
        double over = 0;
        // When the threshold is reached at this rate; none when the figure does not rise or the threshold is
        // already reached.
        std::optional<double> thresholdAt;
        // The window resets before the threshold is reached.
        bool resetFirst = false;
    };

    // Samples kept at most; the oldest go first.
    static constexpr std::size_t capacity = 240;
    // The rate is taken over the samples of this last span, seconds.
    static constexpr double rateSpan = 3600;

    // Takes the account's figure (the decision's, see Decide::pickTruth); true when that added a sample (the
    // figure changed, or a new window began or the clock stepped back, which start the history afresh).
    bool observe(const std::optional<Record>& figure);

    UsageWindow window() const { return window_; }
    double resetsAt() const { return resetsAt_; }
    const std::deque<Sample>& samples() const { return samples_; }

    // At least two samples over at least a minute within rateSpan of the newest, else none.
    std::optional<Forecast> forecast(double threshold) const;

    JSONObject toJSON() const;
    // None when the document is not a history; samples that are not two finite numbers are left out.
    static std::optional<UsageHistory> fromJSON(const JSON* value, UsageWindow window = UsageWindow::fiveHour);

private:
    UsageWindow window_;
    double resetsAt_ = 0;
    std::deque<Sample> samples_;
};

}  // namespace tracker
