// A process for tests that compare process listings: it sits still until it is
// killed, optionally with extra threads and memory locked in RAM, so that the
// state letters "l" and "L" can be seen.
//
// Usage: proc_subject [--threads N] [--lock] [--lifetime-s N] [anything else, ignored]
// It exits by itself after --lifetime-s seconds (default 300).

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    int threads = 0;
    bool lock = false;
    int lifetime = 300;
    for (int k = 1; k < argc; ++k) {
        if (std::strcmp(argv[k], "--threads") == 0 && k + 1 < argc) {
            threads = std::atoi(argv[++k]);
        } else if (std::strcmp(argv[k], "--lock") == 0) {
            lock = true;
        } else if (std::strcmp(argv[k], "--lifetime-s") == 0 && k + 1 < argc) {
            lifetime = std::atoi(argv[++k]);
        }
    }
    static char page[4096];
    if (lock) {
        page[0] = 1;
        // The raw call: AddressSanitizer turns mlock() into a no-op.
        syscall(SYS_mlock, page, sizeof page);
    }
    std::vector<std::thread> workers;
    for (int k = 0; k < threads; ++k) {
        workers.emplace_back([lifetime] { std::this_thread::sleep_for(std::chrono::seconds(lifetime)); });
    }
    std::this_thread::sleep_for(std::chrono::seconds(lifetime));
    for (auto& worker : workers) worker.join();
    return 0;
}
