#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Core/Action.hpp"
#include "Core/PauseRequest.hpp"
#include "Core/Records.hpp"

namespace tracker {

// A hold asked for with `tarnel pause`, whatever the usage, and its end with `tarnel resume`, worked out
// against the pause that stands: part of the decision, carried out by the same freeze and thaw as the
// usage's. A usage hold and one asked for may overlap: the later end wins, and a resume ends only the part
// that was asked for.
namespace PauseOnDemand {

using RecordPredicate = std::function<bool(const Record&)>;

// Every session such a pause holds: live, still the recorded process, not exempt (figures or not), one per
// claude process, in record order.
std::vector<Target> targets(const std::vector<Record>& records, const RecordPredicate& alive,
                            const RecordPredicate& verified);

// What the request comes to at now: a freeze, the standing pause replaced, a thaw, or nothing (with why). A
// resume ends the part asked for; a resume of the usage (`tarnel resume --usage`) ends the usage's parts, whose
// windows are then not held for again.
Action apply(const PauseRequest& request, const std::optional<Pause>& standing, const std::vector<Target>& targets,
             double now);

}  // namespace PauseOnDemand

}  // namespace tracker
