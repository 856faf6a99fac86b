#pragma once

#include "Front/Arguments.hpp"
#include "Front/Invocation.hpp"

// `tarnel doctor`: whether every live Claude Code session would be held, and what to fix where not.
namespace tracker::Front::DoctorCommand {

extern const char* const usage;

// Exit status 0 when every session that should be held would be, 1 when not; throws Arguments::UsageError
// for a bad command line.
int run(Arguments& arguments, const Invocation& invocation);

}  // namespace tracker::Front::DoctorCommand
