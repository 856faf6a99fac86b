#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "Core/JSONFile.hpp"

namespace tracker {

// What the tee takes from the status document Claude Code writes to its
// standard input. Never fails: input that is not a JSON object counts as an
// empty object, and members of the wrong type as empty. A flaw that stops a
// JSON parser (a broken byte, a lone surrogate, 1e400) is mended first (see
// LenientJSON), so it costs only the value it is in.
struct StatusInput {
    // The whole document as an object (empty when the input is not one).
    JSONObject status;
    // "session_id" and "version" when they are texts, else "".
    std::string sessionID;
    std::string version;
    // "rate_limits" verbatim when it is an object of at most maxRateLimitsBytes as JSON, else empty.
    JSONObject rateLimits;

    static constexpr std::size_t maxRateLimitsBytes = 64 * 1024;

    static StatusInput fromBytes(std::string_view bytes);

    bool operator==(const StatusInput&) const = default;
};

}  // namespace tracker
