#include "Front/DoctorCommand.hpp"

#include <chrono>
#include <iostream>

#include "Front/DoctorReport.hpp"
#include "Front/Locations.hpp"

namespace tracker::Front::DoctorCommand {

const char* const usage =
    "usage: tarnel doctor [--json] [--all-users] [--state-dir DIR] [--settings FILE]\n"
    "\n"
    "Check whether a hold would hold every live Claude Code session on this machine, one line\n"
    "each (recorded? fresh? the same process? exempt? how a hold is made, and whether tmux or\n"
    "screen would undo it), and the set-up around them (the daemon, the status line, config.json),\n"
    "each with the fix where something is wrong. Changes nothing.\n"
    "\n"
    "  --all-users               judge the Claude Code processes of other users too (by default only\n"
    "                            yours: nobody else's process can make this check fail)\n"
    "  --json                    print one JSON object instead: state_dir, settings, now, all_held,\n"
    "                            setup: [{ok, what, fix}], sessions: [{pid, tty, shape, shell_pid,\n"
    "                            multiplexer, session_id, hold_route (freezer|user-scope|signal),\n"
    "                            outcome, findings: [{ok, what, fix}]}]\n"
    "Exit status: 0 every session that should be held would be, 1 some would not or the set-up\n"
    "needs a fix, 2 a command-line error.\n";

int run(Arguments& arguments, const Invocation& invocation) {
    Locations locations;
    bool json = false;
    bool allUsers = false;
    auto more = [&](Arguments& rest) { return rest.flag("--all-users") && (allUsers = true); };
    if (!locations.takeReportOptions(arguments, json, usage, more)) return 0;
    const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    auto inputs = DoctorReport::systemInputs(locations.stateDir(invocation.environment),
                                             locations.settingsPath(invocation.environment), now);
    inputs.allUsers = allUsers;
    const auto report = DoctorReport::gather(inputs);
    if (json) {
        std::cout << report.toJSON().dump(2, ' ', false, JSON::error_handler_t::replace) << "\n";
    } else {
        std::cout << report.toText();
    }
    return report.exitStatus();
}

}  // namespace tracker::Front::DoctorCommand
