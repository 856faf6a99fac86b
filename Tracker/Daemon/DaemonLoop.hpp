#pragma once

#include <chrono>
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
#include "Core/RecordCache.hpp"
#include "Core/Signaller.hpp"
#include "Core/StateDir.hpp"
#include "Core/TrackerConfig.hpp"
#include "Core/UsageHistory.hpp"
#include "Daemon/DaemonLog.hpp"
#include "Daemon/FreezeThaw.hpp"
#include "Daemon/LiveConfig.hpp"
#include "Daemon/OversizeWarnings.hpp"

namespace tracker {

// The daemon's one long-lived object: the configuration in force, the hooks to the world, and the
// observe-decide-act loop over the state directory. Every operation takes the one recursive mutex, so a
// tick, a freeze, a thaw and a sweep never interleave, whichever thread calls.
class DaemonLoop {
public:
    using Clock = std::function<double()>;
    // The processes with the given pids (the ones a tick needs: records, pauses and their shells); every
    // process for an empty list.
    using TableProvider = std::function<ProcessTable(const std::vector<std::int64_t>& pids)>;
    using ExitHandler = std::function<void(int)>;

    // After a change in sessions/, the loop sleeps burstQuiet, and when more came meanwhile, on to
    // burstSettleLimit: several records written together make one tick, without a wake-up for each.
    static constexpr std::chrono::milliseconds burstQuiet{12};
    static constexpr std::chrono::milliseconds burstSettleLimit{30};

    // No signaller: the dry-run recorder for a dry run, else the platform's holding signaller.
    DaemonLoop(StateDir stateDir, TrackerConfig config, std::shared_ptr<DaemonLogger> log, bool dryRun,
               std::optional<double> resumeIn, std::set<std::string> pinnedKeys,
               std::shared_ptr<Signaller> signaller = nullptr);
    DaemonLoop(const DaemonLoop&) = delete;
    DaemonLoop& operator=(const DaemonLoop&) = delete;

    // Control flow.
    int run(bool once);
    Action tick();
    // The same when only the named entries of sessions/ changed since the last tick (a watch says so).
    Action tick(const std::set<std::string>* changedNames);
    void adopt();
    int thawNow();
    // Continues whatever pause.json names, once per process lifetime.
    void thawEverything(const std::string& why);
    // Thaws and ends the process through exitHandler with status 0.
    void handleSignal(int sig);

    // Acting on decisions, under the loop's lock.
    void doFreeze(const Action::Freeze& action, const ProcessTable& table);
    void doThaw(const std::vector<Target>& targets, const ProcessTable& table, const std::string& reason);
    int sweep(const ProcessTable& table, const std::optional<Pause>& pause);
    std::pair<Decide::RecordPredicate, Decide::RecordPredicate> annotate(const std::vector<Record>& records,
                                                                         const ProcessTable& table);
    std::vector<Record> pruneRecords(const std::vector<Record>& records, const ProcessTable& table, double now);

    // The configuration in force, and its live reload.
    std::vector<ConfigChange> reloadConfig();
    std::string liveValue(const std::string& key) const;
    NotifyMode notifyMode() const;
    double pollInterval();
    TrackerConfig config() const;
    // The pause in force (see FreezeThaw::livePause).
    std::optional<Pause> livePause();

    bool running() const;
    void setRunning(bool value);

    // Replaceable hooks: the world as the loop sees it.
    Clock clock;
    TableProvider tableProvider;
    ExitHandler exitHandler;
    std::shared_ptr<Signaller> signaller;

private:
    // The table of the processes these records and pauses name (sessions and their shells).
    ProcessTable tableFor(const std::vector<Record>& records,
                          std::initializer_list<const std::optional<Pause>*> pauses);

    const StateDir stateDir_;
    const std::shared_ptr<DaemonLogger> log_;
    const bool dryRun_;
    mutable std::recursive_mutex mutex_;

    bool running_ = true;
    bool exitThawed_ = false;
    // Warns once about each state file too large to read; its hook goes to every reader.
    OversizeWarnings oversize_;
    const JSONFile::RefusalHook oversizeHook_;
    LiveConfig config_;
    FreezeThaw actions_;
    // The records as the last tick read them: only changed files are parsed again.
    RecordCache records_;
    // How the five-hour figure rose in this window, for `tarnel status`; read at the first tick.
    std::optional<UsageHistory> usage_;

    void recordUsage(const std::vector<Record>& records);
    // Carries out request.json (`tarnel pause`, `tarnel resume`) and removes it; the action taken, or none
    // when there was none to take (then the tick decides as usual).
    std::optional<Action> takeRequest(const std::vector<Record>& records, const std::optional<Pause>& pause,
                                      const ProcessTable& table, double now, const Decide::RecordPredicate& alive,
                                      const Decide::RecordPredicate& verified);
};

}  // namespace tracker
