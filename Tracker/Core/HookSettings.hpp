#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Core/JSONFile.hpp"

// The hook entries of Claude Code's settings ("hooks": event -> [{"matcher", "hooks": [{"type": "command",
// "command", "timeout"}]}]) that run `tarnel-tee --hook` to record where each session stands in its turn.
// They are added beside the user's own hooks and taken out again one by one: an entry of ours is one whose
// command runs the tee with --hook, and nothing else is ever changed.
namespace tracker::HookSettings {

inline constexpr const char* hookFlag = "--hook";
// Seconds Claude Code gives the hook; the tee is done long before.
inline constexpr int timeoutSeconds = 5;

// The events whose hooks tell the phase.
const std::vector<std::string>& recordedEvents();

// The hook command for a status-line command that runs the tee: the same with --hook.
std::string hookCommand(const std::string& statusLineCommand);
// Whether a handler ({"type": "command", "command": ...}) is one of ours.
bool isOurs(const JSON& handler);
bool hasOurs(const JSONObject& settings);
// The events that are not recorded (any more) but still run ours: left by the install of an earlier version,
// each costs a run of the tee for nothing. Installing again replaces them.
std::vector<std::string> unusedEvents(const JSONObject& settings);

// Why the settings' "hooks" cannot take ours without losing something of the user's (not an object, or an
// event whose value is not a list); none when they can.
std::optional<std::string> problem(const JSONObject& settings);
// Our entries for every recorded event, after the user's; any earlier entries of ours are replaced.
JSONObject withHooks(JSONObject settings, const std::string& command);
// Every entry of ours taken out; a group, event or "hooks" that held only ours goes with it, except the
// lists of the events in kept (the user had them, if empty).
JSONObject withoutHooks(JSONObject settings, const std::vector<std::string>& kept = {});
// The recorded events whose lists the settings have besides ours, for withoutHooks to keep.
std::vector<std::string> userEvents(const JSONObject& settings);

}  // namespace tracker::HookSettings
