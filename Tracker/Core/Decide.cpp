#include "Core/Decide.hpp"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <limits>
#include <set>
#include <variant>

#include "Core/NumberText.hpp"
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
    // A pause asked for lasts as asked, and each usage part as the usage gave it (each was bounded when it was
    // set), never past its window's reset; a part that does not know its reset (of an earlier version) lasts
    // max_freeze from the pause.
    double latest = std::max(pause.pausedAt + longest, pause.manualUntil.value_or(-INFINITY));
    for (const auto& [window, hold] : pause.usage) {
        latest = std::max(latest, std::min(hold.until, hold.resetsAt != 0 ? hold.resetsAt : pause.pausedAt + longest));
    }
    return std::min(pause.resumeAt, latest);
}

std::vector<Record> freshUsable(const std::vector<Record>& records, double now, const TrackerConfig& settings,
                                const RecordPredicate& alive, UsageWindow window) {
    const double oldest = now - settings.staleAfter;
    std::vector<Record> fresh;
    for (const auto& record : records) {
        if (!alive(record)) continue;
        auto used = record.usedPercentage(window);
        auto resets = record.resetsAt(window);
        if (!used || !resets) continue;
        // A figure that is not a number can neither freeze nor say until when.
        if (!std::isfinite(*used) || !std::isfinite(*resets)) continue;
        if (!(record.ts >= oldest)) continue;
        fresh.push_back(record);
    }
    return fresh;
}

std::optional<Record> pickTruth(const std::vector<Record>& records, double now, const TrackerConfig& settings,
                                const RecordPredicate& alive, UsageWindow window) {
    // A report stamped later than now is not trusted: a clock that stepped back would keep it first for long.
    std::vector<Record> fresh;
    for (auto& record : freshUsable(records, now, settings, alive, window)) {
        if (record.ts <= now) fresh.push_back(std::move(record));
    }
    // The current window: that of the freshest report whose window is still ahead (else the freshest's, which
    // is then past).
    const Record* latest = nullptr;
    for (const Record& record : fresh) {
        const bool ahead = *record.resetsAt(window) > now;
        const bool latestAhead = latest && *latest->resetsAt(window) > now;
        if (!latest || (ahead && !latestAhead) || (ahead == latestAhead && record.ts > latest->ts)) latest = &record;
    }
    if (!latest) return std::nullopt;
    // Within one window the usage only rises: an idle session that repeats the figure of its last reply with a
    // fresh time does not hide what an active one reported. The highest, then the freshest, then the earliest.
    const double current = *latest->resetsAt(window);
    const Record* best = nullptr;
    for (const Record& record : fresh) {
        if (std::fabs(*record.resetsAt(window) - current) > sameWindowWithin) continue;
        const double used = *record.usedPercentage(window);
        const double bestUsed = best ? *best->usedPercentage(window) : 0;
        if (!best || used > bestUsed || (used == bestUsed && record.ts > best->ts)) best = &record;
    }
    return *best;
}

std::vector<Target> pickTargets(const std::vector<Record>& records, double now, const TrackerConfig& settings,
                                const RecordPredicate& alive, const RecordPredicate& verified) {
    std::vector<Target> targets;
    std::set<std::int64_t> seen;
    const double oldest = now - settings.staleAfter;
    for (const auto& record : records) {
        // A session that spends the plan's usage: one that reports its figures, or one whose hooks registered it
        // (a `claude -p` run); an API-key login reports none and spends none of it.
        if (!record.hasFigures() && !record.fromHooks) continue;
        if (!(record.ts >= oldest) || !alive(record)) continue;
        if (record.exempt || !verified(record) || seen.count(record.pid)) continue;
        seen.insert(record.pid);
        targets.push_back(record.target());
    }
    return targets;
}

namespace {

// What one usage window asks for: a hold until a time, for the window its figure is of.
struct Wish {
    UsageWindow window;
    Record truth;
    double used = 0;
    double resets = 0;
    double threshold = 0;
    double until = 0;
    bool reFreeze = false;

    std::string reason() const {
        const std::string reached = format("%.1f%% >= %.1f%%", used, threshold);
        return window == UsageWindow::fiveHour ? reached : std::string(UsageWindows::described(window)) + " " + reached;
    }
};

// Whether a part of the standing pause held for the window whose reset is resets (a part of an earlier version,
// which does not know its window, stands for the current one).
bool heldFor(const std::optional<Pause>& pause, UsageWindow window, double resets) {
    if (!pause) return false;
    auto part = pause->usage.find(window);
    if (part == pause->usage.end()) return false;
    return part->second.resetsAt == 0 || std::fabs(part->second.resetsAt - resets) <= sameWindowWithin;
}

// A window's figure against its threshold, the last thaw and the standing pause: a hold, or why none.
std::variant<Wish, std::string> evaluate(const Situation& situation, UsageWindow window) {
    const auto& [records, alive, verified, pause, request, lastThaw, now, settings] = situation;
    const std::string prefix =
        window == UsageWindow::fiveHour ? std::string() : std::string(UsageWindows::described(window)) + ": ";
    auto threshold = settings.thresholdFor(window);
    if (!threshold) return prefix + "off";
    auto truth = pickTruth(records, now, settings, alive, window);
    if (!truth) return std::string("no fresh record with rate_limits.") + UsageWindows::name(window);

    Wish wish{window, *truth, *truth->usedPercentage(window), *truth->resetsAt(window), *threshold};
    if (wish.used < wish.threshold) {
        return prefix + format("below threshold: %.1f%% < %.1f%%", wish.used, wish.threshold);
    }
    if (now >= wish.resets) return prefix + format("resets_at %.0f already past", wish.resets);

    if (lastThaw && lastThaw->thawedAt != 0) {
        const double grace = settings.grace;
        if (lastThaw->thawedAt + grace >= truth->ts) {
            return prefix + format("post-thaw grace: record ts %.0f <= thaw %.0f + %llds", truth->ts,
                                   lastThaw->thawedAt, wholeSeconds(grace));
        }
        if (window == UsageWindow::fiveHour && lastThaw->previousResumeAt >= wish.resets) {
            return format("same window as last freeze (resets_at %.0f <= %.0f)", wish.resets,
                          lastThaw->previousResumeAt);
        }
        if (auto done = lastThaw->done.find(window);
            done != lastThaw->done.end() && done->second >= wish.resets - sameWindowWithin) {
            return prefix + format("same window as last freeze (resets_at %.0f <= %.0f)", wish.resets, done->second);
        }
        wish.reFreeze = true;
    }
    if (heldFor(pause, window, wish.resets)) return prefix + "held for this window already";

    // Written so that a longest hold that is not a number leaves the window's end.
    const auto longest = settings.maxFreezeFor(window);
    const double capped = longest ? now + *longest : INFINITY;
    wish.until = capped < wish.resets ? capped : wish.resets;
    return wish;
}

// Every window's wish, and the five-hour window's reason when it has none.
std::vector<Wish> wishes(const Situation& situation, std::string* fiveHourReason) {
    std::vector<Wish> found;
    for (UsageWindow window : UsageWindows::all) {
        auto outcome = evaluate(situation, window);
        if (auto* wish = std::get_if<Wish>(&outcome)) {
            found.push_back(std::move(*wish));
        } else if (window == UsageWindow::fiveHour && fiveHourReason) {
            *fiveHourReason = std::get<std::string>(outcome);
        }
    }
    return found;
}

// The wish that ends last: the window that holds.
const Wish& longest(const std::vector<Wish>& wishes) {
    const Wish* latest = &wishes.front();
    for (const Wish& wish : wishes) {
        if (wish.until > latest->until) latest = &wish;
    }
    return *latest;
}

std::string reasons(const std::vector<Wish>& wishes) {
    std::string text;
    for (const Wish& wish : wishes) text += (text.empty() ? "" : "; ") + wish.reason();
    return text;
}

// The usage alone, with no pause standing: freeze when a window's figure has reached its threshold.
Action decideUsage(const Situation& situation) {
    const auto& [records, alive, verified, pause, request, lastThaw, now, settings] = situation;
    std::string fiveHourReason;
    const std::vector<Wish> wanted = wishes(situation, &fiveHourReason);
    if (wanted.empty()) return Action::nothing(fiveHourReason);

    const Wish& holding = longest(wanted);
    auto targets = pickTargets(records, now, settings, alive, verified);
    if (targets.empty()) {
        return Action::nothing(format("at %.1f%% but no signalable target (all exempt/unverified)", holding.used));
    }
    Action::Freeze freeze{std::move(targets), holding.until, holding.truth.sessionID, holding.used, holding.resets,
                          reasons(wanted),    false};
    for (const Wish& wish : wanted) {
        freeze.usage[wish.window] = WindowHold{wish.until, wish.resets};
        freeze.reFreeze = freeze.reFreeze || wish.reFreeze;
    }
    freeze.window = holding.window;
    return freeze;
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

// The decision without a request: the pause's end, the usage of a window it does not hold for yet (the later
// end wins), the sessions that started during the hold, the usage.
Action decideStanding(const Situation& situation) {
    const auto& pause = situation.pause;
    if (!pause) return decideUsage(situation);
    // A resume time that is not a number is due now, never "never"; none lasts past max_freeze.
    const double resumeAt = effectiveResumeAt(*pause, situation.settings);
    if (!(situation.now < resumeAt)) {
        const double shown = std::isfinite(resumeAt) ? resumeAt : pause->resumeAt;
        return Action::Thaw{pause->targets, format("resume_at reached (%.0f)", shown)};
    }
    if (const std::vector<Wish> wanted = wishes(situation, nullptr); !wanted.empty()) {
        Pause grown = *pause;
        for (const Wish& wish : wanted) {
            grown.usage[wish.window] = WindowHold{wish.until, wish.resets};
            grown.resumeAt = std::max(grown.resumeAt, wish.until);
        }
        for (const Target& target :
             pickTargets(situation.records, situation.now, situation.settings, situation.alive, situation.verified)) {
            const bool named = std::any_of(grown.targets.begin(), grown.targets.end(),
                                           [&](const Target& held) { return held.pid == target.pid; });
            if (!named) grown.targets.push_back(target);
        }
        return Action::Replace{std::move(grown), reasons(wanted) + ": held for that too"};
    }
    // The usage is spent by every session: one that starts while the usage holds the others is held too, to
    // the same end.
    if (pause->usageHolds(situation.now)) {
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
    if (situation.pause && !situation.pause->manualUntil && situation.pause->usage.empty()) {
        // A pause made in memory as earlier versions wrote it.
        Situation implied = situation;
        implied.pause->implyUsage();
        return decide(implied);
    }
    if (!situation.request) return decideStanding(situation);
    const auto& [records, alive, verified, pause, request, lastThaw, now, settings] = situation;
    // A daemon polling slowly may take a while to find it: a few of its polls at least.
    const double expiry = std::max(PauseRequest::expiresAfter, 3 * settings.pollInterval);
    Action asked = !(now - request->requestedAt <= expiry)
                       ? Action::nothing(format("%s asked for at %s, more than %.0f min ago: too old, not carried out",
                                                request->kind == PauseRequest::Kind::pause ? "pause" : "resume",
                                                NumberText::clockText(request->requestedAt).c_str(), expiry / 60))
                       : PauseOnDemand::apply(*request, pause, PauseOnDemand::targets(records, alive, verified), now);
    std::string outcome = asked.reason();
    Action action = asked.isNothing() ? decideStanding(situation) : std::move(asked);
    action.request = std::move(outcome);
    return action;
}

}  // namespace Decide

}  // namespace tracker
