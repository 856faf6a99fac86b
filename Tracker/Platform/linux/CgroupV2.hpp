#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tracker {

// The unified (v2) cgroup hierarchy as this system mounts it (at /sys/fs/cgroup, or at
// /sys/fs/cgroup/unified beside the v1 controllers), and the files of its cgroups. Reading never fails:
// anything missing or unreadable is none or empty.
struct CgroupV2 {
    // Where the hierarchy is mounted, and which of its cgroups the mount shows at that place ("/" unless
    // only a part of the tree is mounted).
    struct Mount {
        std::string path;
        std::string root = "/";
        bool operator==(const Mount&) const = default;
    };

    // The first cgroup2 mount in the text of /proc/<pid>/mountinfo; none when there is none.
    static std::optional<Mount> mountIn(std::string_view mountinfo);
    // This process's view of the mount.
    static std::optional<Mount> mount();

    // The cgroup path of the "0::" line of the text of /proc/<pid>/cgroup ("/user.slice/..."); none without
    // such a line or for a path that is not absolute.
    static std::optional<std::string> pathIn(std::string_view procCgroup);
    static std::optional<std::string> pathOf(std::int64_t pid);
    // The directory of a cgroup path under the mount; none when the mount does not show it.
    static std::optional<std::string> directoryFor(const Mount& mount, const std::string& path);
    static std::optional<std::string> directoryOf(const Mount& mount, std::int64_t pid);

    // The processes listed in a cgroup's cgroup.procs, in the file's order.
    static std::vector<std::int64_t> processes(const std::string& directory);
    // A small file read whole.
    static std::optional<std::string> read(const std::string& path);
    // Writes text to an existing cgroup file with one write call: 0, or the errno of the failure.
    static int write(const std::string& path, const std::string& text);
    // The value of key in a flat keyed file ("populated 1\nfrozen 0\n").
    static std::optional<std::string> keyedValue(std::string_view text, std::string_view key);
};

}  // namespace tracker
