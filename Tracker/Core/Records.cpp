#include "Core/Records.hpp"

#include <cmath>
#include <utility>

#include "Core/Proc.hpp"
#include "Core/UTF8.hpp"

namespace tracker {

using JSONCoerce::member;

namespace {

JSON optionalInteger(const std::optional<std::int64_t>& value) {
    if (!value) return nullptr;
    return *value;
}

std::string textOr(const JSON* value, std::string fallback) {
    auto text = JSONCoerce::toString(value);
    return text ? *text : fallback;
}

const JSONObject* objectMember(const JSONObject& object, const std::string& key) {
    const JSON* value = member(object, key);
    if (!value || !value->is_object()) return nullptr;
    return &value->get_ref<const JSONObject&>();
}

}  // namespace

const char* shapeText(Shape shape) {
    switch (shape) {
        case Shape::a:
            return "A";
        case Shape::b:
            return "B";
        case Shape::c:
            return "C";
        case Shape::unknown:
            break;
    }
    return "unknown";
}

std::optional<Shape> parseShapeExact(const std::string& text) {
    for (Shape shape : {Shape::a, Shape::b, Shape::c, Shape::unknown}) {
        if (text == shapeText(shape)) return shape;
    }
    return std::nullopt;
}

Shape parseShape(const std::optional<std::string>& text) {
    return parseShapeExact(text.value_or("")).value_or(Shape::unknown);
}

std::string shortSessionID(const std::string& sessionID) {
    return sessionID.empty() ? "?" : UTF8::controlsEscaped(UTF8::firstCharacters(sessionID, 8));
}

// UsageWindow

const char* UsageWindows::name(UsageWindow window) {
    switch (window) {
        case UsageWindow::sevenDay:
            return "seven_day";
        case UsageWindow::spend:
            return "spend_limit";
        case UsageWindow::fiveHour:
            break;
    }
    return "five_hour";
}

std::optional<UsageWindow> UsageWindows::parse(std::string_view name) {
    for (UsageWindow window : all) {
        if (name == UsageWindows::name(window)) return window;
    }
    return std::nullopt;
}

const char* UsageWindows::described(UsageWindow window) {
    switch (window) {
        case UsageWindow::sevenDay:
            return "seven-day window";
        case UsageWindow::spend:
            return "spend limit";
        case UsageWindow::fiveHour:
            break;
    }
    return "five-hour window";
}

// Target

JSONObject Target::toJSON() const {
    JSONObject object{
        {"pid", pid},
        {"pid_start", pidStart},
        {"shell_pid", optionalInteger(shellPID)},
        {"shape", shapeText(shape)},
        {"session_id", sessionID},
    };
    if (!startID.empty()) object["pid_start_id"] = startID;
    if (!shellStart.empty()) object["shell_pid_start"] = shellStart;
    if (!shellStartID.empty()) object["shell_pid_start_id"] = shellStartID;
    return object;
}

std::optional<Target> Target::fromJSON(const JSON* value) {
    if (!value || !value->is_object()) return std::nullopt;
    const auto& object = value->get_ref<const JSONObject&>();
    auto pid = JSONCoerce::toInt(member(object, "pid"));
    if (!pid) return std::nullopt;
    Target target;
    target.pid = *pid;
    target.pidStart = textOr(member(object, "pid_start"), "");
    target.shellPID = JSONCoerce::optionalPID(member(object, "shell_pid"));
    target.shape = parseShape(JSONCoerce::toString(member(object, "shape")));
    target.sessionID = textOr(member(object, "session_id"), "");
    target.startID = ProcessStart::normalizedID(textOr(member(object, "pid_start_id"), ""));
    target.shellStart = textOr(member(object, "shell_pid_start"), "");
    target.shellStartID = ProcessStart::normalizedID(textOr(member(object, "shell_pid_start_id"), ""));
    return target;
}

// Record

const JSONObject* Record::fiveHour() const {
    return objectMember(rateLimits, "five_hour");
}

const JSONObject* Record::sevenDay() const {
    return objectMember(rateLimits, "seven_day");
}

std::optional<double> Record::usedPercentage() const {
    return usedPercentage(UsageWindow::fiveHour);
}

std::optional<double> Record::resetsAt() const {
    return resetsAt(UsageWindow::fiveHour);
}

std::optional<double> Record::figure(UsageWindow window, const std::string& key) const {
    const JSONObject* figures = objectMember(rateLimits, UsageWindows::name(window));
    if (!figures) return std::nullopt;
    return JSONCoerce::toDouble(member(*figures, key));
}

std::optional<double> Record::usedPercentage(UsageWindow window) const {
    return figure(window, "used_percentage");
}

std::optional<double> Record::resetsAt(UsageWindow window) const {
    return figure(window, "resets_at");
}

bool Record::hasFigures() const {
    for (UsageWindow window : UsageWindows::all) {
        if (usedPercentage(window)) return true;
    }
    return false;
}

Target Record::target() const {
    return Target{pid, pidStart, parentShellPID, shape, sessionID, startID};
}

JSONObject Record::toJSON() const {
    // Member by member: from an initializer list every value would be copied once more.
    JSONObject object;
    object.emplace("schema_version", schema);
    object.emplace("ts", JSONCoerce::stamp(ts));
    object.emplace("session_id", sessionID);
    object.emplace("pid", pid);
    object.emplace("pid_start", pidStart);
    object.emplace("parent_shell_pid", optionalInteger(parentShellPID));
    object.emplace("shape", shapeText(shape));
    object.emplace("exempt", exempt);
    object.emplace("version", version);
    object.emplace("rate_limits", rateLimits);
    if (!startID.empty()) object.emplace("pid_start_id", startID);
    if (fromHooks) object.emplace("source", "hook");
    return object;
}

std::optional<Record> Record::fromJSON(const JSON* value, std::optional<std::string> path) {
    if (!value || !value->is_object()) return std::nullopt;
    const auto& object = value->get_ref<const JSONObject&>();
    auto sessionID = JSONCoerce::toString(member(object, "session_id"));
    if (!sessionID || sessionID->empty()) return std::nullopt;
    auto pid = JSONCoerce::toInt(member(object, "pid"));
    if (!pid || *pid <= 0) return std::nullopt;

    Record record;
    record.sessionID = std::move(*sessionID);
    record.pid = *pid;
    record.schema = JSONCoerce::toInt(member(object, "schema_version")).value_or(schemaVersion);
    record.ts = JSONCoerce::toDouble(member(object, "ts")).value_or(0);
    record.pidStart = textOr(member(object, "pid_start"), "");
    record.parentShellPID = JSONCoerce::optionalPID(member(object, "parent_shell_pid"));
    record.shape = parseShape(JSONCoerce::toString(member(object, "shape")));
    record.exempt = JSONCoerce::toBool(member(object, "exempt"));
    record.version = textOr(member(object, "version"), "");
    if (const JSONObject* limits = objectMember(object, "rate_limits")) record.rateLimits = *limits;
    record.path = std::move(path);
    record.startID = ProcessStart::normalizedID(textOr(member(object, "pid_start_id"), ""));
    record.fromHooks = textOr(member(object, "source"), "") == "hook";
    return record;
}

// Pause

std::optional<double> Pause::usageUntil() const {
    auto part = usage.find(UsageWindow::fiveHour);
    if (part == usage.end()) return std::nullopt;
    return part->second.until;
}

std::string Pause::window() const {
    std::string latest = manualUntil ? "manual" : "";
    double end = manualUntil.value_or(-INFINITY);
    for (const auto& [window, hold] : usage) {
        if (latest.empty() || hold.until > end) {
            latest = UsageWindows::name(window);
            end = hold.until;
        }
    }
    return latest.empty() ? std::string(UsageWindows::name(UsageWindow::fiveHour)) : latest;
}

bool Pause::usageHolds(double now) const {
    for (const auto& [window, hold] : usage) {
        if (!hold.released && now < hold.until) return true;
    }
    return false;
}

void Pause::implyUsage() {
    if (!manualUntil && usage.empty()) usage[UsageWindow::fiveHour] = WindowHold{resumeAt, 0};
}

std::optional<double> Pause::nextWaitEnd() const {
    std::optional<double> earliest;
    for (const auto& [session, until] : waiting) {
        if (!earliest || until < *earliest) earliest = until;
    }
    return earliest;
}

JSONObject Pause::toJSON() const {
    JSONArray targetArray;
    targetArray.reserve(targets.size());
    for (const auto& target : targets) targetArray.emplace_back(target.toJSON());
    JSONObject object{
        {"schema_version", schema}, {"paused_at", pausedAt},           {"resume_at", resumeAt},
        {"reason", reason},         {"source_session", sourceSession}, {"targets", std::move(targetArray)},
    };
    if (!waiting.empty()) {
        JSONObject until;
        for (const auto& [session, deadline] : waiting) until[session] = deadline;
        object["waiting"] = std::move(until);
    }
    if (manualUntil) object["manual_until"] = *manualUntil;
    if (!usage.empty()) {
        JSONObject parts;
        for (const auto& [window, hold] : usage) {
            JSONObject part{{"until", hold.until}, {"resets_at", hold.resetsAt}};
            if (hold.released) part["released"] = true;
            parts[UsageWindows::name(window)] = std::move(part);
        }
        object["usage"] = std::move(parts);
    }
    if (auto until = usageUntil()) object["usage_until"] = *until;
    object["window"] = window();
    return object;
}

std::optional<Pause> Pause::fromJSON(const JSON* value) {
    if (!value || !value->is_object()) return std::nullopt;
    const auto& object = value->get_ref<const JSONObject&>();
    auto resumeAt = JSONCoerce::toDouble(member(object, "resume_at"));
    if (!resumeAt) return std::nullopt;

    Pause pause;
    pause.resumeAt = *resumeAt;
    pause.schema = JSONCoerce::toInt(member(object, "schema_version")).value_or(schemaVersion);
    pause.pausedAt = JSONCoerce::toDouble(member(object, "paused_at")).value_or(0);
    pause.reason = textOr(member(object, "reason"), "");
    pause.sourceSession = textOr(member(object, "source_session"), "");
    if (const JSON* targets = member(object, "targets"); targets && targets->is_array()) {
        for (const auto& element : *targets) {
            if (auto target = Target::fromJSON(&element)) pause.targets.push_back(std::move(*target));
        }
    }
    if (const JSONObject* waiting = objectMember(object, "waiting")) {
        for (const auto& [session, deadline] : *waiting) {
            // A wait without a usable end is over.
            auto until = JSONCoerce::toDouble(&deadline);
            if (until && std::isfinite(*until)) pause.waiting[session] = *until;
        }
    }
    auto finite = [&](const JSONObject& in, const char* key) -> std::optional<double> {
        auto at = JSONCoerce::toDouble(member(in, key));
        return at && std::isfinite(*at) ? at : std::nullopt;
    };
    pause.manualUntil = finite(object, "manual_until");
    if (const JSONObject* parts = objectMember(object, "usage")) {
        for (const auto& [name, part] : *parts) {
            auto window = UsageWindows::parse(name);
            if (!window || !part.is_object()) continue;
            auto until = finite(part.get_ref<const JSONObject&>(), "until");
            if (!until) continue;
            pause.usage[*window] =
                WindowHold{*until, finite(part.get_ref<const JSONObject&>(), "resets_at").value_or(0),
                           JSONCoerce::toBool(member(part.get_ref<const JSONObject&>(), "released"))};
        }
    } else if (auto until = finite(object, "usage_until")) {
        pause.usage[UsageWindow::fiveHour] = WindowHold{*until, 0};
    }
    pause.implyUsage();
    return pause;
}

// LastThaw

JSONObject LastThaw::toJSON() const {
    JSONObject object{
        {"thawed_at", thawedAt},
        {"previous_resume_at", previousResumeAt},
    };
    if (!done.empty()) {
        JSONObject windows;
        for (const auto& [window, resets] : done) windows[UsageWindows::name(window)] = resets;
        object["done"] = std::move(windows);
    }
    return object;
}

std::optional<LastThaw> LastThaw::fromJSON(const JSON* value) {
    if (!value || !value->is_object()) return std::nullopt;
    const auto& object = value->get_ref<const JSONObject&>();
    LastThaw lastThaw;
    lastThaw.thawedAt = JSONCoerce::toDouble(member(object, "thawed_at")).value_or(0);
    lastThaw.previousResumeAt = JSONCoerce::toDouble(member(object, "previous_resume_at")).value_or(0);
    if (const JSONObject* done = objectMember(object, "done")) {
        for (const auto& [name, resets] : *done) {
            auto window = UsageWindows::parse(name);
            auto at = JSONCoerce::toDouble(&resets);
            if (window && at && std::isfinite(*at)) lastThaw.done[*window] = *at;
        }
    }
    return lastThaw;
}

}  // namespace tracker
