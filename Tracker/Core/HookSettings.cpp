#include "Core/HookSettings.hpp"

#include <algorithm>

namespace tracker::HookSettings {

namespace {

const std::string suffix = std::string(" ") + hookFlag;

// Removes our handlers from an event's list; true when any was there.
bool strip(JSON& groups) {
    if (!groups.is_array()) return false;
    bool removed = false;
    JSON kept = JSON::array();
    for (auto& group : groups) {
        JSON* handlers = group.is_object() && group.contains("hooks") ? &group["hooks"] : nullptr;
        if (!handlers || !handlers->is_array()) {
            kept.push_back(std::move(group));
            continue;
        }
        JSON others = JSON::array();
        for (auto& handler : *handlers) {
            if (isOurs(handler)) {
                removed = true;
            } else {
                others.push_back(std::move(handler));
            }
        }
        const bool onlyOurs = others.empty() && !handlers->empty();
        *handlers = std::move(others);
        if (!onlyOurs) kept.push_back(std::move(group));
    }
    groups = std::move(kept);
    return removed;
}

}  // namespace

const std::vector<std::string>& recordedEvents() {
    // Claude Code runs a hook command as a process of its own for each event, so only the events that can
    // change what the daemon decides are here. PostToolUse and PostToolUseFailure (one per tool call) are
    // not: they tell that an agent streams, which the UserPromptSubmit, PostToolBatch or SubagentStart before
    // them already told.
    static const std::vector<std::string> events{"UserPromptSubmit", "PostToolBatch", "Stop",      "StopFailure",
                                                 "SubagentStart",    "SubagentStop",  "SessionEnd"};
    return events;
}

std::vector<std::string> unusedEvents(const JSONObject& settings) {
    std::vector<std::string> events;
    const JSON* hooks = JSONCoerce::member(settings, "hooks");
    if (!hooks || !hooks->is_object()) return events;
    const auto& recorded = recordedEvents();
    for (const auto& [event, groups] : hooks->items()) {
        if (std::find(recorded.begin(), recorded.end(), event) != recorded.end()) continue;
        JSON copy = groups;
        if (strip(copy)) events.push_back(event);
    }
    return events;
}

std::string hookCommand(const std::string& statusLineCommand) {
    return statusLineCommand + suffix;
}

bool isOurs(const JSON& handler) {
    auto command = handler.is_object() ? JSONCoerce::toString(JSONCoerce::member(handler, "command")) : std::nullopt;
    return command && command->find("tarnel-tee") != std::string::npos && command->ends_with(suffix);
}

bool hasOurs(const JSONObject& settings) {
    const JSON* hooks = JSONCoerce::member(settings, "hooks");
    if (!hooks || !hooks->is_object()) return false;
    for (auto groups : *hooks) {
        if (strip(groups)) return true;
    }
    return false;
}

std::optional<std::string> problem(const JSONObject& settings) {
    const JSON* hooks = JSONCoerce::member(settings, "hooks");
    if (!hooks || hooks->is_null()) return std::nullopt;
    if (!hooks->is_object()) return "its \"hooks\" is not an object";
    for (const auto& event : recordedEvents()) {
        const JSON* groups = JSONCoerce::member(*hooks, event);
        if (groups && !groups->is_null() && !groups->is_array()) return "its \"hooks\".\"" + event + "\" is not a list";
    }
    return std::nullopt;
}

JSONObject withHooks(JSONObject settings, const std::string& command) {
    settings = withoutHooks(std::move(settings));
    JSON& hooks = settings["hooks"];
    if (!hooks.is_object()) hooks = JSON::object();
    for (const auto& event : recordedEvents()) {
        JSON& groups = hooks[event];
        if (!groups.is_array()) groups = JSON::array();
        JSON handler = {{"type", "command"}, {"command", command}, {"timeout", timeoutSeconds}};
        groups.push_back({{"matcher", ""}, {"hooks", JSON::array({handler})}});
    }
    return settings;
}

std::vector<std::string> userEvents(const JSONObject& settings) {
    std::vector<std::string> events;
    const JSON* hooks = JSONCoerce::member(settings, "hooks");
    if (!hooks || !hooks->is_object()) return events;
    for (const auto& event : recordedEvents()) {
        const JSON* groups = JSONCoerce::member(*hooks, event);
        if (!groups || !groups->is_array()) continue;
        JSON others = *groups;
        // A list that held nothing but ours is ours; an empty one is the user's.
        if (!strip(others) || !others.empty()) events.push_back(event);
    }
    return events;
}

JSONObject withoutHooks(JSONObject settings, const std::vector<std::string>& kept) {
    auto hooks = settings.find("hooks");
    if (hooks == settings.end() || !hooks->second.is_object()) return settings;
    bool removedAny = false;
    for (auto event = hooks->second.begin(); event != hooks->second.end();) {
        const bool removed = strip(event.value());
        removedAny = removedAny || removed;
        const bool keep = std::find(kept.begin(), kept.end(), event.key()) != kept.end();
        if (removed && event.value().empty() && !keep) {
            event = hooks->second.erase(event);
        } else {
            ++event;
        }
    }
    if (removedAny && hooks->second.empty()) settings.erase(hooks);
    return settings;
}

}  // namespace tracker::HookSettings
