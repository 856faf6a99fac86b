#include "Core/Action.hpp"

#include "Core/NumberText.hpp"

namespace tracker {

namespace {

std::string describeTarget(const Target& target) {
    return "{pid=" + std::to_string(target.pid) +
           " shell=" + (target.shellPID ? std::to_string(*target.shellPID) : std::string("-")) +
           " shape=" + shapeText(target.shape) + " session=" + shortSessionID(target.sessionID) + "}";
}

std::string describeTargets(const std::vector<Target>& targets) {
    std::string text = "[";
    for (size_t i = 0; i < targets.size(); ++i) text += (i ? ", " : "") + describeTarget(targets[i]);
    return text + "]";
}

}  // namespace

const std::string& Action::reason() const {
    return std::visit([](const auto& value) -> const std::string& { return value.reason; }, value_);
}

std::vector<Target> Action::targets() const {
    if (const auto* f = freeze()) return f->targets;
    if (const auto* t = thaw()) return t->targets;
    if (const auto* r = replace()) return r->pause.targets;
    return {};
}

std::string Action::describe() const {
    if (const auto* f = freeze()) {
        return "freeze(targets=" + describeTargets(f->targets) + ", resume_at=" + NumberText::shortest(f->resumeAt) +
               ", source=" + f->sourceSession + ", used=" + NumberText::oneDecimal(f->usedPercentage) +
               ", resets_at=" + NumberText::shortest(f->resetsAt) + ", reason=" + f->reason +
               ", re_freeze=" + (f->reFreeze ? "true" : "false") + ")";
    }
    if (const auto* t = thaw()) return "thaw(targets=" + describeTargets(t->targets) + ", reason=" + t->reason + ")";
    if (const auto* r = replace()) {
        return "replace(targets=" + describeTargets(r->pause.targets) +
               ", resume_at=" + NumberText::shortest(r->pause.resumeAt) + ", reason=" + r->reason + ")";
    }
    return "nothing(" + reason() + ")";
}

}  // namespace tracker
