#pragma once

#include <chrono>
#include <cstdint>
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
class CgroupFreezer : public Freezer {
public:
    static constexpr std::string_view groupPrefix = "tarnel-freeze-";
    static constexpr std::chrono::milliseconds defaultSettle{1000};

    // mount: the cgroup2 mount to work in (none: every freeze fails, saying so). settle: how long a freeze
    // may take to be reported as complete.
    explicit CgroupFreezer(LogHook log = {}, std::optional<CgroupV2::Mount> mount = CgroupV2::mount(),
                           std::chrono::milliseconds settle = defaultSettle);

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
    std::mutex mutex_;
    std::set<std::int64_t> frozenHere_;
};

}  // namespace tracker
