#include "Core/DaemonPIDFile.hpp"

#include <unistd.h>

#include <ctime>

#include "Core/ProcessTable.hpp"
#include "Core/TrackerConfig.hpp"

namespace tracker {

DaemonPIDFile DaemonPIDFile::ofThisProcess(std::vector<std::string> argv) {
    DaemonPIDFile file;
    file.pid = ::getpid();
    auto row = ProcessTable::fromSystem({file.pid}).get(file.pid);
    file.pidStart = row ? row->start.text() : std::string();
    file.startedAt = static_cast<double>(std::time(nullptr));
    file.argv = std::move(argv);
    return file;
}

JSONObject DaemonPIDFile::toJSON() const {
    JSONObject object{
        {"pid", pid},
        {"pid_start", pidStart},
        {"argv", JSONArray(argv.begin(), argv.end())},
    };
    if (startedAt) object["started_at"] = JSONCoerce::stamp(*startedAt);
    if (threshold) object["threshold"] = JSONCoerce::stamp(*threshold);
    return object;
}

std::optional<DaemonPIDFile> DaemonPIDFile::fromJSON(const JSON& value) {
    if (!value.is_object()) return std::nullopt;
    auto pid = JSONCoerce::optionalPID(JSONCoerce::member(value, "pid"));
    if (!pid) return std::nullopt;
    DaemonPIDFile file;
    file.pid = *pid;
    file.pidStart = JSONCoerce::toString(JSONCoerce::member(value, "pid_start")).value_or("");
    file.startedAt = JSONCoerce::toDouble(JSONCoerce::member(value, "started_at"));
    if (auto threshold = JSONCoerce::toDouble(JSONCoerce::member(value, "threshold"));
        threshold && TrackerConfig::isThreshold(*threshold)) {
        file.threshold = threshold;
    }
    if (const JSON* argv = JSONCoerce::member(value, "argv"); argv && argv->is_array()) {
        for (const auto& argument : *argv) {
            if (auto text = JSONCoerce::toString(&argument)) file.argv.push_back(*text);
        }
    }
    return file;
}

}  // namespace tracker
