#include "ProcessState.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace tracker::ProcessState {

std::optional<char> of(std::int64_t pid) {
    if (pid < 1 || pid > 2147483647) return std::nullopt;
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    char buffer[512];
    ssize_t n;
    do {
        n = read(fd, buffer, sizeof buffer - 1);
    } while (n < 0 && errno == EINTR);
    close(fd);
    if (n <= 0) return std::nullopt;
    // "pid (comm) S ...": comm may hold blanks and parentheses, so the state follows the last ')'. A comm is
    // at most 16 bytes, so the state is always within the first read.
    std::string text(buffer, static_cast<std::size_t>(n));
    auto end = text.rfind(')');
    if (end == std::string::npos || end + 2 >= text.size()) return std::nullopt;
    return text[end + 2];
}

}  // namespace tracker::ProcessState
