#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Core/LogHook.hpp"
#include "Core/Signaller.hpp"

namespace tracker {

// A way to hold a process stopped that no parent can see or undo, unlike SIGSTOP, which tmux and screen
// revert at once: the cgroup v2 freezer on Linux (Platform/linux/CgroupFreezer). As a Signaller, stop
// freezes and cont releases; a process it does not hold is not its to continue.
class Freezer : public Signaller {
public:
    // The outcome of one freeze: held, or why this process cannot be held this way (so the caller can fall
    // back to signals).
    struct Attempt {
        bool held = false;
        std::string whyNot;
        // Held: the file whose "0" lets it go, written without anything else (what a fault's last act can do).
        std::string releaseFile{};
    };

    virtual Attempt freeze(std::int64_t pid) = 0;

    // This platform's freezer, or none where the platform has no such facility. Its error lines go to log.
    static std::unique_ptr<Freezer> make(LogHook log);
};

}  // namespace tracker
