#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Core/Decide.hpp"
#include "Core/ProcessTable.hpp"
#include "Core/Signaller.hpp"
#include "Core/StateDir.hpp"
#include "Daemon/DaemonLog.hpp"
#include "Daemon/LiveConfig.hpp"

namespace tracker {

// Carrying out the decisions: a freeze writes pause.json and the ledger held.json durably and then holds
// every target; a thaw continues them, removes both and records the thaw; the sweep continues what the
// ledger names and no pause claims. Signals go only through the signaller and state only through the state
// directory. Not locked: the loop that owns it serialises every call.
class FreezeThaw {
public:
    // The loop's hooks, read at each use so a test may replace them after construction.
    struct Hooks {
        const std::function<double()>& clock;
        const std::shared_ptr<Signaller>& signaller;
    };

    FreezeThaw(const StateDir& stateDir, std::shared_ptr<DaemonLogger> log, const LiveConfig& config, bool dryRun,
               std::optional<double> resumeIn, Hooks hooks, JSONFile::RefusalHook oversize);

    // How often a target that could not be held is tried again while its pause stands.
    static constexpr int maxRetries = 5;

    // Holds each target at once, except a session whose hooks say it is receiving a reply: that one waits
    // in pause.json ("waiting") for its safe point, at most safe_point_wait seconds.
    void freeze(const Action::Freeze& action, const ProcessTable& table);
    // Continues the targets, spacing seconds apart (no gaps once hurry() was called).
    void thaw(const std::vector<Target>& targets, const ProcessTable& table, const std::string& reason,
              double spacing = 0);
    // Makes a spaced thaw in progress continue the rest at once; safe from any thread.
    void hurry() { hurry_ = true; }
    // The earliest end of a wait for a safe point in the pause, if any waits.
    static std::optional<double> nextWaitEnd(const Pause& pause);
    // Puts pause in place of the one in force (a new end, more sessions: a pause asked for meeting the
    // usage's) in pause.json and the ledger, then holds its targets that are not held yet.
    void replacePause(const Pause& pause, const ProcessTable& table, const std::string& why);
    // Continues each session of the ledger that pause does not name and that is still held; how many
    // processes. Processes this state directory never held (a job stopped with Ctrl-Z, another daemon's
    // sessions) are never touched.
    int sweep(const ProcessTable& table, const std::optional<Pause>& pause);
    // Holds the targets of the pause in force that still verify and are not held: those an interrupted
    // freeze never reached, and those whose hold failed (each at most maxRetries times, logged once); a
    // session waiting for its safe point once it reached one or its wait is over.
    void holdStragglers(const Pause& pause, const ProcessTable& table, const std::string& why);

    // pause.json, unless it is the one the last thaw could not remove: that pause is over, and its removal
    // is tried again instead. When pause.json is gone or unreadable while the ledger names held sessions,
    // the ledger's pause, written back to pause.json.
    std::optional<Pause> livePause();
    // last_thaw.json, or the last thaw this run could not write when that one is newer.
    std::optional<LastThaw> lastThaw() const;

    // What this state directory holds: the ledger in memory, else held.json.
    std::optional<Pause> ledger();

private:
    bool notify(const std::string& title, const std::string& message);
    // Holds one target; true when its claude is held.
    bool holdTarget(const Target& target, const ProcessTable& table);
    // Logs how a target's processes were held; true when its claude is.
    bool logHold(const Target& target, const std::vector<SignalResult>& results);
    // Whether the session's hooks say it may be receiving a reply in the target's process.
    bool streaming(const Target& target, const ProcessTable& table) const;
    // Rewrites pause.json and the ledger after waits ended; failures are logged.
    void rewrite(const Pause& pause, const std::string& why);
    // Whether pid is held now: stopped, or held by the signaller's own mechanism.
    bool isHeldNow(const ProcessTable& table, std::int64_t pid);

    const StateDir& stateDir_;
    const std::shared_ptr<DaemonLogger> log_;
    const LiveConfig& config_;
    const bool dryRun_;
    const std::optional<double> resumeIn_;
    const Hooks hooks_;
    const JSONFile::RefusalHook oversize_;

    // The last thaw when last_thaw.json could not be written: the decision still sees it, so a thaw is not
    // followed at once by a new freeze.
    std::optional<LastThaw> unwrittenLastThaw_;
    // pause.json as a thaw left it when it could not be removed (its JSON text).
    std::optional<std::string> thawedPause_;
    // The pause this run holds sessions for (also in held.json).
    std::optional<Pause> held_;
    // Tries so far for each target whose hold failed, by claude pid.
    std::map<std::int64_t, int> retries_;
    // Set by hurry(): the rest of a spaced thaw goes at once.
    std::atomic<bool> hurry_{false};
    // held.json outlived the thaw that ended its pause (it could not be removed).
    bool staleLedger_ = false;
    // held.json is known not to be there (read once, or removed by this run).
    bool noLedger_ = false;
    // pause.json was found missing and restored from the ledger (warned once per pause).
    bool restoredWarned_ = false;
};

}  // namespace tracker
