#include "Daemon/DirectoryWatch.hpp"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <utility>

namespace tracker {

namespace {

using Clock = std::chrono::steady_clock;

// Longest single wait honoured; keeps the deadline arithmetic far from overflow.
constexpr double longestWait = 1e8;

std::filesystem::path expandHome(const std::string& text) {
    if (text == "~" || text.starts_with("~/")) {
        const char* home = std::getenv("HOME");
        if (home && *home) return std::filesystem::path(home) / text.substr(text.size() > 1 ? 2 : 1);
    }
    return text;
}

// Deadlines use the monotonic clock, so setting the wall clock neither stretches nor cuts a wait.
Clock::time_point deadlineAfter(double timeout) {
    if (!(timeout > 0)) timeout = 0;  // also NaN
    if (timeout > longestWait) timeout = longestWait;
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout));
}

double secondsUntil(Clock::time_point deadline) {
    return std::chrono::duration<double>(deadline - Clock::now()).count();
}

// Sleeps the whole remaining time; waking early (a signal) sleeps the rest.
void sleepUntil(Clock::time_point deadline) {
    while (Clock::now() < deadline) std::this_thread::sleep_until(deadline);
}

}  // namespace

DirectoryWatcher::DirectoryWatcher(std::filesystem::path path, LogHook log)
    : path_(std::move(path)), log_(std::move(log)) {
    openWatch();
}

DirectoryWatcher::DirectoryWatcher(const std::string& pathText, LogHook log)
    : DirectoryWatcher(expandHome(pathText), std::move(log)) {}

DirectoryWatcher::DirectoryWatcher(const char* pathText, LogHook log)
    : DirectoryWatcher(std::string(pathText ? pathText : ""), std::move(log)) {}

DirectoryWatcher::DirectoryWatcher(std::filesystem::path path, std::unique_ptr<DirectoryEvents> events, LogHook log)
    : path_(std::move(path)), log_(std::move(log)), events_(std::move(events)) {}

DirectoryWatcher::~DirectoryWatcher() = default;

void DirectoryWatcher::openWatch() {
    auto warn = [this](const std::string& what, const std::string& reason) {
        if (log_) log_("warning [DirectoryWatcher] " + what + ", polling: " + reason);
    };
    std::error_code ec;
    std::filesystem::create_directories(path_, ec);
    if (ec) {
        warn("cannot create " + path_.string(), ec.message());
        return;
    }
    DirectoryEvents::Opened opened = DirectoryEvents::open(path_.string());
    if (!opened.events) {
        warn(opened.failure.what, opened.failure.reason);
        return;
    }
    events_ = std::move(opened.events);
}

bool DirectoryWatcher::wait(double timeout) {
    const Clock::time_point deadline = deadlineAfter(timeout);
    if (!events_) {
        sleepUntil(deadline);
        return false;
    }
    for (;;) {
        const double remaining = secondsUntil(deadline);
        if (remaining <= 0) return false;
        switch (events_->wait(remaining)) {
            case DirectoryEvents::WaitResult::changed:
                return true;
            case DirectoryEvents::WaitResult::failed:
                sleepUntil(deadline);
                return false;
            case DirectoryEvents::WaitResult::interrupted:
            case DirectoryEvents::WaitResult::timedOut:
                break;  // round again; the deadline decides
        }
    }
}

bool DirectoryWatcher::drain() {
    return events_ && events_->wait(0) == DirectoryEvents::WaitResult::changed;
}

DirectoryEvents::Changes DirectoryWatcher::takeChanges() {
    return events_ ? events_->takeChanges() : DirectoryEvents::Changes{{}, true};
}

void DirectoryWatcher::close() {
    events_.reset();
}

}  // namespace tracker
