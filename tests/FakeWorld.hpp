#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "Core/Proc.hpp"
#include "Core/Signaller.hpp"
#include "Daemon/DaemonWorld.hpp"

namespace tracker::test {

// A made-up world for the daemon loop: a clock that stands where the test sets it, a sleeper that moves it on
// instead of waiting, the process table the test lists, the signaller the test gives, and exits recorded
// instead of taken. The world it makes refers to this object, which must outlive the loop.
struct FakeWorld {
    explicit FakeWorld(double start = 0) : now(start) {}

    double now = 0;
    // Seconds the loop slept, in all.
    double slept = 0;
    std::vector<Proc> rows;
    std::vector<int> exits;
    // Called with each sleep, before the clock moves on.
    std::function<void(double seconds)> onSleep;

    DaemonWorld make(std::shared_ptr<Signaller> signaller) {
        DaemonWorld world;
        world.clock = [this] { return now; };
        world.sleep = [this](double seconds) {
            if (onSleep) onSleep(seconds);
            slept += seconds;
            now += seconds;
        };
        world.processes = [this](const std::vector<std::int64_t>&) { return ProcessTable(rows); };
        world.signaller = std::move(signaller);
        world.exit = [this](int status) { exits.push_back(status); };
        return world;
    }
};

}  // namespace tracker::test
