#include "Front/DoctorCommand.hpp"

#include <chrono>
#include <iostream>

#include "Front/DoctorReport.hpp"
#include "Front/Locations.hpp"

namespace tracker::Front::DoctorCommand {

const char* const usage =
    "usage: tarnel doctor [--json] [--state-dir DIR] [--settings FILE]\n"
    "\n"
    "Check whether a hold would hold every live Claude Code session on this machine, one line\n"
    "each (recorded? fresh? the same process? exempt? how a hold is made, and whether tmux or\n"
    "screen would undo it), and the set-up around them (the daemon, the status line, config.json),\n"
    "each with the fix where something is wrong. Changes nothing.\n"
    "\n"
    "  --json                    print one JSON object instead: state_dir, settings, now, all_held,\n"
    "                            setup: [{ok, what, fix}], sessions: [{pid, tty, shape, shell_pid,\n"
    "                            multiplexer, session_id, hold_route (freezer|user-scope|signal),\n"
    "                            outcome, findings: [{ok, what, fix}]}]\n"
    "Exit status: 0 every session that should be held would be, 1 some would not or the set-up\n"
    "needs a fix, 2 a command-line error.\n";

int run(Arguments& arguments, const Invocation& invocation) {
    Locations locations;
    bool json = false;
    while (!arguments.empty()) {
        if (arguments.flag("-h") || arguments.flag("--help")) {
            std::cout << usage << Locations::helpText();
            return 0;
        }
        if (arguments.flag("--json")) {
            json = true;
        } else if (!locations.take(arguments)) {
            arguments.reject();
        }
    }
    const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    const auto report = DoctorReport::gather(DoctorReport::systemInputs(
        locations.stateDir(invocation.environment), locations.settingsPath(invocation.environment), now));
    if (json) {
        std::cout << report.toJSON().dump(2, ' ', false, JSON::error_handler_t::replace) << "\n";
    } else {
        std::cout << report.toText();
    }
    return report.exitStatus();
}

}  // namespace tracker::Front::DoctorCommand
