#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Core/Action.hpp"
#include "Core/DaemonPIDFile.hpp"
#include "Core/Decide.hpp"
#include "Core/FileStamp.hpp"
#include "Core/ProcessTable.hpp"
#include "Core/RecordCache.hpp"
#include "Core/StateDir.hpp"
#include "Core/TrackerConfig.hpp"
#include "Core/UsageHistory.hpp"
#include "Daemon/DaemonLog.hpp"
#include "Daemon/DaemonWorld.hpp"
#include "Daemon/HoldDocuments.hpp"
#include "Daemon/Holder.hpp"
#include "Daemon/LiveConfig.hpp"
#include "Daemon/OversizeWarnings.hpp"

namespace tracker {

// The daemon's one long-lived object: the observe-decide-act loop over the state directory. Each entry point
// takes the loop's lock once, so a tick, a thaw on the way out and a one-shot thaw never interleave, whichever
// thread calls; handleSignal first hurries a spaced thaw in progress so that it lets go of the lock soon.
class DaemonLoop {
public:
    struct Options {
        // Decide and log, but write, delete and signal nothing.
        bool dryRun = false;
        // Every pause ends this many seconds after it began (a test aid).
        std::optional<double> resumeIn;
        // Settings the command line or the environment set: config.json does not change them while it runs.
        std::set<std::string> pinnedKeys;
        // daemon.pid to publish when the loop starts, and again with each change of the threshold in force.
        std::optional<DaemonPIDFile> pidFile{};
    };

    // After a change in sessions/, the loop sleeps burstQuiet, and when more came meanwhile, on to
    // burstSettleLimit: several records written together make one tick, without a wake-up for each.
    static constexpr std::chrono::milliseconds burstQuiet{12};
    static constexpr std::chrono::milliseconds burstSettleLimit{30};

    DaemonLoop(StateDir stateDir, TrackerConfig settings, std::shared_ptr<DaemonLogger> log, Options options,
               DaemonWorld world);
    DaemonLoop(const DaemonLoop&) = delete;
    DaemonLoop& operator=(const DaemonLoop&) = delete;

    // Sweeps and adopts what an earlier daemon left, then ticks on every change in sessions/ and at least
    // every poll interval until a signal ends it (once: one tick). The exit status.
    int run(bool once);
    // One observation, one decision, one action. changedNames: only these entries of sessions/ changed since
    // the last tick (a watch says so); none: look at them all.
    Action tick(const std::set<std::string>* changedNames = nullptr);
    // --thaw-now: continues whatever the pause names and sweeps. The exit status.
    int thawNow();
    // Continues everything this state directory holds, once per process lifetime: the way out.
    void thawEverything(const std::string& why);
    // A signal that ends the daemon: thaws and ends the process through the world's exit with status 0.
    void handleSignal(int sig);

private:
    void adopt();
    Action tickLocked(const std::set<std::string>* changedNames);
    // How long the loop may wait for a change before it must look again.
    double nextWait();
    void carryOut(const Action& action, const std::optional<Pause>& pause, const ProcessTable& table);
    // request.json as a request; none (with a warning) when it is not one.
    std::optional<PauseRequest> readRequest();
    // The table of the processes these records and pauses name (sessions and their shells).
    ProcessTable tableFor(const std::vector<Record>& records,
                          std::initializer_list<const std::optional<Pause>*> pauses);
    // Logs records whose process no longer matches them; whether a record's process runs, and is it still.
    std::pair<Decide::RecordPredicate, Decide::RecordPredicate> annotate(const std::vector<Record>& records,
                                                                         const ProcessTable& table);
    // Writes the pid file (when one is to be published) with the threshold in force.
    void publish();
    std::vector<Record> pruneRecords(const std::vector<Record>& records, const ProcessTable& table, double now);
    // Keeps the account's figure of the window in its history (usage_history.json for the five-hour one).
    void recordUsage(UsageWindow window, const std::optional<Record>& figure);
    // Logs each turn that ended at a usage limit (its phase's limit_hit_at), once: of the phases that changed,
    // or of every record's on a tick no change woke.
    void noteLimitHits(const std::vector<Record>& records, const std::set<std::string>* changedNames);
    // Gives the warning of a window whose figure came near its threshold, once per window and reset.
    void warn(const Decide::Situation& situation, const std::map<UsageWindow, std::optional<Record>>& figures);

    const StateDir stateDir_;
    const std::shared_ptr<DaemonLogger> log_;
    const Options options_;
    DaemonWorld world_;
    std::mutex mutex_;
    std::atomic<bool> running_{true};
    bool exitThawed_ = false;
    // Warns once about each state file too large to read; its hook goes to every reader.
    OversizeWarnings oversize_;
    const JSONFile::RefusalHook oversizeHook_;
    LiveConfig config_;
    HoldDocuments documents_;
    Holder holder_;
    // The records as the last tick read them: only changed files are parsed again.
    RecordCache records_;
    // How the five-hour figure rose in this window, for `tarnel status`; read at the first tick.
    std::map<UsageWindow, UsageHistory> usage_;
    // The reset of each window the warning before its hold was given for: once per window.
    std::map<UsageWindow, double> warned_;
    // The last limit_hit_at logged, by session.
    std::map<std::string, double> limitHits_;
    // The request a dry run took last (which it leaves in place).
    std::optional<FileStamp> dryRunRequest_;
};

}  // namespace tracker
