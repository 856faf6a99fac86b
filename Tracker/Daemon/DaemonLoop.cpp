// DaemonLoop: the control flow (run, tick, adopt and the thaw paths on the way out).

#include "Daemon/DaemonLoop.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "Core/NumberText.hpp"
#include "Core/PIDRange.hpp"
#include "Core/UsageWarning.hpp"
#include "Daemon/DirectoryWatch.hpp"
#include "Daemon/FreezeOrder.hpp"

namespace tracker {

namespace {

std::string joinPIDs(const std::vector<Target>& targets) {
    std::string text;
    for (const auto& target : targets) {
        if (!text.empty()) text += ",";
        text += std::to_string(target.pid);
    }
    return text;
}

}  // namespace

DaemonLoop::DaemonLoop(StateDir stateDir, TrackerConfig settings, std::shared_ptr<DaemonLogger> log, Options options,
                       DaemonWorld world)
    : stateDir_(std::move(stateDir)),
      log_(log ? std::move(log) : DaemonLogger::create(std::nullopt, DaemonLogLevel::critical, false)),
      options_(std::move(options)),
      world_(std::move(world)),
      oversize_(log_),
      oversizeHook_(oversize_.hook()),
      config_(std::move(settings), options_.pinnedKeys, stateDir_.configPath(), log_, oversizeHook_),
      documents_(stateDir_, log_, options_.dryRun, oversizeHook_),
      holder_(stateDir_, documents_, config_, world_, log_, Holder::Options{options_.dryRun, options_.resumeIn}) {}

ProcessTable DaemonLoop::tableFor(const std::vector<Record>& records,
                                  std::initializer_list<const std::optional<Pause>*> pauses) {
    std::vector<std::int64_t> pids;
    auto add = [&](std::optional<std::int64_t> pid) {
        if (pid && PIDRange::fits(*pid)) pids.push_back(*pid);
    };
    for (const auto& record : records) {
        add(record.pid);
        add(record.parentShellPID);
    }
    for (const auto* pause : pauses) {
        if (!*pause) continue;
        for (const auto& target : (*pause)->targets) {
            add(target.pid);
            add(target.shellPID);
        }
    }
    std::sort(pids.begin(), pids.end());
    pids.erase(std::unique(pids.begin(), pids.end()), pids.end());
    // Nothing to look at is an empty table, not every process.
    return pids.empty() ? ProcessTable() : world_.processes(pids);
}

std::pair<Decide::RecordPredicate, Decide::RecordPredicate> DaemonLoop::annotate(const std::vector<Record>& records,
                                                                                 const ProcessTable& table) {
    for (const auto& record : records) {
        if (table.isAlive(record.pid) && !table.isClaudePID(record.pid, record.pidStart, record.startID)) {
            log_->debug([&] {
                return "[annotate] pid " + std::to_string(record.pid) + " no longer matches record (session " +
                       shortSessionID(record.sessionID) + ") - not a target";
            });
        }
    }
    auto shared = std::make_shared<ProcessTable>(table);
    Decide::RecordPredicate alive = [shared](const Record& record) { return shared->isAlive(record.pid); };
    Decide::RecordPredicate verified = [shared](const Record& record) {
        return shared->isClaudePID(record.pid, record.pidStart, record.startID);
    };
    return {alive, verified};
}

std::vector<Record> DaemonLoop::pruneRecords(const std::vector<Record>& records, const ProcessTable& table,
                                             double now) {
    // A dry run deletes nothing, not even the records of long-dead sessions.
    if (options_.dryRun) return records;
    return StateDir::pruneRecords(records, table, now, config_.settings().recordTTL, log_->sink());
}

void DaemonLoop::publish() {
    if (!options_.pidFile) return;
    DaemonPIDFile pidFile = *options_.pidFile;
    pidFile.threshold = config_.settings().threshold;
    try {
        stateDir_.write(pidFile);
    } catch (const std::exception&) {
        // Only outside observers read it.
    }
}

// Control flow

int DaemonLoop::run(bool once) {
    try {
        stateDir_.ensureDirectories();
    } catch (const std::exception&) {
        // The readers then find nothing and the watcher polls.
    }
    {
        std::lock_guard guard(mutex_);
        log_->info([&] {
            const TrackerConfig& settings = config_.settings();
            std::string pinned;
            for (const auto& key : config_.pinnedKeys()) pinned += (pinned.empty() ? "" : ",") + key;
            return "[run] Entry - state_dir=" + stateDir_.root() +
                   " threshold=" + NumberText::oneDecimal(settings.threshold) +
                   " poll=" + NumberText::oneDecimal(settings.pollInterval) +
                   "s dry_run=" + (options_.dryRun ? "true" : "false") +
                   " shell_stop_mode=" + std::string(ShellStopModes::text(settings.shellStopMode)) +
                   " notify=" + std::string(NotifyModes::text(config_.notifyMode())) +
                   " pinned=" + (pinned.empty() ? "-" : pinned);
        });
        publish();
        if (!options_.dryRun) world_.signaller->tidy();
        auto pause = documents_.pause();
        auto ledger = documents_.ledger();
        const auto records = stateDir_.readRecords(oversizeHook_);
        holder_.sweep(tableFor(records, {&pause, &ledger}), pause, records);
        adopt();
    }

    if (once) {
        tick();
        log_->info("[run] Exit - --once complete");
        return 0;
    }

    DirectoryWatcher watcher(std::filesystem::path(stateDir_.sessionsDir()), log_->sink());
    log_->info([&] {
        return watcher.watching() ? "[run] watching " + stateDir_.sessionsDir() + " for changes"
                                  : "[run] polling " + stateDir_.sessionsDir() + " (no change events)";
    });

    // What changed in sessions/ since the last tick, when the watch could say; else the tick looks at all.
    std::optional<DirectoryEvents::Changes> changes;
    while (running_) {
        double timeout = 0;
        {
            std::lock_guard guard(mutex_);
            if (!running_) break;
            tickLocked(changes && !changes->everything ? &changes->names : nullptr);
            timeout = nextWait();
        }
        changes.reset();
        if (watcher.wait(timeout)) {
            log_->verbose("[run] sessions/ changed");
            // Sessions refresh together (one status line each): sleep through the burst rather than wake for
            // each record, so that it makes one tick.
            // A record alone waits burstQuiet; when more came meanwhile, the rest of the limit.
            world_.sleep(std::chrono::duration<double>(burstQuiet).count());
            if (watcher.drain()) {
                world_.sleep(std::chrono::duration<double>(burstSettleLimit - burstQuiet).count());
                watcher.drain();
            }
            changes = watcher.takeChanges();
        } else {
            // A tick that no change woke looks at every record, whatever the watch may have missed.
            watcher.takeChanges();
        }
    }
    log_->info("[run] Exit - loop ended");
    watcher.close();
    return 0;
}

double DaemonLoop::nextWait() {
    const double poll = config_.settings().pollInterval;
    auto pause = documents_.pause();
    if (!pause) return poll;
    double next = Decide::effectiveResumeAt(*pause, config_.settings());
    // A session waiting for its safe point is held when its wait ends, even when nothing changes.
    if (auto waitEnd = pause->nextWaitEnd()) next = std::min(next, *waitEnd);
    return std::max(0.2, std::min(next - world_.clock(), poll));
}

Action DaemonLoop::tick(const std::set<std::string>* changedNames) {
    std::lock_guard guard(mutex_);
    return tickLocked(changedNames);
}

Action DaemonLoop::tickLocked(const std::set<std::string>* changedNames) {
    for (const auto& change : config_.reload()) {
        if (change.key == TrackerConfig::Key::threshold) publish();
    }
    Decide::Situation situation;
    situation.now = world_.clock();
    situation.pause = documents_.pause();
    auto records = stateDir_.readRecords(oversizeHook_, &records_, changedNames);
    const ProcessTable table = tableFor(records, {&situation.pause});
    std::tie(situation.alive, situation.verified) = annotate(records, table);
    situation.records = pruneRecords(records, table, situation.now);
    noteLimitHits(situation.records, changedNames);
    // The account's figure of each window, once a tick: for the histories and the warning.
    std::map<UsageWindow, std::optional<Record>> figures;
    for (UsageWindow window : UsageWindows::all) {
        figures[window] =
            Decide::pickTruth(situation.records, situation.now, config_.settings(), situation.alive, window);
        if (window != UsageWindow::spend) recordUsage(window, figures[window]);
    }
    // Almost every tick finds no request: one look, not a read.
    bool requested = ::access(stateDir_.requestPath().c_str(), F_OK) == 0;
    if (requested && options_.dryRun) {
        // A dry run removes nothing: it takes each request once, and leaves it for the daemon that acts.
        auto stamp = FileStamp::at(stateDir_.requestPath());
        requested = stamp != dryRunRequest_;
        dryRunRequest_ = stamp;
    }
    if (requested) situation.request = readRequest();
    situation.lastThaw = documents_.lastThaw();
    situation.settings = config_.settings();

    Action action = Decide::decide(situation);
    log_->debug([&] {
        return "[tick] " + std::to_string(situation.records.size()) +
               " record(s), paused=" + (situation.pause ? "true" : "false") + " -> " + action.describe();
    });
    if (action.request) log_->info([&] { return "[request] " + *action.request; });
    carryOut(action, situation.pause, table);
    if (action.isNothing() && !(situation.pause && situation.pause->usageHolds(situation.now)))
        warn(situation, figures);
    // Taken once, whatever came of it: a request that failed is not retried on every tick. It goes once it
    // is carried out, so that whoever asked reads the pause as it made it.
    if (requested && !options_.dryRun) stateDir_.deleteRequest();
    return action;
}

void DaemonLoop::carryOut(const Action& action, const std::optional<Pause>& pause, const ProcessTable& table) {
    if (const auto* freeze = action.freeze()) {
        holder_.freeze(*freeze, table);
    } else if (const auto* thaw = action.thaw()) {
        // The end of a pause asked for continues everything at once; the window's reset, spaced.
        const double spacing = action.request ? 0 : config_.settings().thawSpacing;
        holder_.thaw(thaw->targets, table, thaw->reason, spacing, thaw->ended);
    } else if (const auto* replace = action.replace()) {
        holder_.replace(*pause, replace->pause, table, action.request ? "request" : "usage");
    } else {
        log_->debug([&] { return "[tick] Nothing: " + action.reason(); });
        if (pause) holder_.holdStragglers(*pause, table, "tick");
    }
}

std::optional<PauseRequest> DaemonLoop::readRequest() {
    auto request = stateDir_.readRequest(oversizeHook_);
    if (!request) {
        log_->warning([&] { return "[request] " + stateDir_.requestPath() + " is not a request - removed"; });
    }
    return request;
}

void DaemonLoop::recordUsage(UsageWindow window, const std::optional<Record>& figure) {
    if (options_.dryRun || !figure) return;
    auto known = usage_.find(window);
    if (known == usage_.end()) {
        known = usage_.emplace(window, stateDir_.readUsageHistory(oversizeHook_, window).value_or(UsageHistory(window)))
                    .first;
    }
    if (!known->second.observe(figure)) return;
    try {
        stateDir_.writeUsageHistory(known->second);
    } catch (const std::exception& error) {
        log_->debug([&] { return std::string("[tick] could not write usage_history.json: ") + error.what(); });
    }
}

void DaemonLoop::noteLimitHits(const std::vector<Record>& records, const std::set<std::string>* changedNames) {
    for (const Record& record : records) {
        const std::string path = stateDir_.phasePath(record.sessionID);
        if (changedNames && !changedNames->count(std::filesystem::path(path).filename().string())) continue;
        auto phase = stateDir_.readPhase(record.sessionID);
        if (!phase || !phase->limitHitAt) continue;
        auto& logged = limitHits_[record.sessionID];
        if (logged == *phase->limitHitAt) continue;
        logged = *phase->limitHitAt;
        log_->warning([&] {
            return "[limit] session " + record.sessionID.substr(0, 8) + " (pid " + std::to_string(record.pid) +
                   ") hit a usage limit at " + NumberText::clockText(*phase->limitHitAt) +
                   " before any hold; it holds nothing by itself";
        });
    }
}

void DaemonLoop::warn(const Decide::Situation& situation, const std::map<UsageWindow, std::optional<Record>>& figures) {
    for (const auto& [window, figure] : figures) {
        const auto history = usage_.find(window);
        auto warning = UsageWarning::of(window, figure, situation.settings,
                                        history == usage_.end() ? nullptr : &history->second, situation.now);
        if (!warning) continue;
        auto given = warned_.find(window);
        if (given != warned_.end() && std::fabs(given->second - warning->resetsAt) <= sameWindowWithin) continue;
        warned_[window] = warning->resetsAt;
        const std::string text = warning->text(situation.now);
        log_->info([&] { return "[warn] " + text; });
        if (!options_.dryRun) holder_.notify("Claude sessions will be held soon", text + ".");
    }
}

void DaemonLoop::adopt() {
    auto pause = documents_.pause();
    if (!pause) return;
    log_->info([&] {
        return "[adopt] existing pause.json: " + std::to_string(pause->targets.size()) + " target(s), resume at " +
               NumberText::clockText(pause->resumeAt);
    });
    ProcessTable table = tableFor({}, {&pause});
    const double now = world_.clock();
    if (!(now < Decide::effectiveResumeAt(*pause, config_.settings()))) {
        holder_.thaw(pause->targets, table, "adopt: resume_at past", config_.settings().thawSpacing);
        return;
    }

    std::vector<Target> survivors;
    std::set<std::int64_t> survivingPIDs;
    for (const auto& target : pause->targets) {
        if (verifyForSignal(&table, target)) {
            survivors.push_back(target);
            survivingPIDs.insert(target.pid);
        }
    }
    if (survivors.empty()) {
        log_->warning([&] {
            return "[adopt] STALE pause.json: none of its " + std::to_string(pause->targets.size()) +
                   " target(s) verify against the live process table (pids " + joinPIDs(pause->targets) +
                   ") - the machine almost certainly rebooted. Clearing it instead of staying inert until " +
                   NumberText::clockText(pause->resumeAt) + ".";
        });
        holder_.thaw(pause->targets, table, "adopt: stale pause, no target survives verification");
        return;
    }
    if (survivors.size() < pause->targets.size()) {
        std::vector<Target> lost;
        for (const auto& target : pause->targets) {
            if (!survivingPIDs.count(target.pid)) lost.push_back(target);
        }
        log_->info([&] {
            return "[adopt] " + std::to_string(lost.size()) + " of " + std::to_string(pause->targets.size()) +
                   " target(s) no longer verify (pids " + joinPIDs(lost) + "); " + std::to_string(survivors.size()) +
                   " still do, so the pause stands";
        });
    }
    // A freeze cut short (the daemon killed between writing the pause and holding every target): finish it.
    holder_.holdStragglers(*pause, table, "adopt");
}

int DaemonLoop::thawNow() {
    std::lock_guard guard(mutex_);
    publish();
    log_->info("[thawNow] Entry - one-shot escalation");
    if (auto pause = documents_.pause()) {
        log_->info([&] {
            return "[thawNow] pause.json: " + std::to_string(pause->targets.size()) + " target(s), resume at " +
                   NumberText::clockText(pause->resumeAt);
        });
        holder_.thaw(pause->targets, tableFor({}, {&pause}), "thaw-now");
    } else {
        log_->info("[thawNow] no pause.json - sweeping only");
    }
    auto ledger = documents_.ledger();
    const auto records = stateDir_.readRecords(oversizeHook_);
    int continued = holder_.sweep(tableFor(records, {&ledger}), std::nullopt, records);
    log_->info([&] { return "[thawNow] Exit - " + std::to_string(continued) + " process(es) continued by the sweep"; });
    return 0;
}

void DaemonLoop::thawEverything(const std::string& why) {
    std::lock_guard guard(mutex_);
    if (exitThawed_) return;
    exitThawed_ = true;
    // A dry run has held nothing and promised to write, delete and signal nothing.
    if (options_.dryRun) return;
    // What pause.json names, and what the ledger says is held even when pause.json is gone.
    auto pause = stateDir_.readPause();
    std::vector<Target> targets = pause ? pause->targets : std::vector<Target>{};
    if (auto held = documents_.ledger()) {
        for (const auto& target : held->targets) {
            bool named = false;
            for (const auto& known : targets) named = named || known.pid == target.pid;
            if (!named) targets.push_back(target);
        }
    }
    if (targets.empty() && !pause) return;
    log_->warning([&] {
        return "[thawEverything] " + why + " - thawing " + std::to_string(targets.size()) + " target(s) before exit";
    });
    const std::optional<Pause> all = Pause{0, 0, targets, "", "", schemaVersion};
    holder_.thaw(targets, tableFor({}, {&all}), "exit: " + why);
    if (stateDir_.readPause()) {
        log_->critical("[thawEverything] pause.json survived the thaw - blind SIGCONT");
        // Blind to the pause's fate, not to whose processes these are.
        ProcessTable table = tableFor({}, {&all});
        for (const auto& target : targets) {
            if (verifyForSignal(&table, target)) world_.signaller->cont(target.pid);
            if (target.shellPID && !shellThawRefusal(&table, target)) world_.signaller->cont(*target.shellPID);
        }
        // And whatever our own freezer still holds.
        world_.signaller->releaseAll();
        stateDir_.deletePause();
    }
}

void DaemonLoop::handleSignal(int sig) {
    // A spaced thaw in progress holds the lock: it continues the rest at once, and then the exit goes on.
    holder_.hurry();
    running_ = false;
    log_->warning([&] { return "[signal] received " + std::to_string(sig); });
    thawEverything("signal " + std::to_string(sig));
    world_.exit(0);
}

}  // namespace tracker
