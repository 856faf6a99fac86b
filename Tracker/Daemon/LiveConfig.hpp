#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Core/FileStamp.hpp"
#include "Core/JSONFile.hpp"
#include "Core/NotifyMode.hpp"
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

// The daemon's settings in force: what it started with, and the live keys that follow config.json while it
// runs, unless the command line or the environment pinned them. Not locked: its owner serialises every use.
class LiveConfig {
public:
    // What the command line asked for.
    struct Overrides {
        std::optional<double> threshold;
        std::optional<double> pollInterval;
        std::optional<NotifyMode> notify;
    };

    // The keys reloaded while the daemon runs, in the order they are checked.
    static const std::vector<std::string>& liveKeys();

    // The settings at start: config.json (each value it sets aside warned about), then VAZ_ADODIVO_THRESHOLD,
    // then the command line.
    static TrackerConfig load(const StateDir& stateDir, const Overrides& overrides, const Environment& environment,
                              const LogHook& log = {});

    LiveConfig(TrackerConfig settings, std::set<std::string> pinnedKeys, std::string configPath,
               std::shared_ptr<DaemonLogger> log, JSONFile::RefusalHook oversize = {});

    // Takes the live keys of config.json that are not pinned, when the file changed since the last look; a
    // bad value leaves the one in force and is warned about once. A file that is there but cannot be used
    // at all (not JSON, not an object, not the user's alone) changes nothing and is warned about once for
    // each change of it. Logs and returns what changed.
    std::vector<ConfigChange> reload();

    const TrackerConfig& settings() const { return settings_; }
    const std::set<std::string>& pinnedKeys() const { return pinnedKeys_; }
    NotifyMode notifyMode() const { return settings_.notify.value_or(NotifyModes::defaultMode); }

private:
    TrackerConfig settings_;
    const std::set<std::string> pinnedKeys_;
    const std::string configPath_;
    std::shared_ptr<DaemonLogger> log_;
    JSONFile::RefusalHook oversize_;
    // The stamp at the last reload (none inside: the file was missing); none before the first.
    std::optional<std::optional<FileStamp>> lastStamp_;
    // The bad value last warned about, by key.
    std::map<std::string, std::string> warned_;
};

}  // namespace tracker
