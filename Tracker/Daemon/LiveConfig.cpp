#include "Daemon/LiveConfig.hpp"

#include <sys/stat.h>

#include "Core/NumberText.hpp"
#include "Core/StateDirTrust.hpp"

namespace tracker {

namespace {

using Key = TrackerConfig::Key;

// A text as written, numbers as written, anything else as JSON.
std::string plainText(const JSON* value) {
    if (!value) return "";
    if (auto text = JSONCoerce::toString(value)) return *text;
    return value->dump();
}

}  // namespace

const std::vector<std::string>& LiveConfig::liveKeys() {
    static const std::vector<std::string> keys{Key::threshold, Key::notify, Key::shellStopMode, Key::safePointWait,
                                               Key::thawSpacing};
    return keys;
}

TrackerConfig LiveConfig::load(const StateDir& stateDir, std::optional<double> threshold,
                               std::optional<double> pollInterval, std::optional<NotifyMode> notify,
                               const Environment& environment, const LogHook& log) {
    TrackerConfig config = stateDir.readConfig();
    for (const auto& key : liveKeys()) {
        auto it = config.raw.find(key);
        if (it != config.raw.end() && !coerce(key, &it->second)) {
            emit(log, "warning [loadConfig] ignoring bad " + key + "=" + plainText(&it->second) + " in " +
                          stateDir.configPath());
            config.raw.erase(it);
        }
    }
    if (auto it = environment.find("VAZ_ADODIVO_THRESHOLD"); it != environment.end()) {
        JSON text = it->second;
        auto value = JSONCoerce::toDouble(&text);
        if (value && TrackerConfig::isThreshold(*value)) {
            config.raw[Key::threshold] = *value;
        } else if (!it->second.empty()) {
            emit(log, "warning [loadConfig] ignoring VAZ_ADODIVO_THRESHOLD=" + it->second +
                          ": not a percentage from 0 to 100");
        }
    }
    if (threshold) config.raw[Key::threshold] = *threshold;
    if (pollInterval) config.raw[Key::pollInterval] = *pollInterval;
    if (notify) config.setNotify(std::string(NotifyModes::text(*notify)));
    return config;
}

std::optional<JSON> LiveConfig::coerce(const std::string& key, const JSON* value) {
    if (!value || value->is_null()) return std::nullopt;
    if (key == Key::threshold) {
        auto number = JSONCoerce::toDouble(value);
        if (!number || !TrackerConfig::isThreshold(*number)) return std::nullopt;
        return JSON(*number);
    }
    if (key == Key::safePointWait || key == Key::thawSpacing) {
        auto number = JSONCoerce::toDouble(value);
        const bool usable = number && (key == Key::safePointWait ? TrackerConfig::isSafePointWait(*number)
                                                                 : TrackerConfig::isThawSpacing(*number));
        if (!usable) return std::nullopt;
        return JSON(*number);
    }
    const bool isNotify = key == Key::notify;
    if (!isNotify && key != Key::shellStopMode) return *value;
    auto text = JSONCoerce::toString(value);
    if (!text) return std::nullopt;
    const bool known = isNotify ? NotifyModes::parse(*text).has_value() : ShellStopModes::parse(*text).has_value();
    if (!known) return std::nullopt;
    return JSON(*text);
}

std::string LiveConfig::describe(const JSON& value) {
    if (!value.is_string()) {
        if (auto number = JSONCoerce::toDouble(&value)) return NumberText::shortest(*number);
    }
    if (auto text = JSONCoerce::toString(&value)) return *text;
    return value.dump();
}

LiveConfig::LiveConfig(TrackerConfig config, std::set<std::string> pinnedKeys, std::string configPath,
                       std::shared_ptr<DaemonLogger> log, JSONFile::RefusalHook oversize)
    : config_(std::move(config)),
      pinnedKeys_(std::move(pinnedKeys)),
      configPath_(std::move(configPath)),
      log_(std::move(log)),
      oversize_(std::move(oversize)) {}

NotifyMode LiveConfig::notifyMode() const {
    auto text = config_.notify();
    return (text ? NotifyModes::parse(*text) : std::nullopt).value_or(NotifyModes::defaultMode);
}

ShellStopMode LiveConfig::shellStopMode() const {
    // Anything but the two texts stops claude alone, the mode that can never take a shell's terminal.
    return ShellStopModes::parse(config_.shellStopMode()).value_or(ShellStopMode::claudeOnly);
}

double LiveConfig::pollInterval() {
    const double stored = config_.pollInterval();
    const double bounded = TrackerConfig::boundedPollInterval(stored);
    const std::string shown = NumberText::shortest(stored);
    if (bounded != stored && warnedPoll_ != shown) {
        warnedPoll_ = shown;
        log_->warning([&] {
            return "[run] poll interval " + NumberText::shortest(stored) + " is not usable - polling every " +
                   NumberText::shortest(bounded) + "s";
        });
    }
    return bounded;
}

std::string LiveConfig::value(const std::string& key) const {
    if (key == Key::threshold) return NumberText::shortest(config_.threshold());
    if (key == Key::notify) return std::string(NotifyModes::text(notifyMode()));
    if (key == Key::safePointWait) return NumberText::shortest(config_.safePointWait());
    if (key == Key::thawSpacing) return NumberText::shortest(config_.thawSpacing());
    return config_.shellStopMode();
}

std::vector<ConfigChange> LiveConfig::reload() {
    // A file that has not changed since the last reload changes nothing (config.json is replaced, never
    // rewritten in place, by every writer of ours; an editor's save changes its time stamps), and neither
    // does one that is still missing.
    struct stat info {};
    std::optional<FileStamp> stamp;
    if (::lstat(configPath_.c_str(), &info) == 0) {
        stamp = FileStamp{info.st_ino,         info.st_size,         info.st_mtim.tv_sec, info.st_mtim.tv_nsec,
                          info.st_ctim.tv_sec, info.st_ctim.tv_nsec, info.st_mode,        info.st_uid};
    }
    if (lastStamp_ && *lastStamp_ == stamp) return {};
    lastStamp_ = stamp;
    // Only a config.json of the user's own that nobody else may write, as at start.
    auto document = StateDirTrust::readDocument(configPath_, oversize_);
    JSONObject fresh = document && document->is_object() ? document->get<JSONObject>() : JSONObject{};
    std::vector<ConfigChange> changes;
    for (const auto& key : liveKeys()) {
        if (pinnedKeys_.count(key)) continue;
        const JSON* freshValue = JSONCoerce::member(fresh, key);
        if (!freshValue) continue;
        auto coerced = coerce(key, freshValue);
        if (!coerced) {
            // Once for each bad value, not on every tick while it stays.
            std::string bad = plainText(freshValue);
            if (warned_[key] != bad) {
                warned_[key] = bad;
                log_->warning([&] { return "[reloadConfig] ignoring bad " + key + "=" + bad + " in " + configPath_; });
            }
            continue;
        }
        warned_.erase(key);
        std::string previous = value(key);
        std::string shown = describe(*coerced);
        bool unchanged = previous == shown;
        if (key == Key::threshold) unchanged = coerced->get<double>() == config_.threshold();
        if (unchanged) continue;
        config_.raw[key] = *coerced;
        changes.push_back(ConfigChange{key, previous, shown});
    }
    for (const auto& change : changes) {
        log_->info([&] { return "[reloadConfig] " + change.key + ": " + change.previous + " -> " + change.value; });
    }
    return changes;
}

}  // namespace tracker
