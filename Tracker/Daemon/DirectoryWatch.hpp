#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "Core/LogHook.hpp"
#include "Platform/DirectoryEvents.hpp"

namespace tracker {

// Lets the daemon loop sleep between ticks yet wake at once when a session record in one
// directory changes. When the kernel watch cannot be set up it only sleeps (the loop polls),
// and says so once through the log hook. Used by one thread; nothing is locked.
class DirectoryWatcher {
public:
    // Creates the directory (with parents) and starts watching it. Never fails: on any
    // set-up failure the watcher polls after one "warning [DirectoryWatcher] ..." to log.
    explicit DirectoryWatcher(std::filesystem::path path, LogHook log = {});
    // The same from a path text, a leading "~" standing for the home directory.
    explicit DirectoryWatcher(const std::string& pathText, LogHook log = {});
    explicit DirectoryWatcher(const char* pathText, LogHook log = {});
    // Waits on the given event source instead of setting one up (a fake in tests); none polls.
    DirectoryWatcher(std::filesystem::path path, std::unique_ptr<DirectoryEvents> events, LogHook log = {});
    ~DirectoryWatcher();
    DirectoryWatcher(const DirectoryWatcher&) = delete;
    DirectoryWatcher& operator=(const DirectoryWatcher&) = delete;

    // Blocks for at most `timeout` seconds: true as soon as a change is seen; false when the
    // time has passed (at once for a timeout of 0 or less) or when only polling. Changes since
    // the previous wait count: they end this one at once, all of them together. A failing kernel
    // wait sleeps out the time and returns false, so a lasting fault cannot make the loop spin.
    bool wait(double timeout);
    // Consumes what is queued without blocking: true when a change was among it.
    bool drain();
    // The entries changed since the last take, as the waits saw them; everything when only polling.
    DirectoryEvents::Changes takeChanges();

    // Releases the kernel watch; afterwards wait only sleeps.
    void close();

    // Whether wait really watches the directory.
    bool watching() const { return events_ != nullptr; }
    const std::filesystem::path& path() const { return path_; }

private:
    void openWatch();

    std::filesystem::path path_;
    LogHook log_;
    std::unique_ptr<DirectoryEvents> events_;
};

}  // namespace tracker
