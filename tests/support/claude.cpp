// A stand-in for the Claude Code command-line program, for tests. Its executable is named `claude`, so the
// command-line pattern that recognises Claude Code sessions recognises it too.
//
// Like Claude Code it runs the status-line command of its settings file through "/bin/sh -c" on every
// refresh, with a status JSON on the command's standard input, and shows the command's output on its own
// standard output. When its standard input is a terminal it behaves like a full-screen terminal program:
// it puts the terminal into non-canonical mode, reads keys as they come, and sets the mode again whenever it
// is continued after a stop (so, like the real one, it stops with SIGTTOU if it finds itself moved to the
// background). Without a terminal it just refreshes.
//
// Usage: claude [options]
//   --settings FILE        settings JSON; its member "statusLine" {"type": "command", "command": "..."} is the
//                          status-line command. Read again on every refresh; no command: nothing is run.
//   --period-ms N          refresh period in milliseconds (default 250)
//   --session-id ID        "session_id" sent to the command (default: the one of the base document)
//   --version V            "version" sent to the command (default: the one of the base document)
//   --input FILE           base status document (default: a built-in copy of tests/fixtures/status-input.json)
//   --limits-file FILE     JSON object read again on every refresh; each of its members replaces the member of
//                          the same name in "rate_limits", e.g. {"five_hour": {"used_percentage": 91,
//                          "resets_at": 1796702400}}. Missing or malformed: the previous figures stay.
//   --heartbeat FILE       a decimal counter, rewritten atomically after every refresh (1, 2, 3, ...)
//   --status-file FILE     the last status-line output, rewritten atomically after every refresh
//   --pid-file FILE        its process id, written atomically at start
//   --hook-command CMD     run through "/bin/sh -c" after every refresh with a hook document on its standard
//                          input, for the events of a turn in order: UserPromptSubmit, PostToolBatch, Stop, ...
//   --command-stderr FILE  the command's standard error is appended there (default: discarded)
//   --command-timeout-ms N a command still running after N ms is killed (default 5000)
//   --refreshes N          exit after N refreshes (default: run until told to stop)
//   --lifetime-s N         exit after N seconds at the most (default 600), so a forgotten stand-in goes away
//
// It exits with status 0 on SIGINT, SIGTERM or SIGHUP, on Ctrl-D typed at its terminal, when its terminal
// goes away, and after --refreshes or --lifetime-s; with status 2 on a bad command line.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

using nlohmann::json;

const char* const builtInStatus = R"({
  "session_id": "12f8c8e2-9ad7-4bc5-bfe5-8e7de9c49ccf",
  "transcript_path": "/home/user/.claude/projects/-home-user-project/12f8c8e2-9ad7-4bc5-bfe5-8e7de9c49ccf.jsonl",
  "cwd": "/home/user/project",
  "effort": {"level": "medium"},
  "model": {"id": "claude-opus-5-5", "display_name": "Opus 5.5"},
  "workspace": {"current_dir": "/home/user/project", "project_dir": "/home/user/project", "added_dirs": []},
  "version": "2.1.328",
  "output_style": {"name": "default"},
  "cost": {"total_cost_usd": 1.37, "total_duration_ms": 23537, "total_api_duration_ms": 0,
           "total_lines_added": 0, "total_lines_removed": 0},
  "context_window": {"total_input_tokens": 0, "total_output_tokens": 0, "context_window_size": 1000000,
                     "current_usage": null, "used_percentage": null, "remaining_percentage": null},
  "exceeds_200k_tokens": false,
  "fast_mode": false,
  "thinking": {"enabled": true},
  "rate_limits": {
    "five_hour": {"used_percentage": 41.5, "resets_at": 1796702400},
    "seven_day": {"used_percentage": 12, "resets_at": 1797206400}
  }
})";

struct Options {
    std::string settings;
    long periodMs = 250;
    std::optional<std::string> sessionID;
    std::optional<std::string> version;
    std::string input;
    std::string limitsFile;
    std::string heartbeat;
    std::string statusFile;
    std::string pidFile;
    std::string hookCommand;
    std::string commandStderr;
    long commandTimeoutMs = 5000;
    long refreshes = -1;
    long lifetimeSeconds = 600;
};

volatile sig_atomic_t stopRequested = 0;
volatile sig_atomic_t continued = 0;

void onTerminate(int) {
    stopRequested = 1;
}
void onContinue(int) {
    continued = 1;
}

[[noreturn]] void usage(const std::string& problem) {
    std::cerr << "claude (test stand-in): " << problem << "\n";
    std::exit(2);
}

long parseNumber(const std::string& option, const char* text) {
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 0) usage("bad number for " + option + ": " + text);
    return value;
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (i + 1 >= argc) usage("missing value after " + option);
        const char* value = argv[++i];
        if (option == "--settings")
            options.settings = value;
        else if (option == "--period-ms")
            options.periodMs = parseNumber(option, value);
        else if (option == "--session-id")
            options.sessionID = value;
        else if (option == "--version")
            options.version = value;
        else if (option == "--input")
            options.input = value;
        else if (option == "--limits-file")
            options.limitsFile = value;
        else if (option == "--heartbeat")
            options.heartbeat = value;
        else if (option == "--status-file")
            options.statusFile = value;
        else if (option == "--pid-file")
            options.pidFile = value;
        else if (option == "--hook-command")
            options.hookCommand = value;
        else if (option == "--command-stderr")
            options.commandStderr = value;
        else if (option == "--command-timeout-ms")
            options.commandTimeoutMs = parseNumber(option, value);
        else if (option == "--refreshes")
            options.refreshes = parseNumber(option, value);
        else if (option == "--lifetime-s")
            options.lifetimeSeconds = parseNumber(option, value);
        else
            usage("unknown option " + option);
    }
    return options;
}

std::optional<std::string> readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::optional<json> readJSON(const std::string& path) {
    auto text = readWholeFile(path);
    if (!text) return std::nullopt;
    json value = json::parse(*text, nullptr, false);
    if (value.is_discarded()) return std::nullopt;
    return value;
}

// Replaces path with the bytes in one step, so a reader never sees half a file.
void writeAtomically(const std::string& path, const std::string& bytes) {
    if (path.empty()) return;
    std::string temporary = path + ".tmp." + std::to_string(getpid());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    close(fd);
    if (!ok || rename(temporary.c_str(), path.c_str()) != 0) unlink(temporary.c_str());
}

std::int64_t monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The status-line command of the settings file, or none.
std::optional<std::string> statusLineCommand(const std::string& settingsPath) {
    if (settingsPath.empty()) return std::nullopt;
    auto settings = readJSON(settingsPath);
    if (!settings || !settings->is_object()) return std::nullopt;
    auto line = settings->find("statusLine");
    if (line == settings->end() || !line->is_object()) return std::nullopt;
    auto type = line->find("type");
    auto command = line->find("command");
    if (type == line->end() || *type != "command" || command == line->end() || !command->is_string()) {
        return std::nullopt;
    }
    return command->get<std::string>();
}

class StatusDocument {
public:
    explicit StatusDocument(const Options& options) : options_(options) {
        std::optional<json> base;
        if (!options.input.empty()) {
            base = readJSON(options.input);
            if (!base || !base->is_object()) usage("cannot read a JSON object from " + options.input);
        } else {
            base = json::parse(builtInStatus);
        }
        document_ = *base;
        if (options.sessionID) document_["session_id"] = *options.sessionID;
        if (options.version) document_["version"] = *options.version;
        if (!document_["rate_limits"].is_object()) document_["rate_limits"] = json::object();
    }

    // The document to send on this refresh, with the latest figures of the limits file.
    std::string next() {
        if (!options_.limitsFile.empty()) {
            auto limits = readJSON(options_.limitsFile);
            if (limits && limits->is_object()) {
                for (auto& [key, value] : limits->items()) document_["rate_limits"][key] = value;
            }
        }
        return document_.dump();
    }

private:
    const Options& options_;
    json document_;
};

// Runs the command through /bin/sh with input on its standard input; its standard output, or none when it
// could not be started.
std::optional<std::string> runCommand(const std::string& command, const std::string& input, const Options& options) {
    int toChild[2];
    int fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0) return std::nullopt;
    if (pipe2(fromChild, O_CLOEXEC) != 0) {
        close(toChild[0]);
        close(toChild[1]);
        return std::nullopt;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    if (options.commandStderr.empty()) {
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, 2, options.commandStderr.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0644);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGCONT, SIGPIPE}) sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::string script = command;
    char shell[] = "/bin/sh";
    char dashC[] = "-c";
    char* argv[] = {shell, dashC, script.data(), nullptr};
    pid_t child = -1;
    int spawned = posix_spawn(&child, shell, &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(toChild[0]);
    close(fromChild[1]);
    if (spawned != 0) {
        close(toChild[1]);
        close(fromChild[0]);
        return std::nullopt;
    }

    // The document is far smaller than a pipe's buffer, so writing it whole first cannot block for long;
    // a command that does not read it only costs a broken pipe, which is ignored.
    std::size_t written = 0;
    while (written < input.size()) {
        ssize_t n = write(toChild[1], input.data() + written, input.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
    close(toChild[1]);

    std::string output;
    std::int64_t deadline = monotonicMs() + options.commandTimeoutMs;
    bool timedOut = false;
    for (;;) {
        std::int64_t left = deadline - monotonicMs();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd readable{fromChild[0], POLLIN, 0};
        int ready = poll(&readable, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        char buffer[4096];
        ssize_t n = read(fromChild[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        output.append(buffer, static_cast<std::size_t>(n));
    }
    close(fromChild[0]);
    if (timedOut) kill(child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return output;
}

void show(const std::string& output) {
    std::string line = output;
    if (!line.empty() && line.back() != '\n') line += '\n';
    std::size_t written = 0;
    while (written < line.size()) {
        ssize_t n = write(1, line.data() + written, line.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        written += static_cast<std::size_t>(n);
    }
}

// The terminal on standard input, when there is one: non-canonical and without echo while the program runs,
// restored on the way out.
class Terminal {
public:
    Terminal() {
        present_ = isatty(0) && tcgetattr(0, &saved_) == 0;
        if (!present_) return;
        mode_ = saved_;
        mode_.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        mode_.c_cc[VMIN] = 1;
        mode_.c_cc[VTIME] = 0;
        apply();
    }
    ~Terminal() {
        if (present_) tcsetattr(0, TCSANOW, &saved_);
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    bool present() const { return present_; }
    // Sets our mode again; done after every continue, as a terminal program must. From the background this
    // stops the program with SIGTTOU, exactly as it stops the real one.
    void apply() {
        if (present_) tcsetattr(0, TCSANOW, &mode_);
    }

private:
    bool present_ = false;
    termios saved_{};
    termios mode_{};
};

// Waits until the next refresh is due, reading keys from the terminal meanwhile. False when the program
// is to end (signal, Ctrl-D, terminal gone).
bool waitForNextRefresh(Terminal& terminal, std::int64_t dueMs, const sigset_t& waitMask) {
    for (;;) {
        if (stopRequested) return false;
        if (continued) {
            continued = 0;
            terminal.apply();
        }
        std::int64_t left = dueMs - monotonicMs();
        if (left <= 0) return true;
        timespec timeout{static_cast<time_t>(left / 1000), static_cast<long>((left % 1000) * 1000000)};
        pollfd keys{0, POLLIN, 0};
        int ready = ppoll(terminal.present() ? &keys : nullptr, terminal.present() ? 1 : 0, &timeout, &waitMask);
        if (ready <= 0) continue;
        if (keys.revents & (POLLHUP | POLLERR | POLLNVAL)) return false;
        if (keys.revents & POLLIN) {
            char buffer[256];
            ssize_t n = read(0, buffer, sizeof buffer);
            if (n == 0) return false;
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] == 0x04) return false;  // Ctrl-D
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options = parseOptions(argc, argv);
    signal(SIGPIPE, SIG_IGN);

    // The signals that end or continue us are handled only while waiting, so none is lost between a check
    // and the wait.
    sigset_t handled;
    sigemptyset(&handled);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGCONT}) sigaddset(&handled, signal);
    sigset_t waitMask;
    sigprocmask(SIG_BLOCK, &handled, &waitMask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action {};
        action.sa_handler = onTerminate;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
    }
    struct sigaction onCont {};
    onCont.sa_handler = onContinue;
    sigemptyset(&onCont.sa_mask);
    sigaction(SIGCONT, &onCont, nullptr);

    writeAtomically(options.pidFile, std::to_string(getpid()) + "\n");
    StatusDocument document(options);
    Terminal terminal;
    std::int64_t endMs = monotonicMs() + options.lifetimeSeconds * 1000;
    std::int64_t beats = 0;
    while (!stopRequested && monotonicMs() < endMs && (options.refreshes < 0 || beats < options.refreshes)) {
        std::int64_t startedMs = monotonicMs();
        std::string input = document.next();
        if (auto command = statusLineCommand(options.settings)) {
            if (auto output = runCommand(*command, input, options)) {
                show(*output);
                writeAtomically(options.statusFile, *output);
            }
        }
        if (!options.hookCommand.empty()) {
            // A turn: the prompt goes out, a reply with tools, the next request, the turn's end.
            static const char* const events[] = {"UserPromptSubmit", "PostToolBatch", "Stop"};
            json hook = {{"session_id", json::parse(input).value("session_id", "")},
                         {"hook_event_name", events[beats % 3]},
                         {"cwd", "/"}};
            runCommand(options.hookCommand, hook.dump(), options);
        }
        ++beats;
        writeAtomically(options.heartbeat, std::to_string(beats) + "\n");
        if (options.refreshes >= 0 && beats >= options.refreshes) break;
        if (!waitForNextRefresh(terminal, startedMs + options.periodMs, waitMask)) break;
    }
    return 0;
}
