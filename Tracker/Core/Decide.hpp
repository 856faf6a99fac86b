#pragma once

#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "Core/Records.hpp"
#include "Core/TrackerConfig.hpp"

namespace tracker {

// The one thing a tick is to do, with the reason it was chosen.
class Action {
public:
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
        bool operator==(const Freeze&) const = default;
    };
    struct Thaw {
        std::vector<Target> targets;
        std::string reason;
        bool operator==(const Thaw&) const = default;
    };
    struct Nothing {
        std::string reason;
        bool operator==(const Nothing&) const = default;
    };

    Action(Freeze freeze) : value_(std::move(freeze)) {}
    Action(Thaw thaw) : value_(std::move(thaw)) {}
    Action(Nothing nothing) : value_(std::move(nothing)) {}
    static Action nothing(std::string reason) { return Action(Nothing{std::move(reason)}); }

    bool isFreeze() const { return std::holds_alternative<Freeze>(value_); }
    bool isThaw() const { return std::holds_alternative<Thaw>(value_); }
    bool isNothing() const { return std::holds_alternative<Nothing>(value_); }
    const Freeze* freeze() const { return std::get_if<Freeze>(&value_); }
    const Thaw* thaw() const { return std::get_if<Thaw>(&value_); }

    const std::string& reason() const;
    // The targets of a freeze or thaw; empty for nothing.
    std::vector<Target> targets() const;

    bool operator==(const Action&) const = default;

private:
    std::variant<Freeze, Thaw, Nothing> value_;
};

// The pure decision: records, pause, last thaw, time and configuration in,
// one Action out. It reads no files, sends no signals and keeps no state.
namespace Decide {

using RecordPredicate = std::function<bool(const Record&)>;

// Live records with a five-hour window (used percentage and reset time) that
// are no older than staleAfter, in input order.
std::vector<Record> freshUsable(const std::vector<Record>& records, double now, const TrackerConfig& config,
                                const RecordPredicate& alive);

// The freshest of freshUsable; on equal ts the earliest in the list.
std::optional<Record> pickTruth(const std::vector<Record>& records, double now, const TrackerConfig& config,
                                const RecordPredicate& alive);

// One target per verified, non-exempt fresh record, one per pid, in order.
std::vector<Target> pickTargets(const std::vector<Record>& records, double now, const TrackerConfig& config,
                                const RecordPredicate& alive, const RecordPredicate& verified);

Action decide(const std::vector<Record>& records, const std::optional<Pause>& pause,
              const std::optional<LastThaw>& lastThaw, double now, const TrackerConfig& config,
              const RecordPredicate& alive, const RecordPredicate& verified);

// The grace period as the post-thaw reason shows it: truncated toward zero,
// clamped to the 64-bit range when it lies beyond it, 0 when it is NaN.
long long wholeSeconds(double seconds);

// When a pause ends: its resume time, but never later than max_freeze after the freeze (or the end of the
// part asked for with `tarnel pause`, when later), whatever the file says ("inf", a year on). A resume time that is not
// a number, or a freeze time that is not a finite number, ends it now (the result is then not after any time).
double effectiveResumeAt(const Pause& pause, const TrackerConfig& config);

}  // namespace Decide

}  // namespace tracker
