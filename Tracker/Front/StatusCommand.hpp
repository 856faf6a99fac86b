#pragma once

#include "Front/Arguments.hpp"
#include "Front/Invocation.hpp"

// `tarnel status`: what the daemon would see now, for people or scripts.
namespace tracker::Front::StatusCommand {

extern const char* const usage;

// Exit status 0, 1 when the state directory is refused; throws Arguments::UsageError for a bad command line.
int run(Arguments& arguments, const Invocation& invocation);

}  // namespace tracker::Front::StatusCommand
