#pragma once

#include <functional>
#include <vector>

namespace tracker {

// The signals that would end the daemon, relayed to one handler on a thread of its own: a signal never ends
// the daemon with sessions held, it takes the same way out as SIGTERM. Once per process.
namespace SignalRelay {

// Every signal whose default action ends the process and that can arrive from outside. (SIGPIPE is ignored
// instead: a console whose reader went away is no reason to stop; the log file is the record.)
const std::vector<int>& trapped();

// The signals of faults (SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS). Sent with kill by another
// process, each is relayed like the trapped ones; a real fault of the daemon's own lets go of every session it
// holds from the handler (EmergencyRelease) and then ends the process as the signal would.
const std::vector<int>& fatal();

// Holds the trapped signals back: one that comes during start-up waits instead of ending the daemon. Called
// first, before any thread starts.
void holdBack();

// Installs the handlers and starts the thread that calls handler with each signal's number, then lets what
// was held back through. Handlers, unlike ignored signals, go back to their defaults in every child at exec.
void arm(std::function<void(int)> handler);

}  // namespace SignalRelay

}  // namespace tracker
