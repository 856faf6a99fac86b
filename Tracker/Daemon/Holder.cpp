#include "Daemon/Holder.hpp"

#include <algorithm>
#include <set>

#include "Core/CommandLine.hpp"
#include "Core/HoldNotice.hpp"
#include "Core/NumberText.hpp"
#include "Daemon/DaemonNotify.hpp"
#include "Daemon/FreezeOrder.hpp"

namespace tracker {

namespace {

std::string shellText(const Target& target) {
    return target.shellPID ? std::to_string(*target.shellPID) : std::string("-");
}

// How a delivered stop holds its process: the freezer, or the stop signal the log has always named.
const char* holdWay(Signaller& signaller, std::int64_t pid) {
    return signaller.isHeld(pid) ? "cgroup freeze" : "SIGSTOP";
}

// The steps a spaced thaw waits in, so that a stop asked for meanwhile is not kept waiting.
constexpr double spacingStep = 0.02;

}  // namespace

Holder::Holder(const StateDir& stateDir, HoldDocuments& documents, const LiveConfig& config, DaemonWorld& world,
               std::shared_ptr<DaemonLogger> log, Options options)
    : stateDir_(stateDir),
      documents_(documents),
      config_(config),
      world_(world),
      log_(std::move(log)),
      options_(options) {}

bool Holder::notify(const std::string& title, const std::string& message) {
    return DaemonNotify::post(title, message, "", config_.notifyMode(), log_);
}

bool Holder::isHeldNow(const ProcessTable& table, std::int64_t pid) {
    auto row = table.get(pid);
    return (row && row->stopped()) || world_.signaller->isHeld(pid);
}

bool Holder::streaming(const Target& target, const ProcessTable& table) const {
    auto phase = stateDir_.readPhase(target.sessionID);
    if (!phase || phase->pid != target.pid) return false;
    // A phase of another process that had this pid before says nothing about this one.
    auto row = table.get(target.pid);
    if (row && !phase->startID.empty() && !row->start.id.empty() && phase->startID != row->start.id) return false;
    return phase->streaming();
}

bool Holder::holdTarget(const Target& target, const ProcessTable& table) {
    const ShellStopMode mode = config_.settings().shellStopMode;
    return logHold(target, freezeTarget(*world_.signaller, target, mode, &table, log_->sink()));
}

bool Holder::logHold(const Target& target, const std::vector<SignalResult>& results) {
    bool claudeHeld = false;
    for (const auto& result : results) {
        if (result.pid == target.pid) claudeHeld = result.delivered;
        if (result.delivered) {
            const std::string way = holdWay(*world_.signaller, result.pid);
            log_->info([&] {
                return "[doFreeze] " + way + " pid=" + std::to_string(result.pid) + " (session " +
                       shortSessionID(target.sessionID) + " shape " + shapeText(target.shape) + ") ok";
            });
        } else {
            log_->error([&] {
                return "[doFreeze] SIGSTOP pid=" + std::to_string(result.pid) + " FAILED - left in pause.json for thaw";
            });
        }
    }
    return claudeHeld;
}

void Holder::freeze(const Action::Freeze& action, const ProcessTable& table) {
    double resumeAt = action.resumeAt;
    if (options_.resumeIn) {
        resumeAt = world_.clock() + *options_.resumeIn;
        log_->info([&] { return "[doFreeze] --resume-in override: resume_at=" + NumberText::clockText(resumeAt); });
    }
    Pause pause;
    pause.pausedAt = world_.clock();
    pause.resumeAt = resumeAt;
    pause.targets = action.targets;
    pause.reason = action.reason + (action.reFreeze ? " (re-freeze)" : "");
    pause.sourceSession = action.sourceSession;
    pause.schema = schemaVersion;
    pause.manualUntil = action.manualUntil;
    pause.usage = action.usage;
    // An override ends every part of the hold at once.
    if (options_.resumeIn) {
        for (auto& [window, hold] : pause.usage) hold.until = resumeAt;
    }

    log_->info([&] {
        return "[doFreeze] Entry - " + action.reason + ", " + std::to_string(pause.targets.size()) +
               " target(s), resume at " + NumberText::clockText(resumeAt) + (action.reFreeze ? " [re-freeze]" : "");
    });
    const std::vector<Target> now = admit(pause, {}, table, "doFreeze");

    if (options_.dryRun) {
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
        documents_.begin(pause);
    } catch (const std::exception& error) {
        std::string description = error.what();
        log_->critical(
            [&] { return "[doFreeze] could not write pause.json (" + description + ") - NOT signalling anything"; });
        return;
    }
    retries_.clear();

    std::size_t held = 0;
    auto results = freezeTargets(*world_.signaller, now, config_.settings().shellStopMode, &table, log_->sink());
    for (std::size_t t = 0; t < now.size(); ++t) {
        if (logHold(now[t], results[t])) {
            ++held;
        } else {
            retries_[now[t].pid] = 0;
        }
    }

    const std::size_t missed = now.size() - held;
    if (missed > 0) {
        log_->error([&] {
            return "[doFreeze] " + std::to_string(missed) + " of " + std::to_string(pause.targets.size()) +
                   " session(s) could not be held - tried again while the pause stands";
        });
    }
    const std::size_t waiting = pause.waiting.size();
    const std::string used = action.manualUntil ? "Asked for with tarnel pause. "
                                                : NumberText::whole(action.usedPercentage) + "% of the " +
                                                      UsageWindows::described(action.window) + " used. ";
    notify("Claude sessions paused",
           used + std::to_string(held) + " session(s) " +
               HoldNotice::heldUntil(pause, config_.settings(), world_.clock()) + "." +
               (waiting ? " " + std::to_string(waiting) + " more once its reply is complete." : "") +
               (missed ? " " + std::to_string(missed) + " could not be held." : "") +
               (action.manualUntil ? " End it sooner: tarnel resume." : " End it sooner: tarnel resume --usage."));
    log_->info([&] { return "[doFreeze] Exit - paused until " + NumberText::clockText(resumeAt); });
}

std::vector<Target> Holder::admit(Pause& pause, const std::set<std::int64_t>& known, const ProcessTable& table,
                                  const std::string& why) {
    // A session receiving a reply is held once it reaches a safe point, so that the hold does not cost it
    // the reply; an unknown phase is held at once.
    const double wait = config_.settings().safePointWait;
    const double now = world_.clock();
    std::vector<Target> holdNow;
    for (auto& target : pause.targets) {
        if (known.count(target.pid)) continue;
        // The shells a thaw may continue are the very processes stopped now: their start goes with the pause.
        if (auto shell = target.shellPID ? table.get(*target.shellPID) : std::nullopt) {
            target.shellStart = shell->start.text();
            target.shellStartID = shell->start.id;
        }
        if (wait > 0 && !pause.waiting.count(target.sessionID) && streaming(target, table)) {
            pause.waiting[target.sessionID] = now + wait;
            log_->info([&] {
                return "[" + why + "] waiting for a safe point: session " + shortSessionID(target.sessionID) +
                       " (pid " + std::to_string(target.pid) + ", up to " + NumberText::clockText(now + wait) + ")";
            });
        } else {
            holdNow.push_back(target);
        }
    }
    return holdNow;
}

void Holder::replace(const Pause& standing, const Pause& next, const ProcessTable& table, const std::string& why) {
    log_->info([&] {
        return "[" + why + "] the pause now ends at " + NumberText::clockText(next.resumeAt) + ", " +
               std::to_string(next.targets.size()) + " target(s)";
    });
    std::set<std::int64_t> known;
    for (const Target& target : standing.targets) known.insert(target.pid);
    Pause pause = next;
    const std::vector<Target> arriving = admit(pause, known, table, why);
    const std::size_t added = pause.targets.size() - std::min(pause.targets.size(), known.size());
    if (options_.dryRun || !documents_.change(pause, why)) return;
    for (const auto& target : pause.targets) {
        // One waiting for its safe point is held by holdStragglers.
        if (pause.waiting.count(target.sessionID)) continue;
        if (!verifyForSignal(&table, target) || isHeldNow(table, target.pid)) continue;
        if (!holdTarget(target, table)) retries_[target.pid] = 0;
    }
    if (added > 0) {
        const std::size_t waiting = added - arriving.size();
        notify("Claude sessions paused",
               std::to_string(added) + " more session(s) " +
                   HoldNotice::heldUntil(pause, config_.settings(), world_.clock()) + "." +
                   (waiting ? " " + std::to_string(waiting) + " of them once its reply is complete." : ""));
    }
}

void Holder::holdStragglers(const Pause& pause, const ProcessTable& table, const std::string& why) {
    if (options_.dryRun) return;
    Pause rewritten = pause;
    const double now = world_.clock();
    for (const auto& target : pause.targets) {
        if (auto waiting = rewritten.waiting.find(target.sessionID); waiting != rewritten.waiting.end()) {
            const double until = waiting->second;
            const bool stillStreaming = streaming(target, table);
            // A wait set to 0 meanwhile ends every wait that runs.
            if (stillStreaming && now < until && config_.settings().safePointWait > 0) continue;
            rewritten.waiting.erase(waiting);
            log_->info([&] {
                return "[" + why + "] session " + shortSessionID(target.sessionID) +
                       (stillStreaming ? " did not reach a safe point by " + NumberText::clockText(until)
                                       : " reached a safe point") +
                       " - holding it";
            });
            if (!verifyForSignal(&table, target) || isHeldNow(table, target.pid)) continue;
            if (holdTarget(target, table)) continue;
            retries_[target.pid] = 0;
            continue;
        }
        if (!verifyForSignal(&table, target) || isHeldNow(table, target.pid)) continue;
        auto tried = retries_.find(target.pid);
        const bool failedBefore = tried != retries_.end();
        if (failedBefore && tried->second >= maxRetries) continue;
        if (!failedBefore || tried->second == 0) {
            log_->warning([&] {
                return "[" + why + "] session " + shortSessionID(target.sessionID) + " (pid " +
                       std::to_string(target.pid) + ") is not held - holding it" +
                       (failedBefore ? " (tried again at most " + std::to_string(maxRetries) + " times)" : "");
            });
        }
        if (holdTarget(target, table)) {
            retries_.erase(target.pid);
            continue;
        }
        int& count = retries_[target.pid];
        if (++count == maxRetries) {
            log_->error([&] {
                return "[" + why + "] session " + shortSessionID(target.sessionID) + " (pid " +
                       std::to_string(target.pid) + ") could not be held after " + std::to_string(maxRetries) +
                       " tries - it runs on until the pause ends";
            });
        }
    }
    if (rewritten.waiting != pause.waiting) documents_.change(rewritten, why);
}

void Holder::thaw(const std::vector<Target>& targets, const ProcessTable& table, const std::string& reason,
                  double spacing, const std::optional<Pause>& ended) {
    log_->info([&] { return "[doThaw] Entry - " + std::to_string(targets.size()) + " target(s): " + reason; });

    if (options_.dryRun) {
        for (const auto& target : targets) {
            log_->info([&] {
                return "[doThaw] DRY-RUN would cont pid=" + std::to_string(target.pid) + " shell=" + shellText(target);
            });
        }
        log_->info("[doThaw] Exit - dry run");
        return;
    }

    auto sink = log_->sink();
    bool first = true;
    for (const auto& target : targets) {
        // Sessions that all send a request in the same instant after a reset can meet a burst limit.
        // A stop asked for meanwhile hurries the rest: the wait goes in short steps.
        for (double left = first ? 0 : spacing; left > 0 && !hurry_; left -= spacingStep) {
            world_.sleep(std::min(spacingStep, left));
        }
        first = false;
        const ShellStopMode mode = config_.settings().shellStopMode;
        std::set<std::int64_t> frozen;
        for (auto pid : thawOrder(target, mode)) {
            if (world_.signaller->isHeld(pid)) frozen.insert(pid);
        }
        for (const auto& result : thawTarget(*world_.signaller, target, mode, &table, sink)) {
            if (result.delivered) {
                const char* way = frozen.count(result.pid) ? "cgroup thaw" : "SIGCONT";
                log_->info(
                    [&] { return "[doThaw] " + std::string(way) + " pid=" + std::to_string(result.pid) + " ok"; });
            } else {
                log_->warning([&] { return "[doThaw] SIGCONT pid=" + std::to_string(result.pid) + " FAILED/gone"; });
            }
        }
    }

    retries_.clear();
    documents_.end(world_.clock(), ended);
    notify("Claude sessions resumed", std::to_string(targets.size()) + " session(s) continued.");
    log_->info("[doThaw] Exit - pause cleared");
}

int Holder::sweep(const ProcessTable& table, const std::optional<Pause>& pause, const std::vector<Record>& records) {
    std::set<std::int64_t> claimed;
    if (pause) {
        for (const auto& target : pause->targets) claimed.insert(target.pid);
    }
    int continued = 0;
    const ShellStopMode mode = config_.settings().shellStopMode;
    // A frozen group of ours whose process is a session of this state directory that no pause names: what is
    // left when pause.json and the ledger were both lost (damaged while the daemon was killed). Nothing else
    // would ever let it go.
    if (!options_.dryRun) {
        for (std::int64_t pid : world_.signaller->heldPIDs()) {
            if (claimed.count(pid)) continue;
            for (const Record& record : records) {
                if (record.pid != pid || !table.isClaudePID(pid, record.pidStart, record.startID) ||
                    !isOwnProcess(&table, pid)) {
                    continue;
                }
                log_->warning([&] {
                    return "[sweep] session " + shortSessionID(record.sessionID) + " (pid " + std::to_string(pid) +
                           ") is held in a frozen group that no pause names - releasing it";
                });
                claimed.insert(pid);
                if (world_.signaller->cont(pid)) ++continued;
                break;
            }
        }
    }
    auto held = documents_.ledger();
    if (!held) {
        if (continued > 0) {
            log_->info(
                [&] { return "[sweep] Exit - continued " + std::to_string(continued) + " orphaned process(es)"; });
        }
        return continued;
    }
    for (const auto& target : held->targets) {
        if (claimed.count(target.pid)) continue;
        if (!verifyForSignal(&table, target) || !isHeldNow(table, target.pid)) continue;
        auto row = table.get(target.pid);
        log_->warning([&] {
            return "[sweep] orphaned stopped claude pid=" + std::to_string(target.pid) +
                   " state=" + std::string(1, row ? RunStates::letter(row->state) : '?') + " - SIGCONT";
        });
        for (const auto& result : thawTarget(*world_.signaller, target, mode, &table, log_->sink())) {
            if (result.delivered) ++continued;
        }
    }
    if (!pause && !options_.dryRun) documents_.forgetLedger();
    if (continued > 0) {
        log_->info([&] { return "[sweep] Exit - continued " + std::to_string(continued) + " orphaned process(es)"; });
    }
    return continued;
}

}  // namespace tracker
