#include "Daemon/DaemonNotify.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "Core/Spawn.hpp"
#include "Daemon/DaemonLog.hpp"
#include "Platform/NotificationPoster.hpp"

namespace tracker::DaemonNotify {

namespace {

// What the poster's thread and the waiting caller share; the thread keeps it alive by itself,
// so a caller that stopped waiting leaves nothing dangling.
struct Completion {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
};

}  // namespace

std::string binary() {
    return NotificationPoster::defaultProgram();
}

bool post(const std::string& title, const std::string& message, const std::string& subtitle,
          std::optional<NotifyMode> mode, const std::shared_ptr<DaemonLogger>& log, const std::string& program) {
    const NotifyMode effective = mode.value_or(NotifyModes::defaultMode);
    if (effective != NotifyMode::desktop) {
        if (log) {
            log->debug([&] {
                return "[notify] mode=" + std::string(NotifyModes::text(effective)) +
                       " - not posting from the daemon: " + title;
            });
        }
        return false;
    }
    std::vector<std::string> argv = NotificationPoster::command(program, title, message, subtitle);

    auto completion = std::make_shared<Completion>();
    try {
        std::thread([argv = std::move(argv), completion] {
            Spawn::capture(argv);  // output and status do not matter
            {
                std::lock_guard guard(completion->mutex);
                completion->done = true;
            }
            completion->finished.notify_all();
        }).detach();
    } catch (const std::exception&) {
        return true;  // no thread to be had: as invisible as a missing poster
    }

    std::unique_lock lock(completion->mutex);
    const bool done =
        completion->finished.wait_for(lock, std::chrono::duration<double>(timeout), [&] { return completion->done; });
    lock.unlock();
    if (!done && log) {
        log->warning([] {
            return "[notify] " + std::string(NotificationPoster::name()) + " did not finish in " +
                   std::to_string(static_cast<int>(timeout)) + "s - carrying on";
        });
    }
    return true;
}

}  // namespace tracker::DaemonNotify
