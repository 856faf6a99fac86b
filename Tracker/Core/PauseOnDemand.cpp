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

Action apply(const PauseRequest& request, const std::optional<Pause>& standing, const std::vector<Target>& targets,
             double now) {
    if (request.kind == PauseRequest::Kind::resume) {
        if (!standing || !standing->manualUntil) {
            return Action::nothing(standing ? "resume asked for, but the hold that stands is the usage's (until " +
                                                  NumberText::clockText(standing->resumeAt) + ")"
                                            : "resume asked for, but no pause stands");
        }
        if (standing->usageUntil && *standing->usageUntil > now) {
            Pause pause = *standing;
            pause.resumeAt = *standing->usageUntil;
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
        if (!pause.manualUntil) pause.usageUntil = standing->resumeAt;
        pause.manualUntil = *end;
        pause.resumeAt = std::max(pause.usageUntil.value_or(-INFINITY), *end);
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

std::optional<Pause> withUsage(const Pause& standing, const Action& usage) {
    const auto* freeze = usage.freeze();
    if (!standing.manualUntil || !freeze) return std::nullopt;
    if (!(freeze->resumeAt > standing.usageUntil.value_or(-INFINITY))) return std::nullopt;
    Pause pause = standing;
    pause.usageUntil = freeze->resumeAt;
    pause.resumeAt = std::max(pause.resumeAt, freeze->resumeAt);
    addMissing(pause, freeze->targets);
    return pause == standing ? std::nullopt : std::optional<Pause>(pause);
}

}  // namespace tracker::PauseOnDemand
