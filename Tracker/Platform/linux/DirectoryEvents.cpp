#include "Platform/DirectoryEvents.hpp"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <ctime>
#include <system_error>

namespace tracker {

namespace {

// Entry created, removed, renamed in or out, rewritten (closed after writing), attributes
// changed; plus the directory itself going away, so the watch can be re-armed when it returns.
constexpr std::uint32_t watchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_ATTRIB |
                                    IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

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
                return WaitResult::changed;
            }
        }
        pollfd pfd{fd_, POLLIN, 0};
        const timespec ts = toTimespec(seconds);
        int n = ::ppoll(&pfd, 1, &ts, nullptr);
        if (n < 0) return errno == EINTR ? WaitResult::interrupted : WaitResult::failed;
        if (n == 0) return WaitResult::timedOut;
        if (pfd.revents & (POLLERR | POLLNVAL)) return WaitResult::failed;
        drain();
        return WaitResult::changed;
    }

private:
    // Consumes everything queued, noting when the watch itself has gone.
    void drain() {
        alignas(inotify_event) char buffer[16384];
        for (;;) {
            ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;  // EAGAIN: the queue is empty
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
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
        }
    }

    const int fd_;
    int wd_;
    const std::string path_;
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
