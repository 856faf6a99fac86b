#include "Platform/DirectoryEvents.hpp"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <ctime>
#include <system_error>
#include <utility>

namespace tracker {

namespace {

// Entry removed, renamed in or out, or written (closed after writing: a file is created to be
// written); plus the directory itself going away, so the watch can be re-armed when it returns. Creation
// and attribute changes alone are left out: every write of a record would wake the loop twice more.
constexpr std::uint32_t watchMask =
    IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

std::string reasonFor(int error) {
    return std::system_category().message(error);
}

timespec toTimespec(double seconds) {
    timespec ts{};
    double whole = std::floor(seconds);
    ts.tv_sec = static_cast<time_t>(whole);
    long nanos = static_cast<long>((seconds - whole) * 1e9);
    ts.tv_nsec = nanos < 0 ? 0 : (nanos > 999999999L ? 999999999L : nanos);
    return ts;
}

// One inotify instance with one watch on the directory.
class InotifyEvents final : public DirectoryEvents {
public:
    InotifyEvents(int fd, int wd, std::string path) : fd_(fd), wd_(wd), path_(std::move(path)) {}
    ~InotifyEvents() override { ::close(fd_); }
    InotifyEvents(const InotifyEvents&) = delete;
    InotifyEvents& operator=(const InotifyEvents&) = delete;

    WaitResult wait(double seconds) override {
        // The directory was removed or moved away since the last wait: watch it again if it is
        // back, and count its return as a change. Until then waits only time out.
        if (wd_ < 0) {
            wd_ = inotify_add_watch(fd_, path_.c_str(), watchMask);
            if (wd_ >= 0) {
                drain();
                changes_.everything = true;
                return WaitResult::changed;
            }
        }
        if (!(seconds > 0)) return drain() ? WaitResult::changed : WaitResult::timedOut;
        // A writer's temporary file coming and going is not a change yet: wait on, within the time
        // given, for the rename that makes it one.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        for (;;) {
            const double left = std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0) return WaitResult::timedOut;
            pollfd pfd{fd_, POLLIN, 0};
            const timespec ts = toTimespec(left);
            int n = ::ppoll(&pfd, 1, &ts, nullptr);
            if (n < 0) return errno == EINTR ? WaitResult::interrupted : WaitResult::failed;
            if (n == 0) return WaitResult::timedOut;
            if (pfd.revents & (POLLERR | POLLNVAL)) return WaitResult::failed;
            if (drain()) return WaitResult::changed;
        }
    }

    Changes takeChanges() override { return std::exchange(changes_, Changes{}); }

private:
    // More names than this between two takes: the reader may as well look at everything.
    static constexpr std::size_t namesKept = 4096;

    // Consumes everything queued, noting the names and when the watch itself has gone. True unless every
    // event was about a hidden entry (a name beginning with '.': the temporary files of the state
    // directory's writers).
    bool drain() {
        alignas(inotify_event) char buffer[16384];
        bool changed = false;
        for (;;) {
            ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return changed;  // EAGAIN: the queue is empty
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->len == 0 || event->name[0] != '.') {
                    changed = true;
                    note(*event);
                }
                if (event->wd == wd_ && wd_ >= 0) {
                    if (event->mask & IN_IGNORED) {
                        wd_ = -1;
                    } else if (event->mask & IN_MOVE_SELF) {
                        // The watch would follow the directory to its new name; stop it.
                        inotify_rm_watch(fd_, wd_);
                        wd_ = -1;
                    }
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
            // Room was left for another event: the queue was empty, no need to ask again.
            if (static_cast<std::size_t>(n) + sizeof(inotify_event) + NAME_MAX + 1 <= sizeof buffer) return changed;
        }
    }

    // An event without a name is about the directory itself or the queue (an overflow): which entries
    // changed is then unknown.
    void note(const inotify_event& event) {
        if (changes_.everything) return;
        if (event.len == 0 || changes_.names.size() >= namesKept) {
            changes_ = Changes{{}, true};
            return;
        }
        changes_.names.emplace(event.name, ::strnlen(event.name, event.len));
    }

    const int fd_;
    int wd_;
    const std::string path_;
    Changes changes_;
};

}  // namespace

DirectoryEvents::Opened DirectoryEvents::open(const std::string& path) {
    Opened opened;
    int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd < 0) {
        opened.failure = {"inotify unavailable", reasonFor(errno)};
        return opened;
    }
    int wd = inotify_add_watch(fd, path.c_str(), watchMask);
    if (wd < 0) {
        opened.failure = {"cannot watch " + path, reasonFor(errno)};
        ::close(fd);
        return opened;
    }
    opened.events = std::make_unique<InotifyEvents>(fd, wd, path);
    return opened;
}

}  // namespace tracker
