#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tracker {

// What the scheduler says a process is doing.
enum class RunState {
    running,
    sleeping,
    // In an uninterruptible wait (a disk, a driver).
    waiting,
    // Stopped by a signal (SIGSTOP, Ctrl-Z).
    stopped,
    // Stopped by a tracer.
    traced,
    // Exited, not yet reaped.
    zombie,
    dead,
    idle,
    unknown,
};

namespace RunStates {
// The letter ps shows for it: R, S, D, T, t, Z, X, I, or '?'.
char letter(RunState state);
}  // namespace RunStates

// When a process started, which tells it from a later process with the same pid.
struct ProcessStart {
    // The kernel's identity of the start, "<boot id>:<clock ticks since boot>": no clock step or time zone
    // changes it. Empty where the system does not tell.
    std::string id;
    // The start in whole seconds since the epoch; none where the system does not tell.
    std::optional<std::int64_t> seconds;

    bool known() const { return !id.empty() || seconds.has_value(); }
    // The start as people read it, and as every document has stored it ("pid_start"): 24 characters of
    // local time with English names, "Tue Dec  8 01:16:34 2026". Empty when the time is not known.
    std::string text() const;
    // Whether a start that a document stored (its text and its id, either may be empty) is this one: by the
    // ids where both have one, else by the texts (compared trimmed; an empty stored text never matches).
    bool matches(std::string_view storedText, std::string_view storedID) const;

    // A start id as documents store it, without the white space (the line break of the boot id) that documents
    // of earlier versions carried in it.
    static std::string normalizedID(std::string_view stored);

    bool operator==(const ProcessStart&) const = default;
};

// ctime's text without its line break for a time in seconds since the epoch, in local time; empty when it
// cannot be shown.
std::string startTimeText(std::int64_t secondsSinceEpoch);

// One process as the platform describes it, typed where it is read; turned into text only for people and
// for stored documents.
struct Proc {
    std::int64_t pid = 0;
    std::int64_t ppid = 0;
    RunState state = RunState::unknown;
    // In the foreground process group of its controlling terminal.
    bool foreground = false;
    // The controlling terminal's device; none without one.
    std::optional<std::uint64_t> terminal;
    ProcessStart start;
    // The command line as people read it: the arguments joined by blanks, what would not print shown as "?".
    std::string command;
    // The real user id; -1 where the system does not tell.
    std::int64_t uid = -1;

    bool stopped() const { return state == RunState::stopped; }
    bool hasTerminal() const { return terminal.has_value(); }

    bool operator==(const Proc&) const = default;
};

}  // namespace tracker
