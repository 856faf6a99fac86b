#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tracker {

// Turns the tty_nr of /proc/<pid>/stat into the terminal name ps prints
// ("pts/3", "tty1", "?"), trying what procps tries in the same order: the
// kernel's tty driver table, the process's standard error, a guess from the
// device number, descriptor 255. One object serves one snapshot and caches
// what does not depend on the process.
class TTYNames {
public:
    TTYNames() = default;

    std::string name(std::uint32_t ttyNr, std::int64_t pid);

    // A driver line of /proc/tty/drivers: device name without "/dev/", the
    // major number and the range of minors.
    struct Driver {
        std::string name;
        unsigned major = 0;
        unsigned minorFirst = 0;
        unsigned minorLast = 0;
        bool operator==(const Driver&) const = default;
    };
    // The drivers in the order they are tried (the file's last line first).
    static std::vector<Driver> parseDrivers(std::string_view text);

private:
    std::optional<std::string> fromDrivers(unsigned major, unsigned minor);
    std::optional<std::string> guessed(unsigned major, unsigned minor);

    std::optional<std::vector<Driver>> drivers_;
    std::map<std::uint32_t, std::optional<std::string>> byDriver_;
    std::map<std::uint32_t, std::optional<std::string>> byGuess_;
};

}  // namespace tracker
