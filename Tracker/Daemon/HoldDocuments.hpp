#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Core/JSONFile.hpp"
#include "Core/Records.hpp"
#include "Core/StateDir.hpp"
#include "Daemon/DaemonLog.hpp"

namespace tracker {

// The keeper of what is held: pause.json (the pause that stands, for every reader), held.json (the ledger of
// what this state directory holds, which outlives a lost pause.json and a crash) and last_thaw.json (the last
// end of a pause, which the decision reads). It writes them, reads them, and recovers from what a failed write
// or removal left behind, so that a session once held is never lost track of. It signals nothing. Not locked:
// its owner serialises every call.
class HoldDocuments {
public:
    HoldDocuments(const StateDir& stateDir, std::shared_ptr<DaemonLogger> log, bool dryRun,
                  JSONFile::RefusalHook oversize);

    // The pause that stands: pause.json, unless it is the one the last thaw could not remove (that pause is
    // over, and its removal is tried again instead). When pause.json is gone or unreadable while the ledger
    // names held sessions, the ledger's pause, written back to pause.json.
    std::optional<Pause> pause();
    // What this state directory holds: the ledger in memory, else held.json.
    std::optional<Pause> ledger();
    // last_thaw.json, or the last thaw this run could not write when that one is newer.
    std::optional<LastThaw> lastThaw() const;

    // A new pause: pause.json and the ledger written durably before anything is held. Throws what the writes
    // throw; then nothing may be held.
    void begin(const Pause& pause);
    // The pause that stands changed (another end, more sessions, waits over): both rewritten. False, with an
    // error logged under why, when they could not be.
    bool change(const Pause& pause, const std::string& why);
    // The pause is over and its sessions continued: pause.json and the ledger removed (what cannot be removed
    // is ignored until it can be), and the thaw at `at` recorded with what the usage's parts held for (ended:
    // the pause as it ended, when not pause.json as it stands). A pause that was asked for alone leaves
    // last_thaw.json as it was: it held for no usage window.
    void end(double at, const std::optional<Pause>& ended = std::nullopt);
    // No pause stands: the ledger goes.
    void forgetLedger();

private:
    const StateDir& stateDir_;
    const std::shared_ptr<DaemonLogger> log_;
    const bool dryRun_;
    const JSONFile::RefusalHook oversize_;

    // The last thaw when last_thaw.json could not be written: the decision still sees it, so a thaw is not
    // followed at once by a new freeze.
    std::optional<LastThaw> unwrittenLastThaw_;
    // pause.json as a thaw left it when it could not be removed (its JSON text).
    std::optional<std::string> thawedPause_;
    // The pause this run holds sessions for (also in held.json).
    std::optional<Pause> held_;
    // held.json outlived the thaw that ended its pause (it could not be removed).
    bool staleLedger_ = false;
    // held.json is known not to be there (read once, or removed by this run).
    bool noLedger_ = false;
    // pause.json was found missing and restored from the ledger (warned once per pause).
    bool restoredWarned_ = false;
};

}  // namespace tracker
