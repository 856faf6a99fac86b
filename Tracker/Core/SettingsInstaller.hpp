#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Core/JSONFile.hpp"
#include "Core/NotifyMode.hpp"
#include "Core/ShellStopMode.hpp"
#include "Core/StateDir.hpp"

// Puts tarnel-tee into Claude Code's settings file as the status-line command,
// keeping the user's previous status line in config.json as the tee's display
// command, and beside it as the hook command of the events that tell a
// session's phase (see HookSettings), after the user's own hooks; puts the
// previous status line back on restore and takes out exactly those hooks.
//
// Only install and restore touch files. They read strictly where the other
// readers are lenient: a settings or configuration file that exists but is not
// a readable JSON object would read as empty and the write would drop every
// member the user has, so it is refused with a Refusal before anything is
// written. A settings file that cannot be written is refused the same way,
// before config.json is touched, so the two never disagree. Neither acts on a
// state directory or config.json that someone else could have written (see
// StateDirTrust), nor on anything but a regular file: a FIFO would never end.
// The settings file keeps its mode and owner, the order of its keys and its
// indentation (see JSONLayout), and every backup gets a name of its own.
namespace tracker::SettingsInstaller {

inline constexpr const char* environmentKey = "VAZ_ADODIVO_SETTINGS_FILE";
inline constexpr const char* defaultPath = "~/.claude/settings.json";
// Texts whose presence in a status-line command means it already runs the tee.
inline constexpr std::array<std::string_view, 3> teeMarkers = {"statusline-tee.sh", "lst-tee", "tarnel-tee"};
// The 72 characters that never need quoting for /bin/sh.
inline constexpr std::string_view safeCharacters =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-./=:+,@%";
// Pattern of the time stamp in a backup's name, for people reading messages.
inline constexpr const char* backupStampPattern = "yyyyMMdd-HHmmss";

// What to install.
struct Options {
    std::string teePath;
    // The state directory the installed tee is to use; none for the default.
    std::optional<std::string> stateDir;
    std::int64_t refreshInterval = TrackerConfig::defaultRefreshInterval;
    double threshold = TrackerConfig::defaultThreshold;
    // Stored only when config.json has no "notify" (unless overrideNotify).
    std::optional<NotifyMode> notify;
    // Stored only when config.json has no "shell_stop_mode" (unless overrideShellStopMode).
    ShellStopMode shellStopMode = ShellStopMode::shellFirst;
    // Replace an existing "notify" / "shell_stop_mode": a front end sets these
    // when the user asked for a value explicitly.
    bool overrideNotify = false;
    bool overrideShellStopMode = false;

    bool operator==(const Options&) const = default;
};

// What install or restore did.
struct Result {
    std::string settingsPath;
    // The backup made, or none (no settings file was there, or it could not be copied).
    std::optional<std::string> backupPath;
    // The settings as written (restore without the tee installed: as read).
    JSONObject settings;
    // The configuration as written by install, as read by restore.
    JSONObject config;
    // False only for a restore that left the settings alone: no tee in them,
    // or nothing known to put back (note says so).
    bool changed = true;
    // A restore whose config.json had no saved status line took it from this backup.
    std::optional<std::string> restoredFrom;
    // Why a restore left the settings alone although they run the tee.
    std::string note;

    bool operator==(const Result&) const = default;
};

// Thrown by install and restore when they refuse to go on; nothing has been
// written (or removed) when it is thrown.
class Refusal : public std::runtime_error {
public:
    Refusal(std::string path, const std::string& message) : std::runtime_error(message), path_(std::move(path)) {}
    // The file the refusal is about.
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The given path (even if empty), else VAZ_ADODIVO_SETTINGS_FILE when set and
// not empty, else the default; tilde-expanded and made absolute.
std::string settingsPath(const std::optional<std::string>& path, const Environment& environment);

// "statusLine" → "command" as text, or "statusLine" itself when it is a text; else "".
std::string statusLineCommand(const JSONObject& settings);
bool pointsAtTee(const JSONObject& settings);
// The current status-line command unless it is empty or runs the tee.
std::optional<std::string> displayCommand(const JSONObject& settings);
// The value to keep as "previous_statusline": the existing one when the
// settings already run the tee (so a reinstall keeps the user's), else
// "statusLine" in whatever form; JSON null when missing.
JSON previousStatusLine(const JSONObject& settings, const JSONObject& existingConfig);

// text as one /bin/sh word: unchanged when every byte is a safe character,
// else in single quotes with each ' written as '\''; "" becomes ''.
std::string shellQuoted(std::string_view text);

// {"type": "command", "command": <quoted tee>, "refreshInterval": <seconds>};
// with a state directory the command is "VAZ_ADODIVO_STATE_DIR=<quoted dir> <quoted tee>".
JSONObject statusLineValue(const std::string& teePath, std::int64_t refreshInterval,
                           const std::optional<std::string>& stateDir = std::nullopt);
// The state directory an installed status-line command names, as statusLineValue writes it.
std::optional<std::string> installedStateDir(const JSONObject& settings);
JSONObject installedSettings(JSONObject settings, const Options& options);
JSONObject installedConfig(JSONObject existingConfig, const JSONObject& settings, const Options& options);
// "statusLine" set to the saved "previous_statusline", or removed when none was saved; our hooks taken out.
JSONObject restoredSettings(JSONObject settings, const JSONObject& config);
// The hook events whose lists the user had before install, as config.json keeps them.
std::vector<std::string> userHookEvents(const JSONObject& config);

// Copies the regular file at location to "<name>.bak-yyyyMMdd-HHmmss" beside
// it (local time of now, seconds since the epoch), with "-2", "-3", ... added
// when that name is taken: a backup is never replaced. The copy has the
// file's permissions. None when there is no file or the copy failed; never throws.
std::optional<std::string> backup(const std::string& location, double now);
// Among the backups beside the settings file, newest first, the first whose
// status line does not run the tee: its path and "statusLine" (null when it
// had none). None when there is no such backup.
std::optional<std::pair<std::string, JSON>> statusLineBeforeTee(const std::string& settingsPath);

// Writes config.json, backs the settings up and writes them, both durably.
// Throws Refusal (nothing written), std::filesystem::filesystem_error (state
// directory not created) or JSONFileError (a write failed; when it is the
// settings write, config.json is put back as it was).
Result install(const std::string& settingsPath, const StateDir& stateDir, const Options& options);
// Puts the saved status line back when the settings run the tee; otherwise
// writes nothing and returns changed false. Without a saved status line in
// config.json (it is gone) the newest backup from before the tee gives it;
// without one either, nothing is written (changed false, note says why).
// config.json is never changed. Throws Refusal or JSONFileError.
Result restore(const std::string& settingsPath, const StateDir& stateDir);

}  // namespace tracker::SettingsInstaller
