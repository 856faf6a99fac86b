#include "Core/Spawn.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <system_error>
#include <thread>
#include <utility>

#include "Core/UTF8.hpp"

extern char** environ;

namespace tracker::Spawn {

namespace {

constexpr std::size_t readChunk = 16384;

void closeDescriptor(int fd) {
    if (fd >= 0) ::close(fd);
}

// A pipe whose both ends are close-on-exec and above 2, so that a caller
// running with a closed standard stream cannot have one of our ends land on
// the descriptor the child is meant to receive.
bool makePipe(int ends[2]) {
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    for (int k = 0; k < 2; ++k) {
        if (ends[k] > 2) continue;
        int moved = ::fcntl(ends[k], F_DUPFD_CLOEXEC, 3);
        if (moved < 0) {
            closeDescriptor(ends[0]);
            closeDescriptor(ends[1]);
            return false;
        }
        ::close(ends[k]);
        ends[k] = moved;
    }
    return true;
}

// File actions released on every way out.
struct FileActions {
    posix_spawn_file_actions_t actions;
    bool ready = false;
    FileActions() { ready = posix_spawn_file_actions_init(&actions) == 0; }
    ~FileActions() {
        if (ready) posix_spawn_file_actions_destroy(&actions);
    }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;

    // Drops every descriptor from 3 up that the actions before left open, in
    // case some code of the caller opened one without close-on-exec.
    void closeTheRest() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
        if (ready) ready = posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0;
#endif
    }
};

// A child that starts like one from a login: no blocked signals and every
// signal at its default action, whatever the calling thread blocks or the
// process ignores.
struct CleanAttributes {
    posix_spawnattr_t attributes;
    bool ready = false;
    CleanAttributes() {
        if (posix_spawnattr_init(&attributes) != 0) return;
        sigset_t none;
        sigset_t all;
        sigemptyset(&none);
        sigfillset(&all);
        ready = posix_spawnattr_setsigmask(&attributes, &none) == 0 &&
                posix_spawnattr_setsigdefault(&attributes, &all) == 0 &&
                posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
        if (!ready) posix_spawnattr_destroy(&attributes);
    }
    ~CleanAttributes() {
        if (ready) posix_spawnattr_destroy(&attributes);
    }
    CleanAttributes(const CleanAttributes&) = delete;
    CleanAttributes& operator=(const CleanAttributes&) = delete;
};

// Spawns arguments[0] with the list as argv and the caller's environment.
// Returns posix_spawn's result code and the child's pid.
std::pair<int, pid_t> withCStrings(const std::vector<std::string>& arguments, const FileActions& actions) {
    CleanAttributes attributes;
    if (!actions.ready || !attributes.ready) return {EINVAL, -1};
    std::vector<std::string> copies(arguments);
    std::vector<char*> argv;
    argv.reserve(copies.size() + 1);
    for (auto& argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int result = posix_spawn(&pid, argv[0], &actions.actions, &attributes.attributes, argv.data(), environ);
    return {result, pid};
}

// The child's raw wait status, or none when waiting failed (for example
// because the caller has SIGCHLD ignored and the kernel reaped the child).
std::optional<int> waitFor(pid_t pid) {
    int status = 0;
    for (;;) {
        if (::waitpid(pid, &status, 0) == pid) return status;
        if (errno != EINTR) return std::nullopt;
    }
}

// Writes all of input to fd unless the reader goes away, then closes fd.
// SIGPIPE is blocked in this thread only: a write to a pipe nobody reads any
// more fails with EPIPE, and the signal stays pending on this thread, which
// ends right after.
void feed(int fd, const std::string& input) {
    sigset_t pipeOnly;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeOnly, nullptr);
    std::size_t written = 0;
    while (written < input.size()) {
        ssize_t n = ::write(fd, input.data() + written, input.size() - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    ::close(fd);
}

}  // namespace

std::string capture(const std::vector<std::string>& arguments) {
    if (arguments.empty()) return {};
    int ends[2];
    if (!makePipe(ends)) return {};
    const int readEnd = ends[0];
    const int writeEnd = ends[1];

    FileActions actions;
    if (actions.ready) {
        actions.ready = posix_spawn_file_actions_adddup2(&actions.actions, writeEnd, 1) == 0 &&
                        posix_spawn_file_actions_addopen(&actions.actions, 2, "/dev/null", O_WRONLY, 0) == 0 &&
                        posix_spawn_file_actions_addclose(&actions.actions, readEnd) == 0 &&
                        posix_spawn_file_actions_addclose(&actions.actions, writeEnd) == 0;
    }
    actions.closeTheRest();
    auto [result, pid] = withCStrings(arguments, actions);
    ::close(writeEnd);
    if (result != 0) {
        ::close(readEnd);
        return {};
    }

    std::string bytes;
    char chunk[readChunk];
    for (;;) {
        ssize_t n = ::read(readEnd, chunk, sizeof chunk);
        if (n > 0) {
            bytes.append(chunk, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    ::close(readEnd);
    waitFor(pid);
    return UTF8::repaired(bytes);
}

std::optional<int> shell(const std::string& command, std::string input) {
    int ends[2];
    if (!makePipe(ends)) return std::nullopt;
    const int readEnd = ends[0];
    const int writeEnd = ends[1];

    FileActions actions;
    if (actions.ready) {
        actions.ready = posix_spawn_file_actions_adddup2(&actions.actions, readEnd, 0) == 0 &&
                        posix_spawn_file_actions_addclose(&actions.actions, readEnd) == 0 &&
                        posix_spawn_file_actions_addclose(&actions.actions, writeEnd) == 0;
    }
    actions.closeTheRest();
    auto [result, pid] = withCStrings({"/bin/sh", "-c", command}, actions);
    ::close(readEnd);
    if (result != 0) {
        ::close(writeEnd);
        return std::nullopt;
    }

    if (input.empty()) {
        ::close(writeEnd);
    } else {
        try {
            std::thread([writeEnd, bytes = std::move(input)] { feed(writeEnd, bytes); }).detach();
        } catch (const std::system_error&) {
            // No thread to feed it: the child reads end of file rather than
            // risk a deadlock with it.
            ::close(writeEnd);
        }
    }
    return waitFor(pid);
}

}  // namespace tracker::Spawn
