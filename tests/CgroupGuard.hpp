#pragma once

// Guards for tests that make cgroups or have the freezer make them: whatever a test leaves in the cgroup
// tree is thawed, emptied into the parent cgroup and removed when the guard goes away, also when the test
// fails half-way.

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Platform/linux/CgroupFreezer.hpp"
#include "Platform/linux/CgroupV2.hpp"

namespace tracker::test {

// Thaws a cgroup and everything below it, moves their processes into `into` and removes the directories.
inline void dismantleCgroup(const std::string& directory, const std::string& into) {
    if (DIR* dir = opendir(directory.c_str())) {
        std::vector<std::string> children;
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != ".." && entry->d_type == DT_DIR) children.push_back(directory + "/" + name);
        }
        closedir(dir);
        for (const auto& child : children) dismantleCgroup(child, into);
    } else {
        return;
    }
    CgroupV2::write(directory + "/cgroup.freeze", "0");
    for (int attempt = 0; attempt < 50; ++attempt) {
        for (auto pid : CgroupV2::processes(directory)) CgroupV2::write(into + "/cgroup.procs", std::to_string(pid));
        if (rmdir(directory.c_str()) == 0 || errno == ENOENT) return;
        usleep(10000);
    }
}

// The freezer's group for one process (the directory it will use, worked out before the freeze) is
// dismantled on destruction. Declare it after the process's own guard, so that it goes first.
class FreezeGroupGuard {
public:
    explicit FreezeGroupGuard(std::int64_t pid) {
        auto mount = CgroupV2::mount();
        if (!mount) return;
        auto directory = CgroupV2::directoryOf(*mount, pid);
        if (!directory) return;
        parent_ = *directory;
        group_ = parent_ + "/" + std::string(CgroupFreezer::groupPrefix) + std::to_string(pid);
    }
    ~FreezeGroupGuard() {
        if (!group_.empty()) dismantleCgroup(group_, parent_);
    }
    FreezeGroupGuard(const FreezeGroupGuard&) = delete;
    FreezeGroupGuard& operator=(const FreezeGroupGuard&) = delete;

    // Where the process sits now, and the group the freezer makes for it.
    const std::string& parent() const { return parent_; }
    const std::string& group() const { return group_; }

private:
    std::string parent_;
    std::string group_;
};

// A cgroup a test makes below the test's own cgroup, removed with everything in and below it.
class TestCgroup {
public:
    explicit TestCgroup(const std::string& name) {
        auto mount = CgroupV2::mount();
        if (!mount) return;
        auto own = CgroupV2::directoryOf(*mount, getpid());
        if (!own) return;
        parent_ = *own;
        std::string path = parent_ + "/" + name + "-" + std::to_string(getpid());
        if (mkdir(path.c_str(), 0755) == 0) path_ = path;
    }
    ~TestCgroup() {
        if (!path_.empty()) dismantleCgroup(path_, parent_);
    }
    TestCgroup(const TestCgroup&) = delete;
    TestCgroup& operator=(const TestCgroup&) = delete;

    bool made() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    // Hands the cgroup to a user the way systemd delegates a subtree: the directory and the files through
    // which processes and controllers are managed.
    bool delegateTo(uid_t uid, gid_t gid) const {
        bool ok = chown(path_.c_str(), uid, gid) == 0;
        for (const char* file : {"cgroup.procs", "cgroup.threads", "cgroup.subtree_control"}) {
            ok = chown((path_ + "/" + file).c_str(), uid, gid) == 0 && ok;
        }
        return ok;
    }
    bool add(std::int64_t pid) const { return CgroupV2::write(path_ + "/cgroup.procs", std::to_string(pid)) == 0; }

private:
    std::string parent_;
    std::string path_;
};

}  // namespace tracker::test
