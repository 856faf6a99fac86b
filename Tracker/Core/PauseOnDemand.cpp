#include "Core/PauseOnDemand.hpp"

#include <algorithm>
#include <cmath>
#include <set>

#include "Core/NumberText.hpp"

namespace tracker::PauseOnDemand {

namespace {

// Adds each target whose claude the pause does not name yet.
void addMissing(Pause& pause, const std::vector<Target>& targets) {
    for (const Target& target : targets) {
        bool named = std::any_of(pause.targets.begin(), pause.targets.end(),
                                 [&](const Target& held) { return held.pid == target.pid; });
        if (!named) pause.targets.push_back(target);
    }
}

}  // namespace

std::vector<Target> targets(const std::vector<Record>& records, const RecordPredicate& alive,
                            const RecordPredicate& verified) {
    std::vector<Target> found;
    std::set<std::int64_t> seen;
    for (const Record& record : records) {
        if (record.exempt || !alive(record) || !verified(record) || !seen.insert(record.pid).second) continue;
        found.push_back(record.target());
    }
    return found;
}

namespace {

// The latest end of the usage parts that still hold at now; none when none does.
std::optional<double> usageEnd(const Pause& pause, double now) {
    std::optional<double> latest;
    for (const auto& [window, hold] : pause.usage) {
        if (hold.released || !(now < hold.until)) continue;
        latest = std::max(latest.value_or(-INFINITY), hold.until);
    }
    return latest;
}

// The end of every usage part, asked for: each is over at now, and its window is not held for again.
Action releaseUsage(const Pause& standing, double now) {
    if (!usageEnd(standing, now)) {
        return Action::nothing(standing.manualUntil ? "resume of the usage's hold asked for, but the hold that "
                                                      "stands is the one asked for (until " +
                                                          NumberText::clockText(*standing.manualUntil) + ")"
                                                    : "resume of the usage's hold asked for, but none stands");
    }
    Pause pause = standing;
    for (auto& [window, hold] : pause.usage) {
        hold.released = true;
        hold.until = std::min(hold.until, now);
    }
    if (pause.manualUntil && now < *pause.manualUntil) {
        pause.resumeAt = *pause.manualUntil;
        std::string why = "resume of the usage's hold asked for: the hold asked for stands on until " +
                          NumberText::clockText(pause.resumeAt);
        return Action::Replace{std::move(pause), std::move(why)};
    }
    pause.resumeAt = now;
    return Action::Thaw{pause.targets, "resume of the usage's hold asked for", std::move(pause)};
}

}  // namespace

Action apply(const PauseRequest& request, const std::optional<Pause>& standing, const std::vector<Target>& targets,
             double now) {
    if (request.kind == PauseRequest::Kind::resume) {
        if (request.usage) {
            if (!standing) return Action::nothing("resume of the usage's hold asked for, but no pause stands");
            return releaseUsage(*standing, now);
        }
        if (!standing || !standing->manualUntil) {
            return Action::nothing(standing ? "resume asked for, but the hold that stands is the usage's (until " +
                                                  NumberText::clockText(standing->resumeAt) + ")"
                                            : "resume asked for, but no pause stands");
        }
        if (auto usage = usageEnd(*standing, now)) {
            Pause pause = *standing;
            pause.resumeAt = *usage;
            pause.manualUntil.reset();
            std::string why =
                "resume asked for: the usage's hold stands on until " + NumberText::clockText(pause.resumeAt);
            return Action::Replace{std::move(pause), std::move(why)};
        }
        return Action::Thaw{standing->targets, "resume asked for"};
    }

    auto end = request.end(now);
    if (!end) return Action::nothing("pause asked for until a time that is not ahead");
    if (standing) {
        Pause pause = *standing;
        pause.manualUntil = *end;
        pause.resumeAt = std::max(usageEnd(pause, now).value_or(-INFINITY), *end);
        addMissing(pause, targets);
        std::string why = "pause asked for until " + NumberText::dayClockText(*end, now) + ": the hold stands until " +
                          NumberText::dayClockText(pause.resumeAt, now);
        return Action::Replace{std::move(pause), std::move(why)};
    }
    if (targets.empty()) return Action::nothing("pause asked for, but no session is there to hold");
    Action::Freeze freeze;
    freeze.targets = targets;
    freeze.resumeAt = *end;
    freeze.reason = "pause asked for until " + NumberText::dayClockText(*end, now);
    freeze.manualUntil = *end;
    return freeze;
}

}  // namespace tracker::PauseOnDemand
