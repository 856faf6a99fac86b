#include "Front/StatusCommand.hpp"

#include <chrono>
#include <iostream>

#include "Front/Locations.hpp"
#include "Front/StatusReport.hpp"

namespace tracker::Front::StatusCommand {

const char* const usage =
    "usage: tarnel status [--json] [--state-dir DIR] [--settings FILE]\n"
    "\n"
    "Show what the daemon would see now: the five-hour usage of the freshest record of a\n"
    "live session, the threshold, the pause in force (and whether the sessions it names are\n"
    "still the same processes), the last thaw, and whether a daemon holds daemon.lock.\n"
    "\n"
    "  --json                    print one JSON object instead. Times are seconds since\n"
    "                            the epoch, durations seconds, *_local texts \"HH:mm\" in\n"
    "                            local time; a member without a value is null:\n"
    "      state_dir, state_dir_exists, state_dir_problem (null, or why the directory is\n"
    "      not used: someone else owns or may write it), now, records (readable session records),\n"
    "      threshold, threshold_reached, config_problem (null, or why config.json is not used),\n"
    "      usage: null | {session_id, pid, used_percentage, resets_at, resets_at_local,\n"
    "                     resets_in, recorded_at, age},\n"
    "      windows: {seven_day?, spend_limit?: {session_id, used_percentage, resets_at,\n"
    "                resets_at_local, threshold (null: off), threshold_reached,\n"
    "                used_usd, limit_usd (spend_limit only)}},\n"
    "      pause: null | {paused_at, resume_at, resume_at_local, resumes_in, reason,\n"
    "                     source_session, kind (usage|manual|manual+usage), manual_until,\n"
    "                     usage_until, window (five_hour|seven_day|spend_limit|manual: the part\n"
    "                     that ends last), held_until (as the text says it),\n"
    "                     targets: [{session_id, pid, pid_start, shell_pid, shape, alive,\n"
    "                     verified, claude, stopped, held, held_by (freezer|user scope|SIGSTOP),\n"
    "                     shell_alive, waiting_until}]},\n"
    "      last_thaw: null | {thawed_at, thawed_at_local, ago, previous_resume_at},\n"
    "      held_without_pause: [{session_id, pid}] (frozen by an earlier run, no pause names them),\n"
    "      forecast: null | {per_hour (points per hour), over (seconds the rate is taken over),\n"
    "                        threshold_at, threshold_at_local, reset_first},\n"
    "      warnings: [{window, text, threshold_at}] (a window near its threshold),\n"
    "      forecast_seven_day: null | {per_hour, over, threshold_at, reset_first},\n"
    "      limit_hits: [{session_id, at}] (turns ended at a usage limit, last five hours),\n"
    "      daemon: {running, lock (held|free|absent|unknown), lock_path, pid, pid_start,\n"
    "               started_at, pid_verified}\n"
    "    alive: some process has the pid; verified: it is still the process that was\n"
    "    recorded (same start time); claude: and it runs a Claude command.\n"
    "Exit status 1 when the state directory is not used.\n";

int run(Arguments& arguments, const Invocation& invocation) {
    Locations locations;
    bool json = false;
    if (!locations.takeReportOptions(arguments, json, usage)) return 0;
    const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    const StatusReport report = StatusReport::gather(locations.stateDir(invocation.environment), now);
    if (json) {
        std::cout << report.toJSON().dump(2, ' ', false, JSON::error_handler_t::replace) << "\n";
    } else {
        std::cout << report.toText();
    }
    return report.stateDirProblem ? 1 : 0;
}

}  // namespace tracker::Front::StatusCommand
