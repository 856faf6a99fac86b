#pragma once

// What the programs' --help says, for the tests that keep the man pages and the completions in step with it.

#include <set>
#include <string>
#include <vector>

namespace tracker::test {

// What a built program prints for these arguments (--help among them).
std::string helpOf(const std::string& program, const std::vector<std::string>& arguments);
// The long options ("--name") a text names.
std::set<std::string> longOptions(const std::string& text);
// The commands `tarnel --help` lists, in its order.
std::vector<std::string> tarnelCommands();
// The long options `tarnel COMMAND --help` names.
std::set<std::string> tarnelOptions(const std::string& command);

}  // namespace tracker::test
