#include "Core/SessionPhase.hpp"

#include <cmath>

#include "Core/Proc.hpp"

namespace tracker {

SessionPhase::Effect SessionPhase::effectOf(const std::string& event) {
    // A tool starts as soon as its block is complete while the rest of the reply may still stream, so
    // PreToolUse is no safe point; PostToolBatch comes once every tool of the reply has run.
    if (event == "PostToolUse" || event == "PostToolUseFailure" || event == "SubagentStart") return Effect::streaming;
    if (event == "UserPromptSubmit" || event == "PostToolBatch") return Effect::beforeRequest;
    if (event == "Stop" || event == "StopFailure") return Effect::safe;
    if (event == "SubagentStop") return Effect::agentEnded;
    if (event == "SessionEnd") return Effect::sessionEnded;
    return Effect::none;
}

bool SessionPhase::apply(const std::string& hookEvent, const std::string& agentID) {
    switch (effectOf(hookEvent)) {
        case Effect::streaming:
            agents[agentID] = Agent::streaming;
            break;
        case Effect::beforeRequest:
        case Effect::safe:
            agents[agentID] = Agent::safe;
            break;
        case Effect::agentEnded:
            if (agentID.empty()) {
                agents[agentID] = Agent::safe;
            } else {
                agents.erase(agentID);
            }
            break;
        case Effect::sessionEnded:
            agents.clear();
            break;
        case Effect::none:
            return false;
    }
    event = hookEvent;
    return true;
}

bool SessionPhase::streaming() const {
    for (const auto& [agent, phase] : agents) {
        if (phase == Agent::streaming) return true;
    }
    return false;
}

JSONObject SessionPhase::toJSON() const {
    JSONObject phases;
    for (const auto& [agent, phase] : agents) phases[agent] = phase == Agent::safe ? "safe" : "streaming";
    JSONObject object{
        {"session_id", sessionID},
        {"pid", pid},
        {"pid_start_id", startID},
        {"ts", ts},
        {"event", event},
        {"phase", streaming() ? "streaming" : "safe"},
        {"agents", std::move(phases)},
    };
    if (limitHitAt) object["limit_hit_at"] = *limitHitAt;
    return object;
}

std::optional<SessionPhase> SessionPhase::fromJSON(const JSON* value) {
    if (!value || !value->is_object()) return std::nullopt;
    const auto& object = value->get_ref<const JSONObject&>();
    SessionPhase phase;
    phase.sessionID = JSONCoerce::toString(JSONCoerce::member(object, "session_id")).value_or("");
    phase.pid = JSONCoerce::optionalPID(JSONCoerce::member(object, "pid")).value_or(0);
    if (phase.sessionID.empty() || phase.pid <= 0) return std::nullopt;
    phase.startID =
        ProcessStart::normalizedID(JSONCoerce::toString(JSONCoerce::member(object, "pid_start_id")).value_or(""));
    phase.ts = JSONCoerce::toDouble(JSONCoerce::member(object, "ts")).value_or(0);
    phase.event = JSONCoerce::toString(JSONCoerce::member(object, "event")).value_or("");
    if (auto hit = JSONCoerce::toDouble(JSONCoerce::member(object, "limit_hit_at")); hit && std::isfinite(*hit)) {
        phase.limitHitAt = hit;
    }
    if (const JSON* agents = JSONCoerce::member(object, "agents"); agents && agents->is_object()) {
        for (const auto& [agent, text] : agents->items()) {
            const bool safe = text.is_string() && text.get<std::string>() == "safe";
            phase.agents[agent] = safe ? Agent::safe : Agent::streaming;
        }
    }
    return phase;
}

}  // namespace tracker
