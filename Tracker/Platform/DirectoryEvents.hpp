#pragma once

#include <memory>
#include <set>
#include <string>

namespace tracker {

// The kernel's change notification on one directory, as the directory watcher needs it:
// inotify on Linux (Platform/linux/DirectoryEvents.cpp).
// Any entry created, removed, renamed or rewritten counts as a change, except hidden ones (a name beginning
// with '.'): the state directory's writers make their temporary files so, and only the rename that follows
// is a change.
class DirectoryEvents {
public:
    // Why a watch could not be set up: "<what failed>" and the system's reason.
    struct Failure {
        std::string what;
        std::string reason;
    };
    // Either a working watch or the reason there is none.
    struct Opened {
        std::unique_ptr<DirectoryEvents> events;
        Failure failure;
    };
    enum class WaitResult { changed, timedOut, interrupted, failed };
    // The entries that changed since the last take: their names, or `everything` when the kernel could not
    // say which (its queue overflowed, the watch was set up anew) or a source does not tell.
    struct Changes {
        std::set<std::string> names;
        bool everything = false;
    };

    // Starts watching the existing directory at path. Never throws.
    static Opened open(const std::string& path);

    virtual ~DirectoryEvents() = default;

    // Blocks for at most `seconds` until a change is queued; 0 or less only consumes what is queued,
    // without blocking. On `changed` every change queued so far is consumed, so several changes between two
    // waits count once.
    virtual WaitResult wait(double seconds) = 0;

    // What the waits consumed since the last call. A source that keeps no names says everything.
    virtual Changes takeChanges() { return Changes{{}, true}; }
};

}  // namespace tracker
