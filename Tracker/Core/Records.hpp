#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
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

// A limit of the account that a hold may be for: the five-hour window, the seven-day window, and the spend
// limit of extra usage. Each is a member of the status line's "rate_limits" with "used_percentage" and
// "resets_at".
enum class UsageWindow { fiveHour, sevenDay, spend };

namespace UsageWindows {
inline constexpr UsageWindow all[] = {UsageWindow::fiveHour, UsageWindow::sevenDay, UsageWindow::spend};
// Its member of "rate_limits", and its name in pause.json: "five_hour", "seven_day", "spend_limit".
const char* name(UsageWindow window);
std::optional<UsageWindow> parse(std::string_view name);
// As people read it: "five-hour window", "seven-day window", "spend limit".
const char* described(UsageWindow window);
}  // namespace UsageWindows

// The part of a pause that one usage window holds: until when, and which window it held for (its reset), so
// that the same window is never held for twice.
struct WindowHold {
    double until = 0;
    // 0 where it is not known (a pause of an earlier version).
    double resetsAt = 0;
    // Ended early, with `tarnel resume --usage`: the window is not held for again.
    bool released = false;
    bool operator==(const WindowHold&) const = default;
};

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
    // Written by the session's hooks, not its status line ("source": "hook"): a session without our status
    // line (a `claude -p` run, another tool's line), held with the others all the same.
    bool fromHooks = false;

    // "rate_limits" → "five_hour" / "seven_day" when they are objects.
    const JSONObject* fiveHour() const;
    const JSONObject* sevenDay() const;
    // The five-hour window's figures.
    std::optional<double> usedPercentage() const;
    std::optional<double> resetsAt() const;
    // A window's figures, when its member of "rate_limits" is an object that has them.
    std::optional<double> usedPercentage(UsageWindow window) const;
    // A member of the window's figures ("used_usd", "limit_usd" of the spend limit), as a number.
    std::optional<double> figure(UsageWindow window, const std::string& key) const;
    std::optional<double> resetsAt(UsageWindow window) const;
    // Whether the record carries a figure of any window (an API-key login sends none; a session registered by
    // its hooks alone has none yet).
    bool hasFigures() const;
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
    // A pause asked for with `tarnel pause`: when that part ends ("manual_until").
    std::optional<double> manualUntil{};
    // The parts the usage holds, by window ("usage"; the five-hour part's end also as "usage_until", as earlier
    // versions wrote it), kept once over too. resumeAt is the latest end of all parts. A pause of an earlier
    // version without either holds for the five-hour window until resumeAt.
    std::map<UsageWindow, WindowHold> usage{};
    // Sessions not held yet because they were streaming a reply: session id -> the time by which they are
    // held whether or not they reach a safe point ("waiting"; absent when none waits).
    std::map<std::string, double> waiting{};

    // The earliest end of a wait for a safe point, if any waits.
    std::optional<double> nextWaitEnd() const;
    // The five-hour part's end, if the pause has one.
    std::optional<double> usageUntil() const;
    // The part whose end is the latest: "manual" or a window's name ("window" in pause.json).
    std::string window() const;
    // Whether a usage window holds it at now (a part that has not ended and was not released).
    bool usageHolds(double now) const;
    // A pause with neither a part asked for nor a usage part is the usage's, for the five-hour window until
    // resumeAt (as earlier versions wrote it): gives it that part.
    void implyUsage();

    JSONObject toJSON() const;
    // None unless value is an object whose "resume_at" coerces.
    static std::optional<Pause> fromJSON(const JSON* value);

    bool operator==(const Pause&) const = default;
};

// Content of "last_thaw.json".
struct LastThaw {
    double thawedAt = 0;
    // The end of the five-hour part of the pause that ended.
    double previousResumeAt = 0;
    // Windows whose hold is over for good, by their reset ("done"): the seven-day window and the spend limit
    // held to their reset or until max, and any window ended with `tarnel resume --usage`.
    std::map<UsageWindow, double> done{};

    JSONObject toJSON() const;
    // None only when value is not an object.
    static std::optional<LastThaw> fromJSON(const JSON* value);

    bool operator==(const LastThaw&) const = default;
};

}  // namespace tracker
