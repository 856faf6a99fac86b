// Runs a program as Claude Code would have run it and notes what it cost: for RealClaudeCostBench, which puts
// it in front of the status-line and hook commands. Standard input is read whole first and handed to the
// program as a file, so the program's own CPU time (user and system, from wait4, with that of any child it
// waited for) is what the line says. Leading NAME=value words are set in the environment, as a shell would.
//
// Usage: CPUMeter LOG [NAME=value...] PROGRAM [ARGUMENT...]
// Appends to LOG: {"event": <hook_event_name, "" for the status line>, "cpu_ms": ..., "wall_ms": ...}

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

std::string readAll(int fd) {
    std::string bytes;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            bytes.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            return bytes;
        }
    }
}

// The value of "hook_event_name" in the document; empty when there is none (a status-line document).
std::string eventOf(const std::string& document) {
    const std::string key = "\"hook_event_name\":\"";
    std::size_t at = document.find(key);
    if (at == std::string::npos) return {};
    at += key.size();
    std::size_t end = document.find('"', at);
    return end == std::string::npos ? std::string() : document.substr(at, end - at);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: CPUMeter LOG [NAME=value...] PROGRAM [ARGUMENT...]\n");
        return 2;
    }
    const char* log = argv[1];
    int first = 2;
    for (; first < argc && std::strchr(argv[first], '=') && argv[first][0] != '/'; ++first) {
        ::putenv(argv[first]);
    }
    if (first >= argc) return 2;

    const std::string input = readAll(STDIN_FILENO);
    int inputFD = ::memfd_create("cpumeter-input", MFD_CLOEXEC);
    if (inputFD < 0 || ::write(inputFD, input.data(), input.size()) != static_cast<ssize_t>(input.size()) ||
        ::lseek(inputFD, 0, SEEK_SET) != 0) {
        std::perror("CPUMeter: input");
        return 1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inputFD, STDIN_FILENO);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[first], &actions, nullptr, argv + first, environ) != 0) {
        std::perror("CPUMeter: spawn");
        return 1;
    }
    int status = 0;
    struct rusage usage {};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    const double wallMS = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    auto ms = [](const timeval& time) { return static_cast<double>(time.tv_sec) * 1e3 + time.tv_usec / 1e3; };

    char line[256];
    int length = std::snprintf(line, sizeof line, "{\"event\":\"%s\",\"cpu_ms\":%.4f,\"wall_ms\":%.4f}\n",
                               eventOf(input).c_str(), ms(usage.ru_utime) + ms(usage.ru_stime), wallMS);
    int fd = ::open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::flock(fd, LOCK_EX);
        ssize_t ignored = ::write(fd, line, static_cast<std::size_t>(length));
        (void)ignored;
        ::close(fd);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
