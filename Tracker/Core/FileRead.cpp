#include "Core/FileRead.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace tracker::FileRead {

namespace {

constexpr std::size_t maxBufferSize = 64 * 1024;

}  // namespace

Outcome all(int fd, std::size_t limit, std::optional<std::size_t> regularSize) {
    Outcome outcome;
    // Not on the stack, where each of its pages would be touched on entry (stack clash probes), nor cleared.
    // A page first: a status document, a hook's input or a state document fits and touches no more; input
    // that fills it is read on in larger pieces.
    std::size_t bufferSize = 4096;
    auto buffer = std::make_unique_for_overwrite<char[]>(bufferSize);
    for (;;) {
        // One byte past the limit tells "exactly the limit" from "more than the limit".
        std::size_t wanted = std::min(bufferSize, limit - outcome.bytes.size() + 1);
        ssize_t n = ::read(fd, buffer.get(), wanted);
        if (n == 0) return outcome;
        if (n < 0) {
            if (errno == EINTR) continue;
            outcome.error = errno;
            return outcome;
        }
        outcome.bytes.append(buffer.get(), static_cast<std::size_t>(n));
        if (outcome.bytes.size() > limit) {
            outcome.bytes.resize(limit);
            outcome.tooLarge = true;
            return outcome;
        }
        if (static_cast<std::size_t>(n) < wanted && outcome.bytes.size() == regularSize) return outcome;
        if (static_cast<std::size_t>(n) == bufferSize && bufferSize < maxBufferSize) {
            bufferSize *= 4;
            buffer = std::make_unique_for_overwrite<char[]>(bufferSize);
        }
    }
}

Outcome file(const std::string& path, std::size_t limit, int extraFlags) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | extraFlags);
    if (fd < 0) {
        Outcome failed;
        failed.error = errno;
        return failed;
    }
    Outcome outcome = all(fd, limit);
    ::close(fd);
    return outcome;
}

}  // namespace tracker::FileRead
