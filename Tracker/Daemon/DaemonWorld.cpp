#include "Daemon/DaemonWorld.hpp"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "Daemon/DryRunSignaller.hpp"
#include "Daemon/HoldingSignaller.hpp"

namespace tracker {

DaemonWorld DaemonWorld::real(bool dryRun, const LogHook& log) {
    DaemonWorld world;
    world.clock = [] {
        struct timespec now {};
        clock_gettime(CLOCK_REALTIME, &now);
        return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
    };
    world.sleep = [](double seconds) {
        if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    };
    world.processes = [](const std::vector<std::int64_t>& pids) { return ProcessTable::fromSystem(pids); };
    if (dryRun) {
        world.signaller = std::make_shared<DryRunSignaller>();
    } else {
        world.signaller = std::make_shared<HoldingSignaller>(log);
    }
    world.exit = [](int status) { std::exit(status); };
    return world;
}

}  // namespace tracker
