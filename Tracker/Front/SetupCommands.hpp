#pragma once

#include "Front/Arguments.hpp"
#include "Front/Invocation.hpp"

// `tarnel install` and `tarnel restore`: the settings installer for people.
namespace tracker::Front::SetupCommands {

extern const char* const installUsage;
extern const char* const restoreUsage;

// Exit status 0 when done (or nothing to do), 1 when the operation failed;
// throws Arguments::UsageError for a bad command line.
int install(Arguments& arguments, const Invocation& invocation);
int restore(Arguments& arguments, const Invocation& invocation);

}  // namespace tracker::Front::SetupCommands
