#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Core/Decide.hpp"
#include "Core/PauseRequest.hpp"
#include "Core/Records.hpp"

namespace tracker {

// A hold asked for with `tarnel pause`, whatever the usage, and its end with `tarnel resume`, worked out
// against the pause that stands; the loop carries the steps out through the same freeze and thaw as the
// usage's. A usage hold and one asked for may overlap: the later end wins, and a resume ends only the part
// that was asked for.
namespace PauseOnDemand {

// Every session such a pause holds: live, still the recorded process, not exempt (figures or not), one per
// claude process, in record order.
std::vector<Target> targets(const std::vector<Record>& records, const Decide::RecordPredicate& alive,
                            const Decide::RecordPredicate& verified);

struct Step {
    enum class Kind { freeze, replace, thaw, nothing };
    Kind kind = Kind::nothing;
    // kind freeze: the freeze to make.
    std::optional<Action::Freeze> freeze;
    // kind replace: the pause that stands from now on.
    std::optional<Pause> pause;
    // For the log, and for nothing: why.
    std::string why;
};

Step apply(const PauseRequest& request, const std::optional<Pause>& standing, const std::vector<Target>& targets,
           double now);

// While a pause asked for stands, a usage decision to freeze that ends later makes it last that long (and
// holds the sessions it names); the pause it becomes, or none when the decision changes nothing.
std::optional<Pause> withUsage(const Pause& standing, const Action& usage);

}  // namespace PauseOnDemand

}  // namespace tracker
