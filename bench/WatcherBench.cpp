// How fast the daemon's directory watcher wakes after a session record is replaced: another
// thread renames a finished record into the watched directory while the main thread sits in
// wait(); the figure is the time from just before the rename to wait() returning.
//
// Usage: WatcherBench [repetitions]   (default 1000)

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Daemon/DirectoryWatch.hpp"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Hands one turn at a time from the waiting thread to the renaming thread and back.
struct Turn {
    std::mutex mutex;
    std::condition_variable changed;
    int armed = 0;    // turns the waiter has started
    int renamed = 0;  // turns the renamer has finished
    Clock::time_point before;
};

double percentile(std::vector<double> sorted, double p) {
    std::size_t at = static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(at, sorted.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
    const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
    std::string base = (fs::temp_directory_path() / "tarnel-watcher-bench-XXXXXX").string();
    if (!mkdtemp(base.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path sessions = fs::path(base) / "sessions", staging = fs::path(base) / "staging";
    fs::create_directories(staging);
    const std::string record(420, 'x');  // about the size of a session record

    tracker::DirectoryWatcher watcher(sessions,
                                      [](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); });
    if (!watcher.watching()) {
        std::fprintf(stderr, "watcher is only polling; nothing to measure\n");
        return 1;
    }

    Turn turn;
    std::thread renamer([&] {
        for (int i = 1; i <= repetitions; ++i) {
            const fs::path finished = staging / ("rec-" + std::to_string(i) + ".json");
            std::ofstream(finished) << record;
            std::unique_lock lock(turn.mutex);
            turn.changed.wait(lock, [&] { return turn.armed >= i; });
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));  // let the waiter block
            lock.lock();
            turn.before = Clock::now();
            fs::rename(finished, sessions / ("session-" + std::to_string(i % 8) + ".json"));
            turn.renamed = i;
            lock.unlock();
            turn.changed.notify_all();
        }
    });

    std::vector<double> millis;
    millis.reserve(static_cast<std::size_t>(repetitions));
    int missed = 0;
    for (int i = 1; i <= repetitions; ++i) {
        {
            std::lock_guard lock(turn.mutex);
            turn.armed = i;
        }
        turn.changed.notify_all();
        const bool woke = watcher.wait(5.0);
        const Clock::time_point after = Clock::now();
        std::unique_lock lock(turn.mutex);
        turn.changed.wait(lock, [&] { return turn.renamed >= i; });
        if (!woke) {
            ++missed;
            continue;
        }
        millis.push_back(std::chrono::duration<double, std::milli>(after - turn.before).count());
    }
    renamer.join();
    watcher.close();
    fs::remove_all(base);

    if (millis.empty()) {
        std::printf("no wake-ups seen (%d missed)\n", missed);
        return 1;
    }
    std::sort(millis.begin(), millis.end());
    std::printf("watcher wake after rename, %zu repetitions (%d missed)\n", millis.size(), missed);
    std::printf("  median %.3f ms   p90 %.3f ms   p99 %.3f ms   max %.3f ms\n", percentile(millis, 0.5),
                percentile(millis, 0.9), percentile(millis, 0.99), millis.back());
    std::printf("  target: median under 5 ms -> %s\n", percentile(millis, 0.5) < 5.0 ? "met" : "NOT met");
    return 0;
}
