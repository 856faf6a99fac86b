#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Core/JSONFile.hpp"

namespace tracker {

// Format version written into every document; readers accept any value.
inline constexpr std::int64_t schemaVersion = 1;

// How a Claude process sits under its terminal, which decides what a freeze must stop.
enum class Shape {
    // No controlling terminal (started by setsid, a service, an IDE): stopping claude alone holds it.
    a,
    // The foreground job of an interactive shell (claude typed at a prompt). Stopped alone, the shell
    // would take the terminal back and print "Stopped"; so in shell-first mode the shell is stopped first.
    b,
    // The direct child of tmux (tmux new-session claude), no shell in between: tmux, not a shell, is what
    // would resume it.
    c,
    // On a terminal but none of the above, or not known (older records, a process that could not be read).
    unknown,
};

// "A", "B", "C" or "unknown".
const char* shapeText(Shape shape);
// Exactly one of the four texts, else none.
std::optional<Shape> parseShapeExact(const std::string& text);
// Never fails: anything but the four texts (case-sensitive) is unknown.
Shape parseShape(const std::optional<std::string>& text);

// A session id as logs and reports show it: its first 8 characters, control characters escaped, "?" for none.
std::string shortSessionID(const std::string& sessionID);

// One process a freeze stops.
struct Target {
    std::int64_t pid = 0;
    std::string pidStart;
    std::optional<std::int64_t> shellPID;
    Shape shape = Shape::unknown;
    std::string sessionID;
    // The process's start id ("pid_start_id", see Proc::startID); empty in older documents.
    std::string startID{};
    // The shell's start-time text and start id ("shell_pid_start", "shell_pid_start_id"), taken by the
    // daemon when it stops the shell, so that a thaw continues that shell and no later process with its pid.
    std::string shellStart{};
    std::string shellStartID{};

    JSONObject toJSON() const;
    // None when value is not an object or "pid" does not coerce.
    static std::optional<Target> fromJSON(const JSON* value);

    bool operator==(const Target&) const = default;
};

// Two reports of one usage window give its reset within this many seconds of each other; windows themselves
// are hours apart.
inline constexpr double sameWindowWithin = 60;

// One session record, as the tee writes it on every status-line refresh.
struct Record {
    std::string sessionID;
    std::int64_t pid = 0;
    double ts = 0;
    std::string pidStart;
    std::optional<std::int64_t> parentShellPID;
    Shape shape = Shape::unknown;
    bool exempt = false;
    std::string version;
    JSONObject rateLimits;
    std::int64_t schema = schemaVersion;
    // Where the record was read from; never written.
    std::optional<std::string> path;
    // The process's start id ("pid_start_id", see Proc::startID); empty in older records.
    std::string startID{};

    // "rate_limits" → "five_hour" / "seven_day" when they are objects.
    const JSONObject* fiveHour() const;
    const JSONObject* sevenDay() const;
    std::optional<double> usedPercentage() const;
    std::optional<double> resetsAt() const;
    Target target() const;

    JSONObject toJSON() const;
    // None unless value is an object with a non-empty "session_id" and a
    // "pid" above 0.
    static std::optional<Record> fromJSON(const JSON* value, std::optional<std::string> path = std::nullopt);

    bool operator==(const Record&) const = default;
};

// Content of "pause.json": sessions frozen and when they are to continue.
struct Pause {
    double pausedAt = 0;
    double resumeAt = 0;
    std::vector<Target> targets;
    std::string reason;
    std::string sourceSession;
    std::int64_t schema = schemaVersion;
    // A pause asked for with `tarnel pause`: when that part ends ("manual_until"), and the end the usage gave
    // or would give it ("usage_until"; none while the usage asks for no hold, and kept when the part asked
    // for ended first). Both absent in a pause that the usage alone made; resumeAt is the later of the two.
    std::optional<double> manualUntil{};
    std::optional<double> usageUntil{};
    // Sessions not held yet because they were streaming a reply: session id -> the time by which they are
    // held whether or not they reach a safe point ("waiting"; absent when none waits).
    std::map<std::string, double> waiting{};

    // The earliest end of a wait for a safe point, if any waits.
    std::optional<double> nextWaitEnd() const;

    JSONObject toJSON() const;
    // None unless value is an object whose "resume_at" coerces.
    static std::optional<Pause> fromJSON(const JSON* value);

    bool operator==(const Pause&) const = default;
};

// Content of "last_thaw.json".
struct LastThaw {
    double thawedAt = 0;
    double previousResumeAt = 0;

    JSONObject toJSON() const;
    // None only when value is not an object.
    static std::optional<LastThaw> fromJSON(const JSON* value);

    bool operator==(const LastThaw&) const = default;
};

}  // namespace tracker
