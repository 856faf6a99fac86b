#include "Daemon/DaemonFlags.hpp"

#include <cmath>

#include "Core/JSONFile.hpp"
#include "Core/NotifyMode.hpp"
#include "Core/TrackerConfig.hpp"
#include "Core/Version.hpp"

namespace tracker {

namespace {

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const auto& word : words) text += (text.empty() ? "" : ", ") + word;
    return text;
}

FlagsOutcome failure(std::string message) {
    FlagsOutcome outcome;
    outcome.status = 2;
    outcome.error = std::move(message);
    return outcome;
}

}  // namespace

const std::string& daemonUsage() {
    static const std::string usage =
        "usage: tarnel-vovivida [--dry-run] [--once] [--thaw-now] [--threshold PCT]\n"
        "                       [--resume-in SECONDS] [--notify {desktop,app,off}]\n"
        "                       [--state-dir DIR] [--poll SECONDS]\n"
        "                       [--log-level {verbose,debug,info,warning,error,critical}]\n"
        "                       [--log-stderr] [--version]\n"
        "\n"
        "Freeze Claude Code sessions at the 5-hour usage threshold.\n"
        "\n"
        "  --dry-run     log decisions, never signal and never write state\n"
        "  --once        run one tick and exit\n"
        "  --thaw-now    resume everything pause.json names, sweep, and exit\n"
        "  --threshold   used_percentage that triggers a freeze (default 90)\n"
        "  --resume-in   test aid: resume this many seconds after a freeze\n"
        "  --notify      who posts notifications: desktop (this daemon, through\n"
        "                notify-send; the default), app (a program of yours) or off\n"
        "  --state-dir   override the state directory\n"
        "  --poll        poll/timer interval (default 2)\n"
        "  --log-level   default info\n"
        "  --log-stderr  copy the log to standard error (by default only where that\n"
        "                is a terminal or the journal; daemon.log always has it)\n"
        "  --version     print the version and exit";
    return usage;
}

std::set<std::string> Flags::pinnedKeys(const Environment& environment) const {
    std::set<std::string> keys;
    if (threshold) keys.insert(TrackerConfig::Key::threshold);
    if (notify) keys.insert(TrackerConfig::Key::notify);
    if (auto it = environment.find("VAZ_ADODIVO_THRESHOLD"); it != environment.end() && !it->second.empty()) {
        keys.insert(TrackerConfig::Key::threshold);
    }
    return keys;
}

FlagsOutcome parseFlags(const std::vector<std::string>& arguments) {
    Flags flags;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--dry-run") {
            flags.dryRun = true;
            continue;
        }
        if (argument == "--once") {
            flags.once = true;
            continue;
        }
        if (argument == "--thaw-now") {
            flags.thawNow = true;
            continue;
        }
        if (argument == "--log-stderr") {
            flags.logToStandardError = true;
            continue;
        }
        const bool takesValue = argument == "--threshold" || argument == "--resume-in" || argument == "--state-dir" ||
                                argument == "--poll" || argument == "--notify" || argument == "--log-level";
        if (takesValue) {
            if (i + 1 >= arguments.size()) return failure(argument + " needs a value");
            const std::string& value = arguments[++i];
            if (argument == "--threshold" || argument == "--resume-in" || argument == "--poll") {
                JSON text = value;
                auto number = JSONCoerce::toDouble(&text);
                if (!number) return failure(argument + ": not a number: " + value);
                if (argument == "--threshold" && !TrackerConfig::isThreshold(*number)) {
                    return failure("--threshold: not a percentage from 0 to 100: " + value);
                }
                if (argument != "--threshold" &&
                    (!std::isfinite(*number) || *number < 0 || (argument == "--poll" && *number == 0))) {
                    return failure(argument + ": not a usable number of seconds: " + value);
                }
                (argument == "--threshold"   ? flags.threshold
                 : argument == "--resume-in" ? flags.resumeIn
                                             : flags.poll) = *number;
            } else if (argument == "--state-dir") {
                flags.stateDir = value;
            } else if (argument == "--notify") {
                auto mode = NotifyModes::parse(value);
                if (!mode) return failure("--notify: choose from " + joined(NotifyModes::texts()));
                flags.notify = *mode;
            } else {
                auto level = DaemonLogLevels::fromName(value);
                if (!level) return failure("--log-level: choose from " + joined(DaemonLogLevels::allNames()));
                flags.logLevel = *level;
            }
            continue;
        }
        if (argument == "--version") {
            FlagsOutcome version;
            version.out = Version::line("tarnel-vovivida");
            return version;
        }
        if (argument == "-h" || argument == "--help") {
            FlagsOutcome help;
            help.status = 0;
            help.out = daemonUsage() + "\n";
            return help;
        }
        return failure("unrecognised argument: " + argument + "\n\n" + daemonUsage());
    }
    FlagsOutcome outcome;
    outcome.flags = flags;
    return outcome;
}

}  // namespace tracker
