#include "Front/SetupCommands.hpp"

#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "Core/HookSettings.hpp"
#include "Core/SettingsInstaller.hpp"
#include "Front/DaemonCommands.hpp"
#include "Front/ExecutablePath.hpp"
#include "Front/Locations.hpp"

namespace fs = std::filesystem;

namespace tracker::Front::SetupCommands {

const char* const installUsage =
    "usage: tarnel install [--tee PATH] [--refresh SECONDS] [--threshold PCT]\n"
    "                      [--notify {desktop,app,off}] [--shell-stop-mode {shell-first,claude-only}]\n"
    "                      [--state-dir DIR] [--settings FILE]\n"
    "\n"
    "Make tarnel-tee Claude Code's status-line command, and its hook command for the events\n"
    "that tell when a session receives a reply (beside your own hooks), so that a hold waits\n"
    "for a moment when no reply streams. Your previous status line is kept in\n"
    "config.json as the tee's display command, so it still shows; the settings file is backed\n"
    "up beside itself first (settings.json.bak-yyyyMMdd-HHmmss, never replacing one). Running\n"
    "it again is safe. A state directory chosen with --state-dir or VAZ_ADODIVO_STATE_DIR is\n"
    "written into the status-line command, so the tee records there.\n"
    "\n"
    "  --tee PATH                tarnel-tee to run (default: the one beside this program)\n"
    "  --refresh SECONDS         status-line refresh interval, a whole number above 0\n"
    "                            (default: refresh_interval of config.json, else 60)\n"
    "  --threshold PCT           five-hour percentage at which sessions are held, 0 to 100\n"
    "                            (default: threshold of config.json, else 90)\n"
    "  --notify MODE             who posts notifications: desktop (the daemon, through\n"
    "                            notify-send), app (a program of yours) or off\n"
    "                            (default: keep config.json's, else the daemon decides)\n"
    "  --shell-stop-mode MODE    shell-first (also hold the shell a session runs in) or\n"
    "                            claude-only (default: keep config.json's, else shell-first)\n";

const char* const restoreUsage =
    "usage: tarnel restore [--state-dir DIR] [--settings FILE]\n"
    "\n"
    "Put back the status line that Claude Code's settings held before `tarnel install`\n"
    "(or remove the status line when there was none), and take out the hooks it added,\n"
    "leaving your own. The settings file is backed up\n"
    "beside itself first; config.json is left as it is. When the status line does not\n"
    "run tarnel-tee, nothing is changed. Without config.json the newest backup from before\n"
    "tarnel-tee gives the status line; without one either, nothing is changed. The state\n"
    "directory is the one the installed status line names, unless one is chosen.\n"
    "\n";

namespace {

std::string compact(const JSON& value) {
    return value.dump(-1, ' ', false, JSON::error_handler_t::replace);
}

std::string describeStatusLine(const JSONObject& settings) {
    const JSON* statusLine = JSONCoerce::member(settings, "statusLine");
    if (!statusLine || statusLine->is_null()) return "none";
    return compact(*statusLine);
}

std::int64_t parseRefresh(const std::string& text) {
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value <= 0) {
        throw Arguments::UsageError("--refresh: not a whole number of seconds above 0: " + text);
    }
    return value;
}

double parseThreshold(const std::string& text) {
    const JSON given(text);
    auto value = JSONCoerce::toDouble(&given);
    if (!value || !std::isfinite(*value) || *value < 0 || *value > 100) {
        throw Arguments::UsageError("--threshold: not a percentage from 0 to 100: " + text);
    }
    return *value;
}

std::string choose(const std::string& option, const std::string& text, const std::vector<std::string>& modes) {
    std::string list;
    for (const auto& mode : modes) {
        if (text == mode) return text;
        list += list.empty() ? mode : ", " + mode;
    }
    throw Arguments::UsageError(option + ": choose from " + list);
}

bool isExecutableFile(const std::string& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0;
}

std::string absolutePath(const std::string& path) {
    std::error_code ec;
    auto absolute = fs::absolute(path, ec);
    return ec ? path : absolute.lexically_normal().string();
}

// The options that name locations, repeated for the undo hint.
std::string locationOptions(const Locations& locations, const StateDir& stateDir, const std::string& settingsPath) {
    std::string text;
    if (locations.stateDirOption) text += " --state-dir " + SettingsInstaller::shellQuoted(stateDir.root());
    if (locations.settingsOption) text += " --settings " + SettingsInstaller::shellQuoted(settingsPath);
    return text;
}

void printBackup(const SettingsInstaller::Result& result, bool settingsExisted) {
    if (result.backupPath) {
        std::cout << "  backup          " << *result.backupPath << "\n";
    } else if (settingsExisted) {
        std::cout << "  backup          none (the copy failed)\n";
    } else {
        std::cout << "  backup          none (there was no settings file)\n";
    }
}

void printUndoCopy(const SettingsInstaller::Result& result) {
    if (!result.backupPath) return;
    std::cout << "  or put the old file back: cp " << SettingsInstaller::shellQuoted(*result.backupPath) << " "
              << SettingsInstaller::shellQuoted(result.settingsPath) << "\n";
}

std::string describe(const JSONFileError& error) {
    if (error.kind() == JSONFileError::Kind::notSerializable) return "a value cannot be written as JSON";
    return "cannot write: " + error.message();
}

int failed(const char* command, const std::string& message) {
    std::cerr << "tarnel " << command << ": " << message << "\n";
    return 1;
}

bool exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

// Whether the state directory was chosen on the command line or in the environment.
bool stateDirChosen(const Locations& locations, const Environment& environment) {
    if (locations.stateDirOption) return true;
    auto it = environment.find(StateDir::environmentKey);
    return it != environment.end() && !it->second.empty();
}

}  // namespace

int install(Arguments& arguments, const Invocation& invocation) {
    Locations locations;
    std::optional<std::string> tee;
    std::optional<std::int64_t> refresh;
    std::optional<double> threshold;
    std::optional<NotifyMode> notify;
    std::optional<ShellStopMode> shellStopMode;
    while (!arguments.empty()) {
        if (arguments.flag("-h") || arguments.flag("--help")) {
            std::cout << installUsage << Locations::helpText();
            return 0;
        }
        if (locations.take(arguments)) continue;
        if (auto value = arguments.value("--tee")) {
            tee = absolutePath(*value);
        } else if (auto value = arguments.value("--refresh")) {
            refresh = parseRefresh(*value);
        } else if (auto value = arguments.value("--threshold")) {
            threshold = parseThreshold(*value);
        } else if (auto value = arguments.value("--notify")) {
            notify = NotifyModes::parse(choose("--notify", *value, NotifyModes::texts()));
        } else if (auto value = arguments.value("--shell-stop-mode")) {
            shellStopMode = ShellStopModes::parse(choose("--shell-stop-mode", *value, ShellStopModes::texts()));
        } else {
            arguments.reject();
        }
    }
    if (tee && !isExecutableFile(*tee)) throw Arguments::UsageError("--tee: not an executable file: " + *tee);
    if (!tee) {
        std::string self = executablePath(invocation.argv0.c_str());
        std::string beside =
            self.empty() ? std::string("tarnel-tee") : (fs::path(self).parent_path() / "tarnel-tee").string();
        if (!isExecutableFile(beside)) {
            return failed("install", "cannot find tarnel-tee beside this program (looked for " + beside +
                                         "); name it with --tee PATH");
        }
        tee = beside;
    }

    const StateDir stateDir = locations.stateDir(invocation.environment);
    const std::string settingsPath = locations.settingsPath(invocation.environment);
    // Values not given keep what config.json says, so a reinstall changes only what was asked.
    const TrackerConfig existing = stateDir.readConfig();
    SettingsInstaller::Options options;
    options.teePath = *tee;
    // The tee finds a chosen state directory only when its command says so.
    if (stateDirChosen(locations, invocation.environment) &&
        stateDir.root() != StateDir::fromEnvironment(std::nullopt, {}).root()) {
        options.stateDir = stateDir.root();
    }
    options.refreshInterval = refresh.value_or(existing.refreshInterval);
    options.threshold = threshold.value_or(existing.threshold);
    options.notify = notify;
    options.overrideNotify = notify.has_value();
    if (shellStopMode) options.shellStopMode = *shellStopMode;
    options.overrideShellStopMode = shellStopMode.has_value();

    const auto before = JSONFile::readObject(settingsPath);
    const bool settingsExisted = exists(settingsPath);
    SettingsInstaller::Result result;
    try {
        result = SettingsInstaller::install(settingsPath, stateDir, options);
    } catch (const SettingsInstaller::Refusal& refusal) {
        return failed("install", std::string(refusal.what()) + "\nNothing was changed.");
    } catch (const JSONFileError& error) {
        return failed("install", describe(error) + "\nNothing was changed.");
    } catch (const std::exception& error) {
        return failed("install", std::string(error.what()) + "\nNothing was changed.");
    }

    const TrackerConfig config = TrackerConfig::fromJSON(result.config);
    const JSONObject previous = before.value_or(JSONObject{});
    std::cout << "Installed tarnel-tee as Claude Code's status line.\n";
    std::cout << "  settings file   " << result.settingsPath << (settingsExisted ? "" : " (created)") << "\n";
    std::cout << "    statusLine    was: " << describeStatusLine(previous) << "\n";
    std::cout << "                  now: " << describeStatusLine(result.settings) << "\n";
    std::cout << "    hooks         tarnel-tee --hook for " << HookSettings::recordedEvents().size()
              << " events, after your own (they tell when a session receives a reply)\n";
    printBackup(result, settingsExisted);
    std::cout << "  configuration   " << stateDir.configPath() << "\n";
    if (const auto& display = config.displayCommand) {
        std::cout << "    your status line (display_command): " << *display << "\n";
    } else {
        std::cout << "    no display_command: the tee shows its own line (\u23F3 5h and the used percentage)\n";
    }
    std::cout << "    threshold " << compact(JSONCoerce::stamp(config.threshold)) << ", refresh_interval "
              << config.refreshInterval << ", shell_stop_mode " << ShellStopModes::text(config.shellStopMode)
              << ", notify "
              << (config.notify ? NotifyModes::text(*config.notify) : std::string_view("(the daemon's default)"))
              << "\n";
    std::cout << "To undo: tarnel restore" << locationOptions(locations, stateDir, settingsPath)
              << "  (puts the previous status line back and takes the hooks out)\n";
    printUndoCopy(result);
    std::cout << "Next: start the daemon (" << DaemonCommands::startCommand(invocation.environment)
              << ") and check with tarnel status" << locationOptions(locations, stateDir, settingsPath) << "\n";
    return 0;
}

int restore(Arguments& arguments, const Invocation& invocation) {
    Locations locations;
    while (!arguments.empty()) {
        if (arguments.flag("-h") || arguments.flag("--help")) {
            std::cout << restoreUsage << Locations::helpText();
            return 0;
        }
        if (!locations.take(arguments)) arguments.reject();
    }
    const std::string settingsPath = locations.settingsPath(invocation.environment);
    const auto before = JSONFile::readObject(settingsPath);
    const bool settingsExisted = exists(settingsPath);
    // Unless one is chosen, the state directory is the one the installed tee uses.
    std::optional<std::string> installedDir;
    if (before && !stateDirChosen(locations, invocation.environment)) {
        installedDir = SettingsInstaller::installedStateDir(*before);
    }
    const StateDir stateDir = installedDir ? StateDir(*installedDir) : locations.stateDir(invocation.environment);
    SettingsInstaller::Result result;
    try {
        result = SettingsInstaller::restore(settingsPath, stateDir);
    } catch (const SettingsInstaller::Refusal& refusal) {
        return failed("restore", std::string(refusal.what()) + "\nNothing was changed.");
    } catch (const JSONFileError& error) {
        return failed("restore", describe(error) + "\nThe settings file was not changed.");
    } catch (const std::exception& error) {
        return failed("restore", std::string(error.what()) + "\nThe settings file was not changed.");
    }

    if (!result.changed && !result.note.empty()) {
        std::cout << "Not restored: " << result.note << ".\n";
        return 0;
    }
    if (!result.changed) {
        std::cout << "Nothing to restore: the status line in " << settingsPath
                  << (settingsExisted ? " does not run tarnel-tee" : " is not set (there is no such file)")
                  << "; nothing was changed.\n";
        return 0;
    }
    std::cout << "Restored Claude Code's status line and took out the hooks of tarnel-tee.\n";
    std::cout << "  settings file   " << result.settingsPath << "\n";
    std::cout << "    statusLine    was: " << describeStatusLine(before.value_or(JSONObject{})) << "\n";
    if (result.settings.count("statusLine")) {
        std::cout << "                  now: " << describeStatusLine(result.settings) << "\n";
    } else {
        std::cout << "                  now: removed (there was none before tarnel-tee)\n";
    }
    if (result.restoredFrom) {
        std::cout << "                  (" << stateDir.configPath() << " has no saved status line: taken from "
                  << *result.restoredFrom << ")\n";
    }
    printBackup(result, settingsExisted);
    std::cout << "  configuration   " << stateDir.configPath() << " (unchanged)\n";
    std::cout << "To undo: tarnel install" << locationOptions(locations, stateDir, settingsPath) << "\n";
    printUndoCopy(result);
    std::cout << "The daemon is not touched: stop it with " << DaemonCommands::stopCommand(invocation.environment)
              << "\n";
    return 0;
}

}  // namespace tracker::Front::SetupCommands
