#pragma once

#include <cstdint>
#include <optional>
#include <string>

// What the system says about a process's surroundings, for a report that explains a set-up: an
// environment variable it was started with, the service unit it runs in, and how the daemon, running as
// this user, could hold it. Linux: /proc and the cgroup v2 hierarchy (Platform/linux/ProcessContext.cpp).
// Nothing here changes anything, throws or fails loudly: what cannot be read is none.
namespace tracker::ProcessContext {

// The value of name in the process's environment as it was started; none when unset or unreadable (a
// process of another user).
std::optional<std::string> environmentVariable(std::int64_t pid, const std::string& name);

// The service unit the process runs in ("tarnel-vovivida.service"), none outside one.
std::optional<std::string> serviceUnit(std::int64_t pid);

// How a hold of the process would be made by this user.
enum class HoldRoute {
    // The freezer in the process's own group, which this user may write.
    freezer,
    // The group is not this user's, but the user's service manager can move the process into a scope of
    // the user's own and the freezer works there.
    userScope,
    // Only a stop signal, which a terminal multiplexer or a shell undoes.
    signalOnly,
};
struct HoldOutlook {
    HoldRoute route = HoldRoute::signalOnly;
    // The group the freezer would use, or why no freezer can be used.
    std::string detail;
};
HoldOutlook holdOutlook(std::int64_t pid);

}  // namespace tracker::ProcessContext
