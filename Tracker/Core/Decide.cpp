#include "Core/Decide.hpp"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <limits>
#include <set>

#include "Core/PauseOnDemand.hpp"

namespace tracker {

namespace {

[[gnu::format(printf, 1, 2)]] std::string format(const char* pattern, ...) {
    va_list arguments;
    va_start(arguments, pattern);
    va_list copy;
    va_copy(copy, arguments);
    int size = std::vsnprintf(nullptr, 0, pattern, copy);
    va_end(copy);
    std::string text(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    if (size > 0) std::vsnprintf(text.data(), text.size() + 1, pattern, arguments);
    va_end(arguments);
    return text;
}

// The grace period as the post-thaw reason shows it: truncated toward zero, clamped to the 64-bit range when
// it lies beyond it, 0 when it is NaN.
long long wholeSeconds(double seconds) {
    if (std::isnan(seconds)) return 0;
    double truncated = std::trunc(seconds);
    if (truncated >= 9223372036854775808.0) return std::numeric_limits<long long>::max();
    if (truncated < -9223372036854775808.0) return std::numeric_limits<long long>::min();
    return static_cast<long long>(truncated);
}

}  // namespace

namespace Decide {

double effectiveResumeAt(const Pause& pause, const TrackerConfig& settings) {
    if (std::isnan(pause.resumeAt) || !std::isfinite(pause.pausedAt)) return -INFINITY;
    double longest = settings.maxFreeze;
    if (!std::isfinite(longest) || longest <= 0) longest = TrackerConfig::defaultMaxFreeze;
    // A pause asked for lasts as asked, and the usage's part of it as the usage gave it (each was bounded
    // when it was set).
    const double latest = std::max(
        {pause.pausedAt + longest, pause.manualUntil.value_or(-INFINITY), pause.usageUntil.value_or(-INFINITY)});
    return std::min(pause.resumeAt, latest);
}

std::vector<Record> freshUsable(const std::vector<Record>& records, double now, const TrackerConfig& settings,
                                const RecordPredicate& alive) {
    const double oldest = now - settings.staleAfter;
    std::vector<Record> fresh;
    for (const auto& record : records) {
        if (!alive(record)) continue;
        if (!record.fiveHour() || !record.usedPercentage() || !record.resetsAt()) continue;
        // A figure that is not a number can neither freeze nor say until when.
        if (!std::isfinite(*record.usedPercentage()) || !std::isfinite(*record.resetsAt())) continue;
        if (!(record.ts >= oldest)) continue;
        fresh.push_back(record);
    }
    return fresh;
}

std::optional<Record> pickTruth(const std::vector<Record>& records, double now, const TrackerConfig& settings,
                                const RecordPredicate& alive) {
    // A report stamped later than now is not trusted: a clock that stepped back would keep it first for long.
    std::vector<Record> fresh;
    for (auto& record : freshUsable(records, now, settings, alive)) {
        if (record.ts <= now) fresh.push_back(std::move(record));
    }
    // The current window: that of the freshest report whose window is still ahead (else the freshest's, which
    // is then past).
    const Record* latest = nullptr;
    for (const Record& record : fresh) {
        const bool ahead = *record.resetsAt() > now;
        const bool latestAhead = latest && *latest->resetsAt() > now;
        if (!latest || (ahead && !latestAhead) || (ahead == latestAhead && record.ts > latest->ts)) latest = &record;
    }
    if (!latest) return std::nullopt;
    // Within one window the usage only rises: an idle session that repeats the figure of its last reply with a
    // fresh time does not hide what an active one reported. The highest, then the freshest, then the earliest.
    const double window = *latest->resetsAt();
    const Record* best = nullptr;
    for (const Record& record : fresh) {
        if (std::fabs(*record.resetsAt() - window) > sameWindowWithin) continue;
        const double used = *record.usedPercentage();
        if (!best || used > *best->usedPercentage() || (used == *best->usedPercentage() && record.ts > best->ts)) {
            best = &record;
        }
    }
    return *best;
}

std::vector<Target> pickTargets(const std::vector<Record>& records, double now, const TrackerConfig& settings,
                                const RecordPredicate& alive, const RecordPredicate& verified) {
    std::vector<Target> targets;
    std::set<std::int64_t> seen;
    for (const auto& record : freshUsable(records, now, settings, alive)) {
        if (record.exempt || !verified(record) || seen.count(record.pid)) continue;
        seen.insert(record.pid);
        targets.push_back(record.target());
    }
    return targets;
}

namespace {

// The usage alone, with no pause standing: freeze when the account's figure has reached the threshold.
Action decideUsage(const Situation& situation) {
    const auto& [records, alive, verified, pause, request, lastThaw, now, settings] = situation;
    auto truth = pickTruth(records, now, settings, alive);
    if (!truth) return Action::nothing("no fresh record with rate_limits.five_hour");

    const double used = *truth->usedPercentage();
    const double resets = *truth->resetsAt();
    const double threshold = settings.threshold;
    if (used < threshold) return Action::nothing(format("below threshold: %.1f%% < %.1f%%", used, threshold));
    if (now >= resets) return Action::nothing(format("resets_at %.0f already past", resets));

    bool reFreeze = false;
    if (lastThaw && lastThaw->thawedAt != 0) {
        const double grace = settings.grace;
        if (lastThaw->thawedAt + grace >= truth->ts) {
            return Action::nothing(format("post-thaw grace: record ts %.0f <= thaw %.0f + %llds", truth->ts,
                                          lastThaw->thawedAt, wholeSeconds(grace)));
        }
        if (lastThaw->previousResumeAt >= resets) {
            return Action::nothing(
                format("same window as last freeze (resets_at %.0f <= %.0f)", resets, lastThaw->previousResumeAt));
        }
        reFreeze = true;
    }

    auto targets = pickTargets(records, now, settings, alive, verified);
    if (targets.empty()) {
        return Action::nothing(format("at %.1f%% but no signalable target (all exempt/unverified)", used));
    }

    // Written so that a maxFreeze that is not a number leaves the window's end.
    const double capped = now + settings.maxFreeze;
    const double resumeAt = capped < resets ? capped : resets;
    return Action::Freeze{std::move(targets),
                          resumeAt,
                          truth->sessionID,
                          used,
                          resets,
                          format("%.1f%% >= %.1f%%", used, threshold),
                          reFreeze};
}

// Whether the usage holds the pause (alone, or beside a part asked for that it outlasts).
bool usageHolds(const Pause& pause, double now) {
    return !pause.manualUntil || (pause.usageUntil && now < *pause.usageUntil);
}

// The sessions a hold does not name yet: live, still the recorded process, not exempt, with a record no older
// than staleAfter (with a figure or without), one per claude process, in record order.
std::vector<Target> notNamed(const Situation& situation) {
    std::set<std::int64_t> named;
    for (const Target& target : situation.pause->targets) named.insert(target.pid);
    std::vector<Target> found;
    for (const Record& record : situation.records) {
        if (record.exempt || !(record.ts >= situation.now - situation.settings.staleAfter)) continue;
        if (!situation.alive(record) || !situation.verified(record) || !named.insert(record.pid).second) continue;
        found.push_back(record.target());
    }
    return found;
}

// The decision without a request: the usage against a pause asked for, the pause's end, the usage.
Action decideStanding(const Situation& situation) {
    const auto& pause = situation.pause;
    if (!pause) return decideUsage(situation);
    if (pause->manualUntil) {
        // A pause asked for and the usage's: the later end wins.
        Situation unpaused = situation;
        unpaused.pause.reset();
        if (auto extended = PauseOnDemand::withUsage(*pause, decideUsage(unpaused))) {
            return Action::Replace{std::move(*extended), "the usage's hold ends later"};
        }
    }
    // A resume time that is not a number is due now, never "never"; none lasts past max_freeze.
    const double resumeAt = effectiveResumeAt(*pause, situation.settings);
    if (!(situation.now < resumeAt)) {
        const double shown = std::isfinite(resumeAt) ? resumeAt : pause->resumeAt;
        return Action::Thaw{pause->targets, format("resume_at reached (%.0f)", shown)};
    }
    // The usage is spent by every session: one that starts while the usage holds the others is held too, to
    // the same end.
    if (usageHolds(*pause, situation.now)) {
        if (auto late = notNamed(situation); !late.empty()) {
            Pause grown = *pause;
            grown.targets.insert(grown.targets.end(), late.begin(), late.end());
            return Action::Replace{std::move(grown), format("%zu session(s) started during the hold", late.size())};
        }
    }
    return Action::nothing(format("paused until %.0f (%.0f s left)", resumeAt, resumeAt - situation.now));
}

}  // namespace

Action decide(const Situation& situation) {
    if (!situation.request) return decideStanding(situation);
    const auto& [records, alive, verified, pause, request, lastThaw, now, settings] = situation;
    Action asked = PauseOnDemand::apply(*request, pause, PauseOnDemand::targets(records, alive, verified), now);
    std::string outcome = asked.reason();
    Action action = asked.isNothing() ? decideStanding(situation) : std::move(asked);
    action.request = std::move(outcome);
    return action;
}

}  // namespace Decide

}  // namespace tracker
