#include "Core/StateDir.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "Core/JSONFile.hpp"
#include "Core/ProcessTable.hpp"
#include "Core/RecordCache.hpp"
#include "Core/StateDirTrust.hpp"
#include "Platform/UserAccounts.hpp"

extern char** environ;

namespace fs = std::filesystem;

namespace tracker {

namespace {

std::optional<std::string> homeOf(const std::string& user) {
    if (user.empty()) {
        if (const char* home = std::getenv("HOME"); home && *home) return std::string(home);
    }
    return UserAccounts::homeDirectory(user);
}

std::string absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    std::error_code ec;
    fs::path base = fs::current_path(ec);
    if (ec) return path;
    return (base / path).lexically_normal().string();
}

std::string lastComponent(const std::string& path) {
    return fs::path(path).filename().string();
}

// Whole seconds for the pruning message; an age that is not finite (or does
// not fit 64 bits) has none and shows as "?".
std::string ageText(double seconds) {
    if (!std::isfinite(seconds)) return "?";
    double truncated = std::trunc(seconds);
    if (truncated < -9.2e18 || truncated > 9.2e18) return "?";
    return std::to_string(static_cast<long long>(truncated));
}

}  // namespace

Environment currentEnvironment() {
    Environment environment;
    for (char** entry = environ; entry && *entry; ++entry) {
        const char* equals = std::strchr(*entry, '=');
        if (!equals) continue;
        environment.emplace(std::string(*entry, static_cast<size_t>(equals - *entry)), std::string(equals + 1));
    }
    return environment;
}

Environment currentEnvironment(std::initializer_list<const char*> names) {
    Environment environment;
    for (const char* name : names) {
        if (const char* value = std::getenv(name)) environment.emplace(name, value);
    }
    return environment;
}

std::string expandTilde(const std::string& path) {
    if (path.empty() || path[0] != '~') return path;
    size_t slash = path.find('/');
    std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    auto home = homeOf(user);
    if (!home) return path;  // an unknown user stays as written
    return *home + (slash == std::string::npos ? "" : path.substr(slash));
}

StateDir StateDir::fromEnvironment(const std::optional<std::string>& override, const Environment& environment) {
    std::string chosen = defaultPath;
    if (override) {
        chosen = *override;
    } else if (auto it = environment.find(environmentKey); it != environment.end() && !it->second.empty()) {
        chosen = it->second;
    }
    return StateDir(chosen);
}

StateDir::StateDir(const std::string& path) : root_(absolute(expandTilde(path))) {
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

void StateDir::ensureDirectories() const {
    // Each missing directory is made for the user alone, whatever the umask.
    const std::string target = sessionsDir();
    struct stat found {};
    if (::stat(target.c_str(), &found) == 0 && S_ISDIR(found.st_mode)) return;
    std::vector<std::string> missing;
    for (std::string path = target; path.size() > 1; path = fs::path(path).parent_path().string()) {
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0) break;
        if (errno != ENOENT) break;  // the mkdir below reports it
        missing.push_back(path);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0700) != 0 && errno != EEXIST) {
            throw fs::filesystem_error("cannot create directory", *it, std::error_code(errno, std::generic_category()));
        }
    }
    if (!fs::is_directory(target)) {
        throw fs::filesystem_error("not a directory", target, std::make_error_code(std::errc::not_a_directory));
    }
}

std::optional<std::string> StateDir::trustProblem() const {
    if (auto problem = StateDirTrust::directoryProblem(root_)) return problem;
    struct stat info {};
    if (::lstat(sessionsDir().c_str(), &info) != 0) return std::nullopt;  // made when first needed
    if (!S_ISDIR(info.st_mode)) return sessionsDir() + " is not a directory";
    if (info.st_uid != ::geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH))) {
        return StateDirTrust::directoryProblem(sessionsDir());
    }
    return std::nullopt;
}

std::string StateDir::recordFileName(const std::string& sessionID) {
    if (sessionID.size() <= maxPlainIDBytes) return sessionID + ".json";
    // 64-bit FNV-1a of the whole id tells long ids with the same beginning apart.
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char byte : sessionID) {
        hash ^= byte;
        hash *= 1099511628211ull;
    }
    // Cut at a character boundary, so the name stays the text it was.
    std::size_t keep = 100;
    while (keep > 0 && (static_cast<unsigned char>(sessionID[keep]) & 0xC0) == 0x80) --keep;
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, "-%016llx", static_cast<unsigned long long>(hash));
    return sessionID.substr(0, keep) + suffix + ".json";
}

std::string StateDir::phasePath(const std::string& sessionID) const {
    std::string name = recordFileName(sessionID);
    return sessionsDir() + "/" + name.substr(0, name.size() - 5) + ".phase";
}

std::string StateDir::phaseLockPath(const std::string& sessionID) const {
    std::string name = recordFileName(sessionID);
    return sessionsDir() + "/." + name.substr(0, name.size() - 5) + ".lock";
}

std::optional<SessionPhase> StateDir::readPhase(const std::string& sessionID) const {
    if (!isSafeSessionID(sessionID)) return std::nullopt;
    auto value = StateDirTrust::readDocument(phasePath(sessionID));
    auto phase = SessionPhase::fromJSON(value ? &*value : nullptr);
    if (!phase || phase->sessionID != sessionID) return std::nullopt;
    return phase;
}

std::vector<Record> StateDir::readRecords(const JSONFile::RefusalHook& oversize, RecordCache* cache,
                                          const std::set<std::string>* changedNames) const {
    const std::string prefix = sessionsDir() + "/";
    const bool watched = cache && changedNames && cache->complete();
    std::vector<std::string> paths;
    if (watched) {
        paths = cache->paths();
        for (const auto& name : *changedNames) paths.push_back(prefix + name);
    } else {
        std::error_code ec;
        for (auto it = fs::directory_iterator(sessionsDir(), ec); !ec && it != fs::directory_iterator();
             it.increment(ec)) {
            paths.push_back(prefix + it->path().filename().string());
        }
    }
    std::sort(paths.begin(), paths.end());
    paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
    std::vector<Record> records;
    for (const auto& path : paths) {
        const std::string_view name = std::string_view(path).substr(prefix.size());
        if (name.empty() || name[0] == '.') continue;
        if (!name.ends_with(".json")) continue;
        if (cache) {
            auto record = !watched                                 ? cache->read(path, oversize)
                          : changedNames->count(std::string(name)) ? cache->readChanged(path, oversize)
                                                                   : cache->readUnchanged(path, oversize);
            if (record) records.push_back(std::move(*record));
            continue;
        }
        auto value = StateDirTrust::readDocument(path, oversize);
        if (auto record = Record::fromJSON(value ? &*value : nullptr, path)) records.push_back(std::move(*record));
    }
    if (cache) cache->forgetUnread(!watched);
    return records;
}

std::optional<Pause> StateDir::readPause(const JSONFile::RefusalHook& oversize) const {
    auto value = StateDirTrust::readDocument(pausePath(), oversize);
    return Pause::fromJSON(value ? &*value : nullptr);
}

std::optional<LastThaw> StateDir::readLastThaw(const JSONFile::RefusalHook& oversize) const {
    auto value = StateDirTrust::readDocument(lastThawPath(), oversize);
    return LastThaw::fromJSON(value ? &*value : nullptr);
}

std::optional<Pause> StateDir::readHeld(const JSONFile::RefusalHook& oversize) const {
    auto value = StateDirTrust::readDocument(heldPath(), oversize);
    return Pause::fromJSON(value ? &*value : nullptr);
}

std::optional<DaemonPIDFile> StateDir::readDaemonPID(const JSONFile::RefusalHook& oversize) const {
    auto value = StateDirTrust::readDocument(pidPath(), oversize);
    return value ? DaemonPIDFile::fromJSON(*value) : std::nullopt;
}

TrackerConfig StateDir::readConfig(const JSONFile::RefusalHook& oversize) const {
    auto value = StateDirTrust::readDocument(configPath(), oversize);
    if (!value || !value->is_object()) return TrackerConfig();
    return TrackerConfig::fromJSON(std::move(value->get_ref<JSONObject&>()));
}

StateDir::ConfigRead StateDir::readConfigChecked(const JSONFile::RefusalHook& oversize) const {
    std::string problem;
    auto value = StateDirTrust::readDocument(
        configPath(),
        [&](const std::string& path, const std::string& why) {
            problem = path + " " + why;
            if (oversize) oversize(path, why);
        },
        &problem);
    if (value && value->is_object()) return {TrackerConfig::fromJSON(std::move(value->get_ref<JSONObject&>())), {}};
    if (value) problem = configPath() + " holds no JSON object";
    return {TrackerConfig(), problem.empty() ? std::nullopt : std::optional<std::string>(problem)};
}

void StateDir::write(const Record& record, bool durable) const {
    if (!durable) {
        JSONFile::rewriteThroughSpare(JSONFile::serialize(record.toJSON()), recordPath(record.sessionID));
        return;
    }
    JSONFile::atomicWrite(record.toJSON(), recordPath(record.sessionID), durable);
}

void StateDir::write(const Pause& pause) const {
    ensureDirectories();
    JSONFile::atomicWrite(pause.toJSON(), pausePath(), true);
}

void StateDir::write(const LastThaw& lastThaw) const {
    ensureDirectories();
    JSONFile::atomicWrite(lastThaw.toJSON(), lastThawPath(), true);
}

void StateDir::write(const TrackerConfig& config) const {
    JSONFile::atomicWrite(config.document(), configPath(), true);
}

void StateDir::write(const DaemonPIDFile& pidFile) const {
    JSONFile::atomicWrite(pidFile.toJSON(), pidPath(), true);
}

void StateDir::write(const SessionPhase& phase) const {
    JSONFile::rewriteThroughSpare(JSONFile::serialize(phase.toJSON()), phasePath(phase.sessionID));
}

bool StateDir::deletePhase(const std::string& sessionID) const {
    const std::string path = phasePath(sessionID);
    ::unlink(JSONFile::spareOf(path).c_str());
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool StateDir::deletePause() const {
    return ::unlink(pausePath().c_str()) == 0;
}

void StateDir::writeHeld(const Pause& held) const {
    // Not flushed: it must outlive the daemon, not the machine, whose sessions end with it anyway.
    JSONFile::atomicWrite(held.toJSON(), heldPath(), false);
}

void StateDir::writeUsageHistory(const UsageHistory& history) const {
    JSONFile::atomicWrite(history.toJSON(), usageHistoryPath(history.window()), false);
}

void StateDir::write(const PauseRequest& request) const {
    ensureDirectories();
    JSONFile::atomicWrite(request.toJSON(), requestPath(), true);
}

bool StateDir::deleteRequest() const {
    return ::unlink(requestPath().c_str()) == 0 || errno == ENOENT;
}

std::optional<PauseRequest> StateDir::readRequest(const JSONFile::RefusalHook& oversize) const {
    auto value = StateDirTrust::readDocument(requestPath(), oversize);
    return PauseRequest::fromJSON(value ? &*value : nullptr);
}

std::optional<UsageHistory> StateDir::readUsageHistory(const JSONFile::RefusalHook& oversize,
                                                       UsageWindow window) const {
    auto value = StateDirTrust::readDocument(usageHistoryPath(window), oversize);
    return UsageHistory::fromJSON(value ? &*value : nullptr, window);
}

bool StateDir::deleteHeld() const {
    return ::unlink(heldPath().c_str()) == 0 || errno == ENOENT;
}

std::vector<Record> StateDir::pruneRecords(const std::vector<Record>& records, const ProcessTable& table, double now,
                                           double ttl, const LogHook& log) {
    std::vector<Record> kept;
    for (const auto& record : records) {
        if (!record.path || table.isAlive(record.pid) || record.ts > now - ttl) {
            kept.push_back(record);
            continue;
        }
        if (::unlink(record.path->c_str()) == 0) {
            const std::string& path = *record.path;
            const std::string phase = path.substr(0, path.size() - 5) + ".phase";
            ::unlink(phase.c_str());
            ::unlink(JSONFile::spareOf(path).c_str());
            ::unlink(JSONFile::spareOf(phase).c_str());
            const std::size_t slash = path.rfind('/') + 1;
            ::unlink((path.substr(0, slash) + "." + path.substr(slash, path.size() - 5 - slash) + ".lock").c_str());
            if (log) {
                log("debug [pruneRecords] removed stale record " + lastComponent(*record.path) + " (pid " +
                    std::to_string(record.pid) + " dead, ts " + ageText(now - record.ts) + "s old)");
            }
        } else {
            int error = errno;
            if (log) log("debug [pruneRecords] could not remove " + *record.path + ": " + std::strerror(error));
            kept.push_back(record);
        }
    }
    return kept;
}

bool isSafeSessionID(const std::string& sessionID) {
    if (sessionID.empty() || sessionID[0] == '.') return false;
    return sessionID.find('/') == std::string::npos && sessionID.find('\0') == std::string::npos;
}

}  // namespace tracker
