#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Core/Action.hpp"
#include "Core/ProcessTable.hpp"
#include "Core/StateDir.hpp"
#include "Daemon/DaemonLog.hpp"
#include "Daemon/DaemonWorld.hpp"
#include "Daemon/HoldDocuments.hpp"
#include "Daemon/LiveConfig.hpp"

namespace tracker {

// Carries out the decisions on processes: a freeze holds every target once its documents are written, a
// thaw continues them, the sweep continues what the ledger names and no pause claims. Signals go only
// through the world's signaller, the documents only through their keeper. Not locked: its owner serialises
// every call (hurry excepted).
class Holder {
public:
    struct Options {
        bool dryRun = false;
        // Every pause ends this many seconds after it began (a test aid).
        std::optional<double> resumeIn;
    };

    Holder(const StateDir& stateDir, HoldDocuments& documents, const LiveConfig& config, DaemonWorld& world,
           std::shared_ptr<DaemonLogger> log, Options options);

    // How often a target that could not be held is tried again while its pause stands.
    static constexpr int maxRetries = 5;

    // Holds each target at once, except a session whose hooks say it is receiving a reply: that one waits
    // in pause.json ("waiting") for its safe point, at most safe_point_wait seconds.
    void freeze(const Action::Freeze& action, const ProcessTable& table);
    // Continues the targets, spacing seconds apart (no gaps once hurry() was called), and ends the pause (ended:
    // the pause as it ends, when not pause.json as it stands).
    void thaw(const std::vector<Target>& targets, const ProcessTable& table, const std::string& reason,
              double spacing = 0, const std::optional<Pause>& ended = std::nullopt);
    // Makes a spaced thaw in progress continue the rest at once; safe from any thread.
    void hurry() { hurry_ = true; }
    // Puts next in place of the standing pause (another end, more sessions), then holds its targets that are
    // not held yet; a session it adds that is receiving a reply waits for its safe point. why names the change
    // in the log.
    void replace(const Pause& standing, const Pause& next, const ProcessTable& table, const std::string& why);
    // Holds the targets of the pause that stands that still verify and are not held: those an interrupted
    // freeze never reached, and those whose hold failed (each at most maxRetries times, logged once); a
    // session waiting for its safe point once it reached one or its wait is over.
    void holdStragglers(const Pause& pause, const ProcessTable& table, const std::string& why);
    // Continues each session of the ledger that pause does not name and that is still held, and each session of
    // records (this state directory's) held in a frozen group of ours that pause does not name; how many
    // processes. Processes this state directory never held or recorded (a job stopped with Ctrl-Z, another
    // daemon's sessions) are never touched.
    int sweep(const ProcessTable& table, const std::optional<Pause>& pause, const std::vector<Record>& records = {});

    // Posts a notification as the settings say (or only logs it).
    bool notify(const std::string& title, const std::string& message);

private:
    // Makes the targets of pause that known does not name ready to hold: their shells' starts recorded, and
    // each one receiving a reply set to wait for its safe point. The ones to hold at once.
    std::vector<Target> admit(Pause& pause, const std::set<std::int64_t>& known, const ProcessTable& table,
                              const std::string& why);
    // Holds one target; true when its claude is held.
    bool holdTarget(const Target& target, const ProcessTable& table);
    // Logs how a target's processes were held; true when its claude is.
    bool logHold(const Target& target, const std::vector<SignalResult>& results);
    // Whether the session's hooks say it may be receiving a reply in the target's process.
    bool streaming(const Target& target, const ProcessTable& table) const;
    // Whether pid is held now: stopped, or held by the signaller's own mechanism.
    bool isHeldNow(const ProcessTable& table, std::int64_t pid);

    const StateDir& stateDir_;
    HoldDocuments& documents_;
    const LiveConfig& config_;
    DaemonWorld& world_;
    const std::shared_ptr<DaemonLogger> log_;
    const Options options_;

    // Tries so far for each target whose hold failed, by claude pid.
    std::map<std::int64_t, int> retries_;
    // Set by hurry(): the rest of a spaced thaw goes at once.
    std::atomic<bool> hurry_{false};
};

}  // namespace tracker
