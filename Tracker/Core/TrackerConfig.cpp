#include "Core/TrackerConfig.hpp"

#include <algorithm>
#include <cmath>

#include "Core/NumberText.hpp"

namespace tracker {

namespace {

// A number of seconds a setting may hold, and what the others are told.
struct Seconds {
    const char* key;
    double TrackerConfig::*field;
    double lowest;
    bool lowestAllowed;
    double highest;
};

std::string rangeText(const Seconds& seconds) {
    if (std::isinf(seconds.highest)) {
        return std::string(seconds.lowestAllowed ? "not a number of seconds from " : "not a number of seconds above ") +
               NumberText::shortest(seconds.lowest);
    }
    return "not a number of seconds from " + NumberText::shortest(seconds.lowest) + " to " +
           NumberText::shortest(seconds.highest);
}

}  // namespace

std::string TrackerConfig::Problem::text() const {
    return key + " " + value.dump() + ": " + why + " - using " + instead;
}

std::optional<double> TrackerConfig::thresholdFor(UsageWindow window) const {
    switch (window) {
        case UsageWindow::sevenDay:
            return weeklyThreshold;
        case UsageWindow::spend:
            return spendThreshold;
        case UsageWindow::fiveHour:
            break;
    }
    return threshold;
}

std::optional<double> TrackerConfig::maxFreezeFor(UsageWindow window) const {
    switch (window) {
        case UsageWindow::sevenDay:
            return weeklyMaxFreeze;
        case UsageWindow::spend:
            return std::nullopt;
        case UsageWindow::fiveHour:
            break;
    }
    return maxFreeze;
}

bool TrackerConfig::isThreshold(double percent) {
    return std::isfinite(percent) && percent >= 0 && percent <= 100;
}

double TrackerConfig::boundedPollInterval(double seconds) {
    if (!std::isfinite(seconds) || seconds <= 0) return defaultPollInterval;
    return std::clamp(seconds, minPollInterval, maxPollInterval);
}

TrackerConfig TrackerConfig::fromJSON(JSONObject document) {
    TrackerConfig config;
    auto present = [&](const char* key) -> const JSON* {
        const JSON* value = JSONCoerce::member(document, key);
        return value && !value->is_null() ? value : nullptr;
    };
    auto setAside = [&](const char* key, const JSON& value, std::string why, std::string instead) {
        config.problems.push_back(Problem{key, value, std::move(why), std::move(instead)});
    };

    if (const JSON* value = present(Key::displayCommand)) {
        if (auto text = JSONCoerce::toString(value)) {
            if (!text->empty()) config.displayCommand = *text;
        } else {
            setAside(Key::displayCommand, *value, "not a command", "none");
        }
    }
    if (const JSON* value = present(Key::threshold)) {
        auto percent = JSONCoerce::toDouble(value);
        if (percent && isThreshold(*percent)) {
            config.threshold = *percent;
        } else {
            setAside(Key::threshold, *value, "not a percentage from 0 to 100", NumberText::shortest(defaultThreshold));
        }
    }
    if (const JSON* value = present(Key::refreshInterval)) {
        auto seconds = JSONCoerce::toInt(value);
        if (seconds && *seconds > 0) {
            config.refreshInterval = *seconds;
        } else {
            setAside(Key::refreshInterval, *value, "not a whole number of seconds above 0",
                     std::to_string(defaultRefreshInterval));
        }
    }
    if (const JSON* value = present(Key::shellStopMode)) {
        auto text = JSONCoerce::toString(value);
        auto mode = text ? ShellStopModes::parse(*text) : std::nullopt;
        if (mode) {
            config.shellStopMode = *mode;
        } else {
            setAside(Key::shellStopMode, *value, "not shell-first or claude-only",
                     std::string(ShellStopModes::text(defaultShellStopMode)));
        }
    }
    if (const JSON* value = present(Key::notify)) {
        auto text = JSONCoerce::toString(value);
        auto mode = text ? NotifyModes::parse(*text) : std::nullopt;
        if (mode) {
            config.notify = *mode;
        } else {
            setAside(Key::notify, *value, "not desktop, app or off",
                     std::string(NotifyModes::text(NotifyModes::defaultMode)));
        }
    }

    static const Seconds seconds[] = {
        {Key::staleAfter, &TrackerConfig::staleAfter, 0, false, INFINITY},
        {Key::grace, &TrackerConfig::grace, 0, true, INFINITY},
        {Key::maxFreeze, &TrackerConfig::maxFreeze, 0, false, INFINITY},
        {Key::pollInterval, &TrackerConfig::pollInterval, 0, false, INFINITY},
        {Key::recordTTL, &TrackerConfig::recordTTL, 0, true, INFINITY},
        {Key::safePointWait, &TrackerConfig::safePointWait, 0, true, maxSafePointWait},
        {Key::thawSpacing, &TrackerConfig::thawSpacing, 0, true, maxThawSpacing},
    };
    for (const Seconds& setting : seconds) {
        const JSON* value = present(setting.key);
        if (!value) continue;
        auto number = JSONCoerce::toDouble(value);
        const bool usable = number && std::isfinite(*number) && *number <= setting.highest &&
                            (*number > setting.lowest || (setting.lowestAllowed && *number == setting.lowest));
        if (!usable) {
            setAside(setting.key, *value, rangeText(setting), NumberText::shortest(config.*setting.field));
            continue;
        }
        config.*setting.field = *number;
    }
    // The seven-day window and the spend limit: a percentage, or 100 or "off" for no hold at all.
    for (auto [key, field] : {std::pair{Key::weeklyThreshold, &TrackerConfig::weeklyThreshold},
                              std::pair{Key::spendThreshold, &TrackerConfig::spendThreshold}}) {
        const JSON* value = present(key);
        if (!value) continue;
        auto text = value->is_string() ? std::optional<std::string>(value->get<std::string>()) : std::nullopt;
        auto percent = JSONCoerce::toDouble(value);
        if (text == "off" || (percent && *percent == 100)) {
            config.*field = std::nullopt;
        } else if (percent && isThreshold(*percent)) {
            config.*field = *percent;
        } else {
            setAside(key, *value, "not a percentage from 0 to 100, nor off",
                     config.*field ? NumberText::shortest(*(config.*field)) : std::string("off"));
        }
    }
    if (const JSON* value = present(Key::weeklyMaxFreeze)) {
        auto seconds = JSONCoerce::toDouble(value);
        if (seconds && std::isfinite(*seconds) && *seconds > 0) {
            config.weeklyMaxFreeze = *seconds;
        } else {
            setAside(Key::weeklyMaxFreeze, *value, "not a number of seconds above 0", "the window's reset");
        }
    }
    if (const JSON* value = present(Key::warnBefore)) {
        auto points = JSONCoerce::toDouble(value);
        if (points && std::isfinite(*points) && *points >= 0 && *points <= 100) {
            config.warnBefore = *points;
        } else {
            setAside(Key::warnBefore, *value, "not a number of points from 0 to 100",
                     NumberText::shortest(defaultWarnBefore));
        }
    }
    // Polling faster spins a core, slower leaves the end of a hold unchecked.
    if (const double bounded = boundedPollInterval(config.pollInterval); bounded != config.pollInterval) {
        setAside(Key::pollInterval, *present(Key::pollInterval),
                 "not a number of seconds from " + NumberText::shortest(minPollInterval) + " to " +
                     NumberText::shortest(maxPollInterval),
                 NumberText::shortest(bounded));
        config.pollInterval = bounded;
    }
    config.document_ = std::move(document);
    return config;
}

}  // namespace tracker
