#include "Daemon/PauseOnDemand.hpp"

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

std::vector<Target> targets(const std::vector<Record>& records, const Decide::RecordPredicate& alive,
                            const Decide::RecordPredicate& verified) {
    std::vector<Target> found;
    std::set<std::int64_t> seen;
    for (const Record& record : records) {
        if (record.exempt || !alive(record) || !verified(record) || !seen.insert(record.pid).second) continue;
        found.push_back(record.target());
    }
    return found;
}

Step apply(const PauseRequest& request, const std::optional<Pause>& standing, const std::vector<Target>& targets,
           double now) {
    Step step;
    if (request.kind == PauseRequest::Kind::resume) {
        if (!standing || !standing->manualUntil) {
            step.why = standing ? "resume asked for, but the hold that stands is the usage's (until " +
                                      NumberText::clockText(standing->resumeAt) + ")"
                                : "resume asked for, but no pause stands";
            return step;
        }
        if (standing->usageUntil && *standing->usageUntil > now) {
            Pause pause = *standing;
            pause.resumeAt = *standing->usageUntil;
            pause.manualUntil.reset();
            step.kind = Step::Kind::replace;
            step.why = "resume asked for: the usage's hold stands on until " + NumberText::clockText(pause.resumeAt);
            step.pause = std::move(pause);
            return step;
        }
        step.kind = Step::Kind::thaw;
        step.why = "resume asked for";
        return step;
    }

    auto end = request.end(now);
    if (!end) {
        step.why = "pause asked for until a time that is not ahead";
        return step;
    }
    if (standing) {
        Pause pause = *standing;
        if (!pause.manualUntil) pause.usageUntil = standing->resumeAt;
        pause.manualUntil = *end;
        pause.resumeAt = std::max(pause.usageUntil.value_or(-INFINITY), *end);
        addMissing(pause, targets);
        step.kind = Step::Kind::replace;
        step.why = "pause asked for until " + NumberText::clockText(*end) + ": the hold stands until " +
                   NumberText::clockText(pause.resumeAt);
        step.pause = std::move(pause);
        return step;
    }
    if (targets.empty()) {
        step.why = "pause asked for, but no session is there to hold";
        return step;
    }
    Action::Freeze freeze;
    freeze.targets = targets;
    freeze.resumeAt = *end;
    freeze.reason = "pause asked for until " + NumberText::clockText(*end);
    freeze.manualUntil = *end;
    step.kind = Step::Kind::freeze;
    step.why = freeze.reason;
    step.freeze = std::move(freeze);
    return step;
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
