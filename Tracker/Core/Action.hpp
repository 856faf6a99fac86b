#pragma once

#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "Core/Records.hpp"

namespace tracker {

// The one thing a tick is to do, with the reason it was chosen.
class Action {
public:
    // Hold these sessions until resumeAt: a new pause.
    struct Freeze {
        std::vector<Target> targets;  // never empty
        double resumeAt = 0;
        std::string sourceSession;
        double usedPercentage = 0;
        double resetsAt = 0;
        std::string reason;
        // A thaw is on record and this freeze is for a newer window.
        bool reFreeze = false;
        // Asked for with `tarnel pause`: until when (see Pause::manualUntil).
        std::optional<double> manualUntil{};
        // The usage windows it holds for, each until when (see Pause::usage), and the one that ends last.
        std::map<UsageWindow, WindowHold> usage{};
        UsageWindow window = UsageWindow::fiveHour;
        bool operator==(const Freeze&) const = default;
    };
    // Continue these sessions: the pause is over.
    struct Thaw {
        std::vector<Target> targets;
        std::string reason;
        // The pause as it ends, when that is not pause.json as it stands (its usage ended early).
        std::optional<Pause> ended{};
        bool operator==(const Thaw&) const = default;
    };
    // The pause that stands becomes this one: another end, more sessions.
    struct Replace {
        Pause pause;
        std::string reason;
        bool operator==(const Replace&) const = default;
    };
    struct Nothing {
        std::string reason;
        bool operator==(const Nothing&) const = default;
    };

    Action(Freeze freeze) : value_(std::move(freeze)) {}
    Action(Thaw thaw) : value_(std::move(thaw)) {}
    Action(Replace replace) : value_(std::move(replace)) {}
    Action(Nothing nothing) : value_(std::move(nothing)) {}
    static Action nothing(std::string reason) { return Action(Nothing{std::move(reason)}); }

    bool isFreeze() const { return std::holds_alternative<Freeze>(value_); }
    bool isThaw() const { return std::holds_alternative<Thaw>(value_); }
    bool isReplace() const { return std::holds_alternative<Replace>(value_); }
    bool isNothing() const { return std::holds_alternative<Nothing>(value_); }
    const Freeze* freeze() const { return std::get_if<Freeze>(&value_); }
    const Thaw* thaw() const { return std::get_if<Thaw>(&value_); }
    const Replace* replace() const { return std::get_if<Replace>(&value_); }

    const std::string& reason() const;
    // The targets of a freeze, a thaw or a replaced pause; empty for nothing.
    std::vector<Target> targets() const;
    // The action as one line of the log: "freeze(targets=[...], resume_at=..., ...)".
    std::string describe() const;

    // What came of a request for a pause or its end, when the tick found one: the action is what it came to,
    // or, when it came to nothing, the decision on the usage.
    std::optional<std::string> request{};

    bool operator==(const Action&) const = default;

private:
    std::variant<Freeze, Thaw, Replace, Nothing> value_;
};

}  // namespace tracker
