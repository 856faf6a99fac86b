#pragma once

#include <cstddef>
#include <optional>
#include <string>

// Reading a file or a descriptor to its end: the one loop every reader of whole files uses.
namespace tracker::FileRead {

struct Outcome {
    // What was read: everything, or the first `limit` bytes when there was more.
    std::string bytes;
    // The errno of a failed open or read; 0 when none failed.
    int error = 0;
    // More than `limit` bytes were there; reading stopped at the limit.
    bool tooLarge = false;

    bool complete() const { return error == 0 && !tooLarge; }
};

// Reads fd until the end, retrying EINTR, keeping at most limit bytes. Leaves fd open. For a regular file
// whose size was `regularSize` when looked at, a read that comes back short at that size is taken as the end
// without asking once more.
Outcome all(int fd, std::size_t limit, std::optional<std::size_t> regularSize = std::nullopt);

// Opens path read-only (close-on-exec, never as a controlling terminal, plus extraFlags such as
// O_NONBLOCK or O_NOFOLLOW) and reads it whole as `all` does.
Outcome file(const std::string& path, std::size_t limit, int extraFlags = 0);

}  // namespace tracker::FileRead
