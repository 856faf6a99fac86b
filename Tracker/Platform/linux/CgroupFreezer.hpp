#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Freezer.hpp"
#include "Platform/linux/CgroupV2.hpp"

namespace tracker {

// Holds a process with the cgroup v2 freezer, which its parent can neither see nor undo. The process gets a
// child cgroup of its own cgroup, named after it ("tarnel-freeze-<pid>"); it is moved there and the child is
// frozen. Continuing unfreezes the child, moves the process (and anything it started meanwhile) back and
// removes the child. All state lives in the cgroup tree, so a later run finds and releases what an earlier
// one froze.
//
// Where the process's own cgroup belongs to someone else (an SSH login's session scope belongs to root), the
// process is first moved, alone, into a scope of the user's own service manager (UserScope), and its child
// group is made there. The process stays in that scope after the thaw: it cannot go back into a group its
// user may not write, and the scope ends by itself when its last process does. A child group inside the scope,
// rather than the scope's own cgroup.freeze, keeps one way of freezing, finding and releasing for both cases,
// and leaves the scope (and whatever the process starts after the thaw) untouched by anything we undo.
class CgroupFreezer : public Freezer {
public:
    static constexpr std::string_view groupPrefix = "tarnel-freeze-";
    static constexpr std::chrono::milliseconds defaultSettle{1000};

    // Moves pid into a cgroup of its own that this user may write; that group's path ("/user.slice/..."), or
    // none with the reason in *whyNot.
    using Relocator = std::function<std::optional<std::string>(std::int64_t pid, std::string* whyNot)>;
    // The user's own service manager's scope "tarnel-<pid>.scope" (UserScope::move).
    static Relocator userScope();

    // mount: the cgroup2 mount to work in (none: every freeze fails, saying so). settle: how long a freeze
    // may take to be reported as complete. relocate: where a process goes whose cgroup this user may not
    // write (none: such a process cannot be frozen).
    explicit CgroupFreezer(LogHook log = {}, std::optional<CgroupV2::Mount> mount = CgroupV2::mount(),
                           std::chrono::milliseconds settle = defaultSettle, Relocator relocate = userScope());

    Attempt freeze(std::int64_t pid) override;
    // freeze, with an error line giving the reason when it cannot.
    bool stop(std::int64_t pid) override;
    // Releases pid when it sits in one of our groups; false when it does not (nothing of ours to continue).
    bool cont(std::int64_t pid) override;
    // Whether pid sits in one of our groups and that group is frozen.
    bool isHeld(std::int64_t pid) override;
    // The processes of every frozen group of ours anywhere in the tree, ascending.
    std::vector<std::int64_t> heldPIDs() override;
    // Releases what this instance froze; then removes our groups that are no longer needed. How many released.
    int releaseAll() override;
    // removeUnused.
    void tidy() override { removeUnused(); }

    // Every group of ours in the tree (directories).
    std::vector<std::string> groups() const;
    // Removes our groups that are empty and whose process is gone; how many.
    int removeUnused();
    // Whether a directory name is one of our groups: the prefix and a decimal pid.
    static bool isGroupName(std::string_view name);
    const std::optional<CgroupV2::Mount>& mount() const { return mount_; }

private:
    // Freezes pid in a new child group of directory, the cgroup it sits in. *denied: whether the child could
    // not be made for want of permission (so another place may be tried).
    Attempt freezeIn(const std::string& directory, std::int64_t pid, bool* denied);
    // The group of ours pid sits in, or none.
    std::optional<std::string> groupOf(std::int64_t pid) const;
    bool frozenFlag(const std::string& group) const;
    bool waitForFrozen(const std::string& group) const;
    // Unfreezes a group, moves its processes to its parent and removes it; false when it cannot be unfrozen.
    bool release(const std::string& group);
    void emit(const std::string& message) const;

    LogHook log_;
    std::optional<CgroupV2::Mount> mount_;
    std::chrono::milliseconds settle_;
    Relocator relocate_;
    std::mutex mutex_;
    std::set<std::int64_t> frozenHere_;
};

}  // namespace tracker
