// Drives UserScope from the command line, for tests on a booted systemd machine (run in a login of the user
// whose manager is asked).
//
// Usage: user_scope_probe move PID [NAME]   prints "moved <group path> <milliseconds>"
//        user_scope_probe remove NAME       prints "removed <milliseconds>"
// NAME defaults to the project's name for PID's scope. On failure it prints "failed <reason>" and exits 1;
// a bad command line exits 2.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Platform/UserScope.hpp"

namespace {

long long millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

int usage() {
    std::fprintf(stderr, "usage: user_scope_probe move PID [NAME] | remove NAME\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    std::string command = argv[1];
    auto start = std::chrono::steady_clock::now();
    std::string whyNot;
    if (command == "move" && argc <= 4) {
        char* end = nullptr;
        long long pid = std::strtoll(argv[2], &end, 10);
        if (!end || *end != '\0' || pid < 1) return usage();
        std::string name = argc == 4 ? argv[3] : tracker::UserScope::nameFor(pid);
        auto path = tracker::UserScope::move(pid, name, &whyNot);
        if (!path) {
            std::printf("failed %s\n", whyNot.c_str());
            return 1;
        }
        std::printf("moved %s %lld\n", path->c_str(), millisecondsSince(start));
        return 0;
    }
    if (command == "remove" && argc == 3) {
        if (!tracker::UserScope::remove(argv[2], &whyNot)) {
            std::printf("failed %s\n", whyNot.c_str());
            return 1;
        }
        std::printf("removed %lld\n", millisecondsSince(start));
        return 0;
    }
    return usage();
}
