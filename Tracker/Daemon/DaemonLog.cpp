#include "Daemon/DaemonLog.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <utility>

#include "Core/UTF8.hpp"

namespace tracker {

namespace {

struct LevelInfo {
    DaemonLogLevel level;
    std::string_view name;
    std::string_view label;
    std::string_view priority;  // the journal's (syslog's) priority prefix
};

constexpr std::array<LevelInfo, 6> levelTable{{
    {DaemonLogLevel::verbose, "verbose", "VERBOSE", "<7>"},
    {DaemonLogLevel::debug, "debug", "DEBUG", "<7>"},
    {DaemonLogLevel::info, "info", "INFO", "<6>"},
    {DaemonLogLevel::warning, "warning", "WARNING", "<4>"},
    {DaemonLogLevel::error, "error", "ERROR", "<3>"},
    {DaemonLogLevel::critical, "critical", "CRITICAL", "<2>"},
}};

// The sink's leading level words, tried in this order, matched case-sensitively.
constexpr std::array<std::pair<std::string_view, DaemonLogLevel>, 6> sinkPrefixes{{
    {"verbose ", DaemonLogLevel::verbose},
    {"debug ", DaemonLogLevel::debug},
    {"info ", DaemonLogLevel::info},
    {"warning ", DaemonLogLevel::warning},
    {"error ", DaemonLogLevel::error},
    {"critical ", DaemonLogLevel::critical},
}};

constexpr std::size_t labelWidth = 8;

// Writes all of bytes to fd, retrying interruptions; the number of bytes that went out.
std::size_t writeAll(int fd, const char* bytes, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

}  // namespace

namespace DaemonLogLevels {

const std::vector<std::string>& allNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> out;
        for (const auto& info : levelTable) out.emplace_back(info.name);
        return out;
    }();
    return names;
}

std::string_view name(DaemonLogLevel level) {
    for (const auto& info : levelTable)
        if (info.level == level) return info.name;
    return "info";
}

std::string_view label(DaemonLogLevel level) {
    for (const auto& info : levelTable)
        if (info.level == level) return info.label;
    return "INFO";
}

std::optional<DaemonLogLevel> fromName(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    for (const auto& info : levelTable)
        if (lower == info.name) return info.level;
    if (lower == "warn") return DaemonLogLevel::warning;
    if (lower == "fatal") return DaemonLogLevel::critical;
    return std::nullopt;
}

}  // namespace DaemonLogLevels

std::shared_ptr<DaemonLogger> DaemonLogger::create(std::optional<std::string> path, DaemonLogLevel level, bool console,
                                                   std::int64_t maxBytes) {
    return std::shared_ptr<DaemonLogger>(new DaemonLogger(std::move(path), level, console, maxBytes));
}

DaemonLogger::DaemonLogger(std::optional<std::string> path, DaemonLogLevel level, bool console, std::int64_t maxBytes)
    : level_(level),
      path_(std::move(path)),
      console_(console),
      journal_(console && standardErrorIsJournal()),
      maxBytes_(maxBytes) {
    std::lock_guard guard(lock_);
    openFile();
}

DaemonLogger::~DaemonLogger() {
    if (fd_ >= 0) ::close(fd_);
}

std::string DaemonLogger::stampNow() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const auto sinceEpoch = now.time_since_epoch();
    const auto secs = duration_cast<seconds>(sinceEpoch);
    auto millis = duration_cast<milliseconds>(sinceEpoch - secs).count();
    std::time_t t = static_cast<std::time_t>(secs.count());
    if (millis < 0) {  // before 1970: keep the fraction positive
        millis += 1000;
        --t;
    }
    std::tm local{};
    localtime_r(&t, &local);
    char buffer[40];
    std::size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(buffer + n, sizeof buffer - n, ",%03d", static_cast<int>(millis));
    return buffer;
}

bool DaemonLogger::standardErrorIsJournal() {
    const char* named = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    char end = 0;
    if (!named || std::sscanf(named, "%llu:%llu%c", &device, &inode, &end) != 2) return false;
    struct stat st {};
    return ::fstat(STDERR_FILENO, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

std::string_view DaemonLogger::journalPriority(DaemonLogLevel level) {
    for (const auto& info : levelTable)
        if (info.level == level) return info.priority;
    return "<6>";
}

std::string DaemonLogger::consolePrefix(DaemonLogLevel level) {
    return standardErrorIsJournal() ? std::string(journalPriority(level)) : std::string();
}

std::string DaemonLogger::formatLine(DaemonLogLevel level, std::string_view message) {
    return stampNow() + ' ' + lineBody(level, message);
}

std::string DaemonLogger::lineBody(DaemonLogLevel level, std::string_view message) {
    std::string line(DaemonLogLevels::label(level));
    if (line.size() < labelWidth) line.append(labelWidth - line.size(), ' ');
    line += ' ';
    line += escaped(message);
    line += '\n';
    return line;
}

std::string DaemonLogger::escaped(std::string_view text) {
    return UTF8::controlsEscaped(text);
}

void DaemonLogger::write(DaemonLogLevel level, const std::string& message) {
    const std::string body = lineBody(level, message);
    const std::string line = stampNow() + ' ' + body;
    // The journal keeps its own time: its line is the priority and the body.
    const std::string journalLine = journal_ ? std::string(journalPriority(level)) + body : std::string();
    std::lock_guard guard(lock_);
    if (console_) {
        const std::string& shown = journal_ ? journalLine : line;
        writeAll(STDERR_FILENO, shown.data(), shown.size());
    }
    rotateIfNeeded();
    if (fd_ >= 0) {
        // A short or failed write counts what reached the file and is otherwise ignored.
        written_ += static_cast<std::int64_t>(writeAll(fd_, line.data(), line.size()));
    }
}

void DaemonLogger::openFile() {
    if (!path_) return;
    std::error_code ec;
    const std::filesystem::path file(*path_);
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    // Never through a symbolic link, never into a file that is not the user's own: whoever
    // planted either would have the daemon write into a file of their choosing.
    do {
        fd_ = ::open(path_->c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK,
                     0600);
    } while (fd_ < 0 && errno == EINTR);
    struct stat st {};
    if (fd_ >= 0 && (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid())) {
        ::close(fd_);
        fd_ = -1;
    }
    written_ = fd_ >= 0 ? static_cast<std::int64_t>(st.st_size) : 0;
}

void DaemonLogger::rotateIfNeeded() {
    if (!path_ || maxBytes_ <= 0 || written_ < maxBytes_) return;
    const std::string rotated = *path_ + ".1";
    ::unlink(rotated.c_str());
    if (::rename(path_->c_str(), rotated.c_str()) != 0 && fd_ >= 0) {
        // Could not keep the old generation: start the log afresh rather than let it grow.
        int ignored = ::ftruncate(fd_, 0);
        (void)ignored;
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    written_ = 0;
    openFile();
}

LogHook DaemonLogger::sink() {
    std::weak_ptr<DaemonLogger> weak = weak_from_this();
    return [weak](const std::string& text) {
        std::shared_ptr<DaemonLogger> logger = weak.lock();
        if (!logger) return;
        for (const auto& [prefix, level] : sinkPrefixes) {
            if (text.starts_with(prefix)) {
                logger->log(level, std::string_view(text).substr(prefix.size()));
                return;
            }
        }
        logger->log(DaemonLogLevel::info, std::string_view(text));
    };
}

}  // namespace tracker
