#include "Daemon/OversizeWarnings.hpp"

namespace tracker {

OversizeWarnings::OversizeWarnings(std::shared_ptr<DaemonLogger> log) : log_(std::move(log)) {}

JSONFile::OversizeHook OversizeWarnings::hook() {
    return [this](const std::string& path, std::uintmax_t size) { report(path, size); };
}

void OversizeWarnings::report(const std::string& path, std::uintmax_t size) {
    {
        std::lock_guard guard(mutex_);
        auto known = warned_.find(path);
        if (known != warned_.end() && known->second == size) return;
        if (known == warned_.end() && warned_.size() >= maxRemembered) warned_.clear();
        warned_[path] = size;
    }
    if (!log_) return;
    log_->warning([&] {
        return "[readState] " + path + " is " + std::to_string(size) + " bytes, more than the " +
               std::to_string(JSONFile::maxDocumentBytes) + " a state document may have - read as absent";
    });
}

}  // namespace tracker
