#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace tracker {

// The user's own service manager as a place for a process that sits where the user may not make groups: in
// an SSH login the session's group belongs to root, but the user's manager can start a new scope the user
// owns and move the process into it. On Linux that is the systemd user manager, asked over the user bus
// (Platform/linux/UserScope.cpp). Nothing here throws, and no call blocks longer than its bound.
namespace UserScope {

constexpr std::chrono::milliseconds defaultBound{2000};

// The scope this project makes for one process: "tarnel-<pid>.scope".
std::string nameFor(std::int64_t pid);

// Whether pid sits in the scope this project made for it (nameFor(pid)), at any depth.
bool holds(std::int64_t pid);

// Moves pid, alone, into a new scope called name (what it starts later follows it; children it has already
// stay where they are) and waits until the move is done. Returns the scope's group path as the process
// sees it ("/user.slice/user-1000.slice/user@1000.service/app.slice/tarnel-4242.scope"); none when the
// manager cannot be reached or refuses, with the reason in *whyNot. A process already in that scope is
// left there and its path returned.
std::optional<std::string> move(std::int64_t pid, const std::string& name, std::string* whyNot = nullptr,
                                std::chrono::milliseconds bound = defaultBound);

// Stops the scope called name, which ends whatever still runs in it, and waits until it is gone. A scope
// whose processes have all ended goes away by itself; one that does not exist counts as removed.
bool remove(const std::string& name, std::string* whyNot = nullptr, std::chrono::milliseconds bound = defaultBound);

}  // namespace UserScope

}  // namespace tracker
