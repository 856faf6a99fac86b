// DaemonLoop: construction, configuration at start and live reload, and the
// control flow (run, tick, adopt and the thaw paths on the way out).

#include "Daemon/DaemonLoop.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <sstream>

#include "Core/JSONFile.hpp"
#include "Daemon/DaemonNotify.hpp"
#include "Daemon/DirectoryWatch.hpp"
#include "Daemon/HoldingSignaller.hpp"

namespace tracker {

namespace {

std::string formatG(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string format1(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

double wallClock() {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// A text as written, numbers as written, anything else as JSON.
std::string plainText(const JSON* value) {
    if (!value) return "";
    if (auto text = JSONCoerce::toString(value)) return *text;
    return value->dump();
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
    return "{pid=" + std::to_string(target.pid) + " shell=" +
           (target.shellPID ? std::to_string(*target.shellPID) : std::string("-")) + " shape=" +
           shapeText(target.shape) + " session=" + target.sessionID.substr(0, 8) + "}";
}

std::string renderTargets(const std::vector<Target>& targets) {
    std::string text = "[";
    for (size_t i = 0; i < targets.size(); ++i) text += (i ? ", " : "") + renderTarget(targets[i]);
    return text + "]";
}

std::string renderAction(const Action& action) {
    if (const auto* freeze = action.freeze()) {
        return "freeze(targets=" + renderTargets(freeze->targets) + ", resume_at=" + formatG(freeze->resumeAt) +
               ", source=" + freeze->sourceSession + ", used=" + format1(freeze->usedPercentage) + ", resets_at=" +
               formatG(freeze->resetsAt) + ", reason=" + freeze->reason +
               ", re_freeze=" + (freeze->reFreeze ? "true" : "false") + ")";
    }
    if (const auto* thaw = action.thaw()) {
        return "thaw(targets=" + renderTargets(thaw->targets) + ", reason=" + thaw->reason + ")";
    }
    return "nothing(" + action.reason() + ")";
}

}  // namespace

const std::vector<std::string>& DaemonLoop::liveReloadKeys() {
    static const std::vector<std::string> keys{"threshold", "notify", "shell_stop_mode"};
    return keys;
}

const std::vector<std::string>& DaemonLoop::shellStopModes() {
    static const std::vector<std::string> modes{"shell-first", "claude-only"};
    return modes;
}

DaemonLoop::DaemonLoop(StateDir stateDir, TrackerConfig config, std::shared_ptr<DaemonLogger> log, bool dryRun,
                       std::optional<double> resumeIn, std::set<std::string> pinnedKeys,
                       std::shared_ptr<Signaller> signaller)
    : clock(wallClock),
      tableProvider([] { return ProcessTable::fromSystem({}); }),
      exitHandler([](int status) { std::exit(status); }),
      signaller(std::move(signaller)),
      stateDir(std::move(stateDir)),
      log(log ? std::move(log) : DaemonLogger::create(std::nullopt, DaemonLogLevel::critical, false)),
      config(std::move(config)),
      dryRun(dryRun),
      resumeIn(resumeIn),
      pinnedKeys(std::move(pinnedKeys)),
      oversize_(this->log),
      oversizeHook_(oversize_.hook()) {
    if (!this->signaller) {
        if (dryRun) {
            this->signaller = std::make_shared<DryRunSignaller>();
        } else {
            this->signaller = std::make_shared<HoldingSignaller>(this->log->sink());
        }
    }
}

// Configuration

TrackerConfig DaemonLoop::loadConfig(const StateDir& stateDir, std::optional<double> threshold,
                                     std::optional<double> pollInterval, const std::optional<std::string>& notify,
                                     const Environment& environment) {
    TrackerConfig config = stateDir.readConfig();
    for (const auto& key : liveReloadKeys()) {
        auto it = config.raw.find(key);
        if (it != config.raw.end() && !coerce(key, &it->second)) config.raw.erase(it);
    }
    if (auto it = environment.find("VAZ_ADODIVO_THRESHOLD"); it != environment.end()) {
        JSON text = it->second;
        if (auto value = JSONCoerce::toDouble(&text)) config.raw[TrackerConfig::Key::threshold] = *value;
    }
    if (threshold) config.raw[TrackerConfig::Key::threshold] = *threshold;
    if (pollInterval) config.raw[TrackerConfig::Key::pollInterval] = *pollInterval;
    if (notify) config.setNotify(*notify);
    return config;
}

std::optional<JSON> DaemonLoop::coerce(const std::string& key, const JSON* value) {
    if (!value || value->is_null()) return std::nullopt;
    if (key == "threshold") {
        auto number = JSONCoerce::toDouble(value);
        if (!number) return std::nullopt;
        return JSON(*number);
    }
    const std::vector<std::string>* accepted = nullptr;
    if (key == "notify") accepted = &DaemonNotify::modes();
    if (key == "shell_stop_mode") accepted = &shellStopModes();
    if (!accepted) return *value;
    auto text = JSONCoerce::toString(value);
    if (!text) return std::nullopt;
    for (const auto& mode : *accepted) {
        if (*text == mode) return JSON(*text);
    }
    return std::nullopt;
}

std::string DaemonLoop::describe(const JSON& value) {
    if (!value.is_string()) {
        if (auto number = JSONCoerce::toDouble(&value)) return formatG(*number);
    }
    if (auto text = JSONCoerce::toString(&value)) return *text;
    return value.dump();
}

std::string DaemonLoop::fmtClock(double t) {
    if (!std::isfinite(t) || std::fabs(t) > 1e15) return "--:--";
    time_t seconds = static_cast<time_t>(std::floor(t));
    struct tm local {};
    if (!localtime_r(&seconds, &local)) return "--:--";
    char text[16];
    std::strftime(text, sizeof text, "%H:%M", &local);
    return text;
}

std::string DaemonLoop::notifyMode() const {
    std::lock_guard guard(mutex);
    return config.notify().value_or(std::string(DaemonNotify::defaultMode));
}

double DaemonLoop::pollInterval() const {
    std::lock_guard guard(mutex);
    return config.pollInterval();
}

std::string DaemonLoop::liveValue(const std::string& key) const {
    std::lock_guard guard(mutex);
    if (key == "threshold") return formatG(config.threshold());
    if (key == "notify") return notifyMode();
    return config.shellStopMode();
}

std::vector<ConfigChange> DaemonLoop::reloadConfig() {
    std::lock_guard guard(mutex);
    JSONObject fresh = JSONFile::readObject(stateDir.configPath(), oversizeHook_).value_or(JSONObject{});
    std::vector<ConfigChange> changes;
    for (const auto& key : liveReloadKeys()) {
        if (pinnedKeys.count(key)) continue;
        const JSON* freshValue = JSONCoerce::member(fresh, key);
        if (!freshValue) continue;
        auto value = coerce(key, freshValue);
        if (!value) {
            log->warning([&] {
                return "[reloadConfig] ignoring bad " + key + "=" + plainText(freshValue) + " in " +
                       stateDir.configPath();
            });
            continue;
        }
        std::string previous = liveValue(key);
        std::string shown = describe(*value);
        bool unchanged = key == "threshold" ? value->get<double>() == config.threshold() : previous == shown;
        if (unchanged) continue;
        config.raw[key] = *value;
        changes.push_back(ConfigChange{key, previous, shown});
    }
    for (const auto& change : changes) {
        log->info([&] { return "[reloadConfig] " + change.key + ": " + change.previous + " -> " + change.value; });
    }
    return changes;
}

bool DaemonLoop::running() const {
    std::lock_guard guard(mutex);
    return running_;
}

void DaemonLoop::setRunning(bool value) {
    std::lock_guard guard(mutex);
    running_ = value;
}

std::optional<Pause> DaemonLoop::readLivePause() {
    std::lock_guard guard(mutex);
    auto pause = stateDir.readPause(oversizeHook_);
    if (!thawedPause_) return pause;
    if (!pause || JSON(pause->toJSON()).dump() != *thawedPause_) {
        thawedPause_.reset();
        return pause;
    }
    if (stateDir.deletePause() || errno == ENOENT) {
        thawedPause_.reset();
        log->info("[tick] removed the pause.json of the last thaw");
    }
    return std::nullopt;
}

bool DaemonLoop::notify(const std::string& title, const std::string& message) {
    return DaemonNotify::post(title, message, "", notifyMode(), log);
}

// Control flow

int DaemonLoop::run(bool once) {
    try {
        stateDir.ensureDirectories();
    } catch (const std::exception&) {
        // The readers then find nothing and the watcher polls.
    }
    log->info([&] {
        std::string pinned;
        for (const auto& key : pinnedKeys) pinned += (pinned.empty() ? "" : ",") + key;
        std::lock_guard guard(mutex);
        return "[run] Entry - state_dir=" + stateDir.root() + " threshold=" + format1(config.threshold()) +
               " poll=" + format1(config.pollInterval()) + "s dry_run=" + (dryRun ? "True" : "False") +
               " shell_stop_mode=" + config.shellStopMode() + " notify=" + notifyMode() +
               " pinned=" + (pinned.empty() ? "-" : pinned);
    });

    {
        ProcessTable table = tableProvider();
        sweep(table, stateDir.readPause());
    }
    adopt();

    if (once) {
        tick();
        log->info("[run] Exit - --once complete");
        return 0;
    }

    DirectoryWatcher watcher(std::filesystem::path(stateDir.sessionsDir()), log->sink());
    log->info([&] {
        return "[run] watching " + stateDir.sessionsDir() + " (kqueue=" + (watcher.kqueueActive() ? "true" : "false") +
               ")";
    });

    while (running()) {
        tick();
        double poll = pollInterval();
        double timeout = poll;
        if (auto pause = readLivePause()) timeout = std::max(0.2, std::min(pause->resumeAt - clock(), poll));
        if (watcher.wait(timeout)) log->verbose("[run] sessions/ changed");
    }
    log->info("[run] Exit - loop ended");
    watcher.close();
    return 0;
}

Action DaemonLoop::tick() {
    std::lock_guard guard(mutex);
    reloadConfig();
    const double now = clock();
    ProcessTable table = tableProvider();
    auto pause = readLivePause();
    auto records = stateDir.readRecords(oversizeHook_);
    auto [alive, verified] = annotate(records, table);
    auto kept = pruneRecords(records, table, now);
    auto lastThaw = stateDir.readLastThaw(oversizeHook_);
    if (unwrittenLastThaw_ && (!lastThaw || lastThaw->thawedAt < unwrittenLastThaw_->thawedAt)) {
        lastThaw = unwrittenLastThaw_;
    }
    Action action = Decide::decide(kept, pause, lastThaw, now, config, alive, verified);
    log->debug([&] {
        return "[tick] " + std::to_string(kept.size()) + " record(s), paused=" + (pause ? "true" : "false") + " -> " +
               renderAction(action);
    });
    if (const auto* freeze = action.freeze()) {
        doFreeze(*freeze, table);
    } else if (const auto* thaw = action.thaw()) {
        doThaw(thaw->targets, table, thaw->reason);
    } else {
        log->debug([&] { return "[tick] Nothing: " + action.reason(); });
    }
    return action;
}

void DaemonLoop::adopt() {
    std::lock_guard guard(mutex);
    auto pause = stateDir.readPause(oversizeHook_);
    if (!pause) return;
    log->info([&] {
        return "[adopt] existing pause.json: " + std::to_string(pause->targets.size()) + " target(s), resume at " +
               fmtClock(pause->resumeAt);
    });
    ProcessTable table = tableProvider();
    const double now = clock();
    if (!(now < pause->resumeAt)) {
        doThaw(pause->targets, table, "adopt: resume_at past");
        return;
    }

    std::vector<Target> survivors;
    std::set<std::int64_t> survivingPIDs;
    for (const auto& target : pause->targets) {
        if (verifyForSignal(&table, target.pid, target.pidStart)) {
            survivors.push_back(target);
            survivingPIDs.insert(target.pid);
        }
    }
    if (survivors.empty()) {
        log->warning([&] {
            return "[adopt] STALE pause.json: none of its " + std::to_string(pause->targets.size()) +
                   " target(s) verify against the live process table (pids " + joinPIDs(pause->targets) +
                   ") - the machine almost certainly rebooted. Clearing it instead of staying inert until " +
                   fmtClock(pause->resumeAt) + ".";
        });
        doThaw(pause->targets, table, "adopt: stale pause, no target survives verification");
        return;
    }
    if (survivors.size() < pause->targets.size()) {
        std::vector<Target> lost;
        for (const auto& target : pause->targets) {
            if (!survivingPIDs.count(target.pid)) lost.push_back(target);
        }
        log->info([&] {
            return "[adopt] " + std::to_string(lost.size()) + " of " + std::to_string(pause->targets.size()) +
                   " target(s) no longer verify (pids " + joinPIDs(lost) + "); " + std::to_string(survivors.size()) +
                   " still do, so the pause stands";
        });
    }
}

int DaemonLoop::thawNow() {
    std::lock_guard guard(mutex);
    log->info("[thawNow] Entry - one-shot escalation");
    if (auto pause = stateDir.readPause()) {
        log->info([&] {
            return "[thawNow] pause.json: " + std::to_string(pause->targets.size()) + " target(s), resume at " +
                   fmtClock(pause->resumeAt);
        });
        doThaw(pause->targets, tableProvider(), "thaw-now");
    } else {
        log->info("[thawNow] no pause.json - sweeping only");
    }
    int continued = sweep(tableProvider(), std::nullopt);
    log->info([&] { return "[thawNow] Exit - " + std::to_string(continued) + " process(es) continued by the sweep"; });
    return 0;
}

void DaemonLoop::thawEverything(const std::string& why) {
    std::lock_guard guard(mutex);
    if (exitThawed_) return;
    exitThawed_ = true;
    auto pause = stateDir.readPause();
    if (!pause) return;
    log->warning([&] {
        return "[thawEverything] " + why + " - thawing " + std::to_string(pause->targets.size()) +
               " target(s) before exit";
    });
    doThaw(pause->targets, tableProvider(), "exit: " + why);
    if (stateDir.readPause()) {
        log->critical("[thawEverything] pause.json survived the thaw - blind SIGCONT");
        for (const auto& target : pause->targets) {
            signaller->cont(target.pid);
            if (target.shellPID) signaller->cont(*target.shellPID);
        }
        // And whatever our own freezer still holds.
        signaller->releaseAll();
        stateDir.deletePause();
    }
}

void DaemonLoop::handleSignal(int sig) {
    log->warning([&] { return "[signal] received " + std::to_string(sig); });
    setRunning(false);
    thawEverything("signal " + std::to_string(sig));
    exitHandler(0);
}

}  // namespace tracker
