#pragma once

// Runs the real Claude Code (the pinned version scripts/install-claude-code puts in place) in a tmux pane of
// its own, or as a print run (claude -p) with no terminal at all, against the fake Messages API of
// tests/support/fake_messages_api.py, in a throwaway home with onboarding and workspace trust accepted. Its
// status line and hooks record what Claude Code hands them. Everything it starts ends when the object goes
// away, also when the test fails half-way.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "RealWorld.hpp"
#include "TestSupport.hpp"

namespace tracker::test {

// The pinned Claude Code: $TARNEL_CLAUDE_BINARY when set, else what scripts/install-claude-code --installed
// names. Empty path with the reason when there is none.
struct RealClaudeBinary {
    std::string path;
    std::string whyNot;
};
RealClaudeBinary findRealClaude();
// findRealClaude, with whyNot also set when tmux or python3 (the fake API) is missing, or, with freezer, when
// the cgroup2 tree below this process cannot be written (in tmux only the freezer holds).
RealClaudeBinary runnableRealClaude(bool freezer);

// The fake Messages API serving a script (see the program's own description for its form).
class FakeMessagesAPI {
public:
    FakeMessagesAPI(const std::string& directory, const nlohmann::json& script);
    ~FakeMessagesAPI();
    FakeMessagesAPI(const FakeMessagesAPI&) = delete;
    FakeMessagesAPI& operator=(const FakeMessagesAPI&) = delete;

    // 0 when it did not come up.
    int port() const { return port_; }
    std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }
    // One object per request (and per event of a streamed reply: "block", "hang_up", "end"), in order.
    std::vector<nlohmann::json> log() const;

private:
    std::string logPath_;
    std::unique_ptr<ChildProcess> server_;
    int port_ = 0;
};

// One record of a hook run or a status-line run: when (epoch seconds), the hook event ("" for the status
// line) and the JSON document Claude Code wrote to its standard input.
struct Recorded {
    double time = 0;
    std::string event;
    nlohmann::json input;
};

class RealClaude {
public:
    struct Options {
        std::string binary;     // from findRealClaude()
        nlohmann::json script;  // the fake's replies
        std::string prompt;     // given on the command line: no keys are typed
        std::vector<std::string> hookEvents = {
            "SessionStart",  "UserPromptSubmit",  "PreToolUse",   "PostToolUse",   "PostToolUseFailure",
            "PostToolBatch", "PermissionRequest", "Notification", "SubagentStart", "SubagentStop",
            "Stop",          "StopFailure",       "SessionEnd"};
        std::string statusLineCommand;                            // empty: the recorder
        nlohmann::json extraSettings = nlohmann::json::object();  // merged over the settings we write
        // "NAME=value" for Claude Code's environment, e.g. CLAUDE_BYTE_STREAM_IDLE_TIMEOUT_MS=10000 (its
        // watchdog on a reply that stops arriving: 300 s against a custom base URL, 10 s at the least).
        std::vector<std::string> environment;
        // Runs once the home is written, before Claude Code starts (e.g. an installer over its settings).
        std::function<void(const RealClaude&)> beforeLaunch;
        // claude -p: no pane and no terminal (a session of its own); it answers the prompt and ends.
        bool print = false;
    };

    explicit RealClaude(Options options);
    ~RealClaude();
    RealClaude(const RealClaude&) = delete;
    RealClaude& operator=(const RealClaude&) = delete;

    // Starts the fake and Claude Code; false (with the reason in whyNot()) when either did not come up.
    bool start();
    const std::string& whyNot() const { return whyNot_; }
    // Claude Code's process, -1 before start.
    std::int64_t pid() const { return pid_; }

    const std::string& home() const { return home_; }
    const std::string& workDirectory() const { return work_; }
    std::string settingsPath() const { return home_ + "/.claude/settings.json"; }
    FakeMessagesAPI& api() { return *api_; }

    // What the pane shows, with its history; of a print run, what it wrote to its standard output and then
    // to its standard error.
    std::string screen() const;
    // Waits for a print run to end: its exit status (128 + the signal when one ended it), none on time-out or
    // for a pane.
    std::optional<int> exitStatus(std::chrono::milliseconds timeout);
    bool waitForScreen(const std::string& text, std::chrono::milliseconds timeout) const;
    // Types text into the pane, then Enter when `enter` is set.
    void type(const std::string& text, bool enter = true) const;
    std::vector<Recorded> hooks() const;
    std::vector<Recorded> statusLines() const;
    bool waitForHook(const std::string& event, std::chrono::milliseconds timeout) const;

    // The recorder commands, for settings a test writes itself: appends one line per run to file.
    std::string recorderCommand(const std::string& file, const std::string& event) const;

private:
    void writeHome();
    // The shell line that starts Claude Code in the work directory, with the environment it is given.
    std::string commandLine() const;

    Options options_;
    TempDir directory_;
    std::string home_;
    std::string work_;
    std::string hooksFile_;
    std::string statusFile_;
    std::unique_ptr<FakeMessagesAPI> api_;
    std::unique_ptr<TmuxServer> tmux_;
    std::unique_ptr<ChildProcess> printRun_;
    std::int64_t pid_ = -1;
    std::string whyNot_;
};

// Content blocks of a scripted reply for the fake API: a text, and a Bash tool call; extra members (delays,
// chunks) are merged in.
nlohmann::json textBlock(const std::string& words, nlohmann::json extra = nlohmann::json::object());
nlohmann::json bashBlock(const std::string& command, nlohmann::json extra = nlohmann::json::object());

}  // namespace tracker::test
