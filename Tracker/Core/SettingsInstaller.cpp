#include "Core/SettingsInstaller.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <vector>

#include "Core/FileRead.hpp"
#include "Core/FileWrite.hpp"
#include "Core/HookSettings.hpp"
#include "Core/JSONLayout.hpp"
#include "Core/RandomNumber.hpp"
#include "Core/StateDirTrust.hpp"

namespace fs = std::filesystem;

namespace tracker::SettingsInstaller {

namespace {

bool isSafeByte(unsigned char byte) {
    // Any byte outside ASCII is part of a non-ASCII scalar, which is never safe.
    return byte < 0x80 && safeCharacters.find(static_cast<char>(byte)) != std::string_view::npos;
}

bool containsTeeMarker(const std::string& command) {
    for (auto marker : teeMarkers) {
        if (command.find(marker) != std::string::npos) return true;
    }
    return false;
}

bool onlyWhiteSpace(const std::string& bytes) {
    return bytes.find_first_not_of(" \t\r\n") == std::string::npos;
}

// What a file held when it was read strictly.
struct StrictRead {
    bool existed = false;
    JSONObject object;
    // The file's bytes, whose layout a rewrite keeps.
    std::string bytes;
};

// The JSON object in the file at path: empty when nothing is there (or the
// file holds only white space, so nothing can be lost). Any file that is
// there but cannot be read or is not a JSON object is refused, since writing
// over it would throw away what it holds.
StrictRead readStrictly(const std::string& path, const std::string& what) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        int error = errno;
        // Nothing is there (a dangling link, or a parent that is no directory):
        // nothing can be lost, and the write reports what stops it.
        if (error == ENOENT || error == ENOTDIR) return {};
        throw Refusal(path, "cannot read the " + what + " " + path + ": " + std::strerror(error));
    }
    if (S_ISDIR(info.st_mode)) throw Refusal(path, "the " + what + " " + path + " is a directory, not a file");
    if (!S_ISREG(info.st_mode)) {
        // A FIFO or a device would block the read or never end.
        throw Refusal(path, "the " + what + " " + path + " is not a regular file; it was left as it is");
    }
    if (static_cast<std::uintmax_t>(info.st_size) > JSONFile::maxDocumentBytes) {
        throw Refusal(path, "the " + what + " " + path + " is larger than 16 MiB; it was left as it is");
    }
    FileRead::Outcome read = FileRead::file(path, JSONFile::maxDocumentBytes, O_NONBLOCK);
    if (read.error) throw Refusal(path, "cannot read the " + what + " " + path + ": " + std::strerror(read.error));
    if (read.tooLarge) {
        throw Refusal(path, "the " + what + " " + path + " is larger than 16 MiB; it was left as it is");
    }
    const std::string& bytes = read.bytes;
    if (onlyWhiteSpace(bytes)) return {true, {}, {}};
    auto value = JSONFile::parse(bytes);
    if (!value) {
        throw Refusal(path, "the " + what + " " + path +
                                " is not valid JSON; it was left as it is. Fix it (or move it away) and try again");
    }
    if (!value->is_object()) {
        throw Refusal(path,
                      "the " + what + " " + path +
                          " does not hold a JSON object; it was left as it is. Fix it (or move it away) and try again");
    }
    return {true, value->get_ref<const JSONObject&>(), bytes};
}

// Where a write to path lands: a symbolic link is followed, so a settings file
// kept elsewhere (a dotfiles checkout) is updated instead of being replaced by
// a plain file.
std::string writeTarget(const std::string& path) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(path, ec))) return path;
    auto resolved = fs::weakly_canonical(path, ec);
    return ec ? path : resolved.string();
}

// Refuses when the atomic write of path could not succeed: its directory
// cannot be made or written in, or the file is there and not writable. The
// directory is created when missing (an empty directory loses nothing).
void checkWritable(const std::string& path, const std::string& what) {
    const std::string target = writeTarget(path);
    const fs::path file(target);
    const fs::path directory = file.has_parent_path() ? file.parent_path() : fs::path(".");
    std::error_code ec;
    fs::create_directories(directory, ec);
    if (ec) {
        throw Refusal(path, "the " + what + " " + path + " is not writable: cannot create the directory " +
                                directory.string() + ": " + ec.message());
    }
    if (::access(target.c_str(), F_OK) == 0 && ::access(target.c_str(), W_OK) != 0) {
        throw Refusal(path, "the " + what + " " + path + " is not writable: " + std::strerror(errno));
    }
    // The atomic write creates a file beside the target and renames it over.
    // Built by appending: "." + a temporary string makes GCC 12 warn of an overlapping copy that cannot happen.
    std::string probeName(1, '.');
    probeName.append(file.filename().string())
        .append(".probe.")
        .append(std::to_string(::getpid()))
        .append(".")
        .append(std::to_string(randomU32()));
    const fs::path probe = directory / probeName;
    int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) {
        throw Refusal(path, "the " + what + " " + path + " is not writable: cannot create files in " +
                                directory.string() + ": " + std::strerror(errno));
    }
    ::close(fd);
    ::unlink(probe.c_str());
}

double currentTime() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string localStamp(double now) {
    std::time_t seconds = static_cast<std::time_t>(std::isfinite(now) ? std::floor(now) : 0);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    size_t length = std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
    return std::string(text, length);
}

// The mode and owner of the file a write to path replaces; the default for a new file.
JSONFile::FileMode modeOf(const std::string& path) {
    JSONFile::FileMode mode;
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
        mode.permissions = info.st_mode & 07777;
        mode.uid = info.st_uid;
        mode.gid = info.st_gid;
    }
    return mode;
}

// Writes the settings in the layout of the file they were read from (its key order and indentation), with
// the mode and owner the file has.
void writeSettings(const JSONObject& settings, const StrictRead& read, const std::string& target) {
    JSONFile::atomicWriteBytes(JSONLayout::serializedLike(settings, read.bytes), target, true, modeOf(target));
}

// The state directory and config.json must be the user's alone: config.json
// names a command the tee runs, and restore puts its status line into the settings.
void checkStateDir(const StateDir& stateDir) {
    if (auto problem = stateDir.trustProblem()) throw Refusal(stateDir.root(), *problem);
    const std::string configPath = stateDir.configPath();
    int fd = ::open(configPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ELOOP) throw Refusal(configPath, "the configuration " + configPath + " is a symbolic link");
        return;
    }
    struct stat info {};
    std::optional<std::string> problem;
    if (::fstat(fd, &info) == 0) problem = StateDirTrust::fileProblem(info, configPath);
    ::close(fd);
    if (problem) throw Refusal(configPath, "the configuration " + *problem);
}

// Writes bytes into a new file at path (never an existing one, never through a
// link), then gives it permissions; false when path is taken or a step failed.
bool copyInto(const std::string& bytes, const std::string& path, mode_t permissions) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    bool ok = FileWrite::all(fd, bytes);
    ok = ok && ::fchmod(fd, permissions) == 0 && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok) ::unlink(path.c_str());
    return ok;
}

// The single-quoted or bare shell word at the start of text, as shellQuoted
// writes it, and where it ends; none when text does not start with one.
std::optional<std::pair<std::string, std::size_t>> leadingWord(std::string_view text) {
    std::string word;
    std::size_t i = 0;
    while (i < text.size() && text[i] != ' ') {
        if (text[i] == '\'') {
            std::size_t close = text.find('\'', i + 1);
            if (close == std::string_view::npos) return std::nullopt;
            word.append(text.substr(i + 1, close - i - 1));
            i = close + 1;
        } else if (text[i] == '\\' && i + 1 < text.size()) {
            word += text[i + 1];
            i += 2;
        } else if (isSafeByte(static_cast<unsigned char>(text[i]))) {
            word += text[i++];
        } else {
            return std::nullopt;
        }
    }
    return std::make_pair(word, i);
}

}  // namespace

std::string settingsPath(const std::optional<std::string>& path, const Environment& environment) {
    std::string chosen = defaultPath;
    if (path) {
        chosen = *path;
    } else if (auto it = environment.find(environmentKey); it != environment.end() && !it->second.empty()) {
        chosen = it->second;
    }
    std::string expanded = expandTilde(chosen);
    if (expanded.empty()) return expanded;
    std::error_code ec;
    auto absolute = fs::absolute(expanded, ec);
    return ec ? expanded : absolute.lexically_normal().string();
}

std::string statusLineCommand(const JSONObject& settings) {
    const JSON* statusLine = JSONCoerce::member(settings, "statusLine");
    if (!statusLine) return "";
    if (statusLine->is_object()) return JSONCoerce::toString(JSONCoerce::member(*statusLine, "command")).value_or("");
    if (statusLine->is_string()) return statusLine->get<std::string>();
    return "";
}

bool pointsAtTee(const JSONObject& settings) {
    std::string command = statusLineCommand(settings);
    return !command.empty() && containsTeeMarker(command);
}

std::optional<std::string> displayCommand(const JSONObject& settings) {
    std::string command = statusLineCommand(settings);
    if (command.empty() || containsTeeMarker(command)) return std::nullopt;
    return command;
}

JSON previousStatusLine(const JSONObject& settings, const JSONObject& existingConfig) {
    const JSONObject& source = pointsAtTee(settings) ? existingConfig : settings;
    const char* key = pointsAtTee(settings) ? TrackerConfig::Key::previousStatusLine : "statusLine";
    const JSON* value = JSONCoerce::member(source, key);
    return value ? *value : JSON(nullptr);
}

std::string shellQuoted(std::string_view text) {
    if (text.empty()) return "''";
    bool safe = true;
    for (char c : text) {
        if (!isSafeByte(static_cast<unsigned char>(c))) {
            safe = false;
            break;
        }
    }
    if (safe) return std::string(text);
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += "'";
    return quoted;
}

JSONObject statusLineValue(const std::string& teePath, std::int64_t refreshInterval,
                           const std::optional<std::string>& stateDir) {
    std::string command = shellQuoted(teePath);
    if (stateDir) command = std::string(StateDir::environmentKey) + "=" + shellQuoted(*stateDir) + " " + command;
    return JSONObject{
        {"type", "command"},
        {"command", command},
        {"refreshInterval", refreshInterval},
    };
}

std::optional<std::string> installedStateDir(const JSONObject& settings) {
    if (!pointsAtTee(settings)) return std::nullopt;
    const std::string command = statusLineCommand(settings);
    const std::string prefix = std::string(StateDir::environmentKey) + "=";
    if (!command.starts_with(prefix)) return std::nullopt;
    auto word = leadingWord(std::string_view(command).substr(prefix.size()));
    if (!word || word->first.empty()) return std::nullopt;
    return word->first;
}

JSONObject installedSettings(JSONObject settings, const Options& options) {
    JSONObject statusLine = statusLineValue(options.teePath, options.refreshInterval, options.stateDir);
    settings = HookSettings::withHooks(std::move(settings), HookSettings::hookCommand(statusLine["command"]));
    settings["statusLine"] = std::move(statusLine);
    return settings;
}

JSONObject installedConfig(JSONObject existingConfig, const JSONObject& settings, const Options& options) {
    using Key = TrackerConfig::Key;
    JSON display = nullptr;
    if (auto command = displayCommand(settings)) {
        display = *command;
    } else if (auto kept = JSONCoerce::toString(JSONCoerce::member(existingConfig, Key::displayCommand))) {
        display = *kept;
    }
    JSON previous = previousStatusLine(settings, existingConfig);
    // The user's hook lists as they were before the first install (a reinstall finds ours among them).
    if (!HookSettings::hasOurs(settings) || !existingConfig.contains(Key::userHookEvents)) {
        existingConfig[Key::userHookEvents] = HookSettings::userEvents(settings);
    }
    existingConfig[Key::displayCommand] = std::move(display);
    existingConfig[Key::previousStatusLine] = std::move(previous);
    existingConfig[Key::threshold] = JSON(static_cast<double>(options.threshold));
    existingConfig[Key::refreshInterval] = JSON(options.refreshInterval);
    if (options.overrideShellStopMode || !existingConfig.contains(Key::shellStopMode)) {
        existingConfig[Key::shellStopMode] = ShellStopModes::text(options.shellStopMode);
    }
    if (options.notify && (options.overrideNotify || !existingConfig.contains(Key::notify))) {
        existingConfig[Key::notify] = NotifyModes::text(*options.notify);
    }
    return existingConfig;
}

std::vector<std::string> userHookEvents(const JSONObject& config) {
    std::vector<std::string> kept;
    const JSON* events = JSONCoerce::member(config, TrackerConfig::Key::userHookEvents);
    if (!events || !events->is_array()) return kept;
    for (const auto& event : *events) {
        if (event.is_string()) kept.push_back(event.get<std::string>());
    }
    return kept;
}

JSONObject restoredSettings(JSONObject settings, const JSONObject& config) {
    settings = HookSettings::withoutHooks(std::move(settings), userHookEvents(config));
    const JSON* previous = JSONCoerce::member(config, TrackerConfig::Key::previousStatusLine);
    if (previous && !previous->is_null()) {
        settings["statusLine"] = *previous;
    } else {
        settings.erase("statusLine");
    }
    return settings;
}

std::optional<std::string> backup(const std::string& location, double now) {
    struct stat info {};
    if (::stat(location.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    FileRead::Outcome read = FileRead::file(location, JSONFile::maxDocumentBytes, O_NONBLOCK);
    if (!read.complete()) return std::nullopt;
    const fs::path source(location);
    const std::string stem = (source.parent_path() / (source.filename().string() + ".bak-" + localStamp(now))).string();
    for (int attempt = 1; attempt <= 1000; ++attempt) {
        std::string copy = attempt == 1 ? stem : stem + "-" + std::to_string(attempt);
        if (copyInto(read.bytes, copy, info.st_mode & 0777)) return copy;
        if (errno != EEXIST) return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::pair<std::string, JSON>> statusLineBeforeTee(const std::string& settingsPath) {
    const fs::path settings(settingsPath);
    const std::string prefix = settings.filename().string() + ".bak-";
    struct Candidate {
        fs::file_time_type time;
        std::string path;
    };
    std::vector<Candidate> candidates;
    std::error_code ec;
    for (auto it = fs::directory_iterator(settings.parent_path(), ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        if (!it->path().filename().string().starts_with(prefix)) continue;
        std::error_code timeError;
        auto time = fs::last_write_time(it->path(), timeError);
        if (!timeError) candidates.push_back({time, it->path().string()});
    }
    // Newest first; names of the same moment by their stamp and number.
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        if (a.time != b.time) return a.time > b.time;
        if (a.path.size() != b.path.size()) return a.path.size() > b.path.size();
        return a.path > b.path;
    });
    for (const auto& candidate : candidates) {
        auto object = JSONFile::readObject(candidate.path);
        if (!object || pointsAtTee(*object)) continue;
        const JSON* statusLine = JSONCoerce::member(*object, "statusLine");
        return std::make_pair(candidate.path, statusLine ? *statusLine : JSON(nullptr));
    }
    return std::nullopt;
}

Result install(const std::string& settingsPath, const StateDir& stateDir, const Options& options) {
    checkStateDir(stateDir);
    const std::string configPath = stateDir.configPath();
    StrictRead settings = readStrictly(settingsPath, "settings file");
    StrictRead config = readStrictly(configPath, "configuration");
    if (auto problem = HookSettings::problem(settings.object)) {
        throw Refusal(settingsPath, settingsPath + ": " + *problem + " - fix it so that tarnel can add its hooks");
    }

    JSONObject newSettings = installedSettings(settings.object, options);
    JSONObject newConfig = installedConfig(config.object, settings.object, options);
    // Both documents must be writable as JSON before either is written.
    JSONFile::serialize(newSettings);
    JSONFile::serialize(newConfig);
    checkWritable(settingsPath, "settings file");

    stateDir.ensureDirectories();
    const std::string configTarget = writeTarget(configPath);
    JSONFile::atomicWrite(newConfig, configTarget, true);

    Result result{settingsPath, backup(settingsPath, currentTime()), newSettings, newConfig, true, {}, {}};
    try {
        const std::string settingsTarget = writeTarget(settingsPath);
        writeSettings(newSettings, settings, settingsTarget);
    } catch (...) {
        // Leave config.json as it was, so it does not describe an install that did not happen.
        try {
            if (config.existed) {
                JSONFile::atomicWrite(config.object, configTarget, true);
            } else {
                ::unlink(configTarget.c_str());
            }
        } catch (...) {
        }
        throw;
    }
    return result;
}

Result restore(const std::string& settingsPath, const StateDir& stateDir) {
    checkStateDir(stateDir);
    StrictRead settings = readStrictly(settingsPath, "settings file");
    StrictRead config = readStrictly(stateDir.configPath(), "configuration");
    if (!pointsAtTee(settings.object)) {
        // The user's own status line (or none) is in place: at most our hooks to take out.
        if (!HookSettings::hasOurs(settings.object)) {
            return Result{settingsPath, std::nullopt, settings.object, config.object, false, {}, {}};
        }
        JSONObject restored = HookSettings::withoutHooks(settings.object, userHookEvents(config.object));
        JSONFile::serialize(restored);
        checkWritable(settingsPath, "settings file");
        Result result{settingsPath, backup(settingsPath, currentTime()), restored, config.object, true, {}, {}};
        const std::string settingsTarget = writeTarget(settingsPath);
        writeSettings(restored, settings, settingsTarget);
        return result;
    }
    JSONObject saved = config.object;
    std::optional<std::string> restoredFrom;
    if (!saved.contains(TrackerConfig::Key::previousStatusLine)) {
        // config.json is gone (or never held it): the settings from before the tee are in a backup, if anywhere.
        auto before = statusLineBeforeTee(settingsPath);
        if (!before) {
            return Result{settingsPath,
                          std::nullopt,
                          settings.object,
                          config.object,
                          false,
                          {},
                          stateDir.configPath() +
                              " holds no saved status line and no backup of the settings from before tarnel-tee "
                              "was found, so the status line was left as it is; set \"statusLine\" in " +
                              settingsPath + " by hand"};
        }
        saved[TrackerConfig::Key::previousStatusLine] = before->second;
        restoredFrom = before->first;
    }
    JSONObject restored = restoredSettings(settings.object, saved);
    JSONFile::serialize(restored);
    checkWritable(settingsPath, "settings file");
    Result result{settingsPath, backup(settingsPath, currentTime()), restored, config.object, true, restoredFrom, {}};
    const std::string settingsTarget = writeTarget(settingsPath);
    writeSettings(restored, settings, settingsTarget);
    return result;
}

}  // namespace tracker::SettingsInstaller
