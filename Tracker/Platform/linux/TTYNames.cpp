#include "Platform/linux/TTYNames.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "Core/FileRead.hpp"

namespace tracker {

namespace {

// procps reads at most this much of the driver table.
constexpr std::size_t driversLimit = 10000 - 1;
// Longest device path a descriptor link may give.
constexpr std::size_t linkLimit = 64 - 1;

std::string readSmallFile(const char* path, std::size_t limit) {
    return FileRead::file(path, limit).bytes;
}

// "/dev/<name><separator><number>".
std::string devicePath(const std::string& name, const char* separator, unsigned number) {
    std::string path = "/dev/";
    path += name;
    path += separator;
    path += std::to_string(number);
    return path;
}

// Whether path is the character device major:minor.
bool isDevice(const std::string& path, unsigned major, unsigned minor) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return false;
    return ::major(info.st_rdev) == major && ::minor(info.st_rdev) == minor;
}

// The terminal a descriptor of the process points at, when it is the one.
std::optional<std::string> fromLink(std::int64_t pid, const char* descriptor, unsigned major, unsigned minor) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%lld/fd/%s", static_cast<long long>(pid), descriptor);
    char target[linkLimit + 1];
    ssize_t n = ::readlink(path, target, linkLimit);
    if (n <= 0 || static_cast<std::size_t>(n) >= linkLimit) return std::nullopt;
    std::string device(target, static_cast<std::size_t>(n));
    if (!isDevice(device, major, minor)) return std::nullopt;
    return device;
}

// "/dev/pts/3" as ps shows it: without "/dev/", blanks, controls and
// non-ASCII bytes as "?".
std::string shown(std::string path) {
    if (path.rfind("/dev/", 0) == 0 && path.size() > 5) path.erase(0, 5);
    for (char& c : path) {
        auto byte = static_cast<unsigned char>(c);
        if (byte <= ' ' || byte > 126) c = '?';
    }
    return path;
}

}  // namespace

std::vector<TTYNames::Driver> TTYNames::parseDrivers(std::string_view text) {
    std::vector<Driver> drivers;
    std::size_t at = 0;
    for (;;) {
        std::size_t found = text.find(" /dev/", at);
        if (found == std::string_view::npos) break;
        at = found + 6;
        std::size_t end = text.find(' ', at);
        if (end == std::string_view::npos) continue;
        Driver driver;
        std::string_view name = text.substr(at, end - at);
        // A devfs-style "%d" at the end of the name is dropped.
        if (name.size() >= 3 && name.substr(name.size() - 2) == "%d") name.remove_suffix(2);
        driver.name = std::string(name);
        at = end;
        while (at < text.size() && text[at] == ' ') ++at;
        std::size_t digits = at;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
        std::string majorText(text.substr(at, digits - at));
        driver.major = static_cast<unsigned>(std::strtoul(majorText.c_str(), nullptr, 10));
        at = digits;
        while (at < text.size() && text[at] == ' ') ++at;
        std::size_t lineEnd = text.find('\n', at);
        std::string rest(text.substr(at, lineEnd == std::string_view::npos ? lineEnd : lineEnd - at));
        unsigned first = 0;
        unsigned last = 0;
        int parsed = std::sscanf(rest.c_str(), "%u-%u", &first, &last);
        if (parsed < 1) continue;
        driver.minorFirst = first;
        driver.minorLast = parsed == 2 ? last : first;
        drivers.push_back(std::move(driver));
    }
    return std::vector<Driver>(drivers.rbegin(), drivers.rend());
}

std::optional<std::string> TTYNames::fromDrivers(unsigned major, unsigned minor) {
    if (!drivers_) drivers_ = parseDrivers(readSmallFile("/proc/tty/drivers", driversLimit));
    for (const Driver& driver : *drivers_) {
        if (driver.major != major || minor < driver.minorFirst || minor > driver.minorLast) continue;
        // Only the first driver that claims the device is asked.
        std::string flat = devicePath(driver.name, "", minor);
        if (isDevice(flat, major, minor)) return flat;
        std::string nested = devicePath(driver.name, "/", minor);
        if (isDevice(nested, major, minor)) return nested;
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::string> TTYNames::guessed(unsigned major, unsigned minor) {
    std::string path;
    auto numbered = [&](const char* name, unsigned number) { path = devicePath(name, "", number); };
    if (major == 4) {
        minor < 64 ? numbered("tty", minor) : numbered("ttyS", minor - 64);
    } else if (major >= 136 && major <= 143) {
        numbered("pts/", minor + (major - 136) * 256);
    } else if (major == 166) {
        numbered("ttyACM", minor);
    } else if (major == 188) {
        numbered("ttyUSB", minor);
    } else {
        return std::nullopt;
    }
    if (!isDevice(path, major, minor)) return std::nullopt;
    return path;
}

std::string TTYNames::name(std::uint32_t ttyNr, std::int64_t pid) {
    if (ttyNr == 0) return "?";
    // The kernel's encoding of device numbers in /proc/<pid>/stat.
    unsigned major = (ttyNr >> 8) & 0xFFFu;
    unsigned minor = (ttyNr & 0xFFu) | ((ttyNr >> 12) & 0xFFF00u);

    auto driver = byDriver_.find(ttyNr);
    if (driver == byDriver_.end()) driver = byDriver_.emplace(ttyNr, fromDrivers(major, minor)).first;
    if (driver->second) return shown(*driver->second);
    if (auto linked = fromLink(pid, "2", major, minor)) return shown(*linked);
    auto guess = byGuess_.find(ttyNr);
    if (guess == byGuess_.end()) guess = byGuess_.emplace(ttyNr, guessed(major, minor)).first;
    if (guess->second) return shown(*guess->second);
    if (auto linked = fromLink(pid, "255", major, minor)) return shown(*linked);
    return "?";
}

}  // namespace tracker
