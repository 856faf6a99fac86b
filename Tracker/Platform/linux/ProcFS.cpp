#include "Platform/linux/ProcFS.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "Core/PIDRange.hpp"
#include "Core/UTF8.hpp"
#include "Platform/linux/CommandText.hpp"

namespace tracker::ProcFS {

namespace {

// Upper bound for a command line read for its arguments: far above what the
// kernel lets a program receive, so nothing real is cut.
constexpr std::size_t argumentsLimit = 16u * 1024u * 1024u;

enum class ReadResult { ok, missing, failed };

// A reusable read buffer: its storage only grows, so one snapshot allocates
// it once, and it is never cleared: a read touches only the pages it fills.
struct FileBytes {
    std::unique_ptr<char[]> storage;
    std::size_t capacity = 0;
    std::size_t used = 0;
    std::string_view view() const { return std::string_view(storage.get(), used); }
    void clear() { used = 0; }
    // At least size bytes of room, what was read kept.
    void reserve(std::size_t size) {
        if (size <= capacity) return;
        auto larger = std::make_unique_for_overwrite<char[]>(size);
        if (used > 0) std::memcpy(larger.get(), storage.get(), used);
        storage = std::move(larger);
        capacity = size;
    }
};

// PF_KTHREAD in the flags field of /proc/<pid>/stat.
constexpr std::uint64_t kernelThreadFlag = 0x00200000;

// Reads the file at path (relative to dir), at most limit bytes. A process
// that has gone away shows as missing. Files under /proc hand out all they
// have in one read when there is room, so a short read ends the file.
ReadResult readFile(int dir, const char* path, FileBytes& bytes, std::size_t limit) {
    bytes.used = 0;
    int fd = ::openat(dir, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ESRCH ? ReadResult::missing : ReadResult::failed;
    ReadResult result = ReadResult::ok;
    while (bytes.used < limit) {
        if (bytes.capacity - bytes.used < 1024 && bytes.capacity < limit) {
            bytes.reserve(std::min(limit, std::max<std::size_t>(bytes.capacity * 2, 4096)));
        }
        std::size_t room = std::min(bytes.capacity, limit) - bytes.used;
        ssize_t n = ::read(fd, bytes.storage.get() + bytes.used, room);
        if (n > 0) {
            bytes.used += static_cast<std::size_t>(n);
            if (static_cast<std::size_t>(n) < room) break;
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            result = errno == ESRCH ? ReadResult::missing : ReadResult::failed;
            break;
        }
    }
    ::close(fd);
    return result;
}

template <typename Integer>
std::optional<Integer> number(std::string_view text) {
    Integer value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// The rest of the line that starts with key (a line of its own, the first
// or a later one), or none.
std::optional<std::string_view> lineAfter(std::string_view text, std::string_view key) {
    std::size_t at = 0;
    if (!text.starts_with(key)) {
        std::string wanted(1, '\n');
        wanted += key;
        at = text.find(wanted);
        if (at == std::string_view::npos) return std::nullopt;
        ++at;
    }
    std::string_view rest = text.substr(at + key.size());
    return rest.substr(0, rest.find('\n'));
}

// The value of a "Key:\tvalue" line of /proc/<pid>/status.
std::optional<std::string_view> statusValue(std::string_view status, std::string_view key) {
    auto value = lineAfter(status, std::string(key) + ":");
    if (!value) return std::nullopt;
    while (!value->empty() && (value->front() == ' ' || value->front() == '\t')) value->remove_prefix(1);
    return value;
}

// "<prefix><pid>/<file>" without a trip through printf.
class PidPath {
public:
    PidPath(std::string_view prefix, std::int64_t pid, std::string_view file) {
        char* at = text_;
        char* end = text_ + sizeof text_ - 1;
        auto put = [&](std::string_view part) {
            std::size_t n = std::min(part.size(), static_cast<std::size_t>(end - at));
            std::memcpy(at, part.data(), n);
            at += n;
        };
        put(prefix);
        at = std::to_chars(at, end, pid).ptr;
        put("/");
        put(file);
        *at = '\0';
    }
    const char* c_str() const { return text_; }

private:
    char text_[64];
};

int openProc() {
    return ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// The boot time of /proc/stat ("btime"), settled again only when the wall clock has been set since. The
// kernel derives it from the wall clock less the time since boot, which two clock reads give without a
// system call; /proc/stat, which grows with the processors and interrupts and costs a program that starts
// on every status-line refresh more than the rest of its reads, is read only where the clocks cannot say.
std::optional<std::int64_t> knownBootTime() {
    static std::mutex guard;
    static std::optional<std::int64_t> known;
    static double estimateAtRead = 0;
    timespec wall{};
    timespec sinceBoot{};
    timespec wallAfter{};
    ::clock_gettime(CLOCK_REALTIME, &wall);
    ::clock_gettime(CLOCK_BOOTTIME, &sinceBoot);
    ::clock_gettime(CLOCK_REALTIME, &wallAfter);
    const double estimate = static_cast<double>(wall.tv_sec - sinceBoot.tv_sec) +
                            static_cast<double>(wall.tv_nsec - sinceBoot.tv_nsec) / 1e9;
    std::lock_guard lock(guard);
    if (known && std::fabs(estimate - estimateAtRead) < 0.25) return known;
    if (auto settled = bootTimeFromClocks(wall, sinceBoot, wallAfter)) {
        known = settled;
    } else {
        FileBytes procStat;
        if (readFile(AT_FDCWD, "/proc/stat", procStat, 256 * 1024) != ReadResult::ok) return std::nullopt;
        known = bootTime(procStat.view());
    }
    estimateAtRead = estimate;
    return known;
}

// What a read of listed pids learns from a process's status and command line, kept for a few seconds: the
// daemon asks for the same few processes several times a second, and these change only with an exec (a new
// command name), death or a new process under the pid (a new start time), which are all part of the key read
// fresh from the stat line each time.
class LastingParts {
public:
    struct Parts {
        std::int64_t uid = -1;
        std::string command;
    };

    std::optional<Parts> find(const Stat& stat) {
        std::lock_guard lock(guard_);
        auto found = entries_.find(stat.pid);
        if (found == entries_.end()) return std::nullopt;
        const Entry& entry = found->second;
        if (entry.key != keyOf(stat) || Clock::now() - entry.readAt > lasting) return std::nullopt;
        return entry.parts;
    }

    void keep(const Stat& stat, Parts parts) {
        std::lock_guard lock(guard_);
        const auto now = Clock::now();
        if (entries_.size() >= 256) {
            std::erase_if(entries_, [&](const auto& entry) { return now - entry.second.readAt > lasting; });
            if (entries_.size() >= 256) entries_.clear();
        }
        entries_[stat.pid] = Entry{keyOf(stat), now, std::move(parts)};
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds lasting{5};
    struct Key {
        std::uint64_t startTicks = 0;
        std::string comm;
        bool zombie = false;
        bool operator==(const Key&) const = default;
    };
    struct Entry {
        Key key;
        Clock::time_point readAt;
        Parts parts;
    };
    static Key keyOf(const Stat& stat) { return {stat.startTicks, stat.comm, stat.state == 'Z'}; }

    std::mutex guard_;
    std::unordered_map<std::int64_t, Entry> entries_;
};

// The stat files of the processes a daemon asks about again and again, kept open: a read is then one
// system call instead of three. A kept file goes on naming its process, never a later one with the same
// pid: once that process is gone (reaped) the read fails and the file is opened anew by its path. Files
// not read for a while are closed.
class KeptStatFiles {
public:
    ReadResult read(std::int64_t pid, FileBytes& bytes) {
        std::lock_guard lock(guard_);
        const auto now = Clock::now();
        if (now - lastSweep_ > std::chrono::seconds(10)) sweep(now);
        auto found = files_.find(pid);
        if (found != files_.end()) {
            if (readAt(found->second.fd, bytes) == ReadResult::ok) {
                found->second.readAt = now;
                return ReadResult::ok;
            }
            ::close(found->second.fd);
            files_.erase(found);
        }
        int fd = ::open(PidPath("/proc/", pid, "stat").c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return errno == ENOENT || errno == ESRCH ? ReadResult::missing : ReadResult::failed;
        ReadResult result = readAt(fd, bytes);
        if (result != ReadResult::ok || files_.size() >= limit) {
            ::close(fd);
            return result;
        }
        files_[pid] = Kept{fd, now};
        return result;
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t limit = 128;
    struct Kept {
        int fd = -1;
        Clock::time_point readAt;
    };

    static ReadResult readAt(int fd, FileBytes& bytes) {
        bytes.used = 0;
        bytes.reserve(4096);
        for (;;) {
            ssize_t n = ::pread(fd, bytes.storage.get(), bytes.capacity, 0);
            if (n > 0) {
                bytes.used = static_cast<std::size_t>(n);
                return ReadResult::ok;
            }
            if (n < 0 && errno == EINTR) continue;
            bytes.used = 0;
            return n == 0 || errno == ESRCH ? ReadResult::missing : ReadResult::failed;
        }
    }

    void sweep(Clock::time_point now) {
        lastSweep_ = now;
        std::erase_if(files_, [&](const auto& entry) {
            if (now - entry.second.readAt < std::chrono::seconds(30)) return false;
            ::close(entry.second.fd);
            return true;
        });
    }

    std::mutex guard_;
    std::unordered_map<std::int64_t, Kept> files_;
    Clock::time_point lastSweep_ = Clock::now();
};

// Never destroyed: the exit paths read processes after static objects may have gone.
KeptStatFiles& keptStatFiles() {
    static auto* files = new KeptStatFiles;
    return *files;
}

LastingParts& lastingParts() {
    static auto* parts = new LastingParts;
    return *parts;
}

// Everything one snapshot shares: the /proc descriptor (opened when first
// needed: a read of kept processes may need none), boot time, tick rate and
// reusable buffers.
struct Snapshot {
    std::int64_t boot = 0;
    bool bootKnown = false;
    long ticks = 100;
    int procFD = -1;
    bool procOpened = false;
    FileBytes statBytes;
    FileBytes statusBytes;
    FileBytes cmdlineBytes;

    Snapshot() {
        if (auto boot = knownBootTime()) {
            this->boot = *boot;
            bootKnown = true;
        }
        long rate = ::sysconf(_SC_CLK_TCK);
        if (rate > 0) ticks = rate;
    }
    ~Snapshot() {
        if (procFD >= 0) ::close(procFD);
    }
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;

    int proc() {
        if (!procOpened) {
            procOpened = true;
            procFD = openProc();
        }
        return procFD;
    }

    // The row for pid, or none when it vanished, is a thread rather than a
    // process (only asked for listed pids), or gives nothing to show.
    std::optional<Proc> row(std::int64_t pid, bool checkThreadGroup) {
        // Listed pids are the ones asked about again and again.
        const ReadResult statRead = checkThreadGroup
                                        ? keptStatFiles().read(pid, statBytes)
                                        : readFile(proc(), PidPath("", pid, "stat").c_str(), statBytes, 4096);
        if (statRead != ReadResult::ok) return std::nullopt;
        auto stat = parseStat(statBytes.view());
        if (!stat || stat->pid != pid) return std::nullopt;
        // A kernel thread has no owner but root and no argument vector: the
        // two costliest reads are left out for it (a listing of all processes
        // is, on a desktop, about half kernel threads).
        const bool kernelThread = (stat->flags & kernelThreadFlag) != 0;
        if (checkThreadGroup) {
            if (auto kept = lastingParts().find(*stat)) return rowOf(pid, *stat, std::move(*kept));
        }
        statusBytes.clear();
        cmdlineBytes.clear();
        if (!kernelThread || checkThreadGroup) {
            if (readFile(proc(), PidPath("", pid, "status").c_str(), statusBytes, 64 * 1024) == ReadResult::missing) {
                return std::nullopt;
            }
        }
        if (checkThreadGroup) {
            auto group = threadGroup(statusBytes.view());
            if (group && *group != pid) return std::nullopt;
        }
        if (!kernelThread) {
            ReadResult cmdline =
                readFile(proc(), PidPath("", pid, "cmdline").c_str(), cmdlineBytes, CommandText::cmdlineLimit);
            if (cmdline == ReadResult::missing) return std::nullopt;
        }

        LastingParts::Parts parts;
        parts.uid = realUID(statusBytes.view()).value_or(-1);
        // A blank command names nothing: no row.
        std::string command = CommandText::fromCmdline(cmdlineBytes.view(), stat->comm, stat->state == 'Z');
        parts.command = std::string(UTF8::trimmed(command));
        if (checkThreadGroup) lastingParts().keep(*stat, parts);
        return rowOf(pid, *stat, std::move(parts));
    }

    // The row for pid with the command line the caller read: its stat line alone is read.
    std::optional<Proc> rowCommanded(std::int64_t pid, std::string_view command) {
        if (readFile(AT_FDCWD, PidPath("/proc/", pid, "stat").c_str(), statBytes, 4096) != ReadResult::ok) {
            return std::nullopt;
        }
        auto stat = parseStat(statBytes.view());
        if (!stat || stat->pid != pid) return std::nullopt;
        LastingParts::Parts parts;
        parts.command = std::string(UTF8::trimmed(command));
        return rowOf(pid, *stat, std::move(parts));
    }

    std::optional<Proc> rowOf(std::int64_t pid, const Stat& stat, LastingParts::Parts parts) {
        if (parts.command.empty()) return std::nullopt;
        Proc proc;
        proc.pid = pid;
        proc.ppid = stat.ppid;
        proc.state = runState(stat.state);
        proc.foreground = stat.pgrp == stat.tpgid;
        if (stat.ttyNr != 0) proc.terminal = stat.ttyNr;
        if (bootKnown) proc.start.seconds = startTime(boot, stat.startTicks, ticks);
        proc.start.id = startID(bootID(), stat.startTicks);
        proc.uid = parts.uid;
        proc.command = std::move(parts.command);
        return proc;
    }
};

bool allDigits(const char* name) {
    if (*name == '\0') return false;
    for (const char* c = name; *c; ++c) {
        if (*c < '0' || *c > '9') return false;
    }
    return true;
}

}  // namespace

std::optional<Stat> parseStat(std::string_view text) {
    std::size_t open = text.find('(');
    std::size_t close = text.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) return std::nullopt;
    Stat stat;
    std::string_view pid = text.substr(0, open);
    while (!pid.empty() && pid.back() == ' ') pid.remove_suffix(1);
    auto parsedPID = number<std::int64_t>(pid);
    if (!parsedPID) return std::nullopt;
    stat.pid = *parsedPID;
    stat.comm = std::string(text.substr(open + 1, close - open - 1));

    // Fields from the state (the third) on, split at single blanks.
    std::vector<std::string_view> fields;
    std::size_t at = close + 1;
    while (at < text.size() && fields.size() < 20) {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\n')) ++at;
        std::size_t end = at;
        while (end < text.size() && text[end] != ' ' && text[end] != '\n') ++end;
        if (end > at) fields.push_back(text.substr(at, end - at));
        at = end;
    }
    if (fields.size() < 20 || fields[0].size() != 1) return std::nullopt;
    stat.state = fields[0][0];
    auto ppid = number<std::int64_t>(fields[1]);
    auto pgrp = number<std::int64_t>(fields[2]);
    auto session = number<std::int64_t>(fields[3]);
    auto ttyNr = number<std::int64_t>(fields[4]);
    auto tpgid = number<std::int64_t>(fields[5]);
    auto flags = number<std::uint64_t>(fields[6]);
    auto nice = number<std::int64_t>(fields[16]);
    auto threads = number<std::int64_t>(fields[17]);
    auto start = number<std::uint64_t>(fields[19]);
    if (!ppid || !pgrp || !session || !ttyNr || !tpgid || !flags || !nice || !threads || !start) return std::nullopt;
    stat.ppid = *ppid;
    stat.pgrp = *pgrp;
    stat.session = *session;
    stat.ttyNr = static_cast<std::uint32_t>(*ttyNr);
    stat.tpgid = *tpgid;
    stat.flags = *flags;
    stat.nice = *nice;
    stat.threads = *threads;
    stat.startTicks = *start;
    return stat;
}

RunState runState(char letter) {
    switch (letter) {
        case 'R':
            return RunState::running;
        case 'S':
            return RunState::sleeping;
        case 'D':
            return RunState::waiting;
        case 'T':
            return RunState::stopped;
        case 't':
            return RunState::traced;
        case 'Z':
            return RunState::zombie;
        case 'X':
        case 'x':
            return RunState::dead;
        case 'I':
            return RunState::idle;
        default:
            return RunState::unknown;
    }
}

std::optional<std::int64_t> threadGroup(std::string_view status) {
    auto value = statusValue(status, "Tgid");
    if (!value) return std::nullopt;
    return number<std::int64_t>(*value);
}

std::optional<std::int64_t> realUID(std::string_view status) {
    auto value = statusValue(status, "Uid");
    if (!value) return std::nullopt;
    std::string_view real = value->substr(0, value->find_first_of(" \t"));
    return number<std::int64_t>(real);
}

std::optional<std::int64_t> bootTime(std::string_view procStat) {
    auto value = lineAfter(procStat, "btime ");
    if (!value) return std::nullopt;
    return number<std::int64_t>(*value);
}

std::optional<std::int64_t> bootTimeFromClocks(const timespec& wallBefore, const timespec& sinceBoot,
                                               const timespec& wallAfter) {
    constexpr std::int64_t second = 1'000'000'000;
    constexpr std::int64_t margin = 1'000'000;  // a millisecond, far above two clock reads apart
    auto nanoseconds = [](const timespec& time) {
        return static_cast<std::int64_t>(time.tv_sec) * second + static_cast<std::int64_t>(time.tv_nsec);
    };
    const std::int64_t spread = nanoseconds(wallAfter) - nanoseconds(wallBefore);
    if (spread < 0 || spread > margin) return std::nullopt;
    // The time since boot was read after wallBefore: the difference falls short of the kernel's by at most
    // the spread.
    const std::int64_t difference = nanoseconds(wallBefore) - nanoseconds(sinceBoot);
    if (difference < 0) return std::nullopt;
    const std::int64_t fraction = difference % second;
    if (fraction < margin || fraction > second - margin - spread) return std::nullopt;
    return difference / second;
}

std::int64_t startTime(std::int64_t boot, std::uint64_t startTicks, long ticksPerSecond) {
    if (ticksPerSecond <= 0) ticksPerSecond = 100;
    return boot + static_cast<std::int64_t>(startTicks / static_cast<std::uint64_t>(ticksPerSecond));
}

const std::string& bootID() {
    static const std::string id = [] {
        // One read: the file hands out all it has (37 bytes) at once.
        constexpr std::size_t limit = 128;
        FileBytes bytes;
        const bool read =
            readFile(AT_FDCWD, "/proc/sys/kernel/random/boot_id", bytes, limit) == ReadResult::ok && bytes.used < limit;
        // The file ends with a line break, which is no part of the id.
        return read ? ProcessStart::normalizedID(bytes.view()) : std::string();
    }();
    return id;
}

std::string startID(const std::string& bootID, std::uint64_t startTicks) {
    if (bootID.empty()) return {};
    return bootID + ":" + std::to_string(startTicks);
}

std::vector<Proc> read(const std::vector<std::int64_t>& pids) {
    std::vector<Proc> rows;
    Snapshot snapshot;
    if (!pids.empty()) {
        for (std::int64_t pid : pids) {
            if (!PIDRange::fits(pid)) continue;
            if (auto row = snapshot.row(pid, true)) rows.push_back(std::move(*row));
        }
        return rows;
    }
    if (snapshot.proc() < 0) return rows;
    int listing = ::openat(snapshot.proc(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) return rows;
    DIR* directory = ::fdopendir(listing);
    if (!directory) {
        ::close(listing);
        return rows;
    }
    rows.reserve(512);
    while (dirent* entry = ::readdir(directory)) {
        if (!allDigits(entry->d_name)) continue;
        auto pid = number<std::int64_t>(entry->d_name);
        if (!pid || !PIDRange::fits(*pid)) continue;
        if (auto row = snapshot.row(*pid, false)) rows.push_back(std::move(*row));
    }
    ::closedir(directory);
    return rows;
}

std::optional<Proc> process(std::int64_t pid, std::string_view command) {
    if (!PIDRange::fits(pid)) return std::nullopt;
    Snapshot snapshot;
    return snapshot.rowCommanded(pid, command);
}

std::optional<Stat> stat(std::int64_t pid) {
    if (!PIDRange::fits(pid)) return std::nullopt;
    FileBytes bytes;
    if (readFile(AT_FDCWD, PidPath("/proc/", pid, "stat").c_str(), bytes, 4096) != ReadResult::ok) {
        return std::nullopt;
    }
    return parseStat(bytes.view());
}

std::optional<std::string> status(std::int64_t pid) {
    if (!PIDRange::fits(pid)) return std::nullopt;
    FileBytes bytes;
    if (readFile(AT_FDCWD, PidPath("/proc/", pid, "status").c_str(), bytes, 65536) != ReadResult::ok) {
        return std::nullopt;
    }
    return std::string(bytes.view());
}

std::optional<std::int64_t> parentPID(std::int64_t pid) {
    auto parsed = stat(pid);
    if (!parsed) return std::nullopt;
    return parsed->ppid;
}

std::vector<std::string> splitArguments(std::string_view cmdline) {
    std::vector<std::string> arguments;
    std::size_t at = 0;
    while (at < cmdline.size()) {
        std::size_t end = cmdline.find('\0', at);
        if (end == std::string_view::npos) end = cmdline.size();
        arguments.push_back(UTF8::repaired(cmdline.substr(at, end - at)));
        at = end + 1;
    }
    return arguments;
}

std::optional<std::string> arguments(std::int64_t pid) {
    if (!PIDRange::fits(pid)) return std::nullopt;
    FileBytes bytes;
    if (readFile(AT_FDCWD, PidPath("/proc/", pid, "cmdline").c_str(), bytes, argumentsLimit) != ReadResult::ok) {
        return std::nullopt;
    }
    std::vector<std::string> split = splitArguments(bytes.view());
    if (split.empty()) return std::nullopt;
    std::string joined = split.front();
    for (std::size_t k = 1; k < split.size(); ++k) {
        joined += ' ';
        joined += split[k];
    }
    return joined;
}

std::optional<std::string> executablePath(std::int64_t pid) {
    if (!PIDRange::fits(pid)) return std::nullopt;
    char target[PATH_MAX];
    ssize_t n = ::readlink(PidPath("/proc/", pid, "exe").c_str(), target, sizeof target);
    if (n < 1 || static_cast<std::size_t>(n) >= sizeof target) return std::nullopt;
    return std::string(target, static_cast<std::size_t>(n));
}

}  // namespace tracker::ProcFS
