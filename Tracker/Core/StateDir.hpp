#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Core/DaemonPIDFile.hpp"
#include "Core/LogHook.hpp"
#include "Core/PauseRequest.hpp"
#include "Core/Records.hpp"
#include "Core/SessionPhase.hpp"
#include "Core/TrackerConfig.hpp"
#include "Core/UsageHistory.hpp"

namespace tracker {

class ProcessTable;
class RecordCache;

using Environment = std::map<std::string, std::string>;

// The environment of this process as a map.
Environment currentEnvironment();
// Only the named variables of it (those that are set): a short-lived program copies no more than it reads.
Environment currentEnvironment(std::initializer_list<const char*> names);

// "~" and "~user" at the start of path become the home directory.
std::string expandTilde(const std::string& path);

// Where the shared state lives and what its files are called. Holds no
// mutable state; readers never throw, writers throw what the atomic write throws.
class StateDir {
public:
    static constexpr const char* environmentKey = "VAZ_ADODIVO_STATE_DIR";
    static constexpr const char* defaultPath = "~/.claude/usage-state";

    // override, else VAZ_ADODIVO_STATE_DIR when set and not empty, else the default;
    // tilde-expanded and made absolute against the working directory.
    static StateDir fromEnvironment(const std::optional<std::string>& override, const Environment& environment);
    // Tilde-expands and absolutizes path.
    explicit StateDir(const std::string& path);

    const std::string& root() const { return root_; }
    std::string sessionsDir() const { return root_ + "/sessions"; }
    std::string recordPath(const std::string& sessionID) const {
        return sessionsDir() + "/" + recordFileName(sessionID);
    }
    // "<id>.json"; an id too long for a file name (with room for the writer's
    // temporary name) keeps its first bytes and gets a hash of the whole id.
    static std::string recordFileName(const std::string& sessionID);
    // Ids up to this many bytes name their record file as they are.
    static constexpr std::size_t maxPlainIDBytes = 200;
    // Where the session's hooks record its phase: beside its record, named like it with ".phase".
    std::string phasePath(const std::string& sessionID) const;
    // The lock the session's hooks take while they change its phase: hidden beside it, ".<id>.lock"; removed
    // with the record of a session long gone.
    std::string phaseLockPath(const std::string& sessionID) const;
    std::string pausePath() const { return root_ + "/pause.json"; }
    std::string lastThawPath() const { return root_ + "/last_thaw.json"; }
    std::string configPath() const { return root_ + "/config.json"; }
    std::string logPath() const { return root_ + "/daemon.log"; }
    std::string lockPath() const { return root_ + "/daemon.lock"; }
    std::string pidPath() const { return root_ + "/daemon.pid"; }
    // The daemon's ledger of the sessions it holds: a copy of the pause written before any signal and
    // removed after the thaw, so that neither a lost pause.json nor a crash loses track of a held session.
    std::string heldPath() const { return root_ + "/held.json"; }
    // How the five-hour figure rose in the current window (UsageHistory), kept by the daemon.
    std::string usageHistoryPath(UsageWindow window = UsageWindow::fiveHour) const {
        return window == UsageWindow::fiveHour ? root_ + "/usage_history.json"
                                               : root_ + "/usage_history_" + UsageWindows::name(window) + ".json";
    }
    // A pause asked for, or its end (PauseRequest), until the daemon takes it.
    std::string requestPath() const { return root_ + "/request.json"; }

    // Creates root and "sessions" with any missing parents, each new one 0700;
    // throws std::filesystem::filesystem_error on failure.
    void ensureDirectories() const;

    // Why this directory cannot be trusted (see StateDirTrust), none when it
    // can: the root and "sessions" must be the user's alone.
    std::optional<std::string> trustProblem() const;

    // Readable records in file-name order; hidden and non-".json" names skipped.
    // Each reader tells oversize about a file it read as absent for its size.
    // Every reader reads only documents the user owns and nobody else may
    // write, never through a symbolic link (see StateDirTrust::readDocument).
    // With a cache, files unchanged since it last read them are not parsed again; with the names of the
    // entries changed since its last read as well (from a watch of "sessions"), the directory is not listed
    // and only those files are looked at, once the cache has read a listing.
    std::vector<Record> readRecords(const JSONFile::RefusalHook& oversize = {}, RecordCache* cache = nullptr,
                                    const std::set<std::string>* changedNames = nullptr) const;
    std::optional<Pause> readPause(const JSONFile::RefusalHook& oversize = {}) const;
    std::optional<LastThaw> readLastThaw(const JSONFile::RefusalHook& oversize = {}) const;
    std::optional<Pause> readHeld(const JSONFile::RefusalHook& oversize = {}) const;
    // The phase file of the session, when it is the session's own.
    std::optional<SessionPhase> readPhase(const std::string& sessionID) const;
    std::optional<DaemonPIDFile> readDaemonPID(const JSONFile::RefusalHook& oversize = {}) const;
    std::optional<UsageHistory> readUsageHistory(const JSONFile::RefusalHook& oversize = {},
                                                 UsageWindow window = UsageWindow::fiveHour) const;
    std::optional<PauseRequest> readRequest(const JSONFile::RefusalHook& oversize = {}) const;
    // The settings of "config.json"; every default unless it holds an object.
    TrackerConfig readConfig(const JSONFile::RefusalHook& oversize = {}) const;
    // The settings of "config.json" and, when the file is there but none of it could be used, why: it is not
    // JSON (the line and column where it stops being JSON), not an object, too large, or not the user's alone.
    struct ConfigRead {
        TrackerConfig settings;
        std::optional<std::string> problem;
    };
    ConfigRead readConfigChecked(const JSONFile::RefusalHook& oversize = {}) const;

    void write(const Record& record, bool durable) const;
    void write(const Pause& pause) const;
    void write(const LastThaw& lastThaw) const;
    // Replaced atomically, not flushed: a phase is worth nothing after a crash of the machine.
    void write(const SessionPhase& phase) const;
    bool deletePhase(const std::string& sessionID) const;
    // The settings' document as read: values set aside and keys unknown here stay.
    void write(const TrackerConfig& config) const;
    // Durable: it names the process that holds the sessions.
    void write(const DaemonPIDFile& pidFile) const;
    // Replaced atomically, not flushed: it outlives a crash of the daemon, and a machine that stops ends
    // every session it names.
    void writeHeld(const Pause& held) const;
    // True when "pause.json" was removed; every failure is false.
    bool deletePause() const;
    // True when "held.json" was removed or was not there.
    bool deleteHeld() const;
    // Not flushed: a history lost with the machine costs a forecast, nothing more.
    void writeUsageHistory(const UsageHistory& history) const;
    // Durable: it is what the user asked for.
    void write(const PauseRequest& request) const;
    // True when "request.json" was removed or was not there.
    bool deleteRequest() const;

    // Removes the files (and phase files) of records whose process is gone and
    // whose ts is at least ttl old; returns the rest in order.
    static std::vector<Record> pruneRecords(const std::vector<Record>& records, const ProcessTable& table, double now,
                                            double ttl, const LogHook& log);

    bool operator==(const StateDir&) const = default;

private:
    struct Absolute {};
    StateDir(Absolute, std::string root) : root_(std::move(root)) {}
    std::string root_;
};

// Whether a session id can name a record file: not empty, no "/", no NUL, not
// starting with "." (which also rules out "." and "..").
bool isSafeSessionID(const std::string& sessionID);

}  // namespace tracker
