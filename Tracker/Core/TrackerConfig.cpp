#include "Core/TrackerConfig.hpp"

#include <algorithm>
#include <cmath>

namespace tracker {

const JSON* TrackerConfig::lookup(const char* key) const {
    return JSONCoerce::member(raw, key);
}

double TrackerConfig::number(const char* key, double fallback) const {
    return JSONCoerce::toDouble(lookup(key)).value_or(fallback);
}

std::optional<std::string> TrackerConfig::displayCommand() const {
    auto text = JSONCoerce::toString(lookup(Key::displayCommand));
    if (!text || text->empty()) return std::nullopt;
    return text;
}

void TrackerConfig::setDisplayCommand(const std::optional<std::string>& command) {
    raw[Key::displayCommand] = command ? JSON(*command) : JSON(nullptr);
}

std::optional<JSON> TrackerConfig::previousStatusLine() const {
    const JSON* value = lookup(Key::previousStatusLine);
    if (!value || value->is_null()) return std::nullopt;
    return *value;
}

void TrackerConfig::setPreviousStatusLine(const std::optional<JSON>& value) {
    raw[Key::previousStatusLine] = value ? *value : JSON(nullptr);
}

bool TrackerConfig::hasPreviousStatusLineKey() const {
    return lookup(Key::previousStatusLine) != nullptr;
}

double TrackerConfig::threshold() const {
    double percent = number(Key::threshold, defaultThreshold);
    return isThreshold(percent) ? percent : defaultThreshold;
}

bool TrackerConfig::isThreshold(double percent) {
    return std::isfinite(percent) && percent >= 0 && percent <= 100;
}

double TrackerConfig::boundedPollInterval(double seconds) {
    if (!std::isfinite(seconds) || seconds <= 0) return defaultPollInterval;
    return std::clamp(seconds, minPollInterval, maxPollInterval);
}

void TrackerConfig::setThreshold(double percent) {
    raw[Key::threshold] = percent;
}

std::int64_t TrackerConfig::refreshInterval() const {
    return JSONCoerce::toInt(lookup(Key::refreshInterval)).value_or(defaultRefreshInterval);
}

void TrackerConfig::setRefreshInterval(std::int64_t seconds) {
    raw[Key::refreshInterval] = seconds;
}

std::string TrackerConfig::shellStopMode() const {
    return JSONCoerce::toString(lookup(Key::shellStopMode)).value_or(defaultShellStopMode);
}

void TrackerConfig::setShellStopMode(const std::string& mode) {
    raw[Key::shellStopMode] = mode;
}

std::optional<std::string> TrackerConfig::notify() const {
    return JSONCoerce::toString(lookup(Key::notify));
}

void TrackerConfig::setNotify(const std::optional<std::string>& mode) {
    raw[Key::notify] = mode ? JSON(*mode) : JSON(nullptr);
}

double TrackerConfig::staleAfter() const {
    return number(Key::staleAfter, defaultStaleAfter);
}
double TrackerConfig::grace() const {
    return number(Key::grace, defaultGrace);
}
double TrackerConfig::maxFreeze() const {
    return number(Key::maxFreeze, defaultMaxFreeze);
}
double TrackerConfig::pollInterval() const {
    return number(Key::pollInterval, defaultPollInterval);
}
double TrackerConfig::recordTTL() const {
    return number(Key::recordTTL, defaultRecordTTL);
}

bool TrackerConfig::isSafePointWait(double seconds) {
    return seconds >= 0 && seconds <= maxSafePointWait;
}
bool TrackerConfig::isThawSpacing(double seconds) {
    return seconds >= 0 && seconds <= maxThawSpacing;
}
double TrackerConfig::safePointWait() const {
    auto value = JSONCoerce::toDouble(lookup(Key::safePointWait));
    return value && isSafePointWait(*value) ? *value : defaultSafePointWait;
}
double TrackerConfig::thawSpacing() const {
    auto value = JSONCoerce::toDouble(lookup(Key::thawSpacing));
    return value && isThawSpacing(*value) ? *value : defaultThawSpacing;
}

}  // namespace tracker
