#include "ProcessState.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>

namespace tracker::ProcessState {

namespace {

std::optional<std::string> readSmallFile(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return text;
}

// The hexadecimal signal mask after "<key>:\t" in /proc/<pid>/status.
std::optional<unsigned long long> signalMask(const std::string& status, const std::string& key) {
    auto at = status.find("\n" + key + ":");
    if (at == std::string::npos) return std::nullopt;
    const char* start = status.c_str() + at + key.size() + 2;
    char* end = nullptr;
    unsigned long long mask = std::strtoull(start, &end, 16);
    if (end == start) return std::nullopt;
    return mask;
}

}  // namespace

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

std::optional<bool> stopSignalPending(std::int64_t pid) {
    if (pid < 1 || pid > 2147483647) return std::nullopt;
    auto status = readSmallFile("/proc/" + std::to_string(pid) + "/status");
    if (!status) return std::nullopt;
    // A signal sent with kill() waits in the process-wide set (ShdPnd); one for a thread in SigPnd.
    auto shared = signalMask(*status, "ShdPnd");
    auto own = signalMask(*status, "SigPnd");
    if (!shared || !own) return std::nullopt;
    unsigned long long stopBit = 1ULL << (SIGSTOP - 1);
    return ((*shared | *own) & stopBit) != 0;
}

}  // namespace tracker::ProcessState
