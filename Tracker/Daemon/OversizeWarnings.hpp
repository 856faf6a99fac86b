#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "Core/JSONFile.hpp"
#include "Daemon/DaemonLog.hpp"

namespace tracker {

// Warns about state documents read as absent for their size or depth: once for each file, and again only
// when the reason changes, so a file left in place does not fill the log tick after tick.
class OversizeWarnings {
public:
    // How many files it keeps in mind; past that it starts afresh.
    static constexpr std::size_t maxRemembered = 256;

    explicit OversizeWarnings(std::shared_ptr<DaemonLogger> log);

    // The reader hook; it reports to this object, which must outlive it.
    JSONFile::RefusalHook hook();
    // Logs the warning unless this file was last reported for this very reason.
    void report(const std::string& path, const std::string& why);

private:
    std::shared_ptr<DaemonLogger> log_;
    std::mutex mutex_;
    std::map<std::string, std::string> warned_;
};

}  // namespace tracker
