#pragma once

#include <string>

#include "Core/StateDir.hpp"
#include "Front/Arguments.hpp"
#include "Front/Invocation.hpp"

// `tarnel start` and `tarnel stop`: the daemon without a service manager (WSL, a container, a login script).
// start runs tarnel-vovivida from beside this program detached from the terminal, on the state directory, its
// log in daemon.log alone; stop asks the daemon that holds the state directory's lock to end, which continues
// every session it holds first.
namespace tracker::Front::DaemonCommands {

extern const char* const startUsage;
extern const char* const stopUsage;

// Exit status 0 when a daemon runs on the state directory afterwards (started now or before), 1 when none
// could be started; throws Arguments::UsageError for a bad command line.
int start(Arguments& arguments, const Invocation& invocation);
// Exit status 0 when no daemon runs on the state directory afterwards, 1 when one still runs.
int stop(Arguments& arguments, const Invocation& invocation);

// Whether a systemd user manager runs for this user: its private socket is in XDG_RUNTIME_DIR.
bool userManagerRuns(const Environment& environment);
// The command that starts the daemon here: the systemd unit where a user manager runs, else `tarnel start`.
std::string startCommand(const Environment& environment);
// The command that stops it, likewise.
std::string stopCommand(const Environment& environment);

}  // namespace tracker::Front::DaemonCommands
