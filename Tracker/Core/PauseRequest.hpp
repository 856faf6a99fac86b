#pragma once

#include <optional>
#include <string>

#include "Core/JSONFile.hpp"

namespace tracker {

// What `tarnel pause` and `tarnel resume` ask of the daemon, in "request.json": hold every session that is
// not exempt now, whatever the usage, until a time; or end such a pause. The daemon carries it out at its
// next tick and removes the file.
struct PauseRequest {
    enum class Kind { pause, resume };
    // No pause asked for lasts longer; one asked for without an end ends then.
    static constexpr double longest = 24 * 3600;
    // A request the daemon finds later than this after it was made (it did not run, or slept) is not carried
    // out: whoever asked has long been told that nobody took it.
    static constexpr double expiresAfter = 600;

    Kind kind = Kind::pause;
    // When a pause is to end; none: at `tarnel resume`, within `longest`.
    std::optional<double> until;
    double requestedAt = 0;
    // A resume of the usage's hold ("usage": true, `tarnel resume --usage`) rather than of the part asked for.
    bool usage = false;

    // When a pause asked for at now ends: until, but no later than longest after now; none for an end that
    // is not ahead.
    std::optional<double> end(double now) const;

    JSONObject toJSON() const;
    // None unless value is an object with "action" "pause" or "resume"; an "until" that is not a finite number
    // makes a pause request none too (better no hold than one of the wrong length).
    static std::optional<PauseRequest> fromJSON(const JSON* value);
    bool operator==(const PauseRequest&) const = default;
};

}  // namespace tracker
