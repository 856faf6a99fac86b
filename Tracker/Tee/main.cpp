// tarnel-tee: Claude Code's status-line command. Records the session that ran
// it, then prints the user's own status line (or a minimal one). It must never
// disturb the status line: every failure is a debug note, the exit status is 0.

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "Core/CommandLine.hpp"
#include "Core/FileRead.hpp"
#include "Core/FileWrite.hpp"
#include "Core/HoldNotice.hpp"
#include "Core/JSONFile.hpp"
#include "Core/ProcessAncestry.hpp"
#include "Core/ProcessTable.hpp"
#include "Core/Records.hpp"
#include "Core/Spawn.hpp"
#include "Core/StandardStreams.hpp"
#include "Core/StateDir.hpp"
#include "Core/StateDirTrust.hpp"
#include "Core/StatusInput.hpp"
#include "Core/StatusLine.hpp"
#include "Core/Version.hpp"
#include "Platform/ProcessSource.hpp"
#include "Tee/HookRecorder.hpp"

namespace tracker {
namespace {

const char* const usage =
    "usage: tarnel-tee < STATUS.json\n"
    "       tarnel-tee --hook < HOOK-EVENT.json\n"
    "\n"
    "Claude Code's status-line command: records the session that runs it in the state\n"
    "directory for tarnel-vovivida, then prints your own status line (display_command in\n"
    "config.json) or a minimal one. Claude Code runs it; `tarnel install` sets it up.\n"
    "\n"
    "  --hook      as Claude Code's hook command: record where the session stands in\n"
    "              its turn, print nothing\n"
    "  --help      print this and exit\n"
    "  --version   print the version and exit\n"
    "\n"
    "Environment: VAZ_ADODIVO_STATE_DIR (the state directory), VAZ_ADODIVO_EXEMPT=1 (never\n"
    "hold this session), LST_TEE_DEBUG=1 (explain on standard error).\n"
    "Exit status: always 0.\n";

struct Tee {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    Environment environment;
    bool debug = false;
    std::string input;
    std::string sessionID;
    std::string version;
    JSONObject rateLimits;
    std::optional<StateDir> stateDir;
    // Why the state directory is not the user's alone; then nothing in it is used.
    std::optional<std::string> untrusted;

    std::string elapsedMS() const {
        auto nanoseconds =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
        char text[64];
        std::snprintf(text, sizeof text, "%.2fms", static_cast<double>(nanoseconds) / 1'000'000.0);
        return text;
    }

    // The message is built only when debug notes are on.
    void note(const std::function<std::string()>& message) const {
        if (!debug) return;
        std::string line = "[tarnel-tee " + elapsedMS() + "] " + message() + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
    }

    std::string env(const char* name) const {
        auto it = environment.find(name);
        return it == environment.end() ? std::string() : it->second;
    }

    std::optional<Record> recordSession() const;
    void runDisplay() const;
};

// Far above any status document (a few kilobytes); what a broken or hostile
// writer sends past it is not read.
constexpr std::size_t maxInputBytes = 1024 * 1024;

std::optional<Record> Tee::recordSession() const {
    if (untrusted) {
        note([this] { return *untrusted + "; not recording"; });
        return std::nullopt;
    }
    if (sessionID.empty()) {
        note([] { return "no session_id on stdin; not recording"; });
        return std::nullopt;
    }
    if (!isSafeSessionID(sessionID)) {
        // The id names a file: one that could leave sessions/ or hide there is refused.
        note([this] { return "session_id " + JSON(sessionID).dump() + " is not a safe file name; not recording"; });
        return std::nullopt;
    }

    auto found = ProcessAncestry::findClaude(static_cast<std::int64_t>(getppid()), maxAncestorHops);
    if (!found) {
        note([] { return "no claude ancestor within " + std::to_string(maxAncestorHops) + " hops"; });
        return std::nullopt;
    }
    for (const auto& hop : found->chain) {
        note([&hop] { return "hop pid=" + std::to_string(hop.pid) + " cmd=" + hop.command; });
    }

    const std::int64_t pid = found->claude.pid;
    ProcessTable table = ProcessTable::forClaude(found->claude);
    auto row = table.get(pid);
    if (!row) {
        note([pid] { return "pid " + std::to_string(pid) + " could not be read"; });
        return std::nullopt;
    }
    if (!row->start.known()) {
        note([pid] { return "no start time for pid " + std::to_string(pid) + "; not recording"; });
        return std::nullopt;
    }

    Record record = table.processRecord(*row);
    record.sessionID = sessionID;
    record.ts = static_cast<double>(std::time(nullptr));
    record.exempt = env("VAZ_ADODIVO_EXEMPT") == "1";
    record.version = version;
    record.rateLimits = rateLimits;
    record.schema = schemaVersion;

    note([&] {
        return "claude_pid=" + std::to_string(pid) + " shape=" + shapeText(record.shape) +
               " shell_pid=" + (record.parentShellPID ? std::to_string(*record.parentShellPID) : std::string("null")) +
               " tty=" + ProcessSource::terminalName(*row) + " foreground=" + (row->foreground ? "true" : "false") +
               " exempt=" + (record.exempt ? "true" : "false");
    });

    try {
        stateDir->ensureDirectories();
        stateDir->write(record, /*durable=*/false);
    } catch (const std::exception& error) {
        std::string description = error.what();
        note([&description] { return "could not write the record: " + description; });
        return std::nullopt;
    }
    return record;
}

void Tee::runDisplay() const {
    // The display command runs as the user: only from a config.json that nobody else can have written.
    std::optional<std::string> command;
    TrackerConfig config;
    std::optional<Pause> pause;
    if (!untrusted) {
        std::string problem;
        auto document = StateDirTrust::readDocument(stateDir->configPath(), {}, &problem);
        if (document && document->is_object()) {
            config = TrackerConfig::fromJSON(document->get<JSONObject>());
            command = config.displayCommand;
        } else if (!problem.empty()) {
            note([&problem] { return problem + "; not running its display_command"; });
        }
        pause = stateDir->readPause();
        // The threshold in force is the running daemon's (the command line or the environment may have set
        // it); config.json's where none runs.
        if (auto daemon = stateDir->readDaemonPID(); daemon && daemon->threshold && ::kill(daemon->pid, 0) == 0) {
            config.threshold = *daemon->threshold;
        }
    }
    Record figures;
    figures.rateLimits = rateLimits;
    const double now = static_cast<double>(std::time(nullptr));
    const HoldNotice notice = HoldNotice::of(pause, config, figures.usedPercentage(), now);
    if (command) {
        // The user's own line can show the holds too.
        for (const auto& [name, value] : notice.environment()) ::setenv(name.c_str(), value.c_str(), 1);
        if (!Spawn::shell(*command, input)) {
            note([&command] { return "could not run the display command: " + *command; });
        }
        return;
    }
    if (auto line = notice.line(rateLimits, now)) {
        FileWrite::all(STDOUT_FILENO, *line + "\n");
        return;
    }
    note([] { return "no display_command and no five_hour block; printing nothing"; });
}

// The status line's run.
void run() {
    Tee tee;
    tee.environment = currentEnvironment({"LST_TEE_DEBUG", "VAZ_ADODIVO_EXEMPT", StateDir::environmentKey});
    tee.debug = tee.env("LST_TEE_DEBUG") == "1";

    FileRead::Outcome read = FileRead::all(STDIN_FILENO, maxInputBytes);
    tee.input = std::move(read.bytes);
    if (read.tooLarge) {
        tee.note([] { return "stdin is larger than " + std::to_string(maxInputBytes) + " bytes; read no further"; });
    }
    StatusInput status = StatusInput::fromBytes(tee.input, {"session_id", "version", "rate_limits"});
    tee.sessionID = std::move(status.sessionID);
    tee.version = std::move(status.version);
    tee.rateLimits = std::move(status.rateLimits);
    tee.stateDir = StateDir::fromEnvironment(std::nullopt, tee.environment);
    tee.untrusted = tee.stateDir->trustProblem();
    tee.note([&tee] { return "stdin read: " + std::to_string(tee.input.size()) + " bytes"; });

    bool written = false;
    try {
        written = tee.recordSession().has_value();
    } catch (const std::exception& error) {
        // Nothing in recording may take the status line down with it.
        std::string description = error.what();
        tee.note([&description] { return "recording failed: " + description; });
    }
    tee.note([written] { return std::string("record written: ") + (written ? "true" : "false"); });

    try {
        tee.runDisplay();
    } catch (const std::exception& error) {
        std::string description = error.what();
        tee.note([&description] { return "status line failed: " + description; });
    }
    tee.note([] { return "done"; });
}

}  // namespace
}  // namespace tracker

int main(int argc, char** argv) {
    // One word at most is looked at: the status line starts the tee on every refresh.
    const std::string_view word = argc == 2 ? std::string_view(argv[1]) : std::string_view();
    if (word == "--version" || word == "--help" || word == "-h") {
        const std::string text = word == "--version" ? tracker::Version::line("tarnel-tee") : tracker::usage;
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    }
    // As a hook command it records the session's phase and prints nothing; nothing of the status line runs.
    const bool hook = word == "--hook";
    try {
        tracker::StandardStreams::ensureOpen();
        ::signal(SIGPIPE, SIG_IGN);
        if (hook) {
            tracker::HookRecorder::run(tracker::currentEnvironment(
                {"LST_TEE_DEBUG", "VAZ_ADODIVO_EXEMPT", tracker::StateDir::environmentKey}));
        } else {
            tracker::run();
        }
    } catch (...) {
    }
    // Nothing is left to flush (the line went out in one write) and nothing to tear down that the exit
    // itself does not: the exit handlers and static destructors of a run that lasts a millisecond are skipped.
    // Under AddressSanitizer the exit stays whole, so that its leak check still runs.
    std::fflush(nullptr);
#if !defined(__SANITIZE_ADDRESS__)
    ::_exit(0);
#else
    return 0;
#endif
}
