#include "HelpText.hpp"

#include <regex>
#include <sstream>

#include "RealWorld.hpp"
#include "TestSupport.hpp"

namespace tracker::test {

std::string helpOf(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<std::string> command{builtProgram(program)};
    command.insert(command.end(), arguments.begin(), arguments.end());
    std::string output;
    runProgram(command, &output);
    return output;
}

std::set<std::string> longOptions(const std::string& text) {
    std::set<std::string> options;
    static const std::regex option("--[a-z][a-z-]*");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option); it != std::sregex_iterator(); ++it) {
        options.insert(it->str());
    }
    return options;
}

std::vector<std::string> tarnelCommands() {
    std::vector<std::string> commands;
    static const std::regex entry("^  ([a-z]+)   .*");
    std::istringstream lines(helpOf("tarnel", {"--help"}));
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_match(line, match, entry)) commands.push_back(match[1]);
    }
    return commands;
}

std::set<std::string> tarnelOptions(const std::string& command) {
    return longOptions(helpOf("tarnel", {command, "--help"}));
}

}  // namespace tracker::test
