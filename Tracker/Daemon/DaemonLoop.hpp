#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Core/Decide.hpp"
#include "Core/ProcessTable.hpp"
#include "Core/StateDir.hpp"
#include "Core/TrackerConfig.hpp"
#include "Daemon/DaemonLog.hpp"
#include "Daemon/OversizeWarnings.hpp"
#include "Daemon/Signaller.hpp"

namespace tracker {

// One live change of configuration, as logged: key, value before, value after.
struct ConfigChange {
    std::string key;
    std::string previous;
    std::string value;
    bool operator==(const ConfigChange&) const = default;
};

// Stopped claude processes, by ascending pid. held counts a process that is
// not in state T as stopped too (one our freezer holds).
std::vector<Proc> stoppedClaudes(const ProcessTable& table, const std::function<bool(const Proc&)>& held = {});
// Stopped interactive shells that are the parents of claude processes, by ascending pid.
std::vector<Proc> stoppedShellParentsOfClaude(const ProcessTable& table,
                                              const std::function<bool(const Proc&)>& held = {});

// The daemon's one long-lived object: the configuration in force, the hooks
// to the world, and the observe-decide-act loop over the state directory.
// Every operation takes the one recursive mutex, so a tick, a freeze, a thaw
// and a sweep never interleave, whichever thread calls.
class DaemonLoop {
public:
    static const std::vector<std::string>& liveReloadKeys();  // threshold, notify, shell_stop_mode
    static const std::vector<std::string>& shellStopModes();  // shell-first, claude-only

    using Clock = std::function<double()>;
    using TableProvider = std::function<ProcessTable()>;
    using ExitHandler = std::function<void(int)>;

    DaemonLoop(StateDir stateDir, TrackerConfig config, std::shared_ptr<DaemonLogger> log, bool dryRun,
               std::optional<double> resumeIn, std::set<std::string> pinnedKeys,
               std::shared_ptr<Signaller> signaller = nullptr);

    // The configuration at start: config.json with bad live keys dropped, then
    // VAZ_ADODIVO_THRESHOLD, then the command line's values.
    static TrackerConfig loadConfig(const StateDir& stateDir, std::optional<double> threshold,
                                    std::optional<double> pollInterval, const std::optional<std::string>& notify,
                                    const Environment& environment);
    // A live key's value when it is acceptable, else none.
    static std::optional<JSON> coerce(const std::string& key, const JSON* value);
    static std::string describe(const JSON& value);
    // "HH:mm" local time.
    static std::string fmtClock(double t);

    // Re-reads the live keys of config.json that are not pinned; logs and returns what changed.
    std::vector<ConfigChange> reloadConfig();
    std::string liveValue(const std::string& key) const;
    std::string notifyMode() const;
    double pollInterval() const;

    // Control flow.
    int run(bool once);
    Action tick();
    void adopt();
    int thawNow();
    // Continues whatever pause.json names, once per process lifetime.
    void thawEverything(const std::string& why);
    // Thaws and ends the process through exitHandler with status 0.
    void handleSignal(int sig);

    // Acting on decisions.
    void doFreeze(const Action::Freeze& action, const ProcessTable& table);
    void doThaw(const std::vector<Target>& targets, const ProcessTable& table, const std::string& reason);
    int sweep(const ProcessTable& table, const std::optional<Pause>& pause);
    std::pair<Decide::RecordPredicate, Decide::RecordPredicate> annotate(const std::vector<Record>& records,
                                                                          const ProcessTable& table);
    std::vector<Record> pruneRecords(const std::vector<Record>& records, const ProcessTable& table, double now);

    bool running() const;
    void setRunning(bool value);

    // Replaceable hooks: the world as the loop sees it.
    Clock clock;
    TableProvider tableProvider;
    ExitHandler exitHandler;
    std::shared_ptr<Signaller> signaller;

    const StateDir stateDir;
    const std::shared_ptr<DaemonLogger> log;
    TrackerConfig config;
    const bool dryRun;
    std::optional<double> resumeIn;
    const std::set<std::string> pinnedKeys;
    mutable std::recursive_mutex mutex;

private:
    bool notify(const std::string& title, const std::string& message);
    // pause.json, unless it is the one the last thaw could not remove: that
    // pause is over, and its removal is tried again instead.
    std::optional<Pause> readLivePause();

    bool running_ = true;
    bool exitThawed_ = false;
    // The last thaw when last_thaw.json could not be written: the decision
    // still sees it, so a thaw is not followed at once by a new freeze.
    std::optional<LastThaw> unwrittenLastThaw_;
    // pause.json as a thaw left it when it could not be removed (its JSON text).
    std::optional<std::string> thawedPause_;
    // Warns once about each state file too large to read; its hook goes to every reader.
    OversizeWarnings oversize_;
    const JSONFile::OversizeHook oversizeHook_;
};

}  // namespace tracker
