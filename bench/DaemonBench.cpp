// What the daemon costs and how fast it acts:
//  1. CPU time per tick, with a few hundred processes on the machine (the
//     loop driven through its hooks, real process table, recording signaller);
//  2. idle CPU of the real daemon over a while with no records;
//  3. reaction: from a record crossing the threshold to the hold of its
//     process (real daemon, a process named claude), median of repeated runs.
//
// Usage: DaemonBench [idle-seconds] [reactions]   (defaults 60 and 20)

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Core/JSONFile.hpp"
#include "Core/ProcessTable.hpp"
#include "Core/StateDir.hpp"
#include "Daemon/DaemonLoop.hpp"
#include "Daemon/DryRunSignaller.hpp"
#include "Platform/linux/CgroupV2.hpp"

extern char** environ;

namespace fs = std::filesystem;
using namespace tracker;

namespace {

double cpuSeconds() {
    struct timespec t {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double wallNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

pid_t spawn(const std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (const auto& word : words) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);  // the daemon's console log
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return pid;
}

void end(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGCONT);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// CPU ticks (user + system) of a process.
long cpuTicks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) {
            stime = std::stol(field);
            break;
        }
    }
    return utime + stime;
}

// Held: stopped, or in a frozen cgroup.
bool held(pid_t pid, const std::optional<CgroupV2::Mount>& mount) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto close = text.rfind(')');
    if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'T') return true;
    if (!mount) return false;
    auto directory = CgroupV2::directoryOf(*mount, pid);
    if (!directory) return false;
    auto events = CgroupV2::read(*directory + "/cgroup.events");
    return events && CgroupV2::keyedValue(*events, "frozen") == "1";
}

void writeRecord(const StateDir& state, pid_t pid, const std::string& lstart, double used) {
    Record record;
    record.sessionID = "bench";
    record.pid = pid;
    record.ts = wallNow();
    record.pidStart = lstart;
    record.shape = Shape::a;
    record.rateLimits["five_hour"] = JSONObject{{"used_percentage", used}, {"resets_at", wallNow() + 3600}};
    state.write(record, false);
}

}  // namespace

int main(int argc, char** argv) {
    const int idleSeconds = argc > 1 ? std::atoi(argv[1]) : 60;
    const int reactions = argc > 2 ? std::atoi(argv[2]) : 20;
    const fs::path self = fs::canonical("/proc/self/exe");
    const std::string daemon = (self.parent_path().parent_path() / "Tracker" / "tarnel-vovivida").string();
    char base[] = "/tmp/tarnel-daemonbench-XXXXXX";
    if (!mkdtemp(base)) return 1;

    // 1. Tick cost with a few hundred processes.
    std::vector<pid_t> sleepers;
    for (int i = 0; i < 200; ++i) sleepers.push_back(spawn({"/bin/sleep", "600"}));
    {
        StateDir state(std::string(base) + "/ticks");
        state.ensureDirectories();
        for (int i = 0; i < 5; ++i) {
            Record record;
            record.sessionID = "s" + std::to_string(i);
            record.pid = sleepers[i];
            record.ts = wallNow();
            record.rateLimits["five_hour"] = JSONObject{{"used_percentage", 10}, {"resets_at", wallNow() + 3600}};
            state.write(record, false);
        }
        auto log = DaemonLogger::create(std::nullopt, DaemonLogLevel::info, false);
        DaemonWorld world = DaemonWorld::real(false, {});
        world.signaller = std::make_shared<DryRunSignaller>();
        DaemonLoop loop(state, TrackerConfig::fromJSON(JSONObject{{"notify", "off"}}), log, DaemonLoop::Options{},
                        std::move(world));
        for (int i = 0; i < 20; ++i) loop.tick();
        std::vector<double> costs;
        for (int i = 0; i < 300; ++i) {
            double before = cpuSeconds();
            loop.tick();
            costs.push_back((cpuSeconds() - before) * 1000);
        }
        std::printf("tick: %zu processes on the machine, median CPU %.3f ms per tick (target <= 3 ms)\n",
                    ProcessTable::fromSystem({}).byPID.size(), median(costs));
    }
    for (pid_t pid : sleepers) end(pid);

    // 2. Idle CPU of the real daemon.
    {
        std::string state = std::string(base) + "/idle";
        pid_t pid = spawn({daemon, "--state-dir", state, "--notify", "off"});
        std::this_thread::sleep_for(std::chrono::seconds(1));
        long before = cpuTicks(pid);
        std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
        long used = cpuTicks(pid) - before;
        double percent = 100.0 * static_cast<double>(used) / static_cast<double>(sysconf(_SC_CLK_TCK)) / idleSeconds;
        std::printf("idle: %ld CPU ticks in %d s = %.3f %% of a core (target < 0.2 %%)\n", used, idleSeconds, percent);
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
    }

    // 3. Reaction from a record over the threshold to the hold.
    {
        StateDir state(std::string(base) + "/react");
        state.ensureDirectories();
        state.write(TrackerConfig::fromJSON(JSONObject{{"grace", 0}, {"notify", "off"}}));
        pid_t daemonPID = spawn({daemon, "--state-dir", state.root(), "--resume-in", "0.3"});
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        auto mount = CgroupV2::mount();
        std::vector<double> latencies;
        for (int i = 0; i < reactions; ++i) {
            pid_t claude = spawn({"/bin/bash", "-c", "exec -a claude sleep 600"});
            std::string lstart;
            for (int tries = 0; tries < 100 && lstart.empty(); ++tries) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                auto row = ProcessTable::fromSystem({claude}).get(claude);
                if (row && row->command.rfind("claude", 0) == 0) lstart = row->start.text();
            }
            auto start = std::chrono::steady_clock::now();
            writeRecord(state, claude, lstart, 95);
            bool ok = false;
            while (std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
                if (held(claude, mount)) {
                    ok = true;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            if (ok) {
                latencies.push_back(
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
            }
            // Let the thaw come, then retire the session.
            for (int waited = 0; waited < 300 && state.readPause(); ++waited) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            std::filesystem::remove(state.recordPath("bench"));
            end(claude);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ::kill(daemonPID, SIGTERM);
        ::waitpid(daemonPID, nullptr, 0);
        std::printf("reaction: %zu of %d holds seen, median %.2f ms from record to hold (target < 50 ms)\n",
                    latencies.size(), reactions, median(latencies));
    }
    fs::remove_all(base);
    return 0;
}
