#include "RealClaude.hpp"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "CgroupGuard.hpp"

namespace tracker::test {

namespace {

using nlohmann::json;

std::string trimmedLine(const std::string& text) {
    auto end = text.find_last_not_of(" \t\r\n");
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

std::vector<json> jsonLines(const std::string& path) {
    std::vector<json> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        auto value = json::parse(line, nullptr, false);
        if (!value.is_discarded()) lines.push_back(std::move(value));
    }
    return lines;
}

std::vector<Recorded> recordsIn(const std::string& path) {
    std::vector<Recorded> records;
    for (auto& line : jsonLines(path)) {
        if (!line.is_object()) continue;
        Recorded record;
        record.time = line.value("time", 0.0);
        record.event = line.value("event", "");
        record.input = line.value("input", json());
        records.push_back(std::move(record));
    }
    return records;
}

// Appends {"time": ..., "event": ..., "input": <standard input>} to the file; prints a status line when it
// records the status line (no event), nothing for a hook. Claude Code sends its JSON on one line.
constexpr const char* recorderScript = R"SH(#!/bin/sh
input=$(tr -d '\r\n')
[ -n "$input" ] || input=null
line=$(printf '{"time":%s,"event":"%s","input":%s}' "$(date +%s.%N)" "$2" "$input")
printf '%s\n' "$line" >> "$1"
[ -n "$2" ] || echo "recorded status line"
exit 0
)SH";

}  // namespace

RealClaudeBinary findRealClaude() {
    if (const char* set = std::getenv("TARNEL_CLAUDE_BINARY"); set && *set) {
        if (access(set, X_OK) == 0) return {set, {}};
        return {{}, std::string("TARNEL_CLAUDE_BINARY names ") + set + ", which cannot be run"};
    }
    std::string installer = std::string(TARNEL_SOURCE_DIR) + "/scripts/install-claude-code";
    std::string version;
    runProgram({installer, "--version"}, &version);
    std::string path;
    if (runProgram({installer, "--installed"}, &path) != 0 || trimmedLine(path).empty()) {
        return {{},
                "Claude Code " + trimmedLine(version) + " is not installed (scripts/install-claude-code installs it)"};
    }
    return {trimmedLine(path), {}};
}

RealClaudeBinary runnableRealClaude(bool freezer) {
    RealClaudeBinary binary = findRealClaude();
    if (binary.path.empty()) return binary;
    auto refuse = [&](std::string why) {
        binary.path.clear();
        binary.whyNot = std::move(why);
        return binary;
    };
    if (runProgram({"sh", "-c", "command -v tmux && command -v python3"}) != 0) {
        return refuse("tmux or python3 is missing (scripts/install-deps installs them)");
    }
    if (!freezer) return binary;
    if (!CgroupV2::mount()) return refuse("no cgroup2 file system is mounted here");
    TestCgroup probe("tarnel-probe");
    if (!probe.made()) return refuse("the cgroup2 tree below this process cannot be written here");
    return binary;
}

FakeMessagesAPI::FakeMessagesAPI(const std::string& directory, const json& script)
    : logPath_(directory + "/api-log.jsonl") {
    std::string scriptPath = directory + "/api-script.json";
    std::string portPath = directory + "/api-port";
    writeFile(scriptPath, script.dump(1));
    std::string program = std::string(TARNEL_SOURCE_DIR) + "/tests/support/fake_messages_api.py";
    SpawnOptions options;
    options.stderrPath = directory + "/api-stderr.txt";
    server_ = std::make_unique<ChildProcess>(std::vector<std::string>{"python3", program, "--script", scriptPath,
                                                                      "--port-file", portPath, "--log", logPath_},
                                             options);
    waitUntil([&] { return fileExists(portPath); }, std::chrono::seconds(10), std::chrono::milliseconds(20));
    if (fileExists(portPath)) port_ = std::atoi(readFile(portPath).c_str());
}

FakeMessagesAPI::~FakeMessagesAPI() = default;

std::vector<json> FakeMessagesAPI::log() const {
    return jsonLines(logPath_);
}

RealClaude::RealClaude(Options options) : options_(std::move(options)) {
    home_ = directory_.file("home");
    work_ = directory_.file("work");
    hooksFile_ = directory_.file("hooks.jsonl");
    statusFile_ = directory_.file("status-lines.jsonl");
}

RealClaude::~RealClaude() {
    // The pane (or the print run) first (its Claude Code may still be talking to the fake), then the fake.
    tmux_.reset();
    printRun_.reset();
    api_.reset();
}

std::string RealClaude::recorderCommand(const std::string& file, const std::string& event) const {
    return shellQuote(directory_.file("record")) + " " + shellQuote(file) + " " + shellQuote(event);
}

void RealClaude::writeHome() {
    mkdir(home_.c_str(), 0700);
    mkdir((home_ + "/.claude").c_str(), 0700);
    mkdir(work_.c_str(), 0755);
    writeFile(directory_.file("record"), recorderScript);
    chmod(directory_.file("record").c_str(), 0755);

    json config = {{"hasCompletedOnboarding", true}, {"projects", {{work_, {{"hasTrustDialogAccepted", true}}}}}};
    writeFile(home_ + "/.claude.json", config.dump(1));

    json hooks = json::object();
    for (const auto& event : options_.hookEvents) {
        json command = {{"type", "command"}, {"command", recorderCommand(hooksFile_, event)}, {"timeout", 10}};
        hooks[event] = json::array({{{"matcher", ""}, {"hooks", json::array({command})}}});
    }
    std::string statusLine =
        options_.statusLineCommand.empty() ? recorderCommand(statusFile_, "") : options_.statusLineCommand;
    json settings = {
        {"statusLine", {{"type", "command"}, {"command", statusLine}}},
        {"hooks", hooks},
        // Bash runs without asking; no auto mode, whose checker asks the API things a fake cannot answer.
        {"permissions", {{"allow", json::array({"Bash"})}, {"defaultMode", "default"}}},
        {"disableAutoMode", "disable"},
    };
    settings.merge_patch(options_.extraSettings);
    writeFile(settingsPath(), settings.dump(1));
}

std::string RealClaude::commandLine() const {
    // A made-up OAuth token: Claude Code takes the login for a subscription and reports its usage limits.
    // Variables of an outer Claude Code session or another login must not leak in.
    std::vector<std::string> command = {"exec", "env"};
    for (const char* name :
         {"ANTHROPIC_API_KEY", "ANTHROPIC_AUTH_TOKEN", "CLAUDE_CONFIG_DIR", "CLAUDECODE", "CLAUDE_CODE_ENTRYPOINT",
          "CLAUDE_CODE_SESSION_ID", "CLAUDE_CODE_USE_BEDROCK", "CLAUDE_CODE_USE_VERTEX", "ANTHROPIC_MODEL"}) {
        command.insert(command.end(), {"-u", name});
    }
    command.insert(command.end(), {"HOME=" + home_, "ANTHROPIC_BASE_URL=" + api_->baseURL(),
                                   "CLAUDE_CODE_OAUTH_TOKEN=sk-ant-oat01-made-up", "DISABLE_AUTOUPDATER=1"});
    command.insert(command.end(), options_.environment.begin(), options_.environment.end());
    command.push_back(options_.binary);
    if (options_.print) command.push_back("-p");
    command.push_back(options_.prompt);
    std::string line = "cd " + shellQuote(work_) + " &&";
    for (const auto& word : command) line += " " + (word == "exec" || word == "env" ? word : shellQuote(word));
    return line;
}

bool RealClaude::start() {
    writeHome();
    if (options_.beforeLaunch) options_.beforeLaunch(*this);
    api_ = std::make_unique<FakeMessagesAPI>(directory_.path(), options_.script);
    if (api_->port() == 0) {
        whyNot_ = "the fake Messages API did not come up: " + readFile(directory_.file("api-stderr.txt"));
        return false;
    }
    std::int64_t pid = -1;
    if (options_.print) {
        SpawnOptions spawn;
        spawn.newSession = true;
        spawn.stdoutPath = directory_.file("print-stdout.txt");
        spawn.stderrPath = directory_.file("print-stderr.txt");
        printRun_ = std::make_unique<ChildProcess>(std::vector<std::string>{"sh", "-c", commandLine()}, spawn);
        pid = printRun_->pid();
    } else {
        tmux_ = std::make_unique<TmuxServer>();
        pid = tmux_->newSession("claude", commandLine(), 160, 50);
        if (pid <= 0) {
            whyNot_ = "tmux did not start a session";
            return false;
        }
    }
    // The shell hands itself over to env and env to Claude Code: the pane's (or the print run's) process is
    // Claude Code.
    bool running = waitUntil(
        [&] {
            std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
            std::string name;
            return std::getline(comm, name) && name == "claude";
        },
        std::chrono::seconds(10), std::chrono::milliseconds(20));
    if (!running) {
        whyNot_ = "Claude Code did not start; it shows:\n" + screen();
        return false;
    }
    pid_ = pid;
    return true;
}

std::string RealClaude::screen() const {
    if (options_.print) {
        return readFile(directory_.file("print-stdout.txt")) + readFile(directory_.file("print-stderr.txt"));
    }
    return tmux_ ? tmux_->capture("claude") : std::string();
}

std::optional<int> RealClaude::exitStatus(std::chrono::milliseconds timeout) {
    if (!printRun_) return std::nullopt;
    auto status = printRun_->wait(timeout);
    if (!status) return std::nullopt;
    return WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
}

bool RealClaude::waitForScreen(const std::string& text, std::chrono::milliseconds timeout) const {
    return waitUntil([&] { return screen().find(text) != std::string::npos; }, timeout, std::chrono::milliseconds(100));
}

void RealClaude::type(const std::string& text, bool enter) const {
    if (tmux_) tmux_->sendKeys("claude", text, enter);
}

std::vector<Recorded> RealClaude::hooks() const {
    return recordsIn(hooksFile_);
}

std::vector<Recorded> RealClaude::statusLines() const {
    return recordsIn(statusFile_);
}

bool RealClaude::waitForHook(const std::string& event, std::chrono::milliseconds timeout) const {
    return waitUntil(
        [&] {
            for (const auto& record : hooks()) {
                if (record.event == event) return true;
            }
            return false;
        },
        timeout, std::chrono::milliseconds(50));
}

nlohmann::json textBlock(const std::string& words, nlohmann::json extra) {
    nlohmann::json block = {{"type", "text"}, {"text", words}};
    block.merge_patch(extra);
    return block;
}

nlohmann::json bashBlock(const std::string& command, nlohmann::json extra) {
    nlohmann::json block = {{"type", "tool_use"}, {"command", command}};
    block.merge_patch(extra);
    return block;
}

}  // namespace tracker::test
