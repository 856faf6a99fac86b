// DaemonLoop: construction and the control flow (run, tick, adopt and the thaw paths on the way out).

#include "Daemon/DaemonLoop.hpp"

#include <unistd.h>

#include <ctime>
#include <thread>

#include "Core/JSONFile.hpp"
#include "Core/NumberText.hpp"
#include "Core/PIDRange.hpp"
#include "Daemon/DaemonNotify.hpp"
#include "Daemon/DirectoryWatch.hpp"
#include "Daemon/DryRunSignaller.hpp"
#include "Daemon/FreezeOrder.hpp"
#include "Daemon/HoldingSignaller.hpp"
#include "Daemon/PauseOnDemand.hpp"

namespace tracker {

namespace {

double wallClock() {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string joinPIDs(const std::vector<Target>& targets) {
    std::string text;
    for (const auto& target : targets) {
        if (!text.empty()) text += ",";
        text += std::to_string(target.pid);
    }
    return text;
}

std::string renderTarget(const Target& target) {
    return "{pid=" + std::to_string(target.pid) +
           " shell=" + (target.shellPID ? std::to_string(*target.shellPID) : std::string("-")) +
           " shape=" + shapeText(target.shape) + " session=" + shortSessionID(target.sessionID) + "}";
}

std::string renderTargets(const std::vector<Target>& targets) {
    std::string text = "[";
    for (size_t i = 0; i < targets.size(); ++i) text += (i ? ", " : "") + renderTarget(targets[i]);
    return text + "]";
}

std::string renderAction(const Action& action) {
    if (const auto* freeze = action.freeze()) {
        return "freeze(targets=" + renderTargets(freeze->targets) +
               ", resume_at=" + NumberText::shortest(freeze->resumeAt) + ", source=" + freeze->sourceSession +
               ", used=" + NumberText::oneDecimal(freeze->usedPercentage) +
               ", resets_at=" + NumberText::shortest(freeze->resetsAt) + ", reason=" + freeze->reason +
               ", re_freeze=" + (freeze->reFreeze ? "true" : "false") + ")";
    }
    if (const auto* thaw = action.thaw()) {
        return "thaw(targets=" + renderTargets(thaw->targets) + ", reason=" + thaw->reason + ")";
    }
    return "nothing(" + action.reason() + ")";
}

}  // namespace

DaemonLoop::DaemonLoop(StateDir stateDir, TrackerConfig config, std::shared_ptr<DaemonLogger> log, bool dryRun,
                       std::optional<double> resumeIn, std::set<std::string> pinnedKeys,
                       std::shared_ptr<Signaller> signaller)
    : clock(wallClock),
      tableProvider([](const std::vector<std::int64_t>& pids) { return ProcessTable::fromSystem(pids); }),
      exitHandler([](int status) { std::exit(status); }),
      signaller(std::move(signaller)),
      stateDir_(std::move(stateDir)),
      log_(log ? std::move(log) : DaemonLogger::create(std::nullopt, DaemonLogLevel::critical, false)),
      dryRun_(dryRun),
      oversize_(log_),
      oversizeHook_(oversize_.hook()),
      config_(std::move(config), std::move(pinnedKeys), stateDir_.configPath(), log_, oversizeHook_),
      actions_(stateDir_, log_, config_, dryRun, resumeIn, FreezeThaw::Hooks{clock, this->signaller}, oversizeHook_) {
    if (!this->signaller) {
        if (dryRun) {
            this->signaller = std::make_shared<DryRunSignaller>();
        } else {
            this->signaller = std::make_shared<HoldingSignaller>(log_->sink());
        }
    }
}

// Configuration

NotifyMode DaemonLoop::notifyMode() const {
    std::lock_guard guard(mutex_);
    return config_.notifyMode();
}

double DaemonLoop::pollInterval() {
    std::lock_guard guard(mutex_);
    return config_.pollInterval();
}

std::optional<Pause> DaemonLoop::livePause() {
    std::lock_guard guard(mutex_);
    return actions_.livePause();
}

TrackerConfig DaemonLoop::config() const {
    std::lock_guard guard(mutex_);
    return config_.config();
}

std::string DaemonLoop::liveValue(const std::string& key) const {
    std::lock_guard guard(mutex_);
    return config_.value(key);
}

std::vector<ConfigChange> DaemonLoop::reloadConfig() {
    std::lock_guard guard(mutex_);
    return config_.reload();
}

bool DaemonLoop::running() const {
    std::lock_guard guard(mutex_);
    return running_;
}

void DaemonLoop::setRunning(bool value) {
    std::lock_guard guard(mutex_);
    running_ = value;
}

// Acting on decisions

void DaemonLoop::doFreeze(const Action::Freeze& action, const ProcessTable& table) {
    std::lock_guard guard(mutex_);
    actions_.freeze(action, table);
}

void DaemonLoop::doThaw(const std::vector<Target>& targets, const ProcessTable& table, const std::string& reason) {
    std::lock_guard guard(mutex_);
    actions_.thaw(targets, table, reason);
}

int DaemonLoop::sweep(const ProcessTable& table, const std::optional<Pause>& pause) {
    std::lock_guard guard(mutex_);
    return actions_.sweep(table, pause);
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
    double ttl;
    {
        std::lock_guard guard(mutex_);
        ttl = config_.config().recordTTL();
    }
    // A dry run deletes nothing, not even the records of long-dead sessions.
    if (dryRun_) return records;
    return StateDir::pruneRecords(records, table, now, ttl, log_->sink());
}

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
    return pids.empty() ? ProcessTable() : tableProvider(pids);
}

// Control flow

int DaemonLoop::run(bool once) {
    try {
        stateDir_.ensureDirectories();
    } catch (const std::exception&) {
        // The readers then find nothing and the watcher polls.
    }
    log_->info([&] {
        std::string pinned;
        for (const auto& key : config_.pinnedKeys()) pinned += (pinned.empty() ? "" : ",") + key;
        std::lock_guard guard(mutex_);
        return "[run] Entry - state_dir=" + stateDir_.root() +
               " threshold=" + NumberText::oneDecimal(config_.config().threshold()) +
               " poll=" + NumberText::oneDecimal(config_.config().pollInterval()) +
               "s dry_run=" + (dryRun_ ? "True" : "False") + " shell_stop_mode=" + config_.config().shellStopMode() +
               " notify=" + std::string(NotifyModes::text(config_.notifyMode())) +
               " pinned=" + (pinned.empty() ? "-" : pinned);
    });

    {
        std::lock_guard guard(mutex_);
        if (!dryRun_) signaller->tidy();
        auto pause = actions_.livePause();
        auto ledger = actions_.ledger();
        actions_.sweep(tableFor({}, {&pause, &ledger}), pause);
    }
    adopt();

    if (once) {
        tick();
        log_->info("[run] Exit - --once complete");
        return 0;
    }

    DirectoryWatcher watcher(std::filesystem::path(stateDir_.sessionsDir()), log_->sink());
    log_->info([&] {
        return "[run] watching " + stateDir_.sessionsDir() + " (kqueue=" + (watcher.watching() ? "true" : "false") +
               ")";
    });

    // What changed in sessions/ since the last tick, when the watch could say; else the tick looks at all.
    std::optional<DirectoryEvents::Changes> changes;
    while (running()) {
        tick(changes && !changes->everything ? &changes->names : nullptr);
        changes.reset();
        double poll = pollInterval();
        double timeout = poll;
        if (auto pause = livePause()) {
            double next = Decide::effectiveResumeAt(*pause, config());
            // A session waiting for its safe point is held when its wait ends, even when nothing changes.
            if (auto waitEnd = FreezeThaw::nextWaitEnd(*pause)) next = std::min(next, *waitEnd);
            timeout = std::max(0.2, std::min(next - clock(), poll));
        }
        if (watcher.wait(timeout)) {
            log_->verbose("[run] sessions/ changed");
            // Sessions refresh together (one status line each): sleep through the burst rather than wake for
            // each record, so that it makes one tick.
            // A record alone waits burstQuiet; when more came meanwhile, the rest of the limit.
            std::this_thread::sleep_for(burstQuiet);
            if (watcher.drain()) {
                std::this_thread::sleep_for(burstSettleLimit - burstQuiet);
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

Action DaemonLoop::tick() {
    return tick(nullptr);
}

Action DaemonLoop::tick(const std::set<std::string>* changedNames) {
    std::lock_guard guard(mutex_);
    config_.reload();
    const double now = clock();
    auto pause = actions_.livePause();
    auto records = stateDir_.readRecords(oversizeHook_, &records_, changedNames);
    recordUsage(records);
    ProcessTable table = tableFor(records, {&pause});
    auto [alive, verified] = annotate(records, table);
    auto kept = pruneRecords(records, table, now);
    auto lastThaw = actions_.lastThaw();
    if (auto asked = takeRequest(kept, pause, table, now, alive, verified)) return *asked;
    if (pause && pause->manualUntil) {
        // A pause asked for and the usage's: the later end wins.
        Action usage = Decide::decide(kept, std::nullopt, lastThaw, now, config_.config(), alive, verified);
        if (auto extended = PauseOnDemand::withUsage(*pause, usage)) {
            actions_.replacePause(*extended, table, "usage");
            pause = extended;
        }
    }
    Action action = Decide::decide(kept, pause, lastThaw, now, config_.config(), alive, verified);
    log_->debug([&] {
        return "[tick] " + std::to_string(kept.size()) + " record(s), paused=" + (pause ? "true" : "false") + " -> " +
               renderAction(action);
    });
    if (const auto* freeze = action.freeze()) {
        actions_.freeze(*freeze, table);
    } else if (const auto* thaw = action.thaw()) {
        actions_.thaw(thaw->targets, table, thaw->reason, config_.config().thawSpacing());
    } else {
        log_->debug([&] { return "[tick] Nothing: " + action.reason(); });
        if (pause) actions_.holdStragglers(*pause, table, "tick");
    }
    return action;
}

std::optional<Action> DaemonLoop::takeRequest(const std::vector<Record>& records, const std::optional<Pause>& pause,
                                              const ProcessTable& table, double now,
                                              const Decide::RecordPredicate& alive,
                                              const Decide::RecordPredicate& verified) {
    // Almost every tick finds none: one look, not a read.
    if (::access(stateDir_.requestPath().c_str(), F_OK) != 0) return std::nullopt;
    auto request = stateDir_.readRequest(oversizeHook_);
    if (!request) {
        log_->warning([&] { return "[request] " + stateDir_.requestPath() + " is not a request - removed"; });
        stateDir_.deleteRequest();
        return std::nullopt;
    }
    // Taken once, whatever comes of it: a request that failed is not retried on every tick. It goes once it
    // is carried out, so that whoever asked reads the pause as it made it.
    struct Taken {
        const StateDir& stateDir;
        ~Taken() { stateDir.deleteRequest(); }
    } taken{stateDir_};
    auto step = PauseOnDemand::apply(*request, pause, PauseOnDemand::targets(records, alive, verified), now);
    log_->info([&] { return "[request] " + step.why; });
    switch (step.kind) {
        case PauseOnDemand::Step::Kind::freeze:
            actions_.freeze(*step.freeze, table);
            return Action(*step.freeze);
        case PauseOnDemand::Step::Kind::replace:
            actions_.replacePause(*step.pause, table, "request");
            return Action::nothing(step.why);
        case PauseOnDemand::Step::Kind::thaw: {
            Action::Thaw thaw{pause->targets, step.why};
            actions_.thaw(thaw.targets, table, thaw.reason);
            return Action(std::move(thaw));
        }
        case PauseOnDemand::Step::Kind::nothing:
            break;
    }
    return std::nullopt;
}

void DaemonLoop::recordUsage(const std::vector<Record>& records) {
    if (dryRun_) return;
    if (!usage_) usage_ = stateDir_.readUsageHistory(oversizeHook_).value_or(UsageHistory{});
    if (!usage_->observe(records)) return;
    try {
        stateDir_.writeUsageHistory(*usage_);
    } catch (const std::exception& error) {
        log_->debug([&] { return std::string("[tick] could not write usage_history.json: ") + error.what(); });
    }
}

void DaemonLoop::adopt() {
    std::lock_guard guard(mutex_);
    auto pause = actions_.livePause();
    if (!pause) return;
    log_->info([&] {
        return "[adopt] existing pause.json: " + std::to_string(pause->targets.size()) + " target(s), resume at " +
               NumberText::clockText(pause->resumeAt);
    });
    ProcessTable table = tableFor({}, {&pause});
    const double now = clock();
    if (!(now < Decide::effectiveResumeAt(*pause, config_.config()))) {
        actions_.thaw(pause->targets, table, "adopt: resume_at past", config_.config().thawSpacing());
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
        actions_.thaw(pause->targets, table, "adopt: stale pause, no target survives verification");
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
    actions_.holdStragglers(*pause, table, "adopt");
}

int DaemonLoop::thawNow() {
    std::lock_guard guard(mutex_);
    log_->info("[thawNow] Entry - one-shot escalation");
    if (auto pause = actions_.livePause()) {
        log_->info([&] {
            return "[thawNow] pause.json: " + std::to_string(pause->targets.size()) + " target(s), resume at " +
                   NumberText::clockText(pause->resumeAt);
        });
        actions_.thaw(pause->targets, tableFor({}, {&pause}), "thaw-now");
    } else {
        log_->info("[thawNow] no pause.json - sweeping only");
    }
    auto ledger = actions_.ledger();
    int continued = actions_.sweep(tableFor({}, {&ledger}), std::nullopt);
    log_->info([&] { return "[thawNow] Exit - " + std::to_string(continued) + " process(es) continued by the sweep"; });
    return 0;
}

void DaemonLoop::thawEverything(const std::string& why) {
    std::lock_guard guard(mutex_);
    if (exitThawed_) return;
    exitThawed_ = true;
    // A dry run has held nothing and promised to write, delete and signal nothing.
    if (dryRun_) return;
    // What pause.json names, and what the ledger says is held even when pause.json is gone.
    auto pause = stateDir_.readPause();
    std::vector<Target> targets = pause ? pause->targets : std::vector<Target>{};
    if (auto held = actions_.ledger()) {
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
    actions_.thaw(targets, tableFor({}, {&all}), "exit: " + why);
    if (stateDir_.readPause()) {
        log_->critical("[thawEverything] pause.json survived the thaw - blind SIGCONT");
        // Blind to the pause's fate, not to whose processes these are.
        ProcessTable table = tableFor({}, {&all});
        for (const auto& target : targets) {
            if (verifyForSignal(&table, target)) signaller->cont(target.pid);
            if (target.shellPID && !shellThawRefusal(&table, target)) signaller->cont(*target.shellPID);
        }
        // And whatever our own freezer still holds.
        signaller->releaseAll();
        stateDir_.deletePause();
    }
}

void DaemonLoop::handleSignal(int sig) {
    // A spaced thaw in progress holds the lock: it continues the rest at once, and then the exit goes on.
    actions_.hurry();
    log_->warning([&] { return "[signal] received " + std::to_string(sig); });
    setRunning(false);
    thawEverything("signal " + std::to_string(sig));
    exitHandler(0);
}

}  // namespace tracker
