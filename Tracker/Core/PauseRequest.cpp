#include "Core/PauseRequest.hpp"

#include <algorithm>
#include <cmath>

#include "Core/Records.hpp"

namespace tracker {

std::optional<double> PauseRequest::end(double now) const {
    const double latest = now + longest;
    const double asked = until.value_or(latest);
    if (!std::isfinite(asked) || !(asked > now)) return std::nullopt;
    return std::min(asked, latest);
}

JSONObject PauseRequest::toJSON() const {
    JSONObject object{{"schema_version", schemaVersion},
                      {"action", kind == Kind::pause ? "pause" : "resume"},
                      {"requested_at", requestedAt}};
    if (until) object["until"] = *until;
    if (usage) object["usage"] = true;
    return object;
}

std::optional<PauseRequest> PauseRequest::fromJSON(const JSON* value) {
    if (!value || !value->is_object()) return std::nullopt;
    const JSON* action = JSONCoerce::member(*value, "action");
    if (!action || !action->is_string()) return std::nullopt;
    PauseRequest request;
    if (*action == "pause") {
        request.kind = Kind::pause;
    } else if (*action == "resume") {
        request.kind = Kind::resume;
    } else {
        return std::nullopt;
    }
    if (const JSON* until = JSONCoerce::member(*value, "until"); until && !until->is_null()) {
        auto at = JSONCoerce::toDouble(until);
        if (!at || !std::isfinite(*at)) return std::nullopt;
        request.until = *at;
    }
    request.requestedAt = JSONCoerce::toDouble(JSONCoerce::member(*value, "requested_at")).value_or(0);
    request.usage = JSONCoerce::toBool(JSONCoerce::member(*value, "usage"));
    return request;
}

}  // namespace tracker
