#include "Core/UsageHistory.hpp"

#include <cmath>

namespace tracker {

bool UsageHistory::observe(const std::optional<Record>& figure) {
    if (!figure) return false;
    auto used = figure->usedPercentage(window_);
    auto resetsAt = figure->resetsAt(window_);
    if (!used || !resetsAt || !std::isfinite(*used) || !std::isfinite(*resetsAt) || !std::isfinite(figure->ts)) {
        return false;
    }
    const double resets = *resetsAt;
    const Sample sample{figure->ts, *used};
    // The same window reports its reset a second either way now and then. Once the clock has stepped back,
    // the times before no longer compare with the new ones: the history starts afresh too.
    if (samples_.empty() || std::fabs(resets - resetsAt_) > sameWindowWithin || sample.at < samples_.back().at) {
        samples_.clear();
    } else if (samples_.back().used == sample.used || sample.at == samples_.back().at) {
        return false;
    }
    resetsAt_ = resets;
    samples_.push_back(sample);
    while (samples_.size() > capacity) samples_.pop_front();
    return true;
}

std::optional<UsageHistory::Forecast> UsageHistory::forecast(double threshold) const {
    if (samples_.size() < 2) return std::nullopt;
    const Sample& last = samples_.back();
    const Sample* first = &last;
    for (const Sample& sample : samples_) {
        if (sample.at >= last.at - rateSpan) {
            first = &sample;
            break;
        }
    }
    const double span = last.at - first->at;
    if (span < 60) return std::nullopt;
    Forecast forecast;
    forecast.over = span;
    forecast.perHour = (last.used - first->used) / span * 3600;
    if (forecast.perHour > 0 && last.used < threshold) {
        const double at = last.at + (threshold - last.used) / forecast.perHour * 3600;
        forecast.thresholdAt = at;
        forecast.resetFirst = resetsAt_ > 0 && at >= resetsAt_;
    }
    return forecast;
}

JSONObject UsageHistory::toJSON() const {
    JSON samples = JSON::array();
    for (const Sample& sample : samples_) samples.push_back(JSON::array({sample.at, sample.used}));
    return JSONObject{{"schema", schemaVersion}, {"resets_at", resetsAt_}, {"samples", samples}};
}

std::optional<UsageHistory> UsageHistory::fromJSON(const JSON* value, UsageWindow window) {
    if (!value || !value->is_object()) return std::nullopt;
    UsageHistory history(window);
    auto resets = JSONCoerce::toDouble(JSONCoerce::member(*value, "resets_at"));
    if (!resets || !std::isfinite(*resets)) return std::nullopt;
    history.resetsAt_ = *resets;
    const JSON* samples = JSONCoerce::member(*value, "samples");
    if (!samples || !samples->is_array()) return history;
    for (const JSON& entry : *samples) {
        if (!entry.is_array() || entry.size() != 2 || !entry[0].is_number() || !entry[1].is_number()) continue;
        Sample sample{entry[0].get<double>(), entry[1].get<double>()};
        if (!std::isfinite(sample.at) || !std::isfinite(sample.used)) continue;
        if (!history.samples_.empty() && sample.at <= history.samples_.back().at) continue;
        history.samples_.push_back(sample);
    }
    while (history.samples_.size() > capacity) history.samples_.pop_front();
    return history;
}

}  // namespace tracker
