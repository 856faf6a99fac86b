#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Core/ProcessTable.hpp"
#include "Core/Records.hpp"

namespace tracker {

// The optional log hook of the signalling functions: one message per call, beginning with its level word
// ("error ", "warning "). Empty means no messages.
using SignalLog = std::function<void(const std::string&)>;

// The one way the daemon stops and continues processes, so that a test can put a recorder in its place.
// The abstract part is complete in this header: platform freezers derive from it without the daemon library.
class Signaller {
public:
    virtual ~Signaller() = default;

    // True when the process was stopped (and, for the real signallers, stays stopped).
    virtual bool stop(std::int64_t pid) = 0;
    // True when the continue was delivered.
    virtual bool cont(std::int64_t pid) = 0;

    // Whether this signaller's own mechanism holds pid stopped in a way the process list does not show
    // (a frozen cgroup shows its processes as sleeping); the sweep counts such a process as stopped.
    virtual bool isHeld(std::int64_t /*pid*/) { return false; }
    // Every process so held, by this run or an earlier one, ascending.
    virtual std::vector<std::int64_t> heldPIDs() { return {}; }
    // The last resort on the way out: continues everything this signaller stopped and still holds; how many.
    virtual int releaseAll() { return 0; }
};

// Sends the real signals. A stop counts only when it holds: a parent such as tmux or screen resumes a
// stopped child at once, so after SIGSTOP the process is watched for a short while and a stop that is
// undone is reported as not delivered, with an error line naming the parent.
class PosixSignaller : public Signaller {
public:
    // How long a stopped process is watched; zero turns the check off (the stop then counts as sent).
    static constexpr std::chrono::milliseconds defaultHoldCheck{100};
    // How long a stop may take to happen at all (a busy machine, a process in uninterruptible sleep).
    static constexpr std::chrono::milliseconds stopSettleBound{1000};

    explicit PosixSignaller(SignalLog log = {}, std::chrono::milliseconds holdCheck = defaultHoldCheck);

    // kill(pid, signal) for pids from 2 to 2147483647; false without a system call outside that range.
    static bool send(std::int64_t pid, int signal);
    // Watches pid, just sent SIGSTOP: none when it is seen stopped and stays so for `bound`, else the reason
    // it does not hold ("it runs again (state S): its parent pid=... (tmux ...) resumed it").
    static std::optional<std::string> stopHoldFailure(std::int64_t pid, std::chrono::milliseconds bound);

    bool stop(std::int64_t pid) override;
    bool cont(std::int64_t pid) override;

private:
    SignalLog log_;
    std::chrono::milliseconds holdCheck_;
};

// Records what it is asked to do and does nothing; every call reports success.
class DryRunSignaller : public Signaller {
public:
    // Hashable through the standard library's std::hash for enumerations.
    enum class Kind { stop, cont };
    struct Call {
        Kind kind = Kind::stop;
        std::int64_t pid = 0;
        bool operator==(const Call&) const = default;
    };

    // "stop" or "cont".
    static const char* kindText(Kind kind);
    // Exactly "stop" or "cont"; any other text gives none.
    static std::optional<Kind> kindFromText(const std::string& text);

    std::vector<Call> calls;

    bool stop(std::int64_t pid) override;
    bool cont(std::int64_t pid) override;
    void reset() { calls.clear(); }
};

// One signal tried: the process it was for, and whether it was delivered.
struct SignalResult {
    std::int64_t pid = 0;
    bool delivered = false;
    bool operator==(const SignalResult&) const = default;
};

// The pids a freeze stops, in order: the shell first and then claude for a shape-B target in "shell-first"
// mode with a shell pid above 0; claude alone otherwise.
std::vector<std::int64_t> freezeOrder(const Target& target, const std::string& shellStopMode);
// freezeOrder reversed, so a shell stopped first is continued last.
std::vector<std::int64_t> thawOrder(const Target& target, const std::string& shellStopMode);

// Whether pid still belongs to the process that started at pidStart. No table: true; empty pidStart: false.
bool verifyForSignal(const ProcessTable* table, std::int64_t pid, const std::string& pidStart);

// freezeOrder, after checking that a shell to be stopped still is claude's interactive-shell parent; when
// it is not, claude alone, with a warning saying why.
std::vector<std::int64_t> freezePIDs(const Target& target, const std::string& shellStopMode, const ProcessTable* table,
                                     const SignalLog& log);

// Stops one target's processes after verifying claude's identity; one result per process tried.
std::vector<SignalResult> freezeTarget(Signaller& signaller, const Target& target, const std::string& shellStopMode,
                                       const ProcessTable* table, const SignalLog& log);
// Continues one target's processes: claude only when its identity holds, the shell always.
std::vector<SignalResult> thawTarget(Signaller& signaller, const Target& target, const std::string& shellStopMode,
                                     const ProcessTable* table, const SignalLog& log);

}  // namespace tracker
