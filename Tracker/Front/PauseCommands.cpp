#include "Front/PauseCommands.hpp"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <iostream>
#include <thread>

#include "Core/NumberText.hpp"
#include "Core/PauseRequest.hpp"
#include "Core/StateDir.hpp"
#include "Core/TrackerConfig.hpp"
#include "Front/DaemonCommands.hpp"
#include "Front/Locations.hpp"
#include "Front/StatusReport.hpp"

namespace tracker::Front::PauseCommands {

const char* const pauseUsage =
    "usage: tarnel pause [--until HH:MM | --for DURATION] [--state-dir DIR] [--settings FILE]\n"
    "\n"
    "Hold every Claude Code session that is not exempt now, whatever the usage, until the\n"
    "given time (at most 24 hours; without one: until `tarnel resume`, at most 24 hours). The\n"
    "daemon holds them as it holds them for the usage window, and a hold for the window that\n"
    "ends later keeps them longer. Asking again sets a new end.\n"
    "\n"
    "  --until HH:MM             the next time the clock shows HH:MM (local time)\n"
    "  --for DURATION            90m, 2h, 1h30m, 45s; a bare number is minutes\n"
    "Exit status: 0 the daemon took it, 1 no daemon runs or it did not answer, 2 a\n"
    "command-line error.\n";

const char* const resumeUsage =
    "usage: tarnel resume [--usage] [--state-dir DIR] [--settings FILE]\n"
    "\n"
    "End the pause `tarnel pause` asked for: the sessions go on, unless the usage window holds\n"
    "them, which it does until it resets.\n"
    "  --usage  end the usage window's hold instead (five-hour or seven-day window, spend\n"
    "           limit); it does not hold again before that window resets\n"
    "Exit status: 0 the daemon took it, 1 no daemon runs or it did not answer, 2 a\n"
    "command-line error.\n";

namespace {

double wallClock() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::optional<unsigned> digits(std::string_view text) {
    if (text.empty() || text.size() > 6) return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value;
}

// Writes the request and waits for the daemon to take it; the exit status.
int ask(const StateDir& stateDir, const PauseRequest& request, const char* command, const Environment& environment) {
    if (auto problem = stateDir.trustProblem()) {
        std::cerr << "tarnel " << command << ": " << *problem << "\n";
        return 1;
    }
    if (StatusReport::probeLock(stateDir.lockPath()) != StatusReport::LockState::held) {
        std::cerr << "tarnel " << command << ": no daemon runs on " << stateDir.root()
                  << ": nothing would hold the sessions.\n"
                  << "Start it first: " << DaemonCommands::startCommand(environment) << "\n";
        return 1;
    }
    stateDir.write(request);
    // The daemon looks at its next tick: within its poll interval.
    const double poll = stateDir.readConfig().pollInterval;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(std::min(2 * poll + 3, 30.0));
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!stateDir.readRequest() && ::access(stateDir.requestPath().c_str(), F_OK) != 0) return 0;
    }
    std::cerr << "tarnel " << command << ": the daemon did not take the request in time; it stays in "
              << stateDir.requestPath() << " for its next look.\n";
    return 1;
}

}  // namespace

std::optional<double> parseDuration(std::string_view text) {
    if (auto minutes = digits(text)) return *minutes * 60.0;
    double total = 0;
    bool any = false;
    while (!text.empty()) {
        std::size_t count = 0;
        while (count < text.size() && text[count] >= '0' && text[count] <= '9') ++count;
        auto number = digits(text.substr(0, count));
        if (!number || count == text.size()) return std::nullopt;
        const char unit = text[count];
        const double scale = unit == 's' ? 1 : unit == 'm' ? 60 : unit == 'h' ? 3600 : unit == 'd' ? 86400 : 0;
        if (scale == 0) return std::nullopt;
        total += *number * scale;
        any = true;
        text.remove_prefix(count + 1);
    }
    return any ? std::optional<double>(total) : std::nullopt;
}

std::string heldText(const Pause& standing, double now) {
    const std::size_t count = standing.targets.size();
    return "Holding " + std::to_string(count) + " session" + (count == 1 ? "" : "s") + " until " +
           NumberText::dayClockText(standing.resumeAt, now) +
           (standing.manualUntil && standing.resumeAt > *standing.manualUntil
                ? " (the usage window holds them that long)"
                : "") +
           ". `tarnel resume` lets them go on sooner.\n";
}

std::optional<double> nextClockTime(std::string_view text, double now) {
    auto colon = text.find(':');
    if (colon == std::string_view::npos || text.size() - colon - 1 != 2 || colon < 1 || colon > 2) return std::nullopt;
    auto hour = digits(text.substr(0, colon));
    auto minute = digits(text.substr(colon + 1));
    if (!hour || !minute || *hour > 23 || *minute > 59) return std::nullopt;
    std::time_t base = static_cast<std::time_t>(std::floor(now));
    for (int day = 0; day < 3; ++day) {
        std::tm local{};
        if (!::localtime_r(&base, &local)) return std::nullopt;
        local.tm_mday += day;
        local.tm_hour = static_cast<int>(*hour);
        local.tm_min = static_cast<int>(*minute);
        local.tm_sec = 0;
        local.tm_isdst = -1;
        const std::time_t at = ::mktime(&local);
        if (at != static_cast<std::time_t>(-1) && static_cast<double>(at) > now) return static_cast<double>(at);
    }
    return std::nullopt;
}

int pause(Arguments& arguments, const Invocation& invocation) {
    Locations locations;
    std::optional<double> until;
    bool given = false;
    const double now = wallClock();
    while (!arguments.empty()) {
        if (arguments.flag("-h") || arguments.flag("--help")) {
            std::cout << pauseUsage << Locations::helpText();
            return 0;
        }
        if (auto clock = arguments.value("--until")) {
            if (given) throw Arguments::UsageError("give --until or --for, once");
            until = nextClockTime(*clock, now);
            if (!until) throw Arguments::UsageError("--until wants a time of day HH:MM, not " + *clock);
            given = true;
        } else if (auto duration = arguments.value("--for")) {
            if (given) throw Arguments::UsageError("give --until or --for, once");
            auto seconds = parseDuration(*duration);
            if (!seconds || *seconds <= 0) {
                throw Arguments::UsageError("--for wants a duration such as 90m, 2h or 1h30m, not " + *duration);
            }
            if (*seconds > PauseRequest::longest) throw Arguments::UsageError("--for is at most 24h");
            until = now + *seconds;
            given = true;
        } else if (!locations.take(arguments)) {
            arguments.reject();
        }
    }
    const StateDir stateDir = locations.stateDir(invocation.environment);
    PauseRequest request{PauseRequest::Kind::pause, until, now};
    if (int status = ask(stateDir, request, "pause", invocation.environment)) return status;
    auto standing = stateDir.readPause();
    if (!standing || !standing->manualUntil) {
        std::cout << "No session to hold: none of the live sessions recorded in " << stateDir.root()
                  << " is one that is not exempt.\n";
        return 0;
    }
    std::cout << heldText(*standing, now);
    return 0;
}

int resume(Arguments& arguments, const Invocation& invocation) {
    Locations locations;
    bool usage = false;
    while (!arguments.empty()) {
        if (arguments.flag("-h") || arguments.flag("--help")) {
            std::cout << resumeUsage << Locations::helpText();
            return 0;
        }
        if (arguments.flag("--usage")) {
            usage = true;
        } else if (!locations.take(arguments)) {
            arguments.reject();
        }
    }
    const StateDir stateDir = locations.stateDir(invocation.environment);
    const auto before = stateDir.readPause();
    PauseRequest request{PauseRequest::Kind::resume, std::nullopt, wallClock()};
    request.usage = usage;
    if (int status = ask(stateDir, request, "resume", invocation.environment)) return status;
    auto standing = stateDir.readPause();
    if (usage) {
        if (!before || !before->usageHolds(wallClock())) {
            std::cout << (standing ? "No usage window holds the sessions; the pause asked for stands until " +
                                         NumberText::dayClockText(standing->resumeAt, wallClock()) + ".\n"
                                   : std::string("No pause stands.\n"));
        } else if (standing) {
            std::cout << "The usage window's hold has ended; the pause asked for holds the sessions until "
                      << NumberText::dayClockText(standing->resumeAt, wallClock()) << ".\n";
        } else {
            std::cout << "Resumed: the sessions go on, and the usage window does not hold them again before it "
                         "resets.\n";
        }
        return 0;
    }
    if (!before || !before->manualUntil) {
        std::cout << (standing ? "No pause asked for stands; the usage window holds the sessions until " +
                                     NumberText::dayClockText(standing->resumeAt, wallClock()) + ".\n"
                               : std::string("No pause stands.\n"));
    } else if (standing) {
        std::cout << "The pause asked for has ended; the usage window holds the sessions until "
                  << NumberText::dayClockText(standing->resumeAt, wallClock()) << ".\n";
    } else {
        std::cout << "Resumed: the sessions go on.\n";
    }
    return 0;
}

}  // namespace tracker::Front::PauseCommands
