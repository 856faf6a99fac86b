// What a process snapshot costs: the full table read from /proc against one
// ps run parsed the same way, side by side in one process, and the tee's
// one-process snapshot. Prints medians; run it on a quiet machine.
//
// Usage: ProcessSnapshotBench [rounds]   (default 31)

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "Core/ProcessTable.hpp"
#include "Core/Spawn.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Median wall time of one call in microseconds, over rounds calls.
double medianMicroseconds(int rounds, const std::function<std::size_t()>& call, std::size_t* rows) {
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(rounds));
    for (int k = 0; k < rounds; ++k) {
        auto start = Clock::now();
        *rows = call();
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    using tracker::ProcessTable;
    int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 31;

    std::size_t procRows = 0;
    std::size_t psRows = 0;
    std::size_t teeRows = 0;
    double ps = 0;
    double proc = 0;
    // Interleaved, so that both see the same machine load.
    std::vector<double> psTimes;
    std::vector<double> procTimes;
    for (int k = 0; k < rounds; ++k) {
        psTimes.push_back(medianMicroseconds(
            1,
            [] {
                auto output =
                    tracker::Spawn::capture({"/bin/ps", "-ax", "-o", "pid=,ppid=,stat=,tty=,lstart=,command="});
                return static_cast<std::size_t>(std::count(output.begin(), output.end(), '\n'));
            },
            &psRows));
        procTimes.push_back(medianMicroseconds(
            1, [] { return ProcessTable::fromSystem().byPID.size(); }, &procRows));
    }
    std::sort(psTimes.begin(), psTimes.end());
    std::sort(procTimes.begin(), procTimes.end());
    ps = psTimes[psTimes.size() / 2];
    proc = procTimes[procTimes.size() / 2];

    const tracker::ProcessAncestry::Hop self{getpid(),
                                             tracker::ProcessAncestry::commandLine(getpid()).value_or("bench")};
    double tee = medianMicroseconds(
        rounds * 20, [&self] { return ProcessTable::forClaude(self).byPID.size(); }, &teeRows);

    std::printf("rounds                      %d\n", rounds);
    std::printf("ps -ax run                  %10.1f us  (%zu rows)\n", ps, psRows);
    std::printf("/proc full snapshot         %10.1f us  (%zu rows)\n", proc, procRows);
    std::printf("/proc / ps                  %10.3f      (target <= 0.25)\n", proc / ps);
    std::printf("forClaude (tee snapshot)    %10.1f us  (%zu rows, target < 200 us)\n", tee, teeRows);
    return 0;
}
