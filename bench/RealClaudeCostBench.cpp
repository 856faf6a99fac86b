// The whole CPU of tarnel in a real Claude Code task, as a share of Claude Code's own CPU in the same run: the
// real Claude Code (the pinned version, scripts/install-claude-code) works through a task of N steps (a reply
// with a Bash call each, then a last reply) against the local fake API, with tarnel installed by its own
// `tarnel install` and its daemon running. Every status-line and hook run goes through CPUMeter, which notes
// the CPU of that run of the tee; the daemon's comes from wait4 when it is stopped, Claude Code's own from
// /proc when the task is done (its children, the tool commands and the shells of the hooks, are in neither).
// Each build given runs the task in turn, every round, so the builds share the machine's moods.
//
// Usage: RealClaudeCostBench [--build NAME=DIR]... [--steps N] [--rounds N]
//   DIR is a build tree (Tracker/tarnel, Tracker/tarnel-tee, Tracker/tarnel-vovivida); default: this one.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "RealClaude.hpp"

extern char** environ;

namespace {

using nlohmann::json;
using namespace std::chrono_literals;
namespace test = tracker::test;

struct Build {
    std::string name;
    std::string directory;
    std::string program(const std::string& name) const { return directory + "/Tracker/" + name; }
};

// What the runs of one kind cost: how many, their CPU and their wall time (what Claude Code waited).
struct Runs {
    int count = 0;
    double cpuMS = 0;
    double wallMS = 0;
    void add(double cpu, double wall) {
        ++count;
        cpuMS += cpu;
        wallMS += wall;
    }
};

struct Outcome {
    double claudeMS = 0;
    double daemonMS = 0;
    Runs statusLine;
    std::map<std::string, Runs> hooks;  // by event
    double teeMS() const {
        double sum = statusLine.cpuMS;
        for (const auto& [event, runs] : hooks) sum += runs.cpuMS;
        return sum;
    }
    double tarnelMS() const { return teeMS() + daemonMS; }
    void add(const Outcome& other) {
        claudeMS += other.claudeMS;
        daemonMS += other.daemonMS;
        statusLine.count += other.statusLine.count;
        statusLine.cpuMS += other.statusLine.cpuMS;
        statusLine.wallMS += other.statusLine.wallMS;
        for (const auto& [event, runs] : other.hooks) {
            Runs& into = hooks[event];
            into.count += runs.count;
            into.cpuMS += runs.cpuMS;
            into.wallMS += runs.wallMS;
        }
    }
};

// Each reply streams for about two seconds, as a short one from the real API does: Claude Code refreshes its
// status line once a reply is in, not more often than that.
json taskScript(int steps) {
    json usage = {{"5h", 0.30}, {"5h_reset_in", 18000}, {"7d", 0.2}};
    json streaming = {{"delay", 1.0}, {"chunks", 5}, {"chunk_delay", 0.2}};
    json replies = json::array();
    for (int step = 1; step <= steps; ++step) {
        const std::string n = std::to_string(step);
        replies.push_back({{"blocks",
                            {test::textBlock("Step " + n + ", told in a few words.", streaming),
                             test::bashBlock("echo " + n + " > step" + n + ".txt")}},
                           {"usage", usage}});
    }
    replies.push_back({{"blocks", {test::textBlock("Finished the task.", streaming)}}, {"usage", usage}});
    return {{"replies", replies}, {"usage", usage}};
}

// Claude Code's own CPU so far (all its threads, none of its children), in milliseconds.
double processCPUMS(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double utime = 0;
    double stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) utime = std::atof(field.c_str());
        if (index == 15) {
            stime = std::atof(field.c_str());
            break;
        }
    }
    return (utime + stime) * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The daemon of a build, stopped (and its CPU taken) at the end.
class Daemon {
public:
    Daemon(const Build& build, const std::string& stateDir, const std::string& logPath) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        const std::string program = build.program("tarnel-vovivida");
        std::vector<std::string> words = {program, "--state-dir", stateDir, "--notify", "off"};
        std::vector<char*> argv;
        for (auto& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Daemon() { stop(); }
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    bool running() const { return pid_ > 0; }
    // Stops it; its CPU over its whole life, in milliseconds.
    double stop() {
        if (pid_ <= 0) return cpuMS_;
        ::kill(pid_, SIGTERM);
        int status = 0;
        struct rusage usage {};
        while (::wait4(pid_, &status, 0, &usage) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        auto ms = [](const timeval& time) { return static_cast<double>(time.tv_sec) * 1e3 + time.tv_usec / 1e3; };
        cpuMS_ = ms(usage.ru_utime) + ms(usage.ru_stime);
        return cpuMS_;
    }

private:
    pid_t pid_ = -1;
    double cpuMS_ = 0;
};

std::vector<json> jsonLines(const std::string& path) {
    std::vector<json> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        auto value = json::parse(line, nullptr, false);
        if (value.is_object()) lines.push_back(std::move(value));
    }
    return lines;
}

// Every status-line and hook command of ours goes through the meter.
void meterCommands(const std::string& settingsPath, const std::string& meter, const std::string& log) {
    json settings = json::parse(test::readFile(settingsPath));
    const std::string prefix = test::shellQuote(meter) + " " + test::shellQuote(log) + " ";
    settings["statusLine"]["command"] = prefix + settings["statusLine"]["command"].get<std::string>();
    for (auto& [event, groups] : settings["hooks"].items()) {
        for (auto& group : groups) {
            for (auto& handler : group["hooks"]) handler["command"] = prefix + handler["command"].get<std::string>();
        }
    }
    test::writeFile(settingsPath, settings.dump(1));
}

std::optional<Outcome> runTask(const Build& build, const std::string& claudeBinary, const std::string& meter, int steps,
                               std::string* why) {
    test::TempDir dir;
    const std::string state = dir.file("state");
    const std::string log = dir.file("runs.jsonl");
    ::mkdir(state.c_str(), 0700);

    test::RealClaude::Options options;
    options.binary = claudeBinary;
    options.script = taskScript(steps);
    options.prompt = "Write the files step by step.";
    options.hookEvents = {};                            // only tarnel's hooks, as a user has them
    options.extraSettings = {{"statusLine", nullptr}};  // and no status line of the user's to run
    options.beforeLaunch = [&](const test::RealClaude& claude) {
        std::string out;
        int status = test::runProgram({build.program("tarnel"), "install", "--tee", build.program("tarnel-tee"),
                                       "--state-dir", state, "--settings", claude.settingsPath(), "--notify", "off"},
                                      &out);
        if (status != 0) *why = "tarnel install of " + build.name + " failed: " + out;
        meterCommands(claude.settingsPath(), meter, log);
    };
    Daemon daemon(build, state, dir.file("daemon.out"));
    if (!daemon.running()) {
        *why = "the daemon of " + build.name + " did not start";
        return std::nullopt;
    }
    test::RealClaude claude(options);
    if (!claude.start() || !why->empty()) {
        if (why->empty()) *why = claude.whyNot();
        return std::nullopt;
    }
    auto stopped = [&] {
        for (const auto& line : jsonLines(log)) {
            if (line.value("event", "") == "Stop") return true;
        }
        return false;
    };
    if (!test::waitUntil(stopped, 180s, 100ms)) {
        *why = "the task of " + build.name + " did not end; the pane shows:\n" + claude.screen();
        return std::nullopt;
    }
    // The status line runs once more after the last reply.
    std::this_thread::sleep_for(3s);
    Outcome outcome;
    outcome.claudeMS = processCPUMS(static_cast<pid_t>(claude.pid()));
    outcome.daemonMS = daemon.stop();
    for (const auto& line : jsonLines(log)) {
        const std::string event = line.value("event", "");
        Runs& runs = event.empty() ? outcome.statusLine : outcome.hooks[event];
        runs.add(line.value("cpu_ms", 0.0), line.value("wall_ms", 0.0));
    }
    if (claude.screen().find("API Error") != std::string::npos) *why = "the task of " + build.name + " failed";
    return outcome;
}

void print(const Build& build, const Outcome& outcome, int rounds) {
    auto perRound = [&](double value) { return value / rounds; };
    std::printf("\n%s (%s), per task:\n", build.name.c_str(), build.directory.c_str());
    std::printf("  Claude Code itself             %9.1f ms CPU\n", perRound(outcome.claudeMS));
    auto line = [&](const std::string& what, const Runs& runs) {
        if (runs.count == 0) return;
        std::printf("  %-30s %9.1f ms CPU: %5.1f runs x %.3f ms (Claude Code waited %.2f ms each)\n", what.c_str(),
                    perRound(runs.cpuMS), static_cast<double>(runs.count) / rounds, runs.cpuMS / runs.count,
                    runs.wallMS / runs.count);
    };
    line("status line", outcome.statusLine);
    for (const auto& [event, runs] : outcome.hooks) line("hook " + event, runs);
    std::printf("  %-30s %9.1f ms CPU\n", "daemon", perRound(outcome.daemonMS));
    std::printf("  %-30s %9.1f ms CPU = %.2f %% of Claude Code's own\n", "tarnel in all", perRound(outcome.tarnelMS()),
                100.0 * outcome.tarnelMS() / outcome.claudeMS);
}

}  // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    const fs::path self = fs::canonical("/proc/self/exe");
    std::vector<Build> builds;
    int steps = 12;
    int rounds = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "--build" && hasValue) {
            const std::string value = argv[++i];
            const std::size_t equals = value.find('=');
            if (equals == std::string::npos) {
                std::fprintf(stderr, "--build takes NAME=DIR\n");
                return 2;
            }
            builds.push_back({value.substr(0, equals), fs::absolute(value.substr(equals + 1)).string()});
        } else if (argument == "--steps" && hasValue) {
            steps = std::max(1, std::atoi(argv[++i]));
        } else if (argument == "--rounds" && hasValue) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr,
                         "usage: RealClaudeCostBench [--build NAME=DIR]... [--steps N] [--rounds N]\n"
                         "  the whole CPU of tarnel in a real Claude Code task of N steps (default 12), as a share "
                         "of Claude Code's own,\n  for each build tree given (default: this one), in turn, every "
                         "round (default 1)\n");
            return argument == "--help" ? 0 : 2;
        }
    }
    if (builds.empty()) builds.push_back({"this build", self.parent_path().parent_path().string()});
    const std::string meter = (self.parent_path() / "CPUMeter").string();

    const test::RealClaudeBinary claude = test::runnableRealClaude(false);
    if (claude.path.empty()) {
        std::fprintf(stderr, "cannot run: %s\n", claude.whyNot.c_str());
        return 2;
    }
    std::printf("Claude Code: %s; a task of %d steps, %d round(s), builds in turn\n", claude.path.c_str(), steps,
                rounds);

    std::vector<Outcome> totals(builds.size());
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t b = 0; b < builds.size(); ++b) {
            std::string why;
            auto outcome = runTask(builds[b], claude.path, meter, steps, &why);
            if (!outcome || !why.empty()) {
                std::fprintf(stderr, "%s\n", why.c_str());
                return 1;
            }
            totals[b].add(*outcome);
            std::fflush(stdout);
        }
    }
    for (std::size_t b = 0; b < builds.size(); ++b) print(builds[b], totals[b], rounds);
    std::printf("\n%-24s %12s %12s %12s %10s\n", "", "Claude Code", "tee+hooks", "daemon", "share");
    for (std::size_t b = 0; b < builds.size(); ++b) {
        const Outcome& outcome = totals[b];
        std::printf("%-24s %9.1f ms %9.1f ms %9.1f ms %8.2f %%\n", builds[b].name.c_str(), outcome.claudeMS / rounds,
                    outcome.teeMS() / rounds, outcome.daemonMS / rounds, 100.0 * outcome.tarnelMS() / outcome.claudeMS);
    }
    std::printf("target: tarnel at most 1 %% of Claude Code's own CPU\n");
    return 0;
}
