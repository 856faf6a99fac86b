#include "Platform/linux/CgroupFreezer.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

#include "Core/PIDRange.hpp"
#include "Platform/ProcessState.hpp"
#include "Platform/UserScope.hpp"

namespace tracker {

namespace {

constexpr int deepestWalk = 64;

std::string reasonFor(int error) {
    return std::system_category().message(error);
}

std::string parentOf(const std::string& directory) {
    return directory.substr(0, directory.rfind('/'));
}

std::string baseName(const std::string& directory) {
    return directory.substr(directory.rfind('/') + 1);
}

std::string trimmedLine(std::optional<std::string> text) {
    std::string value = text.value_or("");
    while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
    return value;
}

bool processAlive(std::int64_t pid) {
    auto state = ProcessState::of(pid);
    return state && !ProcessState::isGone(*state);
}

void collectGroups(const std::string& directory, int depth, std::vector<std::string>& found) {
    if (depth > deepestWalk) return;
    DIR* dir = opendir(directory.c_str());
    if (!dir) return;
    std::vector<std::string> children;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        bool isDirectory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat info {};
            isDirectory = fstatat(dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
        }
        if (isDirectory) children.push_back(name);
    }
    closedir(dir);
    std::sort(children.begin(), children.end());
    for (const auto& name : children) {
        std::string path = directory + "/" + name;
        // Our groups have no children of their own.
        if (CgroupFreezer::isGroupName(name))
            found.push_back(path);
        else
            collectGroups(path, depth + 1, found);
    }
}

}  // namespace

std::unique_ptr<Freezer> Freezer::make(LogHook log) {
    return std::make_unique<CgroupFreezer>(std::move(log));
}

CgroupFreezer::Relocator CgroupFreezer::userScope() {
    return [](std::int64_t pid, std::string* whyNot) { return UserScope::move(pid, UserScope::nameFor(pid), whyNot); };
}

CgroupFreezer::CgroupFreezer(LogHook log, std::optional<CgroupV2::Mount> mount, std::chrono::milliseconds settle,
                             Relocator relocate)
    : log_(std::move(log)), mount_(std::move(mount)), settle_(settle), relocate_(std::move(relocate)) {}

bool CgroupFreezer::isGroupName(std::string_view name) {
    if (name.size() <= groupPrefix.size() || name.substr(0, groupPrefix.size()) != groupPrefix) return false;
    auto digits = name.substr(groupPrefix.size());
    return digits.size() <= 10 &&
           std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void CgroupFreezer::emit(const std::string& message) const {
    if (log_) log_(message);
}

std::optional<std::string> CgroupFreezer::groupOf(std::int64_t pid) const {
    if (!mount_) return std::nullopt;
    auto directory = CgroupV2::directoryOf(*mount_, pid);
    if (!directory || *directory == mount_->path || !isGroupName(baseName(*directory))) return std::nullopt;
    return directory;
}

bool CgroupFreezer::frozenFlag(const std::string& group) const {
    return trimmedLine(CgroupV2::read(group + "/cgroup.freeze")) == "1";
}

bool CgroupFreezer::waitForFrozen(const std::string& group) const {
    auto deadline = std::chrono::steady_clock::now() + settle_;
    for (;;) {
        auto events = CgroupV2::read(group + "/cgroup.events");
        if (events && CgroupV2::keyedValue(*events, "frozen") == "1") return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

Freezer::Attempt CgroupFreezer::freeze(std::int64_t pid) {
    if (!PIDRange::signallable(pid)) return {false, "pid out of range"};
    if (!mount_) return {false, "no cgroup2 file system is mounted"};
    auto current = CgroupV2::directoryOf(*mount_, pid);
    if (!current) {
        return {false, processAlive(pid) ? "its cgroup cannot be read" : "no such process"};
    }
    std::lock_guard lock(mutex_);

    // Already in a group of ours (an earlier run froze it, or froze and could not move it back): freeze
    // that group again.
    if (*current != mount_->path && isGroupName(baseName(*current))) {
        if (int error = CgroupV2::write(*current + "/cgroup.freeze", "1")) {
            return {false, "cannot write " + *current + "/cgroup.freeze: " + reasonFor(error)};
        }
        if (!waitForFrozen(*current)) {
            CgroupV2::write(*current + "/cgroup.freeze", "0");
            return {false, *current + " did not report frozen within " + std::to_string(settle_.count()) + " ms"};
        }
        frozenHere_.insert(pid);
        return {true, {}, *current + "/cgroup.freeze"};
    }

    bool denied = false;
    auto attempt = freezeIn(*current, pid, &denied);
    if (attempt.held || !denied) return attempt;
    if (!relocate_) return attempt;

    // Its cgroup is not this user's: the user's own manager gives it one that is.
    std::string whyNotMoved;
    auto moved = relocate_(pid, &whyNotMoved);
    if (!moved) return {false, attempt.whyNot + "; no cgroup of the user's own either: " + whyNotMoved};
    auto directory = CgroupV2::directoryFor(*mount_, *moved);
    if (!directory) return {false, attempt.whyNot + "; its new cgroup " + *moved + " is not under " + mount_->path};
    attempt = freezeIn(*directory, pid, &denied);
    if (!attempt.held) return {false, "moved into " + *moved + ", but " + attempt.whyNot};
    emit("[signal] cgroup freeze pid=" + std::to_string(pid) + " ok (user scope " + baseName(*moved) +
         ": its own cgroup " + *current + " is not the user's)");
    return attempt;
}

Freezer::Attempt CgroupFreezer::freezeIn(const std::string& directory, std::int64_t pid, bool* denied) {
    // A cgroup that hands controllers down to its children holds no processes itself (the root excepted),
    // so a process cannot sit beside such children; say so plainly rather than through a refused move.
    if (directory != mount_->path) {
        std::string delegated = trimmedLine(CgroupV2::read(directory + "/cgroup.subtree_control"));
        if (!delegated.empty()) {
            return {false, "cgroup " + directory + " enables controllers for its children (" + delegated + ")"};
        }
    }

    std::string group = directory + "/" + std::string(groupPrefix) + std::to_string(pid);
    bool created = mkdir(group.c_str(), 0755) == 0;
    if (!created && errno != EEXIST) {
        *denied = errno == EACCES || errno == EPERM;
        return {false, "cannot create " + group + ": " + reasonFor(errno)};
    }
    auto undo = [&] {
        for (auto member : CgroupV2::processes(group)) {
            CgroupV2::write(directory + "/cgroup.procs", std::to_string(member));
        }
        CgroupV2::write(group + "/cgroup.freeze", "0");
        rmdir(group.c_str());
    };
    if (int error = CgroupV2::write(group + "/cgroup.procs", std::to_string(pid))) {
        undo();
        return {false, "cannot move it into " + group + ": " + reasonFor(error)};
    }
    if (int error = CgroupV2::write(group + "/cgroup.freeze", "1")) {
        undo();
        return {false, "cannot write " + group + "/cgroup.freeze: " + reasonFor(error)};
    }
    if (!waitForFrozen(group)) {
        undo();
        return {false, group + " did not report frozen within " + std::to_string(settle_.count()) + " ms"};
    }
    frozenHere_.insert(pid);
    return {true, {}, group + "/cgroup.freeze"};
}

bool CgroupFreezer::stop(std::int64_t pid) {
    auto attempt = freeze(pid);
    if (!attempt.held) {
        emit("error [signal] cgroup freeze of pid " + std::to_string(pid) + " failed - " + attempt.whyNot);
    }
    return attempt.held;
}

bool CgroupFreezer::release(const std::string& group) {
    std::string parent = parentOf(group);
    // Everything in the group goes back to the parent while the group is still frozen: a process moved out
    // of a frozen group runs again, and nothing can fork into the group meanwhile, so the group is empty
    // when it is removed. (Unfrozen first, a child forked between the unfreeze and the move stayed behind
    // and kept the group alive.)
    for (int round = 0; round < 4; ++round) {
        for (auto member : CgroupV2::processes(group)) {
            if (int error = CgroupV2::write(parent + "/cgroup.procs", std::to_string(member))) {
                emit("warning [signal] pid " + std::to_string(member) + " stays in " + group +
                     ": cannot move it back (" + reasonFor(error) + ")");
            }
        }
        if (rmdir(group.c_str()) == 0 || errno == ENOENT) return true;
        if (errno != EBUSY && errno != ENOTEMPTY) {
            emit("warning [signal] cannot remove " + group + ": " + reasonFor(errno));
            break;
        }
    }
    // Processes the parent refuses (it took on controllers meanwhile) run on in our group, which stays until
    // they are gone.
    if (int error = CgroupV2::write(group + "/cgroup.freeze", "0")) {
        if (error == ENOENT) return true;
        emit("error [signal] cannot unfreeze " + group + ": " + reasonFor(error));
        return false;
    }
    return true;
}

bool CgroupFreezer::cont(std::int64_t pid) {
    std::lock_guard lock(mutex_);
    auto group = groupOf(pid);
    if (!group) return false;
    // Something the frozen process started just before the freeze: only it goes back (and so runs).
    if (baseName(*group) != std::string(groupPrefix) + std::to_string(pid)) {
        return CgroupV2::write(parentOf(*group) + "/cgroup.procs", std::to_string(pid)) == 0;
    }
    bool released = release(*group);
    if (released) frozenHere_.erase(pid);
    return released;
}

bool CgroupFreezer::isHeld(std::int64_t pid) {
    auto group = groupOf(pid);
    return group && frozenFlag(*group);
}

std::vector<std::string> CgroupFreezer::groups() const {
    std::vector<std::string> found;
    if (mount_) collectGroups(mount_->path, 0, found);
    return found;
}

std::vector<std::int64_t> CgroupFreezer::heldPIDs() {
    std::vector<std::int64_t> held;
    for (const auto& group : groups()) {
        if (!frozenFlag(group)) continue;
        auto members = CgroupV2::processes(group);
        held.insert(held.end(), members.begin(), members.end());
    }
    std::sort(held.begin(), held.end());
    held.erase(std::unique(held.begin(), held.end()), held.end());
    return held;
}

int CgroupFreezer::releaseAll() {
    std::set<std::int64_t> pids;
    {
        std::lock_guard lock(mutex_);
        pids = frozenHere_;
    }
    int released = 0;
    for (auto pid : pids) {
        if (cont(pid)) ++released;
    }
    removeUnused();
    return released;
}

int CgroupFreezer::removeUnused() {
    std::lock_guard lock(mutex_);
    int removed = 0;
    for (const auto& group : groups()) {
        if (!CgroupV2::processes(group).empty()) continue;
        // An empty group whose process still lives may be one another run is just setting up: leave it; it
        // is taken up again by the next freeze of that process.
        std::int64_t named = std::stoll(baseName(group).substr(groupPrefix.size()));
        if (processAlive(named)) continue;
        if (rmdir(group.c_str()) == 0) ++removed;
    }
    return removed;
}

}  // namespace tracker
