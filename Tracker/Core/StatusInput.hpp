#pragma once

#include <cstddef>
#include <initializer_list>
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
    // The same, for the members named in keys alone: status holds only those, and the rest of the document
    // is read past without being built (the tee needs a few members of kilobytes on every run).
    static StatusInput fromBytes(std::string_view bytes, std::initializer_list<std::string_view> keys);

    bool operator==(const StatusInput&) const = default;
};

}  // namespace tracker
