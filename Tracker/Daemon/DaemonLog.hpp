#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Core/LogHook.hpp"

namespace tracker {

// Severity of a daemon log line, ordered from the chattiest to the gravest.
enum class DaemonLogLevel : int {
    verbose = 0,
    debug = 1,
    info = 2,
    warning = 3,
    error = 4,
    critical = 5,
};

// Names, labels and parsing of the levels ("--log-level" choices and line labels).
namespace DaemonLogLevels {

// "verbose", "debug", "info", "warning", "error", "critical", in this order.
const std::vector<std::string>& allNames();
// The lower-case name, e.g. "warning".
std::string_view name(DaemonLogLevel level);
// The label a log line carries, e.g. "WARNING".
std::string_view label(DaemonLogLevel level);
// A name in any letter case, plus "warn" for warning and "fatal" for critical; anything else none.
std::optional<DaemonLogLevel> fromName(std::string_view name);

}  // namespace DaemonLogLevels

// The daemon's one logger: time-stamped lines to "daemon.log" (rotated to "daemon.log.1" at
// maxBytes; made 0600, never opened through a symbolic link nor when it is not the user's own
// regular file) and optionally standard error. When standard error is the journal (systemd names
// it in JOURNAL_STREAM), its lines start with their syslog priority ("<4>") instead of a time
// stamp, which the journal keeps itself. Shared by reference, so it is only made through create();
// sink() hands the shared core a plain function that holds the logger weakly.
class DaemonLogger : public std::enable_shared_from_this<DaemonLogger> {
public:
    static constexpr std::int64_t defaultMaxBytes = 4194304;

    // Opens (creating) the file at path at once; no path means no file output. Never throws.
    static std::shared_ptr<DaemonLogger> create(std::optional<std::string> path, DaemonLogLevel level, bool console,
                                                std::int64_t maxBytes = defaultMaxBytes);
    ~DaemonLogger();
    DaemonLogger(const DaemonLogger&) = delete;
    DaemonLogger& operator=(const DaemonLogger&) = delete;

    // Writes one line when level passes the filter; the message function is called only then.
    template <std::invocable F>
    void log(DaemonLogLevel level, F&& message) {
        if (!passes(level)) return;
        write(level, std::string(std::forward<F>(message)()));
    }
    // A ready text, for messages that cost nothing to build.
    void log(DaemonLogLevel level, std::string_view message) {
        if (passes(level)) write(level, std::string(message));
    }

    template <class M>
    void verbose(M&& message) {
        log(DaemonLogLevel::verbose, std::forward<M>(message));
    }
    template <class M>
    void debug(M&& message) {
        log(DaemonLogLevel::debug, std::forward<M>(message));
    }
    template <class M>
    void info(M&& message) {
        log(DaemonLogLevel::info, std::forward<M>(message));
    }
    template <class M>
    void warning(M&& message) {
        log(DaemonLogLevel::warning, std::forward<M>(message));
    }
    template <class M>
    void error(M&& message) {
        log(DaemonLogLevel::error, std::forward<M>(message));
    }
    template <class M>
    void critical(M&& message) {
        log(DaemonLogLevel::critical, std::forward<M>(message));
    }

    bool passes(DaemonLogLevel level) const { return static_cast<int>(level) >= static_cast<int>(level_); }

    // A log hook for code that knows nothing of the logger: a leading "debug ", "warning ", ...
    // picks the level and is dropped; other texts log at info. Does nothing once the logger is gone.
    LogHook sink();

    DaemonLogLevel level() const { return level_; }
    const std::optional<std::string>& path() const { return path_; }
    std::int64_t maxBytes() const { return maxBytes_; }

    // One formatted line, without taking the lock: stamp, blank, label padded to 8, blank, message
    // escaped, so that no value it shows can end the line or start another.
    static std::string formatLine(DaemonLogLevel level, std::string_view message);
    // The text with every control character (C0, DEL and C1; newlines too) written as an escape:
    // \n, \r, \t, \xNN, \u00NN.
    static std::string escaped(std::string_view text);
    // The local time "yyyy-MM-dd HH:mm:ss,SSS" of now.
    static std::string stampNow();

    // Whether standard error is the stream JOURNAL_STREAM ("device:inode") names.
    static bool standardErrorIsJournal();
    // The journal's priority prefix of a level: "<2>" critical, "<3>" error, "<4>" warning, "<6>" info,
    // "<7>" debug and verbose.
    static std::string_view journalPriority(DaemonLogLevel level);
    // What starts a line of level on standard error: its priority when that is the journal, else nothing.
    static std::string consolePrefix(DaemonLogLevel level);

private:
    DaemonLogger(std::optional<std::string> path, DaemonLogLevel level, bool console, std::int64_t maxBytes);

    // The line after its stamp: label padded to 8, blank, message escaped, newline.
    static std::string lineBody(DaemonLogLevel level, std::string_view message);
    void write(DaemonLogLevel level, const std::string& message);
    // Both need lock_ held.
    void openFile();
    void rotateIfNeeded();

    const DaemonLogLevel level_;
    const std::optional<std::string> path_;
    const bool console_;
    // Standard error is the journal: console lines carry their priority and no stamp.
    const bool journal_;
    const std::int64_t maxBytes_;

    std::mutex lock_;
    int fd_ = -1;
    std::int64_t written_ = 0;
};

}  // namespace tracker
