#include "Daemon/FreezeThaw.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>

#include "Core/CommandLine.hpp"
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

}  // namespace

FreezeThaw::FreezeThaw(const StateDir& stateDir, std::shared_ptr<DaemonLogger> log, const LiveConfig& config,
                       bool dryRun, std::optional<double> resumeIn, Hooks hooks, JSONFile::RefusalHook oversize)
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

std::optional<Pause> FreezeThaw::ledger() {
    if (held_) return held_;
    // held.json as a thaw left it when it could not be removed: its sessions run again already.
    if (staleLedger_) {
        if (!stateDir_.deleteHeld()) return std::nullopt;
        staleLedger_ = false;
    }
    // Only this daemon writes held.json (it holds the state directory's lock): once it is known to be
    // empty, memory says the rest.
    if (noLedger_) return std::nullopt;
    auto held = stateDir_.readHeld(oversize_);
    if (!held) noLedger_ = true;
    return held;
}

std::optional<Pause> FreezeThaw::livePause() {
    auto pause = stateDir_.readPause(oversize_);
    if (thawedPause_) {
        if (!pause || JSON(pause->toJSON()).dump() != *thawedPause_) {
            thawedPause_.reset();
        } else {
            if (stateDir_.deletePause() || errno == ENOENT) {
                thawedPause_.reset();
                log_->info("[tick] removed the pause.json of the last thaw");
            }
            return std::nullopt;
        }
    }
    if (pause) return pause;
    auto held = ledger();
    if (!held || held->targets.empty()) return std::nullopt;
    // Sessions are held and nothing says until when: the ledger does, and pause.json is written anew so that
    // every reader (tarnel status, a later daemon) sees the pause that stands.
    if (!restoredWarned_) {
        restoredWarned_ = true;
        log_->warning([&] {
            return "[tick] pause.json is gone or unreadable while " + std::to_string(held->targets.size()) +
                   " session(s) are held - the pause stands until " + NumberText::clockText(held->resumeAt) +
                   " (from " + stateDir_.heldPath() + ")";
        });
    }
    held_ = held;
    if (!dryRun_) {
        try {
            stateDir_.write(*held);
        } catch (const std::exception& error) {
            std::string description = error.what();
            log_->error([&] { return "[tick] could not write pause.json back: " + description; });
        }
    }
    return held;
}

std::optional<LastThaw> FreezeThaw::lastThaw() const {
    auto lastThaw = stateDir_.readLastThaw(oversize_);
    if (unwrittenLastThaw_ && (!lastThaw || lastThaw->thawedAt < unwrittenLastThaw_->thawedAt)) {
        return unwrittenLastThaw_;
    }
    return lastThaw;
}

bool FreezeThaw::isHeldNow(const ProcessTable& table, std::int64_t pid) {
    auto row = table.get(pid);
    return (row && row->stopped()) || hooks_.signaller->isHeld(pid);
}

std::optional<double> FreezeThaw::nextWaitEnd(const Pause& pause) {
    std::optional<double> earliest;
    for (const auto& [session, until] : pause.waiting) {
        if (!earliest || until < *earliest) earliest = until;
    }
    return earliest;
}

bool FreezeThaw::streaming(const Target& target, const ProcessTable& table) const {
    auto phase = stateDir_.readPhase(target.sessionID);
    if (!phase || phase->pid != target.pid) return false;
    // A phase of another process that had this pid before says nothing about this one.
    auto row = table.get(target.pid);
    if (row && !phase->startID.empty() && !row->startID.empty() && phase->startID != row->startID) return false;
    return phase->streaming();
}

void FreezeThaw::rewrite(const Pause& pause, const std::string& why) {
    held_ = pause;
    try {
        stateDir_.write(pause);
        stateDir_.writeHeld(pause);
    } catch (const std::exception& error) {
        std::string description = error.what();
        log_->error([&] { return "[" + why + "] could not rewrite pause.json: " + description; });
    }
}

bool FreezeThaw::holdTarget(const Target& target, const ProcessTable& table) {
    const ShellStopMode mode = config_.shellStopMode();
    return logHold(target, freezeTarget(*hooks_.signaller, target, mode, &table, log_->sink()));
}

bool FreezeThaw::logHold(const Target& target, const std::vector<SignalResult>& results) {
    bool claudeHeld = false;
    for (const auto& result : results) {
        if (result.pid == target.pid) claudeHeld = result.delivered;
        if (result.delivered) {
            const std::string way = holdWay(*hooks_.signaller, result.pid);
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
    pause.manualUntil = action.manualUntil;
    // The shells a thaw may continue are the very processes stopped now: their start goes with the pause.
    for (auto& target : pause.targets) {
        auto shell = target.shellPID ? table.get(*target.shellPID) : std::nullopt;
        if (!shell) continue;
        target.shellStart = shell->lstart;
        target.shellStartID = shell->startID;
    }

    log_->info([&] {
        return "[doFreeze] Entry - " + action.reason + ", " + std::to_string(pause.targets.size()) +
               " target(s), resume at " + NumberText::clockText(resumeAt) + (action.reFreeze ? " [re-freeze]" : "");
    });

    // A session receiving a reply is held once it reaches a safe point, so that the hold does not cost it
    // the reply; an unknown phase is held at once.
    const double wait = config_.config().safePointWait();
    std::vector<Target> now;
    for (const auto& target : pause.targets) {
        if (wait > 0 && !pause.waiting.count(target.sessionID) && streaming(target, table)) {
            pause.waiting[target.sessionID] = pause.pausedAt + wait;
            log_->info([&] {
                return "[doFreeze] waiting for a safe point: session " + shortSessionID(target.sessionID) + " (pid " +
                       std::to_string(target.pid) + ", up to " + NumberText::clockText(pause.pausedAt + wait) + ")";
            });
        } else {
            now.push_back(target);
        }
    }

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
        stateDir_.writeHeld(pause);
    } catch (const std::exception& error) {
        std::string description = error.what();
        log_->critical(
            [&] { return "[doFreeze] could not write pause.json (" + description + ") - NOT signalling anything"; });
        return;
    }
    held_ = pause;
    staleLedger_ = false;
    retries_.clear();
    restoredWarned_ = false;

    std::size_t held = 0;
    auto results = freezeTargets(*hooks_.signaller, now, config_.shellStopMode(), &table, log_->sink());
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
    notify("Claude sessions paused",
           NumberText::whole(action.usedPercentage) + "% of the 5-hour window used. " + std::to_string(held) +
               " session(s) frozen until " + NumberText::clockText(resumeAt) + "." +
               (waiting ? " " + std::to_string(waiting) + " more once its reply is complete." : "") +
               (missed ? " " + std::to_string(missed) + " could not be held." : ""));
    log_->info([&] { return "[doFreeze] Exit - paused until " + NumberText::clockText(resumeAt); });
}

void FreezeThaw::replacePause(const Pause& pause, const ProcessTable& table, const std::string& why) {
    log_->info([&] {
        return "[" + why + "] the pause now ends at " + NumberText::clockText(pause.resumeAt) + ", " +
               std::to_string(pause.targets.size()) + " target(s)";
    });
    if (dryRun_) return;
    try {
        stateDir_.write(pause);
        stateDir_.writeHeld(pause);
    } catch (const std::exception& error) {
        std::string description = error.what();
        log_->error(
            [&] { return "[" + why + "] could not write pause.json (" + description + ") - it stands as it was"; });
        return;
    }
    held_ = pause;
    for (const auto& target : pause.targets) {
        // One waiting for its safe point is held by holdStragglers.
        if (pause.waiting.count(target.sessionID)) continue;
        if (!verifyForSignal(&table, target) || isHeldNow(table, target.pid)) continue;
        if (!holdTarget(target, table)) retries_[target.pid] = 0;
    }
}

void FreezeThaw::holdStragglers(const Pause& pause, const ProcessTable& table, const std::string& why) {
    if (dryRun_) return;
    Pause rewritten = pause;
    const double now = hooks_.clock();
    for (const auto& target : pause.targets) {
        if (auto waiting = rewritten.waiting.find(target.sessionID); waiting != rewritten.waiting.end()) {
            const double until = waiting->second;
            const bool stillStreaming = streaming(target, table);
            if (stillStreaming && now < until) continue;
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
    if (rewritten.waiting != pause.waiting) rewrite(rewritten, why);
}

void FreezeThaw::thaw(const std::vector<Target>& targets, const ProcessTable& table, const std::string& reason,
                      double spacing) {
    log_->info([&] { return "[doThaw] Entry - " + std::to_string(targets.size()) + " target(s): " + reason; });
    auto pause = stateDir_.readPause();
    const double previousResumeAt = pause ? pause->resumeAt : held_ ? held_->resumeAt : 0;

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
    bool first = true;
    for (const auto& target : targets) {
        // Sessions that all send a request in the same instant after a reset can meet a burst limit.
        if (!first && spacing > 0) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(spacing);
            while (!hurry_ && std::chrono::steady_clock::now() < until) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        first = false;
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
    held_.reset();
    noLedger_ = true;
    retries_.clear();
    if (!stateDir_.deleteHeld()) {
        int error = errno;
        staleLedger_ = true;
        log_->error([&] {
            return std::string("[doThaw] could not remove held.json: ") + std::strerror(error) +
                   " - it is ignored until it can be removed";
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
    notify("Claude sessions resumed", std::to_string(targets.size()) + " session(s) continued.");
    log_->info("[doThaw] Exit - pause cleared");
}

int FreezeThaw::sweep(const ProcessTable& table, const std::optional<Pause>& pause) {
    auto held = ledger();
    if (!held) return 0;
    std::set<std::int64_t> claimed;
    if (pause) {
        for (const auto& target : pause->targets) claimed.insert(target.pid);
    }
    int continued = 0;
    const ShellStopMode mode = config_.shellStopMode();
    for (const auto& target : held->targets) {
        if (claimed.count(target.pid)) continue;
        if (!verifyForSignal(&table, target) || !isHeldNow(table, target.pid)) continue;
        auto row = table.get(target.pid);
        log_->warning([&] {
            return "[sweep] orphaned stopped claude pid=" + std::to_string(target.pid) +
                   " state=" + (row ? row->stat : std::string("?")) + " - SIGCONT";
        });
        for (const auto& result : thawTarget(*hooks_.signaller, target, mode, &table, log_->sink())) {
            if (result.delivered) ++continued;
        }
    }
    if (!pause && !dryRun_) {
        held_.reset();
        noLedger_ = stateDir_.deleteHeld();
    }
    if (continued > 0) {
        log_->info([&] { return "[sweep] Exit - continued " + std::to_string(continued) + " orphaned process(es)"; });
    }
    return continued;
}

}  // namespace tracker
