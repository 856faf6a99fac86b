#include "Daemon/LiveConfig.hpp"

#include <algorithm>

#include "Core/NumberText.hpp"
#include "Core/StateDirTrust.hpp"

namespace tracker {

namespace {

using Key = TrackerConfig::Key;

// A text as written, numbers as written, anything else as JSON.
std::string plainText(const JSON& value) {
    if (auto text = JSONCoerce::toString(&value)) return *text;
    return value.dump();
}

std::string ignoring(const TrackerConfig::Problem& problem, const std::string& path) {
    return "ignoring bad " + problem.key + "=" + plainText(problem.value) + " in " + path + " (" + problem.why +
           " - using " + problem.instead + ")";
}

// A live key's value as the log shows it.
std::string shown(const TrackerConfig& settings, const std::string& key) {
    if (key == Key::threshold) return NumberText::shortest(settings.threshold);
    if (key == Key::notify) return std::string(NotifyModes::text(settings.notify.value_or(NotifyModes::defaultMode)));
    if (key == Key::safePointWait) return NumberText::shortest(settings.safePointWait);
    if (key == Key::thawSpacing) return NumberText::shortest(settings.thawSpacing);
    if (key == Key::weeklyThreshold || key == Key::spendThreshold) {
        const auto& threshold = key == Key::weeklyThreshold ? settings.weeklyThreshold : settings.spendThreshold;
        return threshold ? NumberText::shortest(*threshold) : std::string("off");
    }
    if (key == Key::warnBefore) return NumberText::shortest(settings.warnBefore);
    return std::string(ShellStopModes::text(settings.shellStopMode));
}

// Puts the value of a live key of from into to.
void take(TrackerConfig& to, const TrackerConfig& from, const std::string& key) {
    if (key == Key::threshold) to.threshold = from.threshold;
    if (key == Key::notify) to.notify = from.notify;
    if (key == Key::shellStopMode) to.shellStopMode = from.shellStopMode;
    if (key == Key::safePointWait) to.safePointWait = from.safePointWait;
    if (key == Key::thawSpacing) to.thawSpacing = from.thawSpacing;
    if (key == Key::weeklyThreshold) to.weeklyThreshold = from.weeklyThreshold;
    if (key == Key::spendThreshold) to.spendThreshold = from.spendThreshold;
    if (key == Key::warnBefore) to.warnBefore = from.warnBefore;
}

}  // namespace

const std::vector<std::string>& LiveConfig::liveKeys() {
    static const std::vector<std::string> keys{Key::threshold,      Key::notify,      Key::shellStopMode,
                                               Key::safePointWait,  Key::thawSpacing, Key::weeklyThreshold,
                                               Key::spendThreshold, Key::warnBefore};
    return keys;
}

TrackerConfig LiveConfig::load(const StateDir& stateDir, const Overrides& overrides, const Environment& environment,
                               const LogHook& log) {
    TrackerConfig settings = stateDir.readConfig();
    for (const auto& problem : settings.problems) {
        emit(log, "warning [loadConfig] " + ignoring(problem, stateDir.configPath()));
    }
    if (auto it = environment.find("VAZ_ADODIVO_THRESHOLD"); it != environment.end()) {
        JSON text = it->second;
        auto value = JSONCoerce::toDouble(&text);
        if (value && TrackerConfig::isThreshold(*value)) {
            settings.threshold = *value;
        } else if (!it->second.empty()) {
            emit(log, "warning [loadConfig] ignoring VAZ_ADODIVO_THRESHOLD=" + it->second +
                          ": not a percentage from 0 to 100");
        }
    }
    if (overrides.threshold) settings.threshold = *overrides.threshold;
    if (overrides.pollInterval) {
        settings.pollInterval = TrackerConfig::boundedPollInterval(*overrides.pollInterval);
        if (settings.pollInterval != *overrides.pollInterval) {
            emit(log, "warning [loadConfig] poll interval " + NumberText::shortest(*overrides.pollInterval) +
                          " is not usable - polling every " + NumberText::shortest(settings.pollInterval) + "s");
        }
    }
    if (overrides.notify) settings.notify = *overrides.notify;
    return settings;
}

LiveConfig::LiveConfig(TrackerConfig settings, std::set<std::string> pinnedKeys, std::string configPath,
                       std::shared_ptr<DaemonLogger> log, JSONFile::RefusalHook oversize)
    : settings_(std::move(settings)),
      pinnedKeys_(std::move(pinnedKeys)),
      configPath_(std::move(configPath)),
      log_(std::move(log)),
      oversize_(std::move(oversize)) {}

std::vector<ConfigChange> LiveConfig::reload() {
    // A file that has not changed since the last reload changes nothing, and neither does one that is still
    // missing.
    const auto stamp = FileStamp::at(configPath_);
    if (lastStamp_ && *lastStamp_ == stamp) return {};
    lastStamp_ = stamp;
    // Only a config.json of the user's own that nobody else may write, as at start.
    std::string problem;
    auto document = StateDirTrust::readDocument(configPath_, oversize_, &problem);
    if (document && !document->is_object()) problem = configPath_ + " holds no JSON object";
    if (!problem.empty()) {
        // Once for each change of the file: the settings in force are the last good ones it had.
        log_->warning([&] { return "[reloadConfig] " + problem + " - keeping the settings in force"; });
        return {};
    }
    const JSONObject fresh = document && document->is_object() ? document->get<JSONObject>() : JSONObject{};
    const TrackerConfig read = TrackerConfig::fromJSON(fresh);
    std::vector<ConfigChange> changes;
    for (const auto& key : liveKeys()) {
        if (pinnedKeys_.count(key)) continue;
        const JSON* value = JSONCoerce::member(fresh, key);
        // A key taken out keeps the value in force.
        if (!value || value->is_null()) continue;
        auto problem = std::find_if(read.problems.begin(), read.problems.end(),
                                    [&](const TrackerConfig::Problem& found) { return found.key == key; });
        if (problem != read.problems.end()) {
            // Once for each bad value, not on every tick while it stays.
            std::string bad = plainText(problem->value);
            if (warned_[key] != bad) {
                warned_[key] = bad;
                log_->warning([&] { return "[reloadConfig] " + ignoring(*problem, configPath_); });
            }
            continue;
        }
        warned_.erase(key);
        const std::string previous = shown(settings_, key);
        TrackerConfig changed = settings_;
        take(changed, read, key);
        if (changed == settings_) continue;
        settings_ = std::move(changed);
        changes.push_back(ConfigChange{key, previous, shown(settings_, key)});
    }
    for (const auto& change : changes) {
        log_->info([&] { return "[reloadConfig] " + change.key + ": " + change.previous + " -> " + change.value; });
    }
    return changes;
}

}  // namespace tracker
