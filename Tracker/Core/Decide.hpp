#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Core/Action.hpp"
#include "Core/PauseRequest.hpp"
#include "Core/Records.hpp"
#include "Core/TrackerConfig.hpp"

namespace tracker {

// The pure decision: everything a tick gathered in, one Action out. It reads no files, sends no signals,
// keeps no state and asks no clock.
namespace Decide {

using RecordPredicate = std::function<bool(const Record&)>;

// What the decision looks at.
struct Situation {
    // The session records, in file-name order.
    std::vector<Record> records;
    // Whether a record's process runs; whether it is still the recorded claude process.
    RecordPredicate alive;
    RecordPredicate verified;
    // The pause that stands.
    std::optional<Pause> pause;
    // A pause or its end asked for with `tarnel pause` / `tarnel resume`.
    std::optional<PauseRequest> request;
    std::optional<LastThaw> lastThaw;
    double now = 0;
    TrackerConfig settings;
};

// The one action for the situation: a request first (a pause asked for, its end), then the usage against a
// pause asked for (the later end wins), then the pause's end, then the usage.
Action decide(const Situation& situation);

// Live records with figures of the window (used percentage and reset time) that are no older than staleAfter,
// in input order.
std::vector<Record> freshUsable(const std::vector<Record>& records, double now, const TrackerConfig& settings,
                                const RecordPredicate& alive, UsageWindow window = UsageWindow::fiveHour);

// The account's figure among freshUsable: of the current window (that of the freshest report whose reset
// is still ahead), the highest report, never one stamped later than now; on equal figures the freshest, then
// the earliest in the list.
std::optional<Record> pickTruth(const std::vector<Record>& records, double now, const TrackerConfig& settings,
                                const RecordPredicate& alive, UsageWindow window = UsageWindow::fiveHour);

// One target per verified, non-exempt fresh record of a session that spends the plan's usage (one with figures,
// or one its hooks registered), one per pid, in order.
std::vector<Target> pickTargets(const std::vector<Record>& records, double now, const TrackerConfig& settings,
                                const RecordPredicate& alive, const RecordPredicate& verified);

// When a pause ends: its resume time, but never later than max_freeze after the freeze (or the end of the
// part asked for with `tarnel pause`, when later), whatever the file says ("inf", a year on). A resume time that
// is not a number, or a freeze time that is not a finite number, ends it now (the result is then not after any
// time).
double effectiveResumeAt(const Pause& pause, const TrackerConfig& settings);

}  // namespace Decide

}  // namespace tracker
