#include "Daemon/LiveConfig.hpp"

#include "Core/NumberText.hpp"

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
    static const std::vector<std::string> keys{Key::threshold, Key::notify, Key::shellStopMode};
    return keys;
}

TrackerConfig LiveConfig::load(const StateDir& stateDir, std::optional<double> threshold,
                               std::optional<double> pollInterval, std::optional<NotifyMode> notify,
                               const Environment& environment) {
    TrackerConfig config = stateDir.readConfig();
    for (const auto& key : liveKeys()) {
        auto it = config.raw.find(key);
        if (it != config.raw.end() && !coerce(key, &it->second)) config.raw.erase(it);
    }
    if (auto it = environment.find("VAZ_ADODIVO_THRESHOLD"); it != environment.end()) {
        JSON text = it->second;
        if (auto value = JSONCoerce::toDouble(&text)) config.raw[Key::threshold] = *value;
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
        if (!number) return std::nullopt;
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
                       std::shared_ptr<DaemonLogger> log, JSONFile::OversizeHook oversize)
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

std::string LiveConfig::value(const std::string& key) const {
    if (key == Key::threshold) return NumberText::shortest(config_.threshold());
    if (key == Key::notify) return std::string(NotifyModes::text(notifyMode()));
    return config_.shellStopMode();
}

std::vector<ConfigChange> LiveConfig::reload() {
    JSONObject fresh = JSONFile::readObject(configPath_, oversize_).value_or(JSONObject{});
    std::vector<ConfigChange> changes;
    for (const auto& key : liveKeys()) {
        if (pinnedKeys_.count(key)) continue;
        const JSON* freshValue = JSONCoerce::member(fresh, key);
        if (!freshValue) continue;
        auto coerced = coerce(key, freshValue);
        if (!coerced) {
            log_->warning([&] {
                return "[reloadConfig] ignoring bad " + key + "=" + plainText(freshValue) + " in " + configPath_;
            });
            continue;
        }
        std::string previous = value(key);
        std::string shown = describe(*coerced);
        bool unchanged = key == Key::threshold ? coerced->get<double>() == config_.threshold() : previous == shown;
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
