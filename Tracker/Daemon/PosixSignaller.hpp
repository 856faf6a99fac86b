#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Core/LogHook.hpp"
#include "Core/Signaller.hpp"

namespace tracker {

// Sends the real signals. A stop counts only when it holds: a parent such as tmux or screen resumes a
// stopped child at once, so after SIGSTOP the process is watched for a short while and a stop that is
// undone is reported as not delivered, with an error line naming the parent.
class PosixSignaller : public Signaller {
public:
    // How long a stopped process is watched; zero turns the check off (the stop then counts as sent).
    static constexpr std::chrono::milliseconds defaultHoldCheck{100};
    // How long a stop may take to happen at all (a busy machine, a process in uninterruptible sleep).
    static constexpr std::chrono::milliseconds stopSettleBound{1000};

    explicit PosixSignaller(LogHook log = {}, std::chrono::milliseconds holdCheck = defaultHoldCheck);

    // kill(pid, signal) for signallable pids (PIDRange); false without a system call outside that range.
    static bool send(std::int64_t pid, int signal);
    // Watches pid, just sent SIGSTOP: none when it is seen stopped and stays so for `bound`, else the reason
    // it does not hold ("it runs again (state S): its parent pid=... (tmux ...) resumed it").
    static std::optional<std::string> stopHoldFailure(std::int64_t pid, std::chrono::milliseconds bound);

    bool stop(std::int64_t pid) override;
    bool cont(std::int64_t pid) override;
    // Sends every stop first, then watches all of them at once.
    std::vector<bool> stopAll(const std::vector<std::int64_t>& pids) override;

private:
    LogHook log_;
    std::chrono::milliseconds holdCheck_;
};

}  // namespace tracker
