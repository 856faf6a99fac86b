// State documents read from outside bytes: a session record, pause.json,
// last_thaw.json, config.json, request.json and usage_history.json, each
// through its lenient constructor.
// Properties: what a reader accepts is what the formats allow; whatever it
// accepts writes out, parses again and reads back equal; serialisation of
// any parsed object or array parses again to the same value.

#include <cmath>
#include <string>

#include "Core/JSONFile.hpp"
#include "Core/NotifyMode.hpp"
#include "Core/PauseRequest.hpp"
#include "Core/Records.hpp"
#include "Core/ShellStopMode.hpp"
#include "Core/TrackerConfig.hpp"
#include "Core/UsageHistory.hpp"
#include "Daemon/LiveConfig.hpp"
#include "FuzzCheck.hpp"

namespace tracker {
namespace {

using fuzz::literal;

bool allFinite(const JSON& value) {
    if (value.is_number_float()) return std::isfinite(value.get<double>());
    if (value.is_structured()) {
        for (const auto& element : value) {
            if (!allFinite(element)) return false;
        }
    }
    return true;
}

// serialize, or none when it threw notSerializable.
std::optional<std::string> serialized(const JSON& value) {
    try {
        return JSONFile::serialize(value);
    } catch (const JSONFileError& error) {
        FUZZ_CHECK(error.kind() == JSONFileError::Kind::notSerializable, error.what());
        return std::nullopt;
    }
}

// A pid member as the record format reads it: an integer above 0 after the
// integer coercion. Written from the format's rules, not from the coercion's code.
bool acceptablePID(const JSON* pid) {
    if (!pid) return false;
    if (pid->is_boolean()) return pid->get<bool>();
    if (pid->is_number_integer()) return pid->get<std::int64_t>() > 0;
    if (pid->is_number_unsigned()) return pid->get<std::uint64_t>() > 0 && pid->get<std::uint64_t>() <= INT64_MAX;
    if (pid->is_number_float()) {
        double d = pid->get<double>();
        return d >= 1 && d < 9223372036854775808.0;
    }
    if (!pid->is_string()) return false;
    const std::string& text = pid->get_ref<const std::string&>();
    std::size_t start = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
    if (start == text.size() || text.find_first_not_of("0123456789", start) != std::string::npos) return false;
    if (text[0] == '-') return false;
    std::string digits = text.substr(start);
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
    if (digits.empty()) return false;  // zero
    return digits.size() < 19 || (digits.size() == 19 && digits <= "9223372036854775807");
}

bool acceptableSessionID(const JSON* id) {
    if (!id) return false;
    if (id->is_string()) return !id->get_ref<const std::string&>().empty();
    return id->is_number() || id->is_boolean();
}

void checkRecord(const JSON& value, const std::string& input) {
    auto record = Record::fromJSON(&value, std::string("/state/sessions/x.json"));
    bool expected = value.is_object() && acceptableSessionID(JSONCoerce::member(value, "session_id")) &&
                    acceptablePID(JSONCoerce::member(value, "pid"));
    FUZZ_CHECK(record.has_value() == expected, literal(input));
    if (!record) return;
    FUZZ_CHECK(!record->sessionID.empty() && record->pid > 0, literal(input));
    FUZZ_CHECK(!record->parentShellPID || *record->parentShellPID > 0, literal(input));
    FUZZ_CHECK(record->path == std::string("/state/sessions/x.json"), literal(input));

    JSONObject written = record->toJSON();
    FUZZ_CHECK(written.size() == 10 && !written.count("path"), literal(input));
    auto bytes = serialized(written);
    FUZZ_CHECK(bytes.has_value() == (std::isfinite(record->ts) && allFinite(JSON(record->rateLimits))), literal(input));
    if (!bytes) return;
    auto again = JSONFile::parse(*bytes);
    FUZZ_CHECK(again && again->is_object(), *bytes);
    auto reread = Record::fromJSON(&*again);
    Record expectedRecord = *record;
    expectedRecord.path.reset();
    FUZZ_CHECK(reread && *reread == expectedRecord, literal(input) + "\nwritten as\n" + *bytes);
}

void checkPause(const JSON& value, const std::string& input) {
    auto pause = Pause::fromJSON(&value);
    bool expected = value.is_object() && JSONCoerce::toDouble(JSONCoerce::member(value, "resume_at")).has_value();
    FUZZ_CHECK(pause.has_value() == expected, literal(input));
    if (!pause) return;
    const JSON* targets = JSONCoerce::member(value, "targets");
    std::size_t listed = targets && targets->is_array() ? targets->size() : 0;
    FUZZ_CHECK(pause->targets.size() <= listed, literal(input));

    auto bytes = serialized(pause->toJSON());
    FUZZ_CHECK(bytes.has_value() == (std::isfinite(pause->pausedAt) && std::isfinite(pause->resumeAt)), literal(input));
    if (!bytes) return;
    auto again = JSONFile::parse(*bytes);
    FUZZ_CHECK(again.has_value(), *bytes);
    auto reread = Pause::fromJSON(&*again);
    FUZZ_CHECK(reread && *reread == *pause, literal(input) + "\nwritten as\n" + *bytes);
}

void checkLastThaw(const JSON& value, const std::string& input) {
    auto lastThaw = LastThaw::fromJSON(&value);
    FUZZ_CHECK(lastThaw.has_value() == value.is_object(), literal(input));
    if (!lastThaw) return;
    auto bytes = serialized(lastThaw->toJSON());
    FUZZ_CHECK(bytes.has_value() == (std::isfinite(lastThaw->thawedAt) && std::isfinite(lastThaw->previousResumeAt)),
               literal(input));
    if (!bytes) return;
    auto again = JSONFile::parse(*bytes);
    auto reread = LastThaw::fromJSON(again ? &*again : nullptr);
    FUZZ_CHECK(reread && *reread == *lastThaw, literal(input));
}

void checkRequest(const JSON& value, const std::string& input) {
    auto request = PauseRequest::fromJSON(&value);
    if (!request) return;
    // No end it gives lies behind now or beyond the longest pause.
    constexpr double now = 1.8e9;
    if (auto end = request->end(now)) FUZZ_CHECK(*end > now && *end <= now + PauseRequest::longest, literal(input));
    auto bytes = serialized(request->toJSON());
    if (!bytes) return;
    auto again = JSONFile::parse(*bytes);
    auto reread = PauseRequest::fromJSON(again ? &*again : nullptr);
    FUZZ_CHECK(reread && *reread == *request, literal(input) + "\nwritten as\n" + *bytes);
}

void checkUsageHistory(const JSON& value, const std::string& input) {
    auto history = UsageHistory::fromJSON(&value);
    if (!history) return;
    FUZZ_CHECK(history->samples().size() <= UsageHistory::capacity, literal(input));
    if (auto forecast = history->forecast(90)) {
        FUZZ_CHECK(!std::isnan(forecast->perHour) && forecast->over >= 60, literal(input));
    }
    auto bytes = serialized(history->toJSON());
    FUZZ_CHECK(bytes.has_value(), literal(input));
    auto again = JSONFile::parse(*bytes);
    auto reread = UsageHistory::fromJSON(again ? &*again : nullptr);
    FUZZ_CHECK(reread && reread->samples() == history->samples(), literal(input) + "\nwritten as\n" + *bytes);
}

bool sameNumber(double a, double b) {
    return a == b || (std::isnan(a) && std::isnan(b));
}

void checkConfig(const JSON& value, const std::string& input) {
    if (!value.is_object()) return;
    const TrackerConfig config = TrackerConfig::fromJSON(value.get<JSONObject>());
    // Every setting is one it can act on: what fromJSON could not use stands at its default, with a problem.
    FUZZ_CHECK(!config.displayCommand || !config.displayCommand->empty(), literal(input));
    FUZZ_CHECK(TrackerConfig::isThreshold(config.threshold), literal(input));
    FUZZ_CHECK(config.refreshInterval > 0, literal(input));
    for (double seconds : {config.staleAfter, config.maxFreeze})
        FUZZ_CHECK(std::isfinite(seconds) && seconds > 0, literal(input));
    for (double seconds : {config.grace, config.recordTTL})
        FUZZ_CHECK(std::isfinite(seconds) && seconds >= 0, literal(input));
    FUZZ_CHECK(
        config.pollInterval >= TrackerConfig::minPollInterval && config.pollInterval <= TrackerConfig::maxPollInterval,
        literal(input));
    FUZZ_CHECK(config.safePointWait >= 0 && config.safePointWait <= TrackerConfig::maxSafePointWait, literal(input));
    FUZZ_CHECK(config.thawSpacing >= 0 && config.thawSpacing <= TrackerConfig::maxThawSpacing, literal(input));
    for (const auto& problem : config.problems) {
        const JSON* written = JSONCoerce::member(value, problem.key);
        FUZZ_CHECK(written && *written == problem.value, literal(input) + " set aside " + problem.key);
    }
    // The document is kept as read: every key survives a read-modify-write.
    FUZZ_CHECK(config.document() == value.get<JSONObject>(), literal(input));

    // Written and read back, it reads the same.
    auto bytes = serialized(config.document());
    FUZZ_CHECK(bytes.has_value(), literal(input));
    auto again = JSONFile::parse(*bytes);
    FUZZ_CHECK(again && again->is_object(), *bytes);
    const TrackerConfig reread = TrackerConfig::fromJSON(again->get<JSONObject>());
    FUZZ_CHECK(reread.displayCommand == config.displayCommand && reread.notify == config.notify &&
                   reread.shellStopMode == config.shellStopMode && reread.refreshInterval == config.refreshInterval &&
                   sameNumber(reread.threshold, config.threshold) &&
                   sameNumber(reread.pollInterval, config.pollInterval) &&
                   sameNumber(reread.recordTTL, config.recordTTL) && sameNumber(reread.grace, config.grace) &&
                   reread.problems.size() == config.problems.size(),
               literal(input));
}

}  // namespace
}  // namespace tracker

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tracker;
    const std::string input(reinterpret_cast<const char*>(data), size);
    auto value = JSONFile::parse(input);
    if (!value) return 0;

    // Any parsed object or array serialises, and the text parses back to it.
    auto bytes = serialized(*value);
    FUZZ_CHECK(bytes.has_value() == value->is_structured(), fuzz::literal(input));
    if (bytes) {
        FUZZ_CHECK(!bytes->empty() && bytes->back() == '\n', *bytes);
        auto again = JSONFile::parse(*bytes);
        FUZZ_CHECK(again && *again == *value, fuzz::literal(input) + "\nwritten as\n" + *bytes);
        FUZZ_CHECK(JSONFile::serialize(*again) == *bytes, *bytes);
    }

    checkRecord(*value, input);
    checkPause(*value, input);
    checkLastThaw(*value, input);
    checkConfig(*value, input);
    checkRequest(*value, input);
    checkUsageHistory(*value, input);
    return 0;
}
