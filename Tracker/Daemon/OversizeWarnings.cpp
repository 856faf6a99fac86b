#include "Daemon/OversizeWarnings.hpp"

namespace tracker {

OversizeWarnings::OversizeWarnings(std::shared_ptr<DaemonLogger> log) : log_(std::move(log)) {}

JSONFile::RefusalHook OversizeWarnings::hook() {
    return [this](const std::string& path, const std::string& why) { report(path, why); };
}

void OversizeWarnings::report(const std::string& path, const std::string& why) {
    {
        std::lock_guard guard(mutex_);
        auto known = warned_.find(path);
        if (known != warned_.end() && known->second == why) return;
        if (known == warned_.end() && warned_.size() >= maxRemembered) warned_.clear();
        warned_[path] = why;
    }
    if (!log_) return;
    log_->warning([&] { return "[readState] " + path + " " + why + " - read as absent"; });
}

}  // namespace tracker
