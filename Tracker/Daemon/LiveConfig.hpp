#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Core/JSONFile.hpp"
#include "Core/NotifyMode.hpp"
#include "Core/ShellStopMode.hpp"
#include "Core/StateDir.hpp"
#include "Core/TrackerConfig.hpp"
#include "Daemon/DaemonLog.hpp"

namespace tracker {

// One live change of configuration, as logged: key, value before, value after.
struct ConfigChange {
    std::string key;
    std::string previous;
    std::string value;
    bool operator==(const ConfigChange&) const = default;
};

// The daemon's configuration in force: what it started with, and the keys that follow config.json while it
// runs ("threshold", "notify", "shell_stop_mode") unless the command line or the environment pinned them.
// Not locked: the loop that owns it serialises every use.
class LiveConfig {
public:
    // The keys reloaded while the daemon runs, in the order they are checked.
    static const std::vector<std::string>& liveKeys();

    // The configuration at start: config.json with bad live keys dropped, then VAZ_ADODIVO_THRESHOLD, then
    // the command line's values.
    static TrackerConfig load(const StateDir& stateDir, std::optional<double> threshold,
                              std::optional<double> pollInterval, std::optional<NotifyMode> notify,
                              const Environment& environment, const LogHook& log = {});
    // A live key's value when it is acceptable, else none.
    static std::optional<JSON> coerce(const std::string& key, const JSON* value);
    // A value as a log line shows it: numbers as "%g", texts as they are, anything else as JSON.
    static std::string describe(const JSON& value);

    LiveConfig(TrackerConfig config, std::set<std::string> pinnedKeys, std::string configPath,
               std::shared_ptr<DaemonLogger> log, JSONFile::RefusalHook oversize = {});

    // Re-reads the live keys of config.json that are not pinned; logs and returns what changed.
    std::vector<ConfigChange> reload();
    // A live key's value as logged.
    std::string value(const std::string& key) const;

    const TrackerConfig& config() const { return config_; }
    const std::set<std::string>& pinnedKeys() const { return pinnedKeys_; }
    NotifyMode notifyMode() const;
    ShellStopMode shellStopMode() const;
    // The poll interval the loop waits: the stored one within TrackerConfig's bounds, with one warning for
    // each stored value that had to be changed.
    double pollInterval();

private:
    TrackerConfig config_;
    const std::set<std::string> pinnedKeys_;
    const std::string configPath_;
    std::shared_ptr<DaemonLogger> log_;
    JSONFile::RefusalHook oversize_;
    // What identifies a version of config.json without reading it.
    struct FileStamp {
        std::uint64_t inode;
        std::int64_t size, modifiedSeconds, modifiedNanoseconds, changedSeconds, changedNanoseconds;
        std::uint32_t mode, owner;
        bool operator==(const FileStamp&) const = default;
    };
    // The stamp at the last reload (none inside: the file was missing); none before the first.
    std::optional<std::optional<FileStamp>> lastStamp_;
    // The bad value last warned about, by key; and the last unusable poll interval warned about.
    std::map<std::string, std::string> warned_;
    std::optional<std::string> warnedPoll_;
};

}  // namespace tracker
