// DaemonLoop: acting on decisions. Freeze, thaw and sweep signal only
// through the signaller and write state only through the state directory.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>

#include "Core/CommandLine.hpp"
#include "Daemon/DaemonLoop.hpp"

namespace tracker {

namespace {

std::string sid8(const std::string& sessionID) { return sessionID.substr(0, 8); }

std::string shellText(const Target& target) {
    return target.shellPID ? std::to_string(*target.shellPID) : std::string("-");
}

std::string percentText(double percent) {
    char text[64];
    std::snprintf(text, sizeof text, "%.0f", percent);
    return text;
}

bool isHeld(const Proc& row, const std::function<bool(const Proc&)>& held) {
    return row.stopped() || (held && held(row));
}

}  // namespace

std::vector<Proc> stoppedClaudes(const ProcessTable& table, const std::function<bool(const Proc&)>& held) {
    std::vector<Proc> rows;
    for (const auto& row : table.claudes()) {
        if (isHeld(row, held)) rows.push_back(row);
    }
    std::sort(rows.begin(), rows.end(), [](const Proc& a, const Proc& b) { return a.pid < b.pid; });
    return rows;
}

std::vector<Proc> stoppedShellParentsOfClaude(const ProcessTable& table,
                                              const std::function<bool(const Proc&)>& held) {
    std::set<std::int64_t> parents;
    for (const auto& row : table.claudes()) {
        if (row.ppid > 1) parents.insert(row.ppid);
    }
    std::vector<Proc> rows;
    for (std::int64_t pid : parents) {
        auto row = table.get(pid);
        if (row && isHeld(*row, held) && isInteractiveShellCommand(row->command)) rows.push_back(*row);
    }
    return rows;
}

void DaemonLoop::doFreeze(const Action::Freeze& action, const ProcessTable& table) {
    std::lock_guard guard(mutex);
    double resumeAt = action.resumeAt;
    if (resumeIn) {
        resumeAt = clock() + *resumeIn;
        log->info([&] { return "[doFreeze] --resume-in override: resume_at=" + fmtClock(resumeAt); });
    }
    Pause pause;
    pause.pausedAt = clock();
    pause.resumeAt = resumeAt;
    pause.targets = action.targets;
    pause.reason = action.reason + (action.reFreeze ? " (re-freeze)" : "");
    pause.sourceSession = action.sourceSession;
    pause.schema = schemaVersion;

    log->info([&] {
        return "[doFreeze] Entry - " + action.reason + ", " + std::to_string(pause.targets.size()) +
               " target(s), resume at " + fmtClock(resumeAt) + (action.reFreeze ? " [re-freeze]" : "");
    });

    if (dryRun) {
        for (const auto& target : pause.targets) {
            log->info([&] {
                return "[doFreeze] DRY-RUN would stop pid=" + std::to_string(target.pid) + " shell=" +
                       shellText(target) + " shape=" + shapeText(target.shape);
            });
        }
        log->info("[doFreeze] Exit - dry run, nothing written or signalled");
        return;
    }

    try {
        stateDir.write(pause);
    } catch (const std::exception& error) {
        std::string description = error.what();
        log->critical([&] { return "[doFreeze] could not write pause.json (" + description + ") - NOT signalling anything"; });
        return;
    }

    auto sink = log->sink();
    for (const auto& target : pause.targets) {
        const std::string mode = config.shellStopMode();
        for (const auto& result : freezeTarget(*signaller, target, mode, &table, sink)) {
            if (result.delivered) {
                log->info([&] {
                    return "[doFreeze] SIGSTOP pid=" + std::to_string(result.pid) + " (session " + sid8(target.sessionID) +
                           " shape " + shapeText(target.shape) + ") ok";
                });
            } else {
                log->error([&] {
                    return "[doFreeze] SIGSTOP pid=" + std::to_string(result.pid) + " FAILED - left in pause.json for thaw";
                });
            }
        }
    }

    notify("Claude sessions paused", percentText(action.usedPercentage) + "% of the 5-hour window used. " +
                                         std::to_string(pause.targets.size()) + " session(s) frozen until " +
                                         fmtClock(resumeAt) + ".");
    log->info([&] { return "[doFreeze] Exit - paused until " + fmtClock(resumeAt); });
}

void DaemonLoop::doThaw(const std::vector<Target>& targets, const ProcessTable& table, const std::string& reason) {
    std::lock_guard guard(mutex);
    log->info([&] { return "[doThaw] Entry - " + std::to_string(targets.size()) + " target(s): " + reason; });
    auto pause = stateDir.readPause();
    const double previousResumeAt = pause ? pause->resumeAt : 0;

    if (dryRun) {
        for (const auto& target : targets) {
            log->info([&] {
                return "[doThaw] DRY-RUN would cont pid=" + std::to_string(target.pid) + " shell=" + shellText(target);
            });
        }
        log->info("[doThaw] Exit - dry run");
        return;
    }

    auto sink = log->sink();
    for (const auto& target : targets) {
        const std::string mode = config.shellStopMode();
        for (const auto& result : thawTarget(*signaller, target, mode, &table, sink)) {
            if (result.delivered) {
                log->info([&] { return "[doThaw] SIGCONT pid=" + std::to_string(result.pid) + " ok"; });
            } else {
                log->warning([&] { return "[doThaw] SIGCONT pid=" + std::to_string(result.pid) + " FAILED/gone"; });
            }
        }
    }

    if (stateDir.deletePause() || errno == ENOENT) {
        thawedPause_.reset();
    } else {
        // The sessions run again; the pause must not be thawed anew on every tick.
        int error = errno;
        if (pause) thawedPause_ = JSON(pause->toJSON()).dump();
        log->error([&] {
            return std::string("[doThaw] could not remove pause.json: ") + std::strerror(error) +
                   " - its sessions are continued; it is ignored until it can be removed";
        });
    }
    const LastThaw thawed{clock(), previousResumeAt};
    try {
        stateDir.write(thawed);
        unwrittenLastThaw_.reset();
    } catch (const std::exception& error) {
        unwrittenLastThaw_ = thawed;
        std::string description = error.what();
        log->error([&] {
            return "[doThaw] could not write last_thaw.json: " + description + " - the thaw is kept in memory";
        });
    }
    sweep(tableProvider(), std::nullopt);
    notify("Claude sessions resumed", std::to_string(targets.size()) + " session(s) continued.");
    log->info("[doThaw] Exit - pause cleared");
}

int DaemonLoop::sweep(const ProcessTable& table, const std::optional<Pause>& pause) {
    std::lock_guard guard(mutex);
    std::set<std::int64_t> protectedPIDs;
    if (pause) {
        for (const auto& target : pause->targets) {
            protectedPIDs.insert(target.pid);
            if (target.shellPID) protectedPIDs.insert(*target.shellPID);
        }
    }
    auto held = [this](const Proc& row) { return signaller->isHeld(row.pid); };
    int continued = 0;
    for (const auto& row : stoppedClaudes(table, held)) {
        if (protectedPIDs.count(row.pid)) continue;
        log->warning([&] {
            return "[sweep] orphaned stopped claude pid=" + std::to_string(row.pid) + " state=" + row.stat + " - SIGCONT";
        });
        if (signaller->cont(row.pid)) ++continued;
    }
    for (const auto& row : stoppedShellParentsOfClaude(table, held)) {
        if (protectedPIDs.count(row.pid)) continue;
        log->warning([&] {
            return "[sweep] orphaned stopped shell pid=" + std::to_string(row.pid) + " state=" + row.stat +
                   " parents a claude - SIGCONT";
        });
        if (signaller->cont(row.pid)) ++continued;
    }
    if (continued > 0) {
        log->info([&] { return "[sweep] Exit - continued " + std::to_string(continued) + " orphaned process(es)"; });
    }
    return continued;
}

std::pair<Decide::RecordPredicate, Decide::RecordPredicate> DaemonLoop::annotate(const std::vector<Record>& records,
                                                                                  const ProcessTable& table) {
    for (const auto& record : records) {
        if (table.isAlive(record.pid) && !table.isClaudePID(record.pid, record.pidStart)) {
            log->debug([&] {
                return "[annotate] pid " + std::to_string(record.pid) + " no longer matches record (session " +
                       sid8(record.sessionID) + ") - not a target";
            });
        }
    }
    auto shared = std::make_shared<ProcessTable>(table);
    Decide::RecordPredicate alive = [shared](const Record& record) { return shared->isAlive(record.pid); };
    Decide::RecordPredicate verified = [shared](const Record& record) {
        return shared->isClaudePID(record.pid, record.pidStart);
    };
    return {alive, verified};
}

std::vector<Record> DaemonLoop::pruneRecords(const std::vector<Record>& records, const ProcessTable& table,
                                             double now) {
    double ttl;
    {
        std::lock_guard guard(mutex);
        ttl = config.recordTTL();
    }
    return StateDir::pruneRecords(records, table, now, ttl, log->sink());
}

}  // namespace tracker
