#include "Daemon/FreezeThaw.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "Core/CommandLine.hpp"
#include "Core/NumberText.hpp"
#include "Daemon/DaemonNotify.hpp"
#include "Daemon/FreezeOrder.hpp"

namespace tracker {

namespace {

std::string shellText(const Target& target) {
    return target.shellPID ? std::to_string(*target.shellPID) : std::string("-");
}

bool isHeld(const Proc& row, const std::function<bool(const Proc&)>& held) {
    return row.stopped() || (held && held(row));
}

// How a delivered stop holds its process: the freezer, or the stop signal the log has always named.
const char* holdWay(Signaller& signaller, std::int64_t pid) {
    return signaller.isHeld(pid) ? "cgroup freeze" : "SIGSTOP";
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

std::vector<Proc> stoppedShellParentsOfClaude(const ProcessTable& table, const std::function<bool(const Proc&)>& held) {
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

FreezeThaw::FreezeThaw(const StateDir& stateDir, std::shared_ptr<DaemonLogger> log, const LiveConfig& config,
                       bool dryRun, std::optional<double> resumeIn, Hooks hooks, JSONFile::OversizeHook oversize)
    : stateDir_(stateDir),
      log_(std::move(log)),
      config_(config),
      dryRun_(dryRun),
      resumeIn_(resumeIn),
      hooks_(hooks),
      oversize_(std::move(oversize)) {}

bool FreezeThaw::notify(const std::string& title, const std::string& message) {
    return DaemonNotify::post(title, message, "", config_.notifyMode(), log_);
}

std::optional<Pause> FreezeThaw::livePause() {
    auto pause = stateDir_.readPause(oversize_);
    if (!thawedPause_) return pause;
    if (!pause || JSON(pause->toJSON()).dump() != *thawedPause_) {
        thawedPause_.reset();
        return pause;
    }
    if (stateDir_.deletePause() || errno == ENOENT) {
        thawedPause_.reset();
        log_->info("[tick] removed the pause.json of the last thaw");
    }
    return std::nullopt;
}

std::optional<LastThaw> FreezeThaw::lastThaw() const {
    auto lastThaw = stateDir_.readLastThaw(oversize_);
    if (unwrittenLastThaw_ && (!lastThaw || lastThaw->thawedAt < unwrittenLastThaw_->thawedAt)) {
        return unwrittenLastThaw_;
    }
    return lastThaw;
}

void FreezeThaw::freeze(const Action::Freeze& action, const ProcessTable& table) {
    double resumeAt = action.resumeAt;
    if (resumeIn_) {
        resumeAt = hooks_.clock() + *resumeIn_;
        log_->info([&] { return "[doFreeze] --resume-in override: resume_at=" + NumberText::clockText(resumeAt); });
    }
    Pause pause;
    pause.pausedAt = hooks_.clock();
    pause.resumeAt = resumeAt;
    pause.targets = action.targets;
    pause.reason = action.reason + (action.reFreeze ? " (re-freeze)" : "");
    pause.sourceSession = action.sourceSession;
    pause.schema = schemaVersion;

    log_->info([&] {
        return "[doFreeze] Entry - " + action.reason + ", " + std::to_string(pause.targets.size()) +
               " target(s), resume at " + NumberText::clockText(resumeAt) + (action.reFreeze ? " [re-freeze]" : "");
    });

    if (dryRun_) {
        for (const auto& target : pause.targets) {
            log_->info([&] {
                return "[doFreeze] DRY-RUN would stop pid=" + std::to_string(target.pid) +
                       " shell=" + shellText(target) + " shape=" + shapeText(target.shape);
            });
        }
        log_->info("[doFreeze] Exit - dry run, nothing written or signalled");
        return;
    }

    try {
        stateDir_.write(pause);
    } catch (const std::exception& error) {
        std::string description = error.what();
        log_->critical(
            [&] { return "[doFreeze] could not write pause.json (" + description + ") - NOT signalling anything"; });
        return;
    }

    auto sink = log_->sink();
    for (const auto& target : pause.targets) {
        const ShellStopMode mode = config_.shellStopMode();
        for (const auto& result : freezeTarget(*hooks_.signaller, target, mode, &table, sink)) {
            if (result.delivered) {
                const std::string way = holdWay(*hooks_.signaller, result.pid);
                log_->info([&] {
                    return "[doFreeze] " + way + " pid=" + std::to_string(result.pid) + " (session " +
                           shortSessionID(target.sessionID) + " shape " + shapeText(target.shape) + ") ok";
                });
            } else {
                log_->error([&] {
                    return "[doFreeze] SIGSTOP pid=" + std::to_string(result.pid) +
                           " FAILED - left in pause.json for thaw";
                });
            }
        }
    }

    notify("Claude sessions paused", NumberText::whole(action.usedPercentage) + "% of the 5-hour window used. " +
                                         std::to_string(pause.targets.size()) + " session(s) frozen until " +
                                         NumberText::clockText(resumeAt) + ".");
    log_->info([&] { return "[doFreeze] Exit - paused until " + NumberText::clockText(resumeAt); });
}

void FreezeThaw::thaw(const std::vector<Target>& targets, const ProcessTable& table, const std::string& reason) {
    log_->info([&] { return "[doThaw] Entry - " + std::to_string(targets.size()) + " target(s): " + reason; });
    auto pause = stateDir_.readPause();
    const double previousResumeAt = pause ? pause->resumeAt : 0;

    if (dryRun_) {
        for (const auto& target : targets) {
            log_->info([&] {
                return "[doThaw] DRY-RUN would cont pid=" + std::to_string(target.pid) + " shell=" + shellText(target);
            });
        }
        log_->info("[doThaw] Exit - dry run");
        return;
    }

    auto sink = log_->sink();
    for (const auto& target : targets) {
        const ShellStopMode mode = config_.shellStopMode();
        std::set<std::int64_t> frozen;
        for (auto pid : thawOrder(target, mode)) {
            if (hooks_.signaller->isHeld(pid)) frozen.insert(pid);
        }
        for (const auto& result : thawTarget(*hooks_.signaller, target, mode, &table, sink)) {
            if (result.delivered) {
                const char* way = frozen.count(result.pid) ? "cgroup thaw" : "SIGCONT";
                log_->info(
                    [&] { return "[doThaw] " + std::string(way) + " pid=" + std::to_string(result.pid) + " ok"; });
            } else {
                log_->warning([&] { return "[doThaw] SIGCONT pid=" + std::to_string(result.pid) + " FAILED/gone"; });
            }
        }
    }

    if (stateDir_.deletePause() || errno == ENOENT) {
        thawedPause_.reset();
    } else {
        // The sessions run again; the pause must not be thawed anew on every tick.
        int error = errno;
        if (pause) thawedPause_ = JSON(pause->toJSON()).dump();
        log_->error([&] {
            return std::string("[doThaw] could not remove pause.json: ") + std::strerror(error) +
                   " - its sessions are continued; it is ignored until it can be removed";
        });
    }
    const LastThaw thawed{hooks_.clock(), previousResumeAt};
    try {
        stateDir_.write(thawed);
        unwrittenLastThaw_.reset();
    } catch (const std::exception& error) {
        unwrittenLastThaw_ = thawed;
        std::string description = error.what();
        log_->error([&] {
            return "[doThaw] could not write last_thaw.json: " + description + " - the thaw is kept in memory";
        });
    }
    sweep(hooks_.tableProvider(), std::nullopt);
    notify("Claude sessions resumed", std::to_string(targets.size()) + " session(s) continued.");
    log_->info("[doThaw] Exit - pause cleared");
}

int FreezeThaw::sweep(const ProcessTable& table, const std::optional<Pause>& pause) {
    std::set<std::int64_t> protectedPIDs;
    if (pause) {
        for (const auto& target : pause->targets) {
            protectedPIDs.insert(target.pid);
            if (target.shellPID) protectedPIDs.insert(*target.shellPID);
        }
    }
    auto held = [this](const Proc& row) { return hooks_.signaller->isHeld(row.pid); };
    int continued = 0;
    for (const auto& row : stoppedClaudes(table, held)) {
        if (protectedPIDs.count(row.pid)) continue;
        log_->warning([&] {
            return "[sweep] orphaned stopped claude pid=" + std::to_string(row.pid) + " state=" + row.stat +
                   " - SIGCONT";
        });
        if (hooks_.signaller->cont(row.pid)) ++continued;
    }
    for (const auto& row : stoppedShellParentsOfClaude(table, held)) {
        if (protectedPIDs.count(row.pid)) continue;
        log_->warning([&] {
            return "[sweep] orphaned stopped shell pid=" + std::to_string(row.pid) + " state=" + row.stat +
                   " parents a claude - SIGCONT";
        });
        if (hooks_.signaller->cont(row.pid)) ++continued;
    }
    if (continued > 0) {
        log_->info([&] { return "[sweep] Exit - continued " + std::to_string(continued) + " orphaned process(es)"; });
    }
    return continued;
}

}  // namespace tracker
