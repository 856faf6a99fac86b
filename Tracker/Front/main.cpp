// tarnel: the command a user runs to put tarnel-tee into Claude Code's
// settings, take it out again, and see what the daemon sees.

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "Core/Version.hpp"
#include "Front/Arguments.hpp"
#include "Front/DaemonCommands.hpp"
#include "Front/DoctorCommand.hpp"
#include "Front/Invocation.hpp"
#include "Front/PauseCommands.hpp"
#include "Front/SetupCommands.hpp"
#include "Front/StatusCommand.hpp"

namespace {

const char* const usage =
    "usage: tarnel <command> [options]\n"
    "\n"
    "Hold Claude Code sessions before the five-hour usage window runs out.\n"
    "\n"
    "  install   make tarnel-tee Claude Code's status line (keeps yours showing)\n"
    "  restore   put your previous status line back\n"
    "  status    what the daemon sees now: usage, threshold, pause, daemon\n"
    "  doctor    whether every live session would be held, and what to fix\n"
    "  pause     hold every session now, whatever the usage (--until HH:MM, --for 2h)\n"
    "  resume    end the pause asked for\n"
    "  start     run the daemon in the background where systemd does not (log: daemon.log)\n"
    "  stop      stop the daemon; it continues every session it holds first\n"
    "\n"
    "Every command takes --help, --state-dir DIR and --settings FILE;\n"
    "tarnel --version prints the version.\n"
    "Exit status: 0 done, 1 the operation failed (doctor: a session would not be held),\n"
    "2 a command-line error.\n";

}  // namespace

int main(int argc, char** argv) {
    using namespace tracker::Front;
    std::vector<std::string> words(argv + 1, argv + argc);
    if (words.empty()) {
        std::cerr << usage;
        return 2;
    }
    const std::string command = words.front();
    if (command == "-h" || command == "--help" || command == "help") {
        std::cout << usage;
        return 0;
    }
    if (command == "--version") {
        std::cout << tracker::Version::line("tarnel");
        return 0;
    }
    Invocation invocation{argc > 0 && argv[0] ? argv[0] : "tarnel", tracker::currentEnvironment()};
    Arguments arguments(std::vector<std::string>(words.begin() + 1, words.end()));
    try {
        if (command == "install") return SetupCommands::install(arguments, invocation);
        if (command == "restore") return SetupCommands::restore(arguments, invocation);
        if (command == "status") return StatusCommand::run(arguments, invocation);
        if (command == "doctor") return DoctorCommand::run(arguments, invocation);
        if (command == "pause") return PauseCommands::pause(arguments, invocation);
        if (command == "resume") return PauseCommands::resume(arguments, invocation);
        if (command == "start") return DaemonCommands::start(arguments, invocation);
        if (command == "stop") return DaemonCommands::stop(arguments, invocation);
    } catch (const Arguments::UsageError& error) {
        std::cerr << "tarnel " << command << ": " << error.what() << "\nTry 'tarnel " << command << " --help'.\n";
        return 2;
    } catch (const std::exception& error) {
        // Whatever a file system oddity throws ends with a message, never an abort.
        std::cerr << "tarnel " << command << ": " << error.what() << "\n";
        return 1;
    }
    std::cerr << "tarnel: unknown command: " << command << "\n\n" << usage;
    return 2;
}
