#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "Core/JSONFile.hpp"

namespace tracker {

// Where a session stands in its turn, as its hook runs tell it: whether one of its agents (the main one, or
// a subagent inside the same process) may be receiving a reply. A hold that lands while a reply streams can
// cost that reply, so the daemon holds a streaming session only once it reaches a safe point.
struct SessionPhase {
    enum class Agent { streaming, safe };

    // What one hook event says of the agent it ran for.
    enum class Effect {
        // A reply may be arriving: a tool ran while the rest of its reply may still stream, or a subagent
        // began.
        streaming,
        // No reply arrives while the hook runs, and the next request goes out as soon as it returns: a
        // prompt was submitted, or every tool of a reply ran. Safe for as long as the hook runs.
        beforeRequest,
        // The turn ended: nothing arrives until the next prompt.
        safe,
        // The agent is gone (a subagent that stopped); a main agent's turn ends with it.
        agentEnded,
        // The session ended: the phase is dropped.
        sessionEnded,
        // Says nothing about streaming.
        none,
    };
    static Effect effectOf(const std::string& event);

    std::string sessionID;
    // The Claude Code process the hooks ran under, and its start (see Proc::startID).
    std::int64_t pid = 0;
    std::string startID;
    // When the phase last changed (epoch seconds), and the event that changed it.
    double ts = 0;
    std::string event;
    // Each agent's phase; "" is the main agent.
    std::map<std::string, Agent> agents;
    // When a turn of the session last ended at a usage limit (a StopFailure hook with error "rate_limit":
    // the account's wall, or a short burst limit), "limit_hit_at".
    std::optional<double> limitHitAt;

    // Applies one event for the agent ("" the main one); false for an event that changes nothing.
    bool apply(const std::string& event, const std::string& agentID);
    // Whether any agent may be receiving a reply.
    bool streaming() const;

    JSONObject toJSON() const;
    // None unless value is an object with a "session_id" and a "pid" above 0; unknown agent phases are
    // streaming, so a damaged file never makes a session look safe.
    static std::optional<SessionPhase> fromJSON(const JSON* value);

    bool operator==(const SessionPhase&) const = default;
};

}  // namespace tracker
