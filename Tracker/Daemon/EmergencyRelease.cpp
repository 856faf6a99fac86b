#include "Daemon/EmergencyRelease.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "Core/PIDRange.hpp"

namespace tracker::EmergencyRelease {

namespace {

// Far more than any machine runs sessions; past it, a hold is not kept here (the next daemon still finds it).
constexpr std::size_t slots = 512;
constexpr std::size_t fileBytes = 512;

struct Slot {
    // 0: free. Set last when taken and cleared first when freed, so a reader sees a whole file or none.
    std::atomic<std::int64_t> pid{0};
    char file[fileBytes] = {};
};

Slot table[slots];
static_assert(std::atomic<std::int64_t>::is_always_lock_free, "the handler reads it");

}  // namespace

void held(std::int64_t pid, const std::string& releaseFile) {
    if (!PIDRange::signallable(pid) || releaseFile.size() >= fileBytes) return;
    released(pid);
    for (Slot& slot : table) {
        if (slot.pid.load() != 0) continue;
        std::memcpy(slot.file, releaseFile.c_str(), releaseFile.size() + 1);
        slot.pid.store(pid);
        return;
    }
}

void released(std::int64_t pid) {
    for (Slot& slot : table) {
        if (slot.pid.load() == pid) slot.pid.store(0);
    }
}

int releaseAll() noexcept {
    int released = 0;
    for (Slot& slot : table) {
        const std::int64_t pid = slot.pid.load();
        if (pid == 0) continue;
        if (slot.file[0] != '\0') {
            int fd = ::open(slot.file, O_WRONLY | O_CLOEXEC);
            if (fd >= 0) {
                ssize_t ignored = ::write(fd, "0", 1);
                (void)ignored;
                ::close(fd);
            }
        }
        ::kill(static_cast<pid_t>(pid), SIGCONT);
        ++released;
    }
    return released;
}

}  // namespace tracker::EmergencyRelease
