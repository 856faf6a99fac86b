#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Core/Records.hpp"
#include "Front/Arguments.hpp"
#include "Front/Invocation.hpp"

// `tarnel pause` and `tarnel resume`: hold every session that is not exempt now, whatever the usage, and let
// them go again. The daemon does the holding; these only ask it (request.json) and wait for its answer.
namespace tracker::Front::PauseCommands {

extern const char* const pauseUsage;
extern const char* const resumeUsage;

// Exit status 0 when the daemon took the request, 1 when no daemon runs or it did not take it in time;
// throws Arguments::UsageError for a bad command line.
int pause(Arguments& arguments, const Invocation& invocation);
int resume(Arguments& arguments, const Invocation& invocation);

// "90m", "2h", "1h30m", "45s", "1d"; a bare number is minutes. None for anything else or for nothing.
std::optional<double> parseDuration(std::string_view text);
// What `tarnel pause` says of the hold that stands once the daemon took the request made at now: how many
// sessions it holds and until when, the day named unless it is today's.
std::string heldText(const Pause& standing, double now);
// The next time the local clock shows "HH:MM" after now (today, else tomorrow); none for a bad text.
std::optional<double> nextClockTime(std::string_view text, double now);

}  // namespace tracker::Front::PauseCommands
