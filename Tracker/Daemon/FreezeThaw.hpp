#pragma once

#include <functional>
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

// Stopped claude processes, by ascending pid. held counts a process that is not in state T as stopped too
// (one our freezer holds).
std::vector<Proc> stoppedClaudes(const ProcessTable& table, const std::function<bool(const Proc&)>& held = {});
// Stopped interactive shells that are the parents of claude processes, by ascending pid.
std::vector<Proc> stoppedShellParentsOfClaude(const ProcessTable& table,
                                              const std::function<bool(const Proc&)>& held = {});

// Carrying out the decisions: a freeze writes pause.json durably and then holds every target; a thaw
// continues them, removes pause.json and records the thaw; the sweep continues held sessions no pause
// claims. Signals go only through the signaller and state only through the state directory. Not locked:
// the loop that owns it serialises every call.
class FreezeThaw {
public:
    // The loop's hooks, read at each use so a test may replace them after construction.
    struct Hooks {
        const std::function<double()>& clock;
        const std::function<ProcessTable()>& tableProvider;
        const std::shared_ptr<Signaller>& signaller;
    };

    FreezeThaw(const StateDir& stateDir, std::shared_ptr<DaemonLogger> log, const LiveConfig& config, bool dryRun,
               std::optional<double> resumeIn, Hooks hooks, JSONFile::OversizeHook oversize);

    void freeze(const Action::Freeze& action, const ProcessTable& table);
    void thaw(const std::vector<Target>& targets, const ProcessTable& table, const std::string& reason);
    // Continues every held claude (and held interactive shell parent of one) that pause does not name.
    int sweep(const ProcessTable& table, const std::optional<Pause>& pause);

    // pause.json, unless it is the one the last thaw could not remove: that pause is over, and its removal
    // is tried again instead.
    std::optional<Pause> livePause();
    // last_thaw.json, or the last thaw this run could not write when that one is newer.
    std::optional<LastThaw> lastThaw() const;

private:
    bool notify(const std::string& title, const std::string& message);

    const StateDir& stateDir_;
    const std::shared_ptr<DaemonLogger> log_;
    const LiveConfig& config_;
    const bool dryRun_;
    const std::optional<double> resumeIn_;
    const Hooks hooks_;
    const JSONFile::OversizeHook oversize_;

    // The last thaw when last_thaw.json could not be written: the decision still sees it, so a thaw is not
    // followed at once by a new freeze.
    std::optional<LastThaw> unwrittenLastThaw_;
    // pause.json as a thaw left it when it could not be removed (its JSON text).
    std::optional<std::string> thawedPause_;
};

}  // namespace tracker
